// Client command text through the protocol handler, with every callback
// installed, each way a callback can answer: succeed, fail, throw, or return
// data that is not valid UTF-8.

#include <array>
#include <set>
#include <stdexcept>

#include "FuzzSupport.h"
#include "app/protocol/WebSocketMessageHandler.h"
#include "core/Text.h"

namespace {

using navorel::CommandResult;
using navorel::fuzz::ManualClock;
using Json = nlohmann::json;

enum class Answer { Succeed, Fail, Throw, BadUtf8Data };

struct Calls {
    int state = 0, heartbeat = 0, shutdown = 0, runway = 0, simControl = 0;
};

CommandResult answer(Answer how, const std::string& what) {
    switch (how) {
        case Answer::Succeed: return CommandResult::Success("ok " + what, {{"echo", what}});
        case Answer::Fail: return CommandResult::Failure("refused " + what);
        case Answer::Throw: throw std::runtime_error("callback failed on " + what);
        case Answer::BadUtf8Data: return CommandResult::Success("ok", {{"raw", what + "\xC3\x28\xFF"}});
    }
    return {};
}

// A text the handler got from the client and passed on: bounded and sendable.
void checkClientText(const std::string& text) {
    FUZZ_CHECK(navorel::fuzz::isValidUtf8(text));
    FUZZ_CHECK(text.size() <= navorel::kClientTextEchoLimit + 32);
}

void run(std::string_view text, Answer how) {
    static ManualClock clock;
    navorel::WebSocketMessageHandler handler(clock, navorel::fuzz::silentLogger());
    Calls calls;
    handler.SetStateChangeCallback([&](navorel::ApplicationState, const std::string& reason) {
        checkClientText(reason);
        ++calls.state;
        if (how == Answer::Throw) throw std::runtime_error("state");
    });
    handler.SetHeartbeatCallback([&] {
        ++calls.heartbeat;
        if (how == Answer::Throw) throw std::logic_error("heartbeat");
    });
    handler.SetShutdownCallback([&] { ++calls.shutdown; });
    handler.SetRunwayInfoCallback([&](const std::string& icao) {
        FUZZ_CHECK(!icao.empty());
        ++calls.runway;
        return answer(how, icao);
    });
    handler.SetSimControlCallback([&](bool paused, const std::string& reason) {
        checkClientText(reason);
        ++calls.simControl;
        return answer(how, paused ? "paused" : "running");
    });
    handler.SetServerStatusFunction([] { return navorel::WebSocketMessageHandler::ServerStatus{3, true}; });

    std::string reply;
    try {
        reply = handler.HandleClientText(text, clock.steadyNow() - std::chrono::seconds(5));
    } catch (...) {
        FUZZ_CHECK(!"HandleClientText threw");
    }

    // Every reply is one JSON object of a known type, valid UTF-8, and small:
    // a client cannot make the bridge send back much of what it sent.
    Json parsed = Json::parse(reply, nullptr, false);
    FUZZ_CHECK(!parsed.is_discarded());
    FUZZ_CHECK(parsed.is_object());
    FUZZ_CHECK(parsed.contains("type") && parsed["type"].is_string());
    static const std::set<std::string> kTypes{"pong", "status_response", "response", "error"};
    const std::string type = parsed["type"];
    FUZZ_CHECK(kTypes.count(type) == 1);
    FUZZ_CHECK(reply.size() <= 2048);

    // The same text read independently decides which reply it gets.
    const Json input = Json::parse(text, nullptr, false);
    const bool command = !input.is_discarded() && input.is_object() && input.contains("type");
    if (!command) {
        FUZZ_CHECK(type == "error");
        return;
    }
    if (!input["type"].is_string()) {
        FUZZ_CHECK(type == "error");
        return;
    }
    const std::string sent = input["type"];
    if (sent == "ping") {
        FUZZ_CHECK(type == "pong");
    } else if (sent == "status") {
        FUZZ_CHECK(type == "status_response" && parsed["uptime"] == 5 && parsed["connections"] == 3);
    } else if (sent == "HEARTBEAT") {
        FUZZ_CHECK(calls.heartbeat == 1);
        FUZZ_CHECK(type == (how == Answer::Throw ? "error" : "response"));
    } else if (sent == "SHUTDOWN") {
        FUZZ_CHECK(calls.shutdown == 1 && type == "response");
    } else if (sent == "STATUS") {
        FUZZ_CHECK(type == "response" && parsed["data"]["status"] == "operational");
    } else if (sent == "SET_STATE" || sent == "REQUEST_RUNWAY_INFO" || sent == "SIM_CONTROL") {
        FUZZ_CHECK(type == "response" || type == "error");
        const int called = calls.state + calls.runway + calls.simControl;
        FUZZ_CHECK(called <= 1);
        if (type == "response") FUZZ_CHECK(called == 1);
    } else {
        FUZZ_CHECK(type == "error" && calls.heartbeat + calls.state + calls.runway + calls.simControl == 0);
    }
    if (type == "response") FUZZ_CHECK(parsed["success"] == true);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    navorel::fuzz::silenceGlobalLogger();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text = navorel::fuzz::asText(data, size);
    for (Answer how : {Answer::Succeed, Answer::Fail, Answer::Throw, Answer::BadUtf8Data}) run(text, how);
    return 0;
}
