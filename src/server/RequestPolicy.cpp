#include "server/RequestPolicy.h"

#include <algorithm>
#include <array>

#include "core/Text.h"

namespace navorel {

namespace {

bool startsWithIgnoreCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && equalsIgnoreAsciiCase(text.substr(0, prefix.size()), prefix);
}

bool isPortText(std::string_view text) {
    return !text.empty() && text.size() <= 5 &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

bool IsLocalHostHeader(std::string_view host) {
    std::string_view name = host;
    std::string_view port;
    bool hasPort = false;
    if (!host.empty() && host.front() == '[') {
        const auto close = host.find(']');
        if (close == std::string_view::npos) return false;
        name = host.substr(0, close + 1);
        const std::string_view rest = host.substr(close + 1);
        if (!rest.empty()) {
            if (rest.front() != ':') return false;
            hasPort = true;
            port = rest.substr(1);
        }
    } else if (const auto colon = host.find(':'); colon != std::string_view::npos) {
        name = host.substr(0, colon);
        port = host.substr(colon + 1);
        hasPort = true;
    }
    if (hasPort && !isPortText(port)) return false;
    static constexpr std::array<std::string_view, 3> kLocalNames{"localhost", "127.0.0.1", "[::1]"};
    return std::any_of(kLocalNames.begin(), kLocalNames.end(),
                       [name](std::string_view local) { return equalsIgnoreAsciiCase(name, local); });
}

bool IsAllowedOrigin(std::string_view origin, const std::vector<std::string>& extraOrigins) {
    if (std::find(extraOrigins.begin(), extraOrigins.end(), origin) != extraOrigins.end()) return true;
    if (equalsIgnoreAsciiCase(origin, "file://")) return true;
    for (std::string_view scheme : {std::string_view("http://"), std::string_view("https://")}) {
        if (startsWithIgnoreCase(origin, scheme)) return IsLocalHostHeader(origin.substr(scheme.size()));
    }
    return false;
}

}  // namespace navorel
