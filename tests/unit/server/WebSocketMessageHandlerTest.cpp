#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/CapturedLog.h"
#include "server/JsonMessagePool.h"
#include "server/WebSocketMessageHandler.h"
#include "support/ManualClock.h"

namespace navorel {
namespace {

using json = nlohmann::json;
using ::testing::ElementsAre;

constexpr const char* kPrefix = "[WebSocketMessageHandler] ";

class MessageHandlerTest : public ::testing::Test {
protected:
    std::string line(const char* level, const std::string& text) { return std::string("[") + level + "] " + kPrefix + text; }

    test::ManualClock clock;
    test::CapturedLog log{LogLevel::DEBUG};
    WebSocketMessageHandler handler{clock, log.logger()};
};

// Every failure text of the command table, word for word.
struct FailureCase {
    const char* command;
    const char* message;
};

class MessageHandlerFailures : public MessageHandlerTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(MessageHandlerFailures, AnswerWithTheExactText) {
    const CommandResult result = handler.HandleMessage(GetParam().command);
    EXPECT_FALSE(result.success);
    EXPECT_EQ(result.message, GetParam().message);
    EXPECT_TRUE(result.data.is_null());
}

INSTANTIATE_TEST_SUITE_P(
    WordForWord, MessageHandlerFailures,
    ::testing::Values(
        FailureCase{"not json", "Invalid JSON format"}, FailureCase{"", "Invalid JSON format"},
        FailureCase{"[1,2]", "Message must contain 'type' field"},
        FailureCase{"{\"kind\":\"STATUS\"}", "Message must contain 'type' field"},
        FailureCase{"{\"type\":5}", "Message must contain 'type' field"},
        FailureCase{"\"STATUS\"", "Message must contain 'type' field"},
        FailureCase{"{\"type\":\"status_request\"}", "Unknown command type: status_request"},
        FailureCase{"{\"type\":\"set_state\",\"state\":\"IDLE\"}", "Unknown command type: set_state"},
        FailureCase{"{\"type\":\"SET_STATE\"}", "SET_STATE command requires 'state' field"},
        FailureCase{"{\"type\":\"SET_STATE\",\"state\":2}", "SET_STATE command requires 'state' field"},
        FailureCase{"{\"type\":\"SET_STATE\",\"state\":\"active\"}",
                    "Invalid state: active. Valid states: IDLE, PREFLIGHT, ACTIVE"},
        FailureCase{"{\"type\":\"SET_STATE\",\"state\":\"SHUTDOWN\"}",
                    "Invalid state: SHUTDOWN. Valid states: IDLE, PREFLIGHT, ACTIVE"},
        FailureCase{"{\"type\":\"REQUEST_RUNWAY_INFO\"}", "REQUEST_RUNWAY_INFO command requires 'icao' field"},
        FailureCase{"{\"type\":\"REQUEST_RUNWAY_INFO\",\"icao\":123}",
                    "REQUEST_RUNWAY_INFO command requires 'icao' field"},
        FailureCase{"{\"type\":\"REQUEST_RUNWAY_INFO\",\"icao\":\"\"}", "ICAO code cannot be empty"},
        FailureCase{"{\"type\":\"REQUEST_RUNWAY_INFO\",\"icao\":\"EDDF\"}", "Runway info handler not configured"},
        FailureCase{"{\"type\":\"SIM_CONTROL\"}", "SIM_CONTROL command requires 'action' field"},
        FailureCase{"{\"type\":\"SIM_CONTROL\",\"action\":true}", "SIM_CONTROL command requires 'action' field"},
        FailureCase{"{\"type\":\"SIM_CONTROL\",\"action\":\"PAUSE\",\"paused\":true}",
                    "Unsupported SIM_CONTROL action: PAUSE"},
        // The action is checked before the missing field.
        FailureCase{"{\"type\":\"SIM_CONTROL\",\"action\":\"set_pause\"}", "Unsupported SIM_CONTROL action: set_pause"},
        FailureCase{"{\"type\":\"SIM_CONTROL\",\"action\":\"SET_PAUSE\"}", "SET_PAUSE command requires 'paused' field"},
        FailureCase{"{\"type\":\"SIM_CONTROL\",\"action\":\"SET_PAUSE\",\"paused\":true}",
                    "SIM_CONTROL handler not configured"}));

TEST_F(MessageHandlerTest, InvalidJsonLogsTheParserErrorAndTheText) {
    handler.HandleMessage("{oops");
    const auto lines = log.take();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_THAT(lines[0], ::testing::StartsWith(line("DEBUG", "JSON parse error: [json.exception.parse_error")));
    EXPECT_EQ(lines[1], line("WARN ", "Received invalid JSON: {oops"));
}

TEST_F(MessageHandlerTest, MissingAndUnknownTypesAreLoggedAsWarnings) {
    handler.HandleMessage("{\"type\":null}");
    EXPECT_THAT(log.take(), ElementsAre(line("WARN ", "Message missing 'type' field")));
    handler.HandleMessage("{\"type\":\"ping\"}");
    EXPECT_THAT(log.take(), ElementsAre(line("DEBUG", "Processing command: ping"),
                                        line("WARN ", "Unknown command type: ping")));
}

TEST_F(MessageHandlerTest, SetStateMapsTheThreeStatesAndPassesTheReason) {
    std::vector<std::pair<ApplicationState, std::string>> calls;
    handler.SetStateChangeCallback([&](ApplicationState state, const std::string& reason) {
        calls.emplace_back(state, reason);
    });
    EXPECT_EQ(handler.HandleMessage(R"({"type":"SET_STATE","state":"IDLE"})").message, "State changed to IDLE");
    EXPECT_EQ(handler.HandleMessage(R"({"type":"SET_STATE","state":"PREFLIGHT","reason":"gate"})").message,
              "State changed to PREFLIGHT");
    const CommandResult active = handler.HandleMessage(R"({"type":"SET_STATE","state":"ACTIVE","reason":7})");
    EXPECT_TRUE(active.success);
    EXPECT_EQ(active.message, "State changed to ACTIVE");
    EXPECT_TRUE(active.data.is_null());
    EXPECT_THAT(calls, ElementsAre(std::pair{ApplicationState::IDLE, std::string("ACARS command")},
                                   std::pair{ApplicationState::PREFLIGHT, std::string("gate")},
                                   std::pair{ApplicationState::ACTIVE, std::string("ACARS command")}));
    const auto lines = log.take();
    EXPECT_EQ(lines.back(), line("INFO ", "State change requested: ACTIVE (ACARS command)"));
}

TEST_F(MessageHandlerTest, SetStateSucceedsWithoutACallback) {
    EXPECT_TRUE(handler.HandleMessage(R"({"type":"SET_STATE","state":"ACTIVE"})").success);
}

TEST_F(MessageHandlerTest, HeartbeatCallsItsCallbackAndCarriesNoData) {
    int beats = 0;
    handler.SetHeartbeatCallback([&] { ++beats; });
    const CommandResult result = handler.HandleMessage(R"({"type":"HEARTBEAT","extra":1})");
    EXPECT_TRUE(result.success);
    EXPECT_EQ(result.message, "Heartbeat acknowledged");
    EXPECT_TRUE(result.data.is_null());
    EXPECT_EQ(beats, 1);
    EXPECT_THAT(log.take(), ElementsAre(line("DEBUG", "Processing command: HEARTBEAT"),
                                        line("DEBUG", "Heartbeat received from ACARS")));
}

TEST_F(MessageHandlerTest, ShutdownLogsTheReasonAndCallsBack) {
    int shutdowns = 0;
    handler.SetShutdownCallback([&] { ++shutdowns; });
    EXPECT_EQ(handler.HandleMessage(R"({"type":"SHUTDOWN"})").message, "Shutdown initiated");
    EXPECT_EQ(handler.HandleMessage(R"({"type":"SHUTDOWN","reason":"user quit"})").message, "Shutdown initiated");
    EXPECT_EQ(handler.HandleMessage(R"({"type":"SHUTDOWN","reason":false})").message, "Shutdown initiated");
    EXPECT_EQ(shutdowns, 3);
    std::vector<std::string> infos;
    for (const auto& text : log.take()) {
        if (text.rfind("[INFO ]", 0) == 0) infos.push_back(text);
    }
    EXPECT_THAT(infos, ElementsAre(line("INFO ", "Shutdown requested: ACARS shutdown request"),
                                   line("INFO ", "Shutdown requested: user quit"),
                                   line("INFO ", "Shutdown requested: ACARS shutdown request")));
}

TEST_F(MessageHandlerTest, StatusCarriesVersionStateAndTimestamp) {
    const CommandResult result = handler.HandleMessage(R"({"type":"STATUS"})");
    EXPECT_TRUE(result.success);
    EXPECT_EQ(result.message, "Status retrieved");
    EXPECT_EQ(result.data, (json{{"bridge_version", "3.0"},
                                 {"status", "operational"},
                                 {"timestamp", toUnixTicks100ns(clock.systemNow())}}));
}

TEST_F(MessageHandlerTest, RunwayRequestReturnsTheCallbacksResultUnchanged) {
    std::vector<std::string> asked;
    handler.SetRunwayInfoCallback([&](const std::string& icao) {
        asked.push_back(icao);
        return CommandResult::Success("Runway request accepted", {{"requestId", 4}});
    });
    const CommandResult result = handler.HandleMessage(R"({"type":"REQUEST_RUNWAY_INFO","icao":"lszh"})");
    EXPECT_TRUE(result.success);
    EXPECT_EQ(result.message, "Runway request accepted");
    EXPECT_EQ(result.data, (json{{"requestId", 4}}));
    EXPECT_THAT(asked, ElementsAre("lszh"));  // case and length are the callback's business
}

// "paused" as the client may write it, and what it means.
struct PausedCase {
    const char* value;
    std::optional<bool> paused;  // nullopt: refused as not boolean-like
};

class BooleanLikeRule : public MessageHandlerTest, public ::testing::WithParamInterface<PausedCase> {};

TEST_P(BooleanLikeRule, ReadsPaused) {
    std::vector<std::pair<bool, std::string>> calls;
    handler.SetSimControlCallback([&](bool paused, const std::string& reason) {
        calls.emplace_back(paused, reason);
        return CommandResult::Success(paused ? "Pause command sent" : "Unpause command sent");
    });
    const std::string command =
        std::string(R"({"type":"SIM_CONTROL","action":"SET_PAUSE","paused":)") + GetParam().value + "}";
    const CommandResult result = handler.HandleMessage(command);
    if (GetParam().paused) {
        EXPECT_TRUE(result.success);
        EXPECT_THAT(calls, ElementsAre(std::pair{*GetParam().paused, std::string("ACARS sim control")}));
    } else {
        EXPECT_FALSE(result.success);
        EXPECT_EQ(result.message, "SET_PAUSE 'paused' value must be boolean-like");
        EXPECT_TRUE(calls.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Values, BooleanLikeRule,
    ::testing::Values(PausedCase{"true", true}, PausedCase{"false", false}, PausedCase{"1", true},
                      PausedCase{"0", false}, PausedCase{"0.5", true}, PausedCase{"-2", true},
                      PausedCase{"0.0", false}, PausedCase{"18446744073709551615", true},
                      PausedCase{R"("yes")", true}, PausedCase{R"("YeS")", true}, PausedCase{R"("TRUE")", true},
                      PausedCase{R"("1")", true}, PausedCase{R"("NO")", false}, PausedCase{R"("False")", false},
                      PausedCase{R"("0")", false}, PausedCase{R"("y")", std::nullopt},
                      PausedCase{R"("on")", std::nullopt}, PausedCase{R"(" yes")", std::nullopt},
                      PausedCase{R"("")", std::nullopt}, PausedCase{"null", std::nullopt},
                      PausedCase{"{}", std::nullopt}, PausedCase{"[true]", std::nullopt}));

TEST_F(MessageHandlerTest, SimControlPassesItsReasonAndReturnsTheCallbacksFailure) {
    handler.SetSimControlCallback([](bool, const std::string& reason) {
        return CommandResult::Failure("refused: " + reason);
    });
    const CommandResult result =
        handler.HandleMessage(R"({"type":"SIM_CONTROL","action":"SET_PAUSE","paused":true,"reason":"taxi"})");
    EXPECT_FALSE(result.success);
    EXPECT_EQ(result.message, "refused: taxi");
}

TEST_F(MessageHandlerTest, SettersReplaceTheCallbackHeldBefore) {
    int first = 0;
    int second = 0;
    handler.SetHeartbeatCallback([&] { ++first; });
    handler.SetHeartbeatCallback([&] { ++second; });
    handler.HandleMessage(R"({"type":"HEARTBEAT"})");
    EXPECT_EQ(first, 0);
    EXPECT_EQ(second, 1);
}

TEST_F(MessageHandlerTest, CallbackExceptionsReachTheCaller) {
    handler.SetShutdownCallback([] { throw std::runtime_error("boom"); });
    EXPECT_THROW(handler.HandleMessage(R"({"type":"SHUTDOWN"})"), std::runtime_error);
}

TEST(MessageBuilders, SuccessResponseOmitsEmptyData) {
    test::ManualClock clock;
    const auto ticks = toUnixTicks100ns(clock.systemNow());
    const json base = {{"type", "response"}, {"success", true}, {"message", "ok"}, {"timestamp", ticks}};
    for (const json& empty : {json(nullptr), json::object(), json::array()}) {
        EXPECT_EQ(WebSocketMessageHandler::BuildSuccessResponse("ok", empty, clock), base);
    }
    json withData = base;
    withData["data"] = {{"a", 1}};
    EXPECT_EQ(WebSocketMessageHandler::BuildSuccessResponse("ok", {{"a", 1}}, clock), withData);
    // Scalars, even false or 0, are data.
    withData["data"] = 0;
    EXPECT_EQ(WebSocketMessageHandler::BuildSuccessResponse("ok", 0, clock), withData);
}

TEST(MessageBuilders, ErrorResponseCarriesTheMessageAsError) {
    test::ManualClock clock;
    EXPECT_EQ(WebSocketMessageHandler::BuildErrorResponse("bad", "error", clock),
              (json{{"type", "error"},
                    {"success", false},
                    {"error", "bad"},
                    {"timestamp", toUnixTicks100ns(clock.systemNow())}}));
}

TEST(MessageBuilders, PooledMessagesReplaceWhateverTheDocumentHeld) {
    test::ManualClock clock;
    const auto ticks = toUnixTicks100ns(clock.systemNow());
    JsonMessagePool pool;
    auto used = pool.AcquireJson();
    *used = {{"stale", true}};
    pool.ReleaseJson(std::move(used));

    const auto warning = WebSocketMessageHandler::BuildHeartbeatWarning(pool, "No heartbeat", clock);
    EXPECT_EQ(*warning, (json{{"type", "HEARTBEAT_WARNING"}, {"message", "No heartbeat"}, {"timestamp", ticks}}));
    const auto status = WebSocketMessageHandler::BuildSimStatus(pool, true, false, "PREFLIGHT", clock);
    EXPECT_EQ(*status, (json{{"type", "sim_status"},
                             {"sim_detected", true},
                             {"sim_connected", false},
                             {"state", "PREFLIGHT"},
                             {"timestamp", ticks}}));
    EXPECT_EQ(status->dump(),
              R"({"sim_connected":false,"sim_detected":true,"state":"PREFLIGHT","timestamp":)" +
                  std::to_string(ticks) + R"(,"type":"sim_status"})");
}

}  // namespace
}  // namespace navorel
