#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace navorel {

// Outcome of one client command: the server turns it into a "response" or an
// "error" message for the client that sent the command.
struct CommandResult {
    bool success = false;
    std::string message;
    nlohmann::json data;  // null when there is no payload

    static CommandResult Success(std::string text, nlohmann::json payload = nullptr) {
        return {true, std::move(text), std::move(payload)};
    }
    static CommandResult Failure(std::string text) { return {false, std::move(text), nullptr}; }
};

}  // namespace navorel
