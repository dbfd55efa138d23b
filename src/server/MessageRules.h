#pragma once

// Internal to the server: the message rules of every WebSocket connection,
// apart from the sessions so that they apply over any stream (the fuzz
// targets use an in-memory one).

#include <boost/beast/websocket/stream.hpp>

#include "server/WebSocketServer.h"

namespace navorel::server_detail {

// Size limit, frame options, and the answer to an undefined close code:
// onUndefinedCloseCode runs when a peer's close frame carries a code from
// 5000 on, before Beast echoes it.
template <class NextLayer, class OnUndefinedCloseCode>
void ApplyMessageRules(boost::beast::websocket::stream<NextLayer>& ws, OnUndefinedCloseCode onUndefinedCloseCode) {
    namespace websocket = boost::beast::websocket;
    ws.read_message_max(WebSocketServer::kMaxPayloadBytes);
    // Beast echoes any close code from 3000 up; codes from 5000 on are not
    // defined, and a protocol error (1002) is the answer they call for.
    ws.control_callback([&ws, onUndefinedCloseCode](websocket::frame_type kind, boost::beast::string_view) {
        if (kind == websocket::frame_type::close && ws.reason().code >= 5000) onUndefinedCloseCode();
    });
    // Every send is one uncompressed text frame; permessage-deflate is never
    // negotiated, so no inbound decompression either.
    ws.auto_fragment(false);
    ws.text(true);
}

}  // namespace navorel::server_detail
