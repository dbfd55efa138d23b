#pragma once

// Shared pieces of the SimConnect tests: configuration folders, the fake
// simulator's output lines, and a connection whose received messages a test
// can wait for without sleeping.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "FakeSimulator.h"
#include "support/TempDir.h"
#include "simconnect/NetworkConnector.h"
#include "simconnect/WireFormat.h"

namespace navorel::test {

using namespace std::chrono_literals;

inline std::string utf8(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

inline void writeConfig(const TempDir& folder, const std::string& text) {
    writeFile(folder.path() / "SimConnect.cfg", text);
}

// Lines printed by an in-process fake simulator.
class Lines {
public:
    fakesim::FakeSimulator::Output sink() {
        return [this](const std::string& line) {
            std::lock_guard lock(mutex_);
            lines_.push_back(line);
            changed_.notify_all();
        };
    }
    // True once a line containing `text` has been printed.
    bool waitFor(const std::string& text, std::chrono::milliseconds timeout = 10s) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] {
            for (const std::string& line : lines_) {
                if (line.find(text) != std::string::npos) return true;
            }
            return false;
        });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> lines_;
};

// A fake simulator on a free loopback port (IPv4 only, no pipe unless named).
struct Simulator {
    explicit Simulator(std::string pipeName = {}) : simulator(options(std::move(pipeName)), lines.sink()) {
        std::string error;
        EXPECT_TRUE(simulator.start(error)) << error;
    }
    static fakesim::SimulatorOptions options(std::string pipeName) {
        fakesim::SimulatorOptions o;
        o.port = 0;
        o.listenIpv6 = false;
        o.pipeName = std::move(pipeName);
        return o;
    }
    Lines lines;
    fakesim::FakeSimulator simulator;
};

// The received messages of one connection, collected by dispatching each
// time the library says one has arrived.
class Received {
public:
    std::function<void()> notifier() {
        return [this] {
            std::lock_guard lock(mutex_);
            ++notified_;
            changed_.notify_all();
        };
    }
    simconnect::DispatchProcedure procedure() {
        return [this](const std::byte* message, std::uint32_t size) { messages.emplace_back(message, message + size); };
    }
    // Dispatches until `done` holds for the messages received so far.
    bool waitUntil(simconnect::Connection& connection, const std::function<bool()>& done,
                   std::chrono::milliseconds timeout = 10s) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            std::uint64_t seen = 0;
            {
                std::lock_guard lock(mutex_);
                seen = notified_;
            }
            connection.callDispatch(procedure());
            if (done()) return true;
            std::unique_lock lock(mutex_);
            if (!changed_.wait_until(lock, deadline, [&] { return notified_ != seen; })) return false;
        }
    }
    // Dispatches until a message of `id` has arrived; the last such message.
    std::optional<simconnect::wire::Packet> waitFor(simconnect::Connection& connection, simconnect::wire::MessageId id,
                                                   std::chrono::milliseconds timeout = 10s) {
        const auto found = [&]() -> const simconnect::wire::Packet* {
            for (auto it = messages.rbegin(); it != messages.rend(); ++it) {
                if (simconnect::wire::readU32(it->data() + 8) == static_cast<std::uint32_t>(id)) return &*it;
            }
            return nullptr;
        };
        if (!waitUntil(connection, [&] { return found() != nullptr; }, timeout)) return std::nullopt;
        return *found();
    }
    // Dispatches until the connection reports that it has closed; its status.
    simconnect::Result waitForClose(simconnect::Connection& connection, std::chrono::milliseconds timeout = 10s) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        simconnect::Result status = simconnect::result::OK;
        while ((status = connection.callDispatch(procedure())) == simconnect::result::OK &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(10ms);  // a close notifies nobody
        }
        return status;
    }
    // The messages of one id received so far.
    std::vector<simconnect::wire::Packet> all(simconnect::wire::MessageId id) const {
        std::vector<simconnect::wire::Packet> some;
        for (const auto& m : messages) {
            if (simconnect::wire::readU32(m.data() + 8) == static_cast<std::uint32_t>(id)) some.push_back(m);
        }
        return some;
    }
    std::vector<simconnect::wire::Packet> messages;

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::uint64_t notified_ = 0;
};

// A connector that reads its settings from `config` only; no registry.
inline simconnect::ConnectorOptions configOnly(const TempDir& config) {
    simconnect::ConnectorOptions options;
    const std::string folder = utf8(config.path());
    options.settingsSources = [folder] { return simconnect::SettingsSources{{folder}, {}}; };
    return options;
}

}  // namespace navorel::test
