# The bridge's local server seen from outside: an independent WebSocket
# client (Debian's python3-websockets) and plain HTTP.

import contextlib
import json
import re
import signal
import socket
import time

import pytest

from conftest import Client, free_port, http_get, now_ticks, payload, run, wait_until

MIB = 1024 * 1024
UPGRADE = {"Upgrade": "websocket", "Connection": "Upgrade", "Sec-WebSocket-Key": "dGhlIHNhbXBsZSBub25jZQ==",
           "Sec-WebSocket-Version": "13"}


def answer(client, message):
    # The next frame that is not a sim_status (which may come at any time).
    start = client.mark()
    client.send(message)
    return client.wait(lambda m: m["type"] != "sim_status", start=start)


def upgrade(process, **headers):
    status, _, _, body = http_get(process.port, "/", dict(UPGRADE, **headers))
    return status, body


def health(process):
    return json.loads(http_get(process.port, "/health")[3])


def test_welcome_ping_status_and_malformed_input(bridge):
    process = bridge()
    client = process.client()
    welcome = client.since(0)[0]
    assert payload(welcome) == {"type": "connection", "status": "connected", "message": "Connected to Navorel Bridge",
                                "version": "1.0.0", "id": welcome["id"],
                                "server": {"currentConnections": 1, "maxConnections": 5}}
    assert re.fullmatch(r"\d+-[1-9]\d{3}", welcome["id"])
    assert "Sec-WebSocket-Extensions" not in client.ws.response_headers  # no compression
    pong = answer(client, '{"type":"ping"}')
    assert pong["type"] == "pong" and set(pong) == {"type", "timestamp"} and abs(pong["timestamp"] - now_ticks()) < 6e8
    status = answer(client, '{"type":"status"}')
    assert status == {"type": "status_response", "connections": 1, "server_running": True,
                      "uptime": status["uptime"]} and status["uptime"] in (0, 1)

    not_json, wrong_type = answer(client, "this is not json"), answer(client, '{"type":5}')
    assert not_json["message"] == wrong_type["message"] == "Invalid JSON format"
    assert "parse_error" in not_json["details"] and "type must be string, but is number" in wrong_type["details"]
    assert answer(client, "[1,2,3]") == {"type": "error", "message": "Message missing 'type' field"}
    client.send(b'{"type":"ping"}')  # binary frames are ignored
    assert answer(client, '{"type":"status"}')["type"] == "status_response"
    fits = '{"type":"' + "x" * (MIB - 11) + '"}'
    assert len(fits) == MIB and answer(client, fits)["error"].startswith("Unknown command type: xxx")

    garbled = process.client()
    run(lambda: garbled.ws.write_frame(True, 0x1, b'{"type":"\xff\xfe"}'))  # a text frame, not UTF-8
    assert garbled.wait_closed()[0] == 1007
    oversized = process.client()
    with contextlib.suppress(Exception):  # the bridge may close while the frame is on its way
        oversized.send("x" * (MIB + 1))
    assert oversized.wait_closed()[0] == 1009
    # The first client was never disturbed, and newcomers are served.
    assert not client.closed and answer(client, '{"type":"ping"}')["type"] == "pong"
    process.client()


def test_a_client_that_connects_as_soon_as_it_can_finds_the_bridge_wired(bridge):
    # Clients that knock until the port opens and command at once: the first
    # command is answered, after the welcome and the status. (The bridges are
    # stopped together at the end.)
    for _ in range(10):
        port = free_port()
        process = bridge(port=port, wait_port=False)
        deadline = time.monotonic() + 20
        while True:
            try:
                client = Client(port, timeout=2)
                break
            except OSError:
                assert time.monotonic() < deadline, "the bridge never listened"
                time.sleep(0.001)
        process.clients.append(client)
        client.send({"type": "SET_STATE", "state": "PREFLIGHT"})
        assert client.wait("response")["message"] == "State changed to PREFLIGHT"
        assert [frame["type"] for frame in client.since(0)][:2] == ["connection", "sim_status"]


def test_http_routes_header_limit_and_sixth_client_refused(bridge):
    process = bridge()
    status, reason, headers, body = http_get(process.port, "/health")
    assert (status, reason, headers["Content-Type"], headers["Access-Control-Allow-Origin"]) == (
        200, "OK", "application/json", "*")
    assert payload(json.loads(body)) == {"status": "healthy", "service": "Navorel Bridge", "version": "1.0.0",
                                         "connections": 0, "maxConnections": 5, "acceptingConnections": True}
    assert abs(json.loads(body)["timestamp"] - now_ticks()) < 60 * 10**7
    status, _, headers, body = http_get(process.port, "/")
    assert (status, headers["Content-Type"]) == (200, "text/plain")
    assert body == ("Navorel Bridge WebSocket Server 1.0.0\nWebSocket endpoint: ws://localhost:%d/\n"
                    "Health check: http://localhost:%d/health" % (process.port, process.port))
    assert http_get(process.port, "/health/")[:2] == (404, "Not Found")
    # Request headers are capped (UWS_HTTP_MAX_HEADERS_SIZE overrides the default).
    assert http_get(process.port, "/health", {"X-Filler": "a" * 5000})[:2] == (431, "Request Header Fields Too Large")
    small = bridge(env={"UWS_HTTP_MAX_HEADERS_SIZE": "1024"})
    assert [http_get(small.port, "/health", {"X-Filler": "a" * size})[0] for size in (500, 2000)] == [200, 431]

    five = [process.client() for _ in range(5)]
    assert upgrade(process) == (503, "Connection limit reached")
    five.pop().close()
    assert wait_until(lambda: health(process)["connections"] == 4)
    assert process.client().since(0)[0]["server"]["currentConnections"] == 5


def test_port_taken_reports_the_conflict_and_falls_back(bridge):
    with socket.socket() as squatter:
        squatter.bind(("127.0.0.1", 0))
        squatter.listen()
        taken = squatter.getsockname()[1]
        process = bridge(port=taken)
        assert process.port != taken and health(process)["status"] == "healthy"
        assert "WEBSOCKET_PORT_CONFLICT=%d\nWEBSOCKET_PORT=%d\n" % (taken, process.port) in process.stdout


@pytest.mark.parametrize("how", ["SIGINT", "SHUTDOWN"])
def test_stop_closes_every_client_with_1001_and_exits_0(how, bridge):
    process = bridge()
    bystander, client = process.client(), process.client()
    if how == "SIGINT":
        process.send_signal(signal.SIGINT)
    else:
        response = answer(client, '{"type":"SHUTDOWN","reason":"end of flight"}')
        assert (response["type"], response["message"]) == ("response", "Shutdown initiated")
    # During the shutdown pause the bridge still answers but takes no one new.
    assert wait_until(lambda: health(process)["acceptingConnections"] is False)
    assert upgrade(process) == (503, "Server is shutting down")
    assert client.wait_closed() == bystander.wait_closed() == (1001, "Server shutting down")
    assert process.wait() == 0 and process.stderr == ""


def test_foreign_hosts_and_origins_are_refused_unless_allowed(bridge):
    process = bridge("--allow-origin", "https://acars.example.com")
    port = process.port
    assert http_get(port, "/health", {"Host": "evil.example:%d" % port})[:2] == (403, "Forbidden")
    for host in ("localhost:%d" % port, "[::1]:%d" % port, None):
        assert http_get(port, "/health", {"Host": host})[0] == 200, host
    assert upgrade(process, Host="attacker.example")[0] == 403
    for origin in ("https://evil.example", "null", "https://acars.example.com:444", "http://acars.example.com"):
        assert upgrade(process, Origin=origin)[0] == 403, origin
    for origin in (None, "file://", "http://localhost:3000", "https://127.0.0.1", "https://acars.example.com"):
        process.client(origin=origin)
    # Pages opened from disk send "null", as do sandboxed frames of any site:
    # only an explicit --allow-origin null lets them in.
    bridge("--allow-origin", "null").client(origin="null")
