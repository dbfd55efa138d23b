#pragma once

#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "simconnect/SimConnect.h"
#include "simconnect/WireFormat.h"

namespace navorel::test {

using simconnect::Result;

// A stand-in for the SimConnect library: every call is recorded as a line of
// text, any call can be made to fail with a chosen code, and messages queued by
// the test are handed out by the next dispatch.
struct SimConnectScript {
    std::mutex mutex;
    std::vector<std::string> calls;
    Result openResult = simconnect::result::OK;
    // Calls made on a connection, counted from 1 across connections, that fail.
    std::map<std::size_t, Result> failures;
    std::size_t connectionCalls = 0;
    std::deque<simconnect::wire::Packet> inbox;
    Result dispatchResult = simconnect::result::OK;

    Result record(std::string call) {
        std::lock_guard lock(mutex);
        calls.push_back(std::move(call));
        const auto failure = failures.find(++connectionCalls);
        return failure == failures.end() ? simconnect::result::OK : failure->second;
    }
    std::vector<std::string> take() {
        std::lock_guard lock(mutex);
        return std::exchange(calls, {});
    }
};

inline std::string text(const char* value) { return value ? value : "(null)"; }

class ScriptedConnection final : public simconnect::Connection {
public:
    explicit ScriptedConnection(SimConnectScript& script) : script_(script) {}

    Result mapClientEventToSimEvent(std::uint32_t eventId, const char* eventName) override {
        return script_.record("map " + std::to_string(eventId) + " " + text(eventName));
    }
    Result transmitClientEvent(std::uint32_t objectId, std::uint32_t eventId, std::uint32_t data,
                               std::uint32_t groupId, std::uint32_t flags) override {
        return script_.record("transmit " + join({objectId, eventId, data, groupId, flags}));
    }
    Result addToDataDefinition(std::uint32_t defineId, const char* datumName, const char* unitsName,
                               simconnect::DataType type, float epsilon, std::uint32_t datumId) override {
        return script_.record("add " + std::to_string(defineId) + " " + text(datumName) + " | " + text(unitsName) +
                              " | " + join({static_cast<std::uint32_t>(type), static_cast<std::uint32_t>(epsilon),
                                            datumId}));
    }
    Result requestDataOnSimObject(std::uint32_t requestId, std::uint32_t defineId, std::uint32_t objectId,
                                  simconnect::Period period, std::uint32_t flags, std::uint32_t origin,
                                  std::uint32_t interval, std::uint32_t limit) override {
        return script_.record("request " + join({requestId, defineId, objectId, static_cast<std::uint32_t>(period),
                                                 flags, origin, interval, limit}));
    }
    Result subscribeToSystemEvent(std::uint32_t eventId, const char* systemEventName) override {
        return script_.record("subscribe " + std::to_string(eventId) + " " + text(systemEventName));
    }
    Result addToFacilityDefinition(std::uint32_t defineId, const char* fieldName) override {
        return script_.record("facility " + std::to_string(defineId) + " " + text(fieldName));
    }
    Result requestFacilityData(std::uint32_t defineId, std::uint32_t requestId, const char* icao,
                               const char* region) override {
        return script_.record("facilityData " + join({defineId, requestId}) + " " + text(icao) + " [" + text(region) +
                              "]");
    }
    Result callDispatch(const simconnect::DispatchProcedure& procedure) override {
        std::deque<simconnect::wire::Packet> messages;
        Result result = simconnect::result::OK;
        {
            std::lock_guard lock(script_.mutex);
            messages.swap(script_.inbox);
            result = script_.dispatchResult;
        }
        for (const auto& message : messages) procedure(message.data(), static_cast<std::uint32_t>(message.size()));
        return result;
    }
    Result close() override { return script_.record("close"); }

private:
    static std::string join(std::initializer_list<std::uint32_t> values) {
        std::string out;
        for (std::uint32_t value : values) {
            if (!out.empty()) out += ' ';
            out += std::to_string(value);
        }
        return out;
    }

    SimConnectScript& script_;
};

class ScriptedConnector final : public simconnect::Connector {
public:
    explicit ScriptedConnector(SimConnectScript& script) : script_(script) {}

    Result open(std::unique_ptr<simconnect::Connection>& connection, const char* clientName,
                std::function<void()> onReceived, std::uint32_t configIndex) override {
        {
            std::lock_guard lock(script_.mutex);
            script_.calls.push_back("open " + text(clientName) + " " + std::to_string(configIndex) +
                                    (onReceived ? " notify" : ""));
            if (script_.openResult != simconnect::result::OK) return script_.openResult;
        }
        connection = std::make_unique<ScriptedConnection>(script_);
        return simconnect::result::OK;
    }

private:
    SimConnectScript& script_;
};

}  // namespace navorel::test
