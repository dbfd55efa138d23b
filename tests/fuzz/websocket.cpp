// A WebSocket connection as the server runs it, over an in-memory stream:
// the upgrade request (read with the server's parser limits and routed by its
// decision), then the client's frames, read with the server's message rules;
// every text message is answered, as the protocol handler does.

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

// Walks the frames the server wrote: unmasked, control frames whole and
// short, at most one close frame and nothing after it.
void checkServerFrames(std::string_view out) {
    // A refused handshake is answered in HTTP alone.
    if (!out.starts_with("HTTP/1.1 101 ")) return;
    const std::size_t headerEnd = out.find("\r\n\r\n");
    FUZZ_CHECK(headerEnd != std::string_view::npos);
    std::string_view frames = out.substr(headerEnd + 4);
    bool closed = false;
    while (!frames.empty()) {
        FUZZ_CHECK(!closed);
        FUZZ_CHECK(frames.size() >= 2);
        const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(frames[i]); };
        const bool fin = (byte(0) & 0x80) != 0;
        const unsigned opcode = byte(0) & 0x0F;
        FUZZ_CHECK((byte(0) & 0x70) == 0);
        FUZZ_CHECK((byte(1) & 0x80) == 0);  // a server never masks
        std::uint64_t length = byte(1) & 0x7F;
        std::size_t header = 2;
        if (length == 126 || length == 127) {
            const std::size_t extra = length == 126 ? 2 : 8;
            FUZZ_CHECK(frames.size() >= 2 + extra);
            length = 0;
            for (std::size_t i = 0; i < extra; ++i) length = (length << 8) | byte(2 + i);
            header += extra;
        }
        FUZZ_CHECK(frames.size() - header >= length);
        FUZZ_CHECK(opcode == 0x1 || opcode == 0x2 || opcode == 0x8 || opcode == 0x9 || opcode == 0xA);
        if (opcode >= 0x8) FUZZ_CHECK(fin && length <= 125);
        if (opcode == 0x1) FUZZ_CHECK(fin);  // replies are never fragmented
        if (opcode == 0x8) {
            FUZZ_CHECK(length != 1);
            closed = true;
        }
        frames.remove_prefix(header + static_cast<std::size_t>(length));
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    navorel::fuzz::silenceGlobalLogger();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The upgrade request: the parser takes what belongs to it, the rest is frames.
    http::request_parser<http::string_body> parser;
    parser.header_limit(navorel::server_detail::kDefaultMaxHeaderBytes);
    parser.body_limit(navorel::server_detail::kMaxHttpBodyBytes);
    parser.eager(true);
    boost::system::error_code ec;
    const std::size_t used = parser.put(boost::asio::buffer(data, size), ec);
    if (ec || !parser.is_done()) return 0;
    auto request = parser.release();
    const auto decision = navorel::server_detail::DecideRoute(request, {}, true, 0);
    if (decision.route != navorel::server_detail::Route::Upgrade) return 0;

    boost::asio::io_context context;
    beast::test::stream client(context);
    websocket::stream<beast::test::stream> ws(context);
    ws.next_layer().connect(client);
    ws.next_layer().append(navorel::fuzz::asText(data + used, size - used));
    ws.next_layer().close_remote();
    ws.next_layer().read_size(1 + size % 509);

    int undefinedCloseCodes = 0;
    ws.set_option(websocket::stream_base::decorator([subprotocol = decision.subprotocol](websocket::response_type& r) {
        if (!subprotocol.empty()) r.set(http::field::sec_websocket_protocol, subprotocol);
    }));
    navorel::server_detail::ApplyMessageRules(ws, [&] {
        FUZZ_CHECK(ws.reason().code >= 5000);
        ++undefinedCloseCodes;
    });
    ws.accept(request, ec);
    if (!ec) {
        beast::flat_buffer buffer;
        for (;;) {
            ws.read(buffer, ec);
            if (ec) break;
            FUZZ_CHECK(buffer.size() <= navorel::WebSocketServer::kMaxPayloadBytes);
            if (ws.got_text()) {
                // Beast lets only valid UTF-8 through as text.
                FUZZ_CHECK(navorel::fuzz::isValidUtf8(beast::buffers_to_string(buffer.data())));
                ws.write(boost::asio::buffer(std::string_view(R"({"type":"pong"})")), ec);
                if (ec) break;
            }
            buffer.consume(buffer.size());
        }
    }
    FUZZ_CHECK(undefinedCloseCodes <= 1);
    checkServerFrames(client.str());
    return 0;
}
