// HTTP requests as the server reads them: Beast's request parser with the
// server's header and body limits over an in-memory stream, keep-alive
// requests one after another, each routed by the server's own decision.
// The first byte sets the server's side: accepting upgrades, connection count,
// extra allowed origins.

#include <algorithm>

#include <boost/asio/io_context.hpp>
#include <boost/beast/_experimental/test/stream.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/read.hpp>

#include "FuzzSupport.h"
#include "core/Text.h"
#include "server/RequestPolicy.h"
#include "server/RequestRoute.h"
#include "server/WebSocketServerImpl.h"

namespace {

namespace beast = boost::beast;
namespace http = beast::http;
using navorel::server_detail::Route;

// What a local Host header looks like, stated apart from RequestPolicy.cpp.
bool looksLocal(std::string_view host) {
    for (std::string_view name : {"localhost", "127.0.0.1", "[::1]"}) {
        if (host.size() < name.size() || !navorel::equalsIgnoreAsciiCase(host.substr(0, name.size()), name)) continue;
        const std::string_view rest = host.substr(name.size());
        if (rest.empty()) return true;
        const std::string_view port = rest.substr(1);
        return rest.front() == ':' && !port.empty() && port.size() <= 5 &&
               std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; });
    }
    return false;
}

void checkRoute(const navorel::server_detail::HttpRequest& request, const std::vector<std::string>& origins,
                bool accepting, std::size_t connections) {
    const auto decision = navorel::server_detail::DecideRoute(request, origins, accepting, connections);
    bool foreignHost = false;
    for (const auto& field : request) {
        if (field.name() != http::field::host) continue;
        const bool local = navorel::IsLocalHostHeader(field.value());
        FUZZ_CHECK(local == looksLocal(field.value()));
        foreignHost = foreignHost || !local;
    }
    FUZZ_CHECK((decision.route == Route::ForeignHost) == foreignHost);
    if (foreignHost) {
        FUZZ_CHECK(!navorel::IsLocalHostHeader(decision.refusedValue));
        return;
    }
    const bool upgrade = request.method() == http::verb::get && request[http::field::sec_websocket_key].size() == 24;
    bool foreignOrigin = false;
    for (const auto& field : request) {
        if (field.name() != http::field::origin) continue;
        const bool allowed = navorel::IsAllowedOrigin(field.value(), origins);
        // Allowed means listed, "file://", or http(s) on a local host.
        if (allowed && std::find(origins.begin(), origins.end(), field.value()) == origins.end() &&
            !navorel::equalsIgnoreAsciiCase(field.value(), "file://")) {
            const std::string_view value = field.value();
            const std::size_t scheme = value.find("://");
            FUZZ_CHECK(scheme != std::string_view::npos);
            const std::string name = navorel::asciiLower(value.substr(0, scheme));
            FUZZ_CHECK(name == "http" || name == "https");
            FUZZ_CHECK(looksLocal(value.substr(scheme + 3)));
        }
        foreignOrigin = foreignOrigin || !allowed;
    }
    if (upgrade) {
        FUZZ_CHECK((decision.route == Route::ForeignOrigin) == foreignOrigin);
        if (foreignOrigin) return;
        const Route expected = !accepting                                              ? Route::ShuttingDown
                               : connections >= navorel::WebSocketServer::kMaxConnections ? Route::ConnectionLimit
                                                                                        : Route::Upgrade;
        FUZZ_CHECK(decision.route == expected);
        if (expected == Route::Upgrade) {
            const std::string& protocol = decision.subprotocol;
            FUZZ_CHECK(protocol.find(',') == std::string::npos);
            FUZZ_CHECK(protocol.empty() || (protocol.front() != ' ' && protocol.front() != '\t' &&
                                            protocol.back() != ' ' && protocol.back() != '\t'));
        }
        return;
    }
    const std::string_view target = request.target();
    const std::string_view path = target.substr(0, target.find('?'));
    const bool get = request.method() == http::verb::get;
    const Route expected = get && path == "/health" ? Route::Health : get && path == "/" ? Route::Root : Route::NotFound;
    FUZZ_CHECK(decision.route == expected);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    navorel::fuzz::silenceGlobalLogger();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::uint8_t setup = data[0];
    const bool accepting = (setup & 1) == 0;
    const std::size_t connections = (setup >> 1) % 7;
    std::vector<std::string> origins;
    if (setup & 0x10) origins = {"https://app.example.org", "null"};

    boost::asio::io_context context;
    beast::test::stream stream(context, navorel::fuzz::asText(data + 1, size - 1));
    stream.close_remote();
    // Like a socket, the stream hands over at most what one read takes.
    stream.read_size(1 + setup % 61 * 17);
    beast::flat_buffer buffer;
    for (int requests = 0; requests < 16; ++requests) {
        http::request_parser<http::string_body> parser;
        parser.header_limit(navorel::server_detail::kDefaultMaxHeaderBytes);
        parser.body_limit(navorel::server_detail::kMaxHttpBodyBytes);
        boost::system::error_code ec;
        http::read(stream, buffer, parser, ec);
        if (ec) break;
        const auto request = parser.release();
        FUZZ_CHECK(request.body().size() <= navorel::server_detail::kMaxHttpBodyBytes);
        checkRoute(request, origins, accepting, connections);
        if (!request.keep_alive()) break;
    }
    return 0;
}
