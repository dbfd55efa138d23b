// HTTP requests as the server reads them: Beast's parser with the server's
// limits over an in-memory stream, keep-alive requests one after another, each
// routed by the server's decision. The first byte sets the server's side:
// accepting upgrades, connection count, extra allowed origins, read size.

#include <boost/asio/io_context.hpp>
#include <boost/beast/_experimental/test/stream.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/read.hpp>

#include "FuzzSupport.h"
#include "server/RequestPolicy.h"
#include "server/RequestRoute.h"
#include "server/WebSocketServerImpl.h"

namespace {

namespace beast = boost::beast;
namespace http = beast::http;
using navorel::server_detail::Route;

// The route follows the Host and Origin policy field by field.
void checkRoute(const navorel::server_detail::HttpRequest& request, const std::vector<std::string>& origins,
                bool accepting, std::size_t connections) {
    const auto decision = navorel::server_detail::DecideRoute(request, origins, accepting, connections);
    bool foreignHost = false;
    bool foreignOrigin = false;
    for (const auto& field : request) {
        if (field.name() == http::field::host) foreignHost = foreignHost || !navorel::IsLocalHostHeader(field.value());
        if (field.name() == http::field::origin) {
            foreignOrigin = foreignOrigin || !navorel::IsAllowedOrigin(field.value(), origins);
        }
    }
    const bool get = request.method() == http::verb::get;
    const std::string_view path = request.target().substr(0, request.target().find('?'));
    Route expected = get && path == "/health" ? Route::Health : get && path == "/" ? Route::Root : Route::NotFound;
    if (get && request[http::field::sec_websocket_key].size() == 24) {
        expected = foreignOrigin ? Route::ForeignOrigin
                   : !accepting  ? Route::ShuttingDown
                   : connections >= navorel::WebSocketServer::kMaxConnections ? Route::ConnectionLimit
                                                                              : Route::Upgrade;
    }
    if (foreignHost) expected = Route::ForeignHost;
    FUZZ_CHECK(decision.route == expected);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::uint8_t setup = data[0];
    std::vector<std::string> origins;
    if (setup & 0x10) origins = {"https://app.example.org", "null"};
    boost::asio::io_context context;
    beast::test::stream stream(context, navorel::fuzz::asText(data + 1, size - 1));
    stream.close_remote();
    stream.read_size(1 + setup % 61 * 17);  // like a socket, one read hands over only so much
    beast::flat_buffer buffer;
    for (int requests = 0; requests < 16; ++requests) {
        http::request_parser<http::string_body> parser;
        parser.header_limit(navorel::server_detail::kDefaultMaxHeaderBytes);
        parser.body_limit(navorel::server_detail::kMaxHttpBodyBytes);
        boost::system::error_code ec;
        http::read(stream, buffer, parser, ec);
        if (ec) break;
        const auto request = parser.release();
        checkRoute(request, origins, (setup & 1) == 0, (setup >> 1) % 7);
        if (!request.keep_alive()) break;
    }
    return 0;
}
