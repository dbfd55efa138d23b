// A WebSocket connection as the server runs it, over an in-memory stream: the
// upgrade request (the server's parser limits and route decision), then the
// client's frames under the server's message rules; every text message is
// answered, as the protocol handler does.

#include <boost/asio/buffer.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/beast/_experimental/test/stream.hpp>
#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/websocket/stream.hpp>

#include "FuzzSupport.h"
#include "server/MessageRules.h"
#include "server/RequestRoute.h"
#include "server/WebSocketServerImpl.h"

namespace {

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace detail = navorel::server_detail;

// The frames the server wrote after its 101 (a refusal is HTTP alone):
// unmasked, known opcodes, text and control frames whole, control frames
// short, nothing after a close.
void checkServerFrames(std::string_view out) {
    if (!out.starts_with("HTTP/1.1 101 ")) return;
    const std::size_t headerEnd = out.find("\r\n\r\n");
    FUZZ_CHECK(headerEnd != std::string_view::npos);
    for (std::string_view frames = out.substr(headerEnd + 4); !frames.empty();) {
        const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(frames[i]); };
        FUZZ_CHECK(frames.size() >= 2 && (byte(0) & 0x70) == 0 && (byte(1) & 0x80) == 0);
        const unsigned opcode = byte(0) & 0x0F;
        std::uint64_t length = byte(1) & 0x7F;
        const std::size_t extra = length == 126 ? 2 : length == 127 ? 8 : 0;
        FUZZ_CHECK(frames.size() >= 2 + extra);
        if (extra != 0) length = 0;
        for (std::size_t i = 0; i < extra; ++i) length = (length << 8) | byte(2 + i);
        FUZZ_CHECK(frames.size() - 2 - extra >= length);
        FUZZ_CHECK(opcode == 0x1 || opcode == 0x2 || (opcode >= 0x8 && opcode <= 0xA));
        if (opcode == 0x1 || opcode >= 0x8) FUZZ_CHECK((byte(0) & 0x80) != 0);
        if (opcode >= 0x8) FUZZ_CHECK(length <= 125 && !(opcode == 0x8 && length == 1));
        frames.remove_prefix(2 + extra + length);
        if (opcode == 0x8) FUZZ_CHECK(frames.empty());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The parser takes the upgrade request; the rest is frames.
    http::request_parser<http::string_body> parser;
    parser.header_limit(detail::kDefaultMaxHeaderBytes);
    parser.body_limit(detail::kMaxHttpBodyBytes);
    parser.eager(true);
    boost::system::error_code ec;
    const std::size_t used = parser.put(boost::asio::buffer(data, size), ec);
    if (ec || !parser.is_done()) return 0;
    auto request = parser.release();
    if (detail::DecideRoute(request, {}, true, 0).route != detail::Route::Upgrade) return 0;

    boost::asio::io_context context;
    beast::test::stream client(context);
    websocket::stream<beast::test::stream> ws(context);
    ws.next_layer().connect(client);
    ws.next_layer().append(navorel::fuzz::asText(data + used, size - used));
    ws.next_layer().close_remote();
    ws.next_layer().read_size(1 + size % 509);
    detail::ApplyMessageRules(ws, [&] { FUZZ_CHECK(ws.reason().code >= 5000); });
    ws.accept(request, ec);
    beast::flat_buffer buffer;
    while (!ec) {
        ws.read(buffer, ec);
        FUZZ_CHECK(buffer.size() <= navorel::WebSocketServer::kMaxPayloadBytes);
        if (!ec && ws.got_text()) {
            // Beast lets only valid UTF-8 through as text.
            FUZZ_CHECK(navorel::fuzz::isValidUtf8(beast::buffers_to_string(buffer.data())));
            ws.write(boost::asio::buffer(std::string_view(R"({"type":"pong"})")), ec);
        }
        buffer.consume(buffer.size());
    }
    checkServerFrames(client.str());
    return 0;
}
