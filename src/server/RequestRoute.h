#pragma once

// Internal to the server: where one HTTP request goes. Kept apart from the
// sessions so that it can be exercised on any parsed request (the fuzz
// targets do so) without a socket.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>

namespace navorel::server_detail {

enum class Route {
    ForeignHost,      // 403: a Host header names another machine
    ForeignOrigin,    // 403: an upgrade from a web page that is not allowed
    ShuttingDown,     // 503: upgrades are no longer accepted
    ConnectionLimit,  // 503: clients and handshakes fill every slot
    Upgrade,          // WebSocket handshake
    Health,           // GET /health
    Root,             // GET /
    NotFound,         // 404
};

struct RouteDecision {
    Route route = Route::NotFound;
    // The refused Host or Origin value (ForeignHost, ForeignOrigin).
    std::string_view refusedValue;
    // The subprotocol the handshake answer echoes (Upgrade only; may be empty).
    std::string subprotocol;
};

// The decision for one request. connections counts the open clients plus
// the handshakes under way.
RouteDecision DecideRoute(const boost::beast::http::request<boost::beast::http::string_body>& request,
                          const std::vector<std::string>& allowedOrigins, bool acceptingConnections,
                          std::size_t connections);

// The first of the offered subprotocols.
std::string FirstSubprotocol(std::string_view offered);

}  // namespace navorel::server_detail
