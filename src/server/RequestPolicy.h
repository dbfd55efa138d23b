#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace navorel {

// Only local programs may drive the bridge. Binding to 127.0.0.1 is not enough:
// a web page in the user's browser can reach the loopback port too, directly
// or by DNS rebinding. These checks run on every request before routing.

// A Host header naming localhost, 127.0.0.1 or [::1], with or without a port.
bool IsLocalHostHeader(std::string_view host);

// An Origin a WebSocket upgrade may carry: "file://", an http/https origin on
// one of the local hosts, or exactly one of the extra origins given with
// --allow-origin.
bool IsAllowedOrigin(std::string_view origin, const std::vector<std::string>& extraOrigins);

}  // namespace navorel
