#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <tuple>
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
            calls.push_back(std::string("runway ").append(icao));
            return CommandResult::Success("Runway info request accepted", json::object());
        });
        handler.SetSimControlCallback([this](bool paused, const std::string& reason) {
            calls.push_back(std::string(paused ? "pause " : "resume ") + reason);
            return CommandResult::Success("ok");
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

// Ping and malformed texts are checked end to end.
TEST_F(Protocol, EveryKindOfCommandGetsItsReplyAndOnlyAcceptedOnesReachTheBridge) {
    const std::int64_t now = toUnixTicks100ns(clock.systemNow());
    const std::pair<std::string, json> cases[] = {
        // Whole seconds since the connection, 2.9 s ago.
        {R"({"type":"status"})",
         {{"type", "status_response"}, {"connections", 3}, {"server_running", true}, {"uptime", 2}}},
        {R"({"type":"HEARTBEAT"})",
         {{"type", "response"}, {"success", true}, {"message", "Heartbeat acknowledged"}, {"timestamp", now}}},
        {R"({"type":"STATUS"})",
         {{"type", "response"}, {"success", true}, {"message", "Status retrieved"}, {"timestamp", now},
          {"data", {{"bridge_version", "3.0"}, {"status", "operational"}, {"timestamp", now}}}}},
        // An empty data object is not sent.
        {R"({"type":"REQUEST_RUNWAY_INFO","icao":"lszh"})",
         {{"type", "response"}, {"success", true}, {"message", "Runway info request accepted"}, {"timestamp", now}}},
    };
    for (const auto& [text, expected] : cases) EXPECT_EQ(reply(text), expected) << text;

    // Failures in the order the checks run.
    const std::pair<std::string, std::string> failures[] = {
        {R"({"type":"PING"})", "Unknown command type: PING"},
        {R"({"type":"SET_STATE","state":2})", "SET_STATE command requires 'state' field"},
        {R"({"type":"SET_STATE","state":"active"})", "Invalid state: active. Valid states: IDLE, PREFLIGHT, ACTIVE"},
        {R"({"type":"SET_STATE","state":"SHUTDOWN"})", "Invalid state: SHUTDOWN. Valid states: IDLE, PREFLIGHT, ACTIVE"},
        {R"({"type":"REQUEST_RUNWAY_INFO","icao":123})", "REQUEST_RUNWAY_INFO command requires 'icao' field"},
        {R"({"type":"REQUEST_RUNWAY_INFO","icao":""})", "ICAO code cannot be empty"},
        {R"({"type":"SIM_CONTROL","action":true})", "SIM_CONTROL command requires 'action' field"},
        {R"({"type":"SIM_CONTROL","action":"set_pause"})", "Unsupported SIM_CONTROL action: set_pause"},
        {R"({"type":"SIM_CONTROL","action":"SET_PAUSE"})", "SET_PAUSE command requires 'paused' field"},
    };
    for (const auto& [text, error] : failures) EXPECT_EQ(reply(text)["error"], error) << text;

    // Only accepted commands reach the bridge; a reason that is not a string counts as absent.
    reply(R"({"type":"SET_STATE","state":"PREFLIGHT","reason":"gate"})");
    reply(R"({"type":"SET_STATE","state":"ACTIVE","reason":7})");
    reply(R"({"type":"SHUTDOWN","reason":"user quit"})");
    reply(R"({"type":"SIM_CONTROL","action":"SET_PAUSE","paused":true,"reason":"taxi"})");
    EXPECT_EQ(calls, (std::vector<std::string>{"heartbeat", "runway lszh", "PREFLIGHT gate", "ACTIVE ACARS command",
                                               "shutdown", "pause taxi"}));
}

TEST_F(Protocol, PausedIsReadAsABooleanLikeValue) {
    const std::string pause = "pause ACARS sim control", resume = "resume ACARS sim control";
    const std::string refused = "SET_PAUSE 'paused' value must be boolean-like";
    const std::pair<const char*, std::string> values[] = {
        {"true", pause},       {"0", resume},        {"0.5", pause},     {"18446744073709551615", pause},
        {R"("YeS")", pause},   {R"("NO")", resume},  {R"("0")", resume}, {R"("y")", refused},
        {R"(" yes")", refused}, {"null", refused},    {"[true]", refused},
    };
    for (const auto& [value, expected] : values) {
        calls.clear();
        const json answer = reply(std::string(R"({"type":"SIM_CONTROL","action":"SET_PAUSE","paused":)") + value + "}");
        EXPECT_EQ(answer["success"].get<bool>() ? calls.at(0) : answer["error"].get<std::string>(), expected) << value;
    }
}

// A client can neither inflate replies nor forge log lines with its own text.
TEST_F(Protocol, ClientTextIsEchoedOnlyInPart) {
    const json answer = reply(std::string(R"({"type":")").append(300000, 'X').append(R"("})"));
    EXPECT_EQ(answer["error"], std::string("Unknown command type: ").append(64, 'X').append("... (300000 bytes)"));
    log.take();
    reply(R"({"type":"SHUTDOWN","reason":"a\nb\u001b[2J"})");
    EXPECT_EQ(log.take().back(), "[INFO ] [WebSocketMessageHandler] Shutdown requested: a b\\x1b[2J");
    // The parser's own text may quote the input: it is bounded too.
    EXPECT_LT(reply(std::string(1, '"').append(100000, 'y'))["details"].get<std::string>().size(), 300u);
}

TEST_F(Protocol, AFailingCallbackBecomesAnErrorReply) {
    handler.SetShutdownCallback([] { throw std::runtime_error("boom"); });
    EXPECT_EQ(reply(R"({"type":"SHUTDOWN"})"), (json{{"type", "error"}, {"message", "boom"}}));
    EXPECT_EQ(log.take().back(), "[ERROR] [WebSocket] Message processing error: boom");
}

TEST(Messages, BuildersReplaceWhatAPooledDocumentHeldAndLeaveEmptyDataOut) {
    json reused = 0.0;  // a pooled document keeps a scalar's type
    protocol::connection(reused, "12-3456", 1);
    EXPECT_EQ(reused["type"], "connection");
    EXPECT_FALSE(protocol::BuildSuccessResponse("ok", json::array(), 1).contains("data"));  // as null and {}
    EXPECT_EQ(protocol::BuildSuccessResponse("ok", 0, 1)["data"], 0);  // a scalar is data, even 0
}

TEST(Messages, RunwayCodesOutsideTheTablesGiveUnknownOrNothing) {
    const std::pair<std::int32_t, const char*> surfaces[] = {
        {32, "Paint"}, {255, "Undefined"}, {33, "Unknown"}, {254, "Unknown"}, {-1, "Unknown"}, {INT32_MIN, "Unknown"}};
    for (const auto& [code, name] : surfaces) EXPECT_EQ(protocol::runwaySurfaceName(code), name) << code;
    const std::tuple<std::int32_t, std::int32_t, const char*> idents[] = {
        {36, 2, "36R"}, {44, 6, "NWB"}, {0, 0, ""}, {45, 7, ""}, {0, 3, "C"}};
    for (const auto& [number, code, ident] : idents) EXPECT_EQ(protocol::runwayIdent(number, code), ident) << number;
}

}  // namespace
}  // namespace navorel
