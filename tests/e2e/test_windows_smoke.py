"""Smoke test of a running bridge, written so that it also runs the Windows
build under Wine: start, "/health", one WebSocket client exchange, SHUTDOWN,
exit code 0.

NAVOREL_BRIDGE names the binary; NAVOREL_BRIDGE_LAUNCHER, when set, is a
"|"-separated command put in front of it (the cross build passes its Wine
wrapper and prefix). Loopback TCP between this Linux client and the Wine
process works like any other.
"""

import http.client
import json

from runtime_support import Client, free_port, now_ticks, payload

WAIT = 30.0


def test_start_health_client_exchange_and_shutdown(bridge):
    requested = free_port()
    process = bridge("--msfs", port=requested)
    assert process.port == requested

    connection = http.client.HTTPConnection("127.0.0.1", requested, timeout=WAIT)
    try:
        connection.request("GET", "/health")
        response = connection.getresponse()
        body = json.loads(response.read())
        assert (response.status, response.getheader("Content-Type")) == (200, "application/json")
    finally:
        connection.close()
    assert payload(body) == {"status": "healthy", "service": "Navorel Bridge", "version": "1.0.0",
                             "connections": 0, "maxConnections": 5, "acceptingConnections": True}
    assert abs(body["timestamp"] - now_ticks()) < 60 * 10**7

    with Client(requested, timeout=WAIT) as client:
        welcome = client.wait_type("connection", WAIT).message
        assert (welcome["status"], welcome["server"]["currentConnections"]) == ("connected", 1)
        status = client.wait_status(WAIT)
        assert (status["sim_detected"], status["sim_connected"], status["state"]) == (False, False, "IDLE")

        start = client.mark()
        client.send({"type": "ping"})
        assert sorted(client.wait_type("pong", WAIT, start=start).message) == ["timestamp", "type"]

        start = client.mark()
        answer = client.command({"type": "SET_STATE", "state": "PREFLIGHT", "reason": "smoke"}, WAIT)
        assert (answer["type"], answer["success"], answer["message"]) == ("response", True,
                                                                         "State changed to PREFLIGHT")
        assert client.wait_status(WAIT, start=start)["state"] == "PREFLIGHT"

        answer = client.command({"type": "SHUTDOWN", "reason": "smoke"}, WAIT)
        assert (answer["type"], answer["message"]) == ("response", "Shutdown initiated")
        assert client.wait_closed(WAIT) == (1001, "Server shutting down")

    assert process.wait(60) == 0
    assert "Shutting down..." in process.stdout
    # Quiet by default: only errors would reach the console (Wine may add its own lines).
    assert "[ERROR]" not in process.stderr
