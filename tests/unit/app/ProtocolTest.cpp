#include <gtest/gtest.h>

#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/protocol/Messages.h"
#include "app/protocol/WebSocketMessageHandler.h"
#include "support/CapturedLog.h"
#include "support/ManualClock.h"

namespace navorel {
namespace {

using json = nlohmann::json;
using namespace std::chrono_literals;

// Every client text goes through the one handler that parses it once; the
// callbacks record what reached the rest of the bridge.
class Protocol : public ::testing::Test {
protected:
    Protocol() {
        handler.SetStateChangeCallback([this](ApplicationState state, const std::string& reason) {
            calls.push_back(std::string(applicationStateName(state)) + " " + reason);
        });
        handler.SetHeartbeatCallback([this] { calls.push_back("heartbeat"); });
        handler.SetShutdownCallback([this] { calls.push_back("shutdown"); });
        handler.SetRunwayInfoCallback([this](const std::string& icao) {
            calls.push_back("runway " + icao);
            return CommandResult::Success("Runway info request accepted", json::object());
        });
        handler.SetSimControlCallback([this](bool paused, const std::string& reason) {
            calls.push_back(std::string(paused ? "pause " : "resume ") + reason);
            return CommandResult::Success("ok", {{"paused", paused}});
        });
        handler.SetServerStatusFunction([] { return WebSocketMessageHandler::ServerStatus{3, true}; });
    }

    json reply(const std::string& text) { return json::parse(handler.HandleClientText(text, connectedAt)); }

    test::ManualClock clock;
    test::CapturedLog log{LogLevel::DEBUG};
    WebSocketMessageHandler handler{clock, log.logger()};
    SteadyTime connectedAt = clock.steadyNow() - 2900ms;
    std::vector<std::string> calls;
};

TEST_F(Protocol, EveryKindOfClientTextGetsItsReply) {
    const std::int64_t now = toUnixTicks100ns(clock.systemNow());
    struct Case {
        std::string text;
        json expected;
    };
    const std::string state = R"({"type":"SET_STATE","state":)";
    const Case cases[] = {
        {R"({"type":"ping"})", {{"type", "pong"}, {"timestamp", now}}},
        {R"({"type":"status"})",
         {{"type", "status_response"}, {"connections", 3}, {"server_running", true}, {"uptime", 2}}},
        {"[1,2]", {{"type", "error"}, {"message", "Message missing 'type' field"}}},
        {R"({"type":5})",
         {{"type", "error"},
          {"message", "Invalid JSON format"},
          {"details", "[json.exception.type_error.302] type must be string, but is number"}}},
        {R"({"type":"HEARTBEAT"})",
         {{"type", "response"}, {"success", true}, {"message", "Heartbeat acknowledged"}, {"timestamp", now}}},
        {R"({"type":"STATUS"})",
         {{"type", "response"},
          {"success", true},
          {"message", "Status retrieved"},
          {"timestamp", now},
          {"data", {{"bridge_version", "3.0"}, {"status", "operational"}, {"timestamp", now}}}}},
        // An empty data object is not sent.
        {R"({"type":"REQUEST_RUNWAY_INFO","icao":"lszh"})",
         {{"type", "response"}, {"success", true}, {"message", "Runway info request accepted"}, {"timestamp", now}}},
        {state + R"("active"})",
         {{"type", "error"},
          {"success", false},
          {"timestamp", now},
          {"error", "Invalid state: active. Valid states: IDLE, PREFLIGHT, ACTIVE"}}},
    };
    for (const Case& c : cases) EXPECT_EQ(reply(c.text), c.expected) << c.text;
    EXPECT_EQ(reply("{bad")["message"], "Invalid JSON format");

    // Failures in the order the checks run.
    const std::pair<std::string, std::string> failures[] = {
        {R"({"type":"status_request"})", "Unknown command type: status_request"},
        {R"({"type":"PING"})", "Unknown command type: PING"},
        {R"({"type":"SET_STATE","state":2})", "SET_STATE command requires 'state' field"},
        {state + R"("SHUTDOWN"})", "Invalid state: SHUTDOWN. Valid states: IDLE, PREFLIGHT, ACTIVE"},
        {R"({"type":"REQUEST_RUNWAY_INFO","icao":123})", "REQUEST_RUNWAY_INFO command requires 'icao' field"},
        {R"({"type":"REQUEST_RUNWAY_INFO","icao":""})", "ICAO code cannot be empty"},
        {R"({"type":"SIM_CONTROL","action":true})", "SIM_CONTROL command requires 'action' field"},
        {R"({"type":"SIM_CONTROL","action":"set_pause"})", "Unsupported SIM_CONTROL action: set_pause"},
        {R"({"type":"SIM_CONTROL","action":"SET_PAUSE"})", "SET_PAUSE command requires 'paused' field"},
    };
    for (const auto& [text, error] : failures) EXPECT_EQ(reply(text)["error"], error) << text;
    EXPECT_EQ(calls, (std::vector<std::string>{"heartbeat", "runway lszh"}));
}

TEST_F(Protocol, CommandsReachTheirCallbacksWithDefaultsForMissingReasons) {
    reply(R"({"type":"SET_STATE","state":"PREFLIGHT","reason":"gate"})");
    reply(R"({"type":"SET_STATE","state":"ACTIVE","reason":7})");
    reply(R"({"type":"SHUTDOWN","reason":"user quit"})");
    reply(R"({"type":"SIM_CONTROL","action":"SET_PAUSE","paused":true,"reason":"taxi"})");
    EXPECT_EQ(calls, (std::vector<std::string>{"PREFLIGHT gate", "ACTIVE ACARS command", "shutdown", "pause taxi"}));
}

TEST_F(Protocol, PausedIsReadAsABooleanLikeValue) {
    const std::pair<const char*, const char*> values[] = {
        {"true", "pause"},      {"0", "resume"},        {"0.5", "pause"},       {"18446744073709551615", "pause"},
        {R"("YeS")", "pause"},  {R"("NO")", "resume"},  {R"("0")", "resume"},   {R"("y")", nullptr},
        {R"(" yes")", nullptr}, {"null", nullptr},      {"[true]", nullptr},
    };
    for (const auto& [value, meaning] : values) {
        calls.clear();
        const json answer =
            reply(std::string(R"({"type":"SIM_CONTROL","action":"SET_PAUSE","paused":)") + value + "}");
        if (meaning) {
            EXPECT_EQ(calls, std::vector<std::string>{std::string(meaning) + " ACARS sim control"}) << value;
        } else {
            EXPECT_EQ(answer["error"], "SET_PAUSE 'paused' value must be boolean-like") << value;
        }
    }
}

// A client can neither inflate replies nor forge log lines with its own text.
TEST_F(Protocol, ClientTextIsEchoedOnlyInPart) {
    const std::string longType(300000, 'X');
    const json answer = reply(R"({"type":")" + longType + R"("})");
    EXPECT_EQ(answer["error"], std::string("Unknown command type: ").append(64, 'X') + "... (300000 bytes)");
    log.take();
    reply(R"({"type":"SHUTDOWN","reason":"a\nb\u001b[2J"})");
    EXPECT_EQ(log.take().back(), "[INFO ] [WebSocketMessageHandler] Shutdown requested: a b\\x1b[2J");
    // The parser's own text may quote the input: it is bounded too.
    std::string unterminated(1, '"');
    unterminated.append(100000, 'y');
    const json details = reply(unterminated);
    EXPECT_LT(details["details"].get<std::string>().size(), 300u);
}

TEST_F(Protocol, AFailingCallbackBecomesAnErrorReply) {
    handler.SetShutdownCallback([] { throw std::runtime_error("boom"); });
    EXPECT_EQ(reply(R"({"type":"SHUTDOWN"})"), (json{{"type", "error"}, {"message", "boom"}}));
    EXPECT_EQ(log.take().back(), "[ERROR] [WebSocket] Message processing error: boom");
}

TEST(Messages, PooledDocumentsAreReplacedAndKeysLeaveInByteOrder) {
    JsonMessagePool pool;
    auto used = pool.AcquireJson();
    *used = {{"stale", true}};
    pool.ReleaseJson(std::move(used));
    const auto status = protocol::BuildSimStatus(pool, true, false, "PREFLIGHT", 7);
    EXPECT_EQ(status->dump(),
              R"({"sim_connected":false,"sim_detected":true,"state":"PREFLIGHT","timestamp":7,"type":"sim_status"})");
    json welcome = json::array();
    protocol::connection(welcome, "12-3456", 1);
    EXPECT_EQ(welcome.dump(),
              R"({"id":"12-3456","message":"Connected to Navorel Bridge","server":{"currentConnections":1,)"
              R"("maxConnections":5},"status":"connected","type":"connection","version":"1.0.0"})");
    for (const json& empty : {json(nullptr), json::object(), json::array()}) {
        EXPECT_FALSE(protocol::BuildSuccessResponse("ok", empty, 1).contains("data"));
    }
    EXPECT_EQ(protocol::BuildSuccessResponse("ok", 0, 1)["data"], 0);  // a scalar is data, even 0
}

TEST(Messages, RunwayCodesOutsideTheTablesGiveUnknownOrNothing) {
    EXPECT_EQ(protocol::runwaySurfaceName(32), "Paint");
    EXPECT_EQ(protocol::runwaySurfaceName(255), "Undefined");
    for (int code : {33, 254, -1, std::numeric_limits<std::int32_t>::min()}) {
        EXPECT_EQ(protocol::runwaySurfaceName(code), "Unknown") << code;
    }
    EXPECT_EQ(protocol::runwayIdent(36, 2), "36R");
    EXPECT_EQ(protocol::runwayIdent(44, 6), "NWB");
    EXPECT_EQ(protocol::runwayIdent(0, 0), "");
    EXPECT_EQ(protocol::runwayIdent(45, 7), "");
    EXPECT_EQ(protocol::runwayIdent(0, 3), "C");
}

}  // namespace
}  // namespace navorel
