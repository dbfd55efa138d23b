#include "server/RequestRoute.h"

#include "server/RequestPolicy.h"
#include "server/WebSocketServer.h"

namespace navorel::server_detail {

namespace http = boost::beast::http;

std::string FirstSubprotocol(std::string_view offered) {
    offered = offered.substr(0, offered.find(','));
    const auto begin = offered.find_first_not_of(" \t");
    if (begin == std::string_view::npos) return {};
    const auto end = offered.find_last_not_of(" \t");
    return std::string(offered.substr(begin, end - begin + 1));
}

RouteDecision DecideRoute(const http::request<http::string_body>& request,
                          const std::vector<std::string>& allowedOrigins, bool acceptingConnections,
                          std::size_t connections) {
    const auto hosts = request.equal_range(http::field::host);
    for (auto it = hosts.first; it != hosts.second; ++it) {
        if (!IsLocalHostHeader(it->value())) return {Route::ForeignHost, it->value(), {}};
    }
    const bool isGet = request.method() == http::verb::get;
    if (isGet && request[http::field::sec_websocket_key].size() == 24) {
        const auto origins = request.equal_range(http::field::origin);
        for (auto it = origins.first; it != origins.second; ++it) {
            if (!IsAllowedOrigin(it->value(), allowedOrigins)) return {Route::ForeignOrigin, it->value(), {}};
        }
        if (!acceptingConnections) return {Route::ShuttingDown, {}, {}};
        if (connections >= WebSocketServer::kMaxConnections) return {Route::ConnectionLimit, {}, {}};
        return {Route::Upgrade, {}, FirstSubprotocol(request[http::field::sec_websocket_protocol])};
    }
    std::string_view path = request.target();
    path = path.substr(0, path.find('?'));
    if (isGet && path == "/health") return {Route::Health, {}, {}};
    if (isGet && path == "/") return {Route::Root, {}, {}};
    return {Route::NotFound, {}, {}};
}

}  // namespace navorel::server_detail
