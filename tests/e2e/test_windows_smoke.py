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
import os
import re
import socket
import subprocess
import threading
import time

import pytest

from runtime_support import Client, now_ticks

BRIDGE = os.environ.get("NAVOREL_BRIDGE")
LAUNCHER = [part for part in os.environ.get("NAVOREL_BRIDGE_LAUNCHER", "").split("|") if part]
# Wine's first start of a program in a prefix can take a while.
START_TIMEOUT = 120.0 if LAUNCHER else 20.0
PORT_LINE = re.compile(r"^WEBSOCKET_PORT=(\d+)\r?$", re.MULTILINE)


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class Launched:
    """The bridge behind its launcher, with standard output collected."""

    def __init__(self, *args):
        self.process = subprocess.Popen([*LAUNCHER, BRIDGE, *map(str, args)], stdin=subprocess.DEVNULL,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self._out = []
        self._err = []
        self._changed = threading.Condition()
        self._readers = [threading.Thread(target=self._drain, args=(pipe, sink), daemon=True)
                         for pipe, sink in ((self.process.stdout, self._out), (self.process.stderr, self._err))]
        for reader in self._readers:
            reader.start()

    def _drain(self, pipe, sink):
        for chunk in iter(lambda: os.read(pipe.fileno(), 65536), b""):
            with self._changed:
                sink.append(chunk)
                self._changed.notify_all()

    @property
    def stdout(self):
        with self._changed:
            return b"".join(self._out).decode("utf-8", "replace")

    @property
    def stderr(self):
        with self._changed:
            return b"".join(self._err).decode("utf-8", "replace")

    def wait_port(self):
        deadline = time.monotonic() + START_TIMEOUT
        with self._changed:
            while True:
                match = PORT_LINE.search(b"".join(self._out).decode("utf-8", "replace"))
                if match:
                    return int(match.group(1))
                left = deadline - time.monotonic()
                if left <= 0 or self.process.poll() is not None:
                    raise AssertionError("no WEBSOCKET_PORT line; exit %s\nstdout:\n%s\nstderr:\n%s"
                                         % (self.process.poll(), b"".join(self._out), b"".join(self._err)))
                self._changed.wait(min(left, 0.5))

    def wait(self, timeout):
        try:
            return self.process.wait(timeout=timeout)
        finally:
            for reader in self._readers:
                reader.join(5)

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()


@pytest.fixture
def launched():
    if not BRIDGE:
        pytest.skip("NAVOREL_BRIDGE is not set")
    started = []

    def start(*args):
        bridge = Launched(*args)
        started.append(bridge)
        return bridge

    yield start
    for bridge in started:
        bridge.kill()


def test_start_health_client_exchange_and_shutdown(launched):
    requested = free_port()
    bridge = launched("--port", requested, "--msfs")
    port = bridge.wait_port()
    assert port == requested

    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    try:
        connection.request("GET", "/health")
        response = connection.getresponse()
        body = json.loads(response.read())
        assert response.status == 200
        assert response.getheader("Content-Type") == "application/json"
    finally:
        connection.close()
    assert {k: v for k, v in body.items() if k != "timestamp"} == {
        "status": "healthy", "service": "Navorel Bridge", "version": "1.0.0", "connections": 0,
        "maxConnections": 5, "acceptingConnections": True}
    assert abs(body["timestamp"] - now_ticks()) < 60 * 10**7

    with Client(port, timeout=30) as client:
        welcome = client.wait_type("connection", 30).message
        assert (welcome["status"], welcome["server"]["currentConnections"]) == ("connected", 1)
        status = client.wait_status(30)
        assert (status["sim_detected"], status["sim_connected"], status["state"]) == (False, False, "IDLE")

        start = client.mark()
        client.send({"type": "ping"})
        pong = client.wait_type("pong", 30, start=start).message
        assert sorted(pong) == ["timestamp", "type"]

        start = client.mark()
        answer = client.command({"type": "SET_STATE", "state": "PREFLIGHT", "reason": "smoke"}, 30)
        assert (answer["type"], answer["success"], answer["message"]) == ("response", True,
                                                                         "State changed to PREFLIGHT")
        assert client.wait_status(30, start=start)["state"] == "PREFLIGHT"

        answer = client.command({"type": "SHUTDOWN", "reason": "smoke"}, 30)
        assert (answer["type"], answer["message"]) == ("response", "Shutdown initiated")
        assert client.wait_closed(30) == (1001, "Server shutting down")

    assert bridge.wait(60) == 0
    assert "Shutting down..." in bridge.stdout
    # Quiet by default: only errors would reach the console (Wine may add its own lines).
    assert "[ERROR]" not in bridge.stderr
