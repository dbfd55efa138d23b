#pragma once

// Shared pieces of the SimConnect tests: an in-process fake simulator, and
// connections whose received messages a test can wait for.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
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

// A fake simulator on a free loopback port (IPv4 only, no pipe unless named),
// with the lines it prints.
struct Simulator {
    explicit Simulator(std::string pipeName = {})
        : simulator({.port = 0, .listenIpv6 = false, .pipeName = std::move(pipeName)}, [this](const std::string& line) {
              std::lock_guard lock(mutex);
              lines.push_back(line);
          }) {
        std::string error;
        EXPECT_TRUE(simulator.start(error)) << error;
    }
    // True once a line containing `text` has been printed.
    bool waitFor(const std::string& text) {
        for (int tries = 0; tries < 2000; ++tries, std::this_thread::sleep_for(5ms)) {  // 10 s
            std::lock_guard lock(mutex);
            for (const std::string& line : lines) {
                if (line.find(text) != std::string::npos) return true;
            }
        }
        return false;
    }
    std::mutex mutex;
    std::vector<std::string> lines;
    fakesim::FakeSimulator simulator;
};

// The messages one connection has received, and how often the library said one arrived.
struct Received {
    const std::function<void()> notifier = [this] { ++notified; };
    // Dispatches until `done` holds, the connection fails or 10 s pass; the
    // last status.
    simconnect::Result until(simconnect::Connection& connection, const std::function<bool()>& done) {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        simconnect::Result status = simconnect::result::OK;
        const auto keep = [this](const std::byte* m, std::uint32_t size) { messages.emplace_back(m, m + size); };
        while ((status = connection.callDispatch(keep)) == simconnect::result::OK && !done() &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(5ms);
        }
        return status;
    }
    std::vector<simconnect::wire::Packet> all(simconnect::wire::MessageId id) const {
        std::vector<simconnect::wire::Packet> some;
        for (const auto& m : messages) {
            if (simconnect::wire::readU32(m.data() + 8) == static_cast<std::uint32_t>(id)) some.push_back(m);
        }
        return some;
    }
    // Dispatches until `count` messages of `id` have arrived.
    bool waitFor(simconnect::Connection& connection, simconnect::wire::MessageId id, std::size_t count = 1) {
        until(connection, [&] { return all(id).size() >= count; });
        return all(id).size() >= count;
    }
    std::atomic<int> notified{0};
    std::vector<simconnect::wire::Packet> messages;
};

// Opens a connection whose only settings are `keys` under [SimConnect]; no registry.
inline std::unique_ptr<simconnect::Connection> open(const std::string& keys, Received& received,
                                                    std::chrono::milliseconds closeWait = 100ms) {
    const TempDir folder;
    writeFile(folder.path() / "SimConnect.cfg", std::string("[SimConnect]\n").append(keys));
    simconnect::ConnectorOptions options;
    options.settingsSources = [&] { return simconnect::SettingsSources{{utf8(folder.path())}, {}}; };
    options.closeWait = closeWait;
    std::unique_ptr<simconnect::Connection> connection;
    EXPECT_EQ(simconnect::NetworkConnector(options).open(connection, "Navorel Bridge", received.notifier, 0),
              simconnect::result::OK);
    return connection;
}

}  // namespace navorel::test
