"""Back-pressure seen from outside: the real bridge broadcasting the telemetry
of a scripted X-Plane plugin to WebSocket clients, one of which may stop
reading. The plugin ports are machine-wide, so this module holds their lock.
"""

import base64
import os
import re
import socket
import time

import pytest

from runtime_support import Plugin, clean_env, wait_until

pytestmark = pytest.mark.usefixtures("plugin_ports")

DETECT = 15.0

DATAGRAM = {
    "type": "xp12_telemetry", "xplane_version": 120105, "session_id": 7, "lat": 47.0, "lon": 8.5,
    "alt_ft": 3000.0, "alt_ind_ft": 3000.0, "alt_agl_ft": 1500.0, "pressure_alt_ft": 3000.0, "ias_kt": 140.0,
    "ground_speed_kt": 150.0, "hdg_deg": 90.0, "vs_fpm": 0, "pitch_deg": 2.0, "bank_deg": 0.0,
    "fuel_mass_kg": 1000, "fuel_density_kg_l": 0.8, "aircraft_name": "Navorel Test Aircraft", "paused": False,
}


def active_bridge(bridge, clients):
    """A verbose bridge in ACTIVE with telemetry flowing to one client."""
    process = bridge("--verbose", "--xplane", env=clean_env())
    client = clients(process)
    client.wait_status(DETECT, sim_detected=True, sim_connected=True)
    client.set_state("PREFLIGHT")
    start = client.mark()
    client.set_state("ACTIVE")
    client.wait_type("flight_data", start=start)
    return process, client


def latitudes(client, start):
    return [m["latitude"] for m in client.messages(start, "flight_data")]


class SilentClient:
    """A WebSocket client that completes the handshake, reads its welcome and
    then never reads again, with a small receive buffer."""

    def __init__(self, port):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        self.sock.settimeout(10)
        self.sock.connect(("127.0.0.1", port))
        key = base64.b64encode(os.urandom(16)).decode()
        self.sock.sendall((
            "GET / HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
            "Sec-WebSocket-Key: %s\r\nSec-WebSocket-Version: 13\r\n\r\n" % (port, key)).encode())
        data = b""
        while b'"type":"connection"' not in data:
            chunk = self.sock.recv(4096)
            assert chunk, "connection closed during the handshake"
            data += chunk
        assert data.startswith(b"HTTP/1.1 101 ")
        self.id = re.search(rb'"id":"([0-9]+-[0-9]{4})"', data).group(1).decode()

    def ended(self):
        """True once the bridge has dropped the connection (reads what is left)."""
        self.sock.settimeout(0.5)
        try:
            while True:
                chunk = self.sock.recv(1 << 20)
                if not chunk:
                    return True
        except socket.timeout:
            return False
        except OSError:
            return True

    def close(self):
        self.sock.close()


def test_healthy_clients_survive_a_burst_of_100_broadcasts(bridge, clients, xplane_process):
    with Plugin(DATAGRAM, rate=20.0) as plugin:
        process, first = active_bridge(bridge, clients)
        second = clients(process)
        plugin.sending(False)
        time.sleep(0.3)
        start_first, start_second = first.mark(), second.mark()
        # 100 samples at once: the bridge relays them in one round of its loop.
        burst = [47.0 + i * 0.001 for i in range(100)]
        for lat in burst:
            plugin.send_now(dict(DATAGRAM, lat=lat))
        expected = [round(lat, 6) for lat in burst]
        assert wait_until(lambda: latitudes(first, start_first) == expected, 15), latitudes(first, start_first)
        assert wait_until(lambda: latitudes(second, start_second) == expected, 15)
        assert not first.closed and not second.closed
        assert "is not taking data" not in process.stdout and "Code: 1006" not in process.stdout


def test_a_client_that_stops_reading_is_cut_while_others_keep_receiving(bridge, clients, xplane_process):
    # As fast as the bridge takes samples (up to 100 per 50 ms round).
    with Plugin(DATAGRAM, rate=1500.0) as plugin:
        process, healthy = active_bridge(bridge, clients)
        silent = SilentClient(process.port)
        # A steady, fast stream of changing samples.
        counter = [0]

        def moving():
            counter[0] += 1
            plugin.set(lat=47.0 + (counter[0] % 100000) * 1e-5)

        cut = re.compile(r"\[INFO \] \[WebSocket\] Client disconnected \(ID: %s, Code: 1006\)" % re.escape(silent.id))
        deadline = time.monotonic() + 60
        while not cut.search(process.stdout):
            assert time.monotonic() < deadline, "the silent client was never cut"
            moving()
            time.sleep(0.002)
        assert "[WARN ] [WebSocket] Client %s is not taking data" % silent.id in process.stdout
        assert not healthy.closed
        # The healthy client goes on receiving.
        after = healthy.mark()
        for _ in range(200):
            moving()
            time.sleep(0.005)
        assert wait_until(lambda: len(healthy.messages(after, "flight_data")) >= 20, 10)
        assert not healthy.closed
        assert wait_until(silent.ended, 10)
        queued = int(re.search(r"Client %s is not taking data \((\d+) bytes queued\)" % re.escape(silent.id),
                               process.stdout).group(1))
        assert queued <= 256 * 1024
        silent.close()
