"""The bridge's local server seen from outside: the real binary, driven by an
independent WebSocket client (Debian's python3-websockets) and plain HTTP."""

import http.client
import json
import re
import signal
import socket

import pytest

from runtime_support import WAIT, now_ticks, payload, refusal, wait_until

MIB = 1024 * 1024
CLOSED_BY_SHUTDOWN = (1001, "Server shutting down")


def canonical(text):
    """Compact JSON with keys in ascending byte order."""
    return json.dumps(json.loads(text), separators=(",", ":"), sort_keys=True, ensure_ascii=False)


def answer(client, message):
    """Sends a message and returns the next frame that is not a sim_status
    (which the bridge may push at any time)."""
    start = client.mark()
    client.send(message)
    return client.wait_for(lambda m: m.get("type") != "sim_status", start=start)


def http_get(process, path, headers=None, host="127.0.0.1"):
    connection = http.client.HTTPConnection("127.0.0.1", process.port, timeout=WAIT)
    try:
        connection.putrequest("GET", path, skip_host=True)
        for name, value in dict(headers or {}, **({"Host": host} if host else {})).items():
            connection.putheader(name, value)
        connection.endheaders()
        response = connection.getresponse()
        return response.status, response.reason, dict(response.getheaders()), response.read().decode()
    finally:
        connection.close()


def health(process):
    return json.loads(http_get(process, "/health")[3])


def refused_upgrade(process):
    """(status, reason, body) of the answer to a plain upgrade request."""
    status, reason, _, body = http_get(process, "/", {"Upgrade": "websocket", "Connection": "Upgrade",
                                                      "Sec-WebSocket-Key": "dGhlIHNhbXBsZSBub25jZQ==",
                                                      "Sec-WebSocket-Version": "13"})
    return status, reason, body


def test_welcome_ping_status_and_client_lines(bridge, clients):
    process = bridge("--verbose")
    client = clients(process)
    welcome = client.since(0)[0]
    assert welcome.text == canonical(welcome.text)
    assert payload(welcome.message) == {"type": "connection", "status": "connected",
                                        "message": "Connected to Navorel Bridge", "version": "1.0.0",
                                        "id": welcome.message["id"],
                                        "server": {"currentConnections": 1, "maxConnections": 5}}
    assert re.fullmatch(r"\d+-[1-9]\d{3}", welcome.message["id"])
    assert "Sec-WebSocket-Extensions" not in client.response_headers  # no compression

    pong = answer(client, '{"type":"ping"}')
    assert pong.text == canonical(pong.text) and set(pong.message) == {"type", "timestamp"}
    assert pong.type == "pong" and abs(pong.message["timestamp"] - now_ticks()) < 60 * 10**7
    status = answer(client, '{"type":"status"}').message
    assert status == {"type": "status_response", "connections": 1, "server_running": True,
                      "uptime": status["uptime"]} and status["uptime"] in (0, 1)

    client.close()
    client_id = welcome.message["id"]
    assert process.wait_for_output(
        "[INFO ] [WebSocket] Client connected from 127.0.0.1 (ID: %s). Total: 1" % client_id, WAIT)
    assert process.wait_for_output(
        "[INFO ] [WebSocket] Client disconnected (ID: %s, Code: 1000). Total: 0" % client_id, WAIT)


def test_malformed_input_gets_errors_or_closes_the_connection(bridge, clients):
    process = bridge()
    client = clients(process)
    not_json = answer(client, "this is not json").message
    assert not_json["message"] == "Invalid JSON format" and "parse_error" in not_json["details"]
    assert answer(client, "[1,2,3]").message == {"type": "error", "message": "Message missing 'type' field"}
    wrong_type = answer(client, '{"type":5}').message
    assert wrong_type["message"] == "Invalid JSON format"
    assert "type must be string, but is number" in wrong_type["details"]
    client.send(b'{"type":"ping"}')  # binary frames are ignored
    assert answer(client, '{"type":"status"}').type == "status_response"
    fits = '{"type":"' + "x" * (MIB - 11) + '"}'
    assert len(fits) == MIB
    assert answer(client, fits).message["error"].startswith("Unknown command type: xxx")

    garbled = clients(process)
    garbled.send_raw_text(b'{"type":"\xff\xfe"}')
    assert garbled.wait_closed()[0] == 1007
    oversized = clients(process)
    try:
        oversized.send("x" * (MIB + 1))
    except Exception:  # noqa: BLE001 - the bridge may close while the frame is on its way
        pass
    assert oversized.wait_closed()[0] == 1009
    # The first client was never disturbed, and newcomers are served.
    assert not client.closed and answer(client, '{"type":"ping"}').type == "pong"
    clients(process)


def test_sixth_client_is_refused_until_one_leaves(bridge, clients):
    process = bridge()
    five = [clients(process) for _ in range(5)]
    assert refusal(process.port) == 503
    assert refused_upgrade(process) == (503, "Service Unavailable", "Connection limit reached")
    five.pop().close()
    assert wait_until(lambda: health(process)["connections"] == 4)
    assert clients(process).since(0)[0].message["server"]["currentConnections"] == 5


def test_health_root_and_header_limit(bridge):
    process = bridge()
    status, reason, headers, body = http_get(process, "/health")
    assert (status, reason, headers["Content-Type"]) == (200, "OK", "application/json")
    assert headers["Access-Control-Allow-Origin"] == "*" and body == canonical(body)
    document = json.loads(body)
    assert payload(document) == {"status": "healthy", "service": "Navorel Bridge", "version": "1.0.0",
                                 "connections": 0, "maxConnections": 5, "acceptingConnections": True}
    assert abs(document["timestamp"] - now_ticks()) < 60 * 10**7

    status, _, headers, body = http_get(process, "/")
    assert status == 200 and headers["Content-Type"] == "text/plain"
    assert body == ("Navorel Bridge WebSocket Server 1.0.0\nWebSocket endpoint: ws://localhost:%d/\n"
                    "Health check: http://localhost:%d/health" % (process.port, process.port))
    assert http_get(process, "/health/")[:2] == (404, "Not Found")

    # Request headers are capped (UWS_HTTP_MAX_HEADERS_SIZE overrides the default).
    assert http_get(process, "/health", {"X-Filler": "a" * 5000})[:2] == (431, "Request Header Fields Too Large")
    small = bridge(env={"UWS_HTTP_MAX_HEADERS_SIZE": "1024"})
    assert http_get(small, "/health", {"X-Filler": "a" * 500})[0] == 200
    assert http_get(small, "/health", {"X-Filler": "a" * 2000})[0] == 431


def test_port_taken_reports_the_conflict_and_falls_back(bridge):
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as squatter:
        squatter.bind(("127.0.0.1", 0))
        squatter.listen()
        taken = squatter.getsockname()[1]
        process = bridge("--verbose", port=taken)
        port = process.port
        assert process.conflict_port == taken and port != taken
        out = process.stdout
        assert "WEBSOCKET_PORT_CONFLICT=%d\nWEBSOCKET_PORT=%d\n" % (taken, port) in out
        for line in ("[WARN ] [WebSocket] Requested port %d is already in use" % taken,
                     "[WARN ] [WebSocket] Port %d unavailable, attempting automatic port selection" % taken,
                     "[INFO ] [WebSocket] Automatically selected available port %d" % port,
                     "[INFO ] WebSocket server started successfully on port %d" % port,
                     "[INFO ] [WebSocket] Navorel Bridge listening on ws://127.0.0.1:%d" % port,
                     "[INFO ] [WebSocket] Health check at http://127.0.0.1:%d/health" % port,
                     "[INFO ] [WebSocket] Security: Only accepting local connections"):
            assert line in out, line
        assert health(process)["status"] == "healthy"


@pytest.mark.parametrize("how", ["SIGINT", "SHUTDOWN"])
def test_stop_closes_every_client_with_1001_and_exits_0(how, bridge, clients):
    process = bridge("--verbose")
    bystander, client = clients(process), clients(process)
    if how == "SIGINT":
        process.send_signal(signal.SIGINT)
        marker = "Shutdown signal received, shutting down gracefully..."
    else:
        response = answer(client, '{"type":"SHUTDOWN","reason":"end of flight"}').message
        assert (response["type"], response["message"]) == ("response", "Shutdown initiated")
        marker = "[INFO ] Graceful shutdown requested via WebSocket"
    # During the shutdown pause the bridge still answers but takes no one new.
    assert wait_until(lambda: health(process)["acceptingConnections"] is False)
    assert refused_upgrade(process) == (503, "Service Unavailable", "Server is shutting down")
    assert client.wait_closed() == bystander.wait_closed() == CLOSED_BY_SHUTDOWN
    assert process.wait() == 0
    out = process.stdout
    assert out.index(marker) < out.index("\n\nShutting down...\n") < out.index("[INFO ] Bridge stopped successfully")
    if how == "SHUTDOWN":
        assert "[INFO ] [WebSocketMessageHandler] Shutdown requested: end of flight" in out
    assert process.stderr == ""


def test_foreign_hosts_and_origins_are_refused_unless_allowed(bridge, clients):
    process = bridge("--verbose", "--allow-origin", "https://acars.example.com")
    port = process.port
    assert http_get(process, "/health", host="evil.example:%d" % port)[:2] == (403, "Forbidden")
    for host in ("localhost:%d" % port, "[::1]:%d" % port, None):
        assert http_get(process, "/health", host=host)[0] == 200, host
    assert refusal(port, extra_headers={"Host": "attacker.example"}) == 403
    for origin in ("https://evil.example", "null", "https://acars.example.com:444", "http://acars.example.com"):
        assert refusal(port, origin=origin) == 403, origin
    for origin in (None, "file://", "http://localhost:3000", "https://127.0.0.1", "https://acars.example.com"):
        clients(process, origin=origin)
    out = process.stdout
    for refused in (r"evil\.example", "'null'", r"attacker\.example"):
        assert re.search(r"\[WARN \] \[WebSocket\] .*" + refused, out), refused
