"""The bridge's local server seen from outside: the real binary, driven by an
independent WebSocket client (Debian's python3-websockets) and plain HTTP."""

import asyncio
import http.client
import json
import re
import signal
import socket
import time

import pytest
import websockets
from websockets.exceptions import ConnectionClosed, InvalidStatusCode

WAIT = 10.0
MIB = 1024 * 1024


def run(coroutine):
    return asyncio.run(asyncio.wait_for(coroutine, WAIT * 3))


def ws_uri(process, path="/"):
    return "ws://127.0.0.1:%d%s" % (process.port, path)


def connect(process, **kwargs):
    kwargs.setdefault("ping_interval", None)
    kwargs.setdefault("open_timeout", WAIT)
    kwargs.setdefault("max_size", None)
    return websockets.connect(ws_uri(process), **kwargs)


async def recv_json(ws):
    return json.loads(await asyncio.wait_for(ws.recv(), WAIT))


async def answer_to(ws, text):
    """Sends text and returns the next message, skipping the simulator status
    that a bridge may push to its clients at any time."""
    await ws.send(text)
    while True:
        message = await recv_json(ws)
        if message.get("type") != "sim_status":
            return message


async def welcome(ws):
    message = await recv_json(ws)
    assert message["type"] == "connection"
    return message


async def closed_code(ws):
    """Reads until the connection ends; (code, reason) of the server's close."""
    try:
        while True:
            await asyncio.wait_for(ws.recv(), WAIT)
    except ConnectionClosed as closed:
        return closed.code, closed.reason


def canonical(text):
    return json.dumps(json.loads(text), separators=(",", ":"), sort_keys=True, ensure_ascii=False)


def now_ticks():
    return time.time_ns() // 100


def http_get(process, path, headers=None, host="127.0.0.1"):
    connection = http.client.HTTPConnection("127.0.0.1", process.port, timeout=WAIT)
    try:
        connection.putrequest("GET", path, skip_host=True)
        if host is not None:
            connection.putheader("Host", host)
        for name, value in (headers or {}).items():
            connection.putheader(name, value)
        connection.endheaders()
        response = connection.getresponse()
        return response.status, response.reason, dict(response.getheaders()), response.read().decode()
    finally:
        connection.close()


def raw_upgrade(process, extra=""):
    """An upgrade request by hand: (status line, body) of the answer."""
    request = (
        "GET /bridge HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
        "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n" + extra + "\r\n"
    )
    with socket.create_connection(("127.0.0.1", process.port), timeout=WAIT) as sock:
        sock.sendall(request.encode())
        data = b""
        while b"\r\n\r\n" not in data:
            chunk = sock.recv(4096)
            if not chunk:
                break
            data += chunk
        head, _, body = data.partition(b"\r\n\r\n")
        length = int(re.search(rb"(?i)content-length: *(\d+)", head).group(1)) if b"ength" in head else 0
        while len(body) < length:
            chunk = sock.recv(4096)
            if not chunk:
                break
            body += chunk
        return head.split(b"\r\n")[0].decode(), body.decode()


def health(process):
    return json.loads(http_get(process, "/health")[3])


def wait_until(condition, timeout=WAIT):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.02)
    return condition()


# ---------------------------------------------------------------------------


def test_welcome_comes_first_with_sorted_keys_and_no_compression(bridge):
    process = bridge()

    async def scenario():
        async with connect(process) as ws:
            text = await asyncio.wait_for(ws.recv(), WAIT)
            assert text == canonical(text)  # compact, keys in ascending byte order
            message = json.loads(text)
            assert set(message) == {"type", "status", "message", "version", "id", "server"}
            assert message["status"] == "connected"
            assert message["message"] == "Connected to Navorel Bridge"
            assert message["version"] == "1.0.0"
            assert re.fullmatch(r"\d+-[1-9]\d{3}", message["id"])
            assert message["server"] == {"currentConnections": 1, "maxConnections": 5}
            assert "Sec-WebSocket-Extensions" not in ws.response_headers
            pong = await answer_to(ws, '{"type":"ping"}')
            assert pong["type"] == "pong"

    run(scenario())


def test_ping_status_and_commands(bridge):
    process = bridge()

    async def scenario():
        async with connect(process) as ws:
            await welcome(ws)
            await ws.send('{"type":"ping"}')
            raw = await asyncio.wait_for(ws.recv(), WAIT)
            while json.loads(raw)["type"] == "sim_status":
                raw = await asyncio.wait_for(ws.recv(), WAIT)
            assert raw == canonical(raw)
            pong = json.loads(raw)
            assert set(pong) == {"type", "timestamp"} and pong["type"] == "pong"
            assert abs(pong["timestamp"] - now_ticks()) < 60 * 10_000_000

            status = await answer_to(ws, '{"type":"status"}')
            assert set(status) == {"type", "connections", "server_running", "uptime"}
            assert status["type"] == "status_response"
            assert status["connections"] == 1 and status["server_running"] is True
            assert status["uptime"] in (0, 1)

            response = await answer_to(ws, '{"type":"STATUS"}')
            assert response["type"] == "response" and response["success"] is True
            assert response["message"] == "Status retrieved"
            assert response["data"]["bridge_version"] == "3.0"
            assert response["data"]["status"] == "operational"

            heartbeat = await answer_to(ws, '{"type":"HEARTBEAT"}')
            assert heartbeat["message"] == "Heartbeat acknowledged" and "data" not in heartbeat

            unknown = await answer_to(ws, '{"type":"status_request"}')
            assert unknown == {
                "type": "error",
                "success": False,
                "error": "Unknown command type: status_request",
                "timestamp": unknown["timestamp"],
            }
            state = await answer_to(ws, '{"type":"SET_STATE","state":"active"}')
            assert state["error"] == "Invalid state: active. Valid states: IDLE, PREFLIGHT, ACTIVE"

    run(scenario())


def test_malformed_input_gets_error_answers_and_the_connection_stays(bridge):
    process = bridge()

    async def scenario():
        async with connect(process) as ws:
            await welcome(ws)
            not_json = await answer_to(ws, "this is not json")
            assert not_json["type"] == "error" and not_json["message"] == "Invalid JSON format"
            assert "parse_error" in not_json["details"]

            assert await answer_to(ws, "[1,2,3]") == {"type": "error", "message": "Message missing 'type' field"}

            wrong_type = await answer_to(ws, '{"type":5}')
            assert wrong_type["message"] == "Invalid JSON format"
            assert "type must be string, but is number" in wrong_type["details"]

            await ws.send(b'{"type":"ping"}')  # binary frames are ignored
            assert (await answer_to(ws, '{"type":"status"}'))["type"] == "status_response"

            fits = '{"type":"' + "x" * (MIB - 11) + '"}'
            assert len(fits) == MIB
            assert (await answer_to(ws, fits))["error"].startswith("Unknown command type: xxx")

    run(scenario())


def test_invalid_utf8_closes_with_1007(bridge):
    process = bridge()

    async def scenario():
        async with connect(process) as ws:
            await welcome(ws)
            await ws.write_frame(True, 0x1, b'{"type":"\xff\xfe"}')
            code, _ = await closed_code(ws)
            assert code == 1007

    run(scenario())


def test_frame_over_one_mebibyte_closes_with_1009(bridge):
    process = bridge()

    async def scenario():
        async with connect(process) as ws:
            await welcome(ws)
            try:
                await ws.send("x" * (MIB + 1))
            except ConnectionClosed:
                pass
            code, _ = await closed_code(ws)
            assert code == 1009
        # The bridge keeps serving.
        async with connect(process) as ws:
            await welcome(ws)

    run(scenario())


def test_sixth_client_is_refused_until_one_leaves(bridge):
    process = bridge()

    async def scenario():
        clients = []
        for _ in range(5):
            ws = await connect(process)
            await welcome(ws)
            clients.append(ws)
        with pytest.raises(InvalidStatusCode) as refused:
            await connect(process)
        assert refused.value.status_code == 503
        status_line, body = raw_upgrade(process)
        assert status_line == "HTTP/1.1 503 Service Unavailable"
        assert body == "Connection limit reached"

        await clients.pop().close()
        assert wait_until(lambda: health(process)["connections"] == 4)
        ws = await connect(process)
        assert (await welcome(ws))["server"]["currentConnections"] == 5
        clients.append(ws)
        for ws in clients:
            await ws.close()

    run(scenario())


def test_health_root_and_unknown_routes(bridge):
    process = bridge()
    status, reason, headers, body = http_get(process, "/health")
    assert (status, reason) == (200, "OK")
    assert headers["Content-Type"] == "application/json"
    assert headers["Access-Control-Allow-Origin"] == "*"
    assert body == canonical(body)
    document = json.loads(body)
    assert document == {
        "status": "healthy",
        "service": "Navorel Bridge",
        "version": "1.0.0",
        "connections": 0,
        "maxConnections": 5,
        "acceptingConnections": True,
        "timestamp": document["timestamp"],
    }
    assert abs(document["timestamp"] - now_ticks()) < 60 * 10_000_000

    status, _, headers, body = http_get(process, "/")
    assert status == 200 and headers["Content-Type"] == "text/plain"
    port = process.port
    assert body == (
        "Navorel Bridge WebSocket Server 1.0.0\n"
        "WebSocket endpoint: ws://localhost:%d/\n"
        "Health check: http://localhost:%d/health" % (port, port)
    )
    for path in ("/metrics", "/health/", "/index.html"):
        status, reason, _, _ = http_get(process, path)
        assert (status, reason) == (404, "Not Found"), path


def test_oversized_request_headers_get_431(bridge):
    default = bridge()
    assert http_get(default, "/health", {"X-Filler": "a" * 3500})[0] == 200
    assert http_get(default, "/health", {"X-Filler": "a" * 5000})[:2] == (431, "Request Header Fields Too Large")

    small = bridge(env={"UWS_HTTP_MAX_HEADERS_SIZE": "1024"})
    assert http_get(small, "/health", {"X-Filler": "a" * 500})[0] == 200
    assert http_get(small, "/health", {"X-Filler": "a" * 2000})[0] == 431


def test_port_taken_reports_the_conflict_and_falls_back(bridge, free_port):
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as squatter:
        squatter.bind(("127.0.0.1", 0))
        squatter.listen()
        taken = squatter.getsockname()[1]
        process = bridge("--verbose", port=taken)
        assert process.conflict_port == taken
        assert process.port != taken
        assert "WEBSOCKET_PORT_CONFLICT=%d\nWEBSOCKET_PORT=%d\n" % (taken, process.port) in process.stdout
        out = process.stdout
        assert "[WARN ] [WebSocket] Requested port %d is already in use" % taken in out
        assert "[WARN ] [WebSocket] Port %d unavailable, attempting automatic port selection" % taken in out
        assert "[INFO ] [WebSocket] Automatically selected available port %d" % process.port in out
        assert "[INFO ] WebSocket server started successfully on port %d" % process.port in out
        assert health(process)["status"] == "healthy"

    # A second bridge on the first one's port falls back as well.
    first = bridge()
    second = bridge(port=first.port)
    assert second.conflict_port == first.port and second.port != first.port


def test_verbose_start_and_client_lines(bridge):
    process = bridge("--verbose")
    port = process.port
    out = process.stdout
    assert "[INFO ] [WebSocket] Navorel Bridge listening on ws://127.0.0.1:%d" % port in out
    assert "[INFO ] [WebSocket] Health check at http://127.0.0.1:%d/health" % port in out
    assert "[INFO ] [WebSocket] Security: Only accepting local connections" in out
    assert "CONFLICT" not in out

    async def scenario():
        async with connect(process) as ws:
            return (await welcome(ws))["id"]

    client_id = run(scenario())
    assert process.wait_for_output(
        "[INFO ] [WebSocket] Client connected from 127.0.0.1 (ID: %s). Total: 1" % client_id, WAIT)
    assert process.wait_for_output(
        "[INFO ] [WebSocket] Client disconnected (ID: %s, Code: 1000). Total: 0" % client_id, WAIT)


@pytest.mark.parametrize("sig", [signal.SIGINT, signal.SIGTERM])
def test_signal_closes_clients_with_1001_and_exits_0(bridge, sig):
    process = bridge("--verbose")

    async def scenario():
        first = await connect(process)
        second = await connect(process)
        await welcome(first)
        await welcome(second)
        process.send_signal(sig)
        # During the shutdown pause the bridge still answers but takes no one new.
        assert wait_until(lambda: health(process)["acceptingConnections"] is False)
        status_line, body = raw_upgrade(process)
        assert (status_line, body) == ("HTTP/1.1 503 Service Unavailable", "Server is shutting down")
        assert await closed_code(first) == (1001, "Server shutting down")
        assert await closed_code(second) == (1001, "Server shutting down")

    run(scenario())
    assert process.wait() == 0
    out = process.stdout
    assert "\n\nShutting down...\n" in out
    signal_line = out.index("Shutdown signal received, shutting down gracefully...")
    assert signal_line < out.index("Shutting down...\n") < out.index("[INFO ] Bridge stopped successfully")
    assert process.stderr == ""


def test_shutdown_command_answers_then_closes_everyone_with_1001(bridge):
    process = bridge("--verbose")

    async def scenario():
        bystander = await connect(process)
        await welcome(bystander)
        async with connect(process) as ws:
            await welcome(ws)
            response = await answer_to(ws, '{"type":"SHUTDOWN","reason":"end of flight"}')
            assert response["type"] == "response" and response["message"] == "Shutdown initiated"
            assert await closed_code(ws) == (1001, "Server shutting down")
        assert await closed_code(bystander) == (1001, "Server shutting down")

    run(scenario())
    assert process.wait() == 0
    out = process.stdout
    assert "[INFO ] [WebSocketMessageHandler] Shutdown requested: end of flight" in out
    assert "[INFO ] Graceful shutdown requested via WebSocket" in out
    assert "[INFO ] Bridge stopped successfully" in out


def test_foreign_hosts_and_browser_origins_are_refused(bridge):
    process = bridge("--verbose")
    for host in ("evil.example", "evil.example:%d" % process.port, "127.0.0.1.nip.io"):
        status, reason, _, body = http_get(process, "/health", host=host)
        assert (status, reason) == (403, "Forbidden"), host
    for host in ("localhost:%d" % process.port, "127.0.0.1", "[::1]:%d" % process.port, None):
        assert http_get(process, "/health", host=host)[0] == 200, host
    assert raw_upgrade(process, "Origin: https://evil.example\r\n")[0] == "HTTP/1.1 403 Forbidden"

    async def scenario():
        for origin in ("https://evil.example", "null", "http://localhost.evil.example"):
            with pytest.raises(InvalidStatusCode) as refused:
                await connect(process, origin=origin)
            assert refused.value.status_code == 403, origin
        with pytest.raises(InvalidStatusCode) as rebound:
            await connect(process, extra_headers={"Host": "attacker.example"})
        assert rebound.value.status_code == 403
        for origin in (None, "file://", "http://localhost:3000", "https://127.0.0.1"):
            async with connect(process, origin=origin) as ws:
                await welcome(ws)

    run(scenario())
    out = process.stdout
    assert re.search(r"\[WARN \] \[WebSocket\] .*evil\.example", out)
    assert re.search(r"\[WARN \] \[WebSocket\] .*'null'", out)
    assert re.search(r"\[WARN \] \[WebSocket\] .*attacker\.example", out)


def test_allow_origin_admits_exactly_the_given_origins(bridge):
    process = bridge("--allow-origin", "https://acars.example.com", "--allow-origin", "http://10.0.0.5:8080")

    async def scenario():
        for origin in ("https://acars.example.com", "http://10.0.0.5:8080"):
            async with connect(process, origin=origin) as ws:
                await welcome(ws)
        for origin in ("https://acars.example.com:444", "http://acars.example.com", "https://other.example"):
            with pytest.raises(InvalidStatusCode) as refused:
                await connect(process, origin=origin)
            assert refused.value.status_code == 403, origin

    run(scenario())


def test_allow_origin_without_value_is_an_unknown_option(bridge):
    process = bridge("--allow-origin")
    assert "Unknown option '--allow-origin'" in process.stderr or process.wait_for_output(
        "Unknown option '--allow-origin'", WAIT, stream="stderr")

    async def scenario():
        with pytest.raises(InvalidStatusCode):
            await connect(process, origin="https://acars.example.com")

    run(scenario())
