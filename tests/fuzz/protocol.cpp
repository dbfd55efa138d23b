// Client command text through the protocol handler with every callback set:
// once they answer (with data that is not valid UTF-8), once they throw.

#include <set>
#include <stdexcept>

#include "FuzzSupport.h"
#include "app/protocol/WebSocketMessageHandler.h"
#include "core/Text.h"

namespace {

using navorel::CommandResult;

CommandResult answer(bool fail, const std::string& what) {
    if (fail) throw std::runtime_error("callback failed on " + what);
    return CommandResult::Success("ok " + what, {{"raw", what + "\xC3\x28\xFF"}});
}

// Text passed on from the client: sendable and bounded.
void checkClientText(const std::string& text) {
    FUZZ_CHECK(navorel::fuzz::isValidUtf8(text) && text.size() <= navorel::kClientTextEchoLimit + 32);
}

void run(std::string_view text, bool fail) {
    static navorel::fuzz::ManualClock clock;
    navorel::WebSocketMessageHandler handler(clock, navorel::fuzz::silentLogger());
    handler.SetStateChangeCallback([&](navorel::ApplicationState, const std::string& reason) {
        checkClientText(reason);
        if (fail) throw std::runtime_error("state");
    });
    handler.SetHeartbeatCallback([&] {
        if (fail) throw std::logic_error("heartbeat");
    });
    handler.SetShutdownCallback([] {});
    handler.SetRunwayInfoCallback([&](const std::string& icao) { return answer(fail, icao); });
    handler.SetSimControlCallback([&](bool paused, const std::string& reason) {
        checkClientText(reason);
        return answer(fail, paused ? "paused" : "running");
    });
    handler.SetServerStatusFunction([] { return navorel::WebSocketMessageHandler::ServerStatus{3, true}; });
    std::string reply;
    try {
        reply = handler.HandleClientText(text, clock.steadyNow() - std::chrono::seconds(5));
    } catch (...) {
        FUZZ_CHECK(!"HandleClientText threw");
    }
    // One JSON object of a known type, and small whatever the client sent.
    static const std::set<std::string> kTypes{"pong", "status_response", "response", "error"};
    const auto parsed = nlohmann::json::parse(reply, nullptr, false);
    FUZZ_CHECK(parsed.is_object() && parsed.contains("type") && parsed["type"].is_string());
    FUZZ_CHECK(kTypes.count(parsed["type"].get<std::string>()) == 1 && reply.size() <= 2048);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    for (bool fail : {false, true}) run(navorel::fuzz::asText(data, size), fail);
    return 0;
}
