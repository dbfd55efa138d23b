# Back-pressure: the bridge broadcasting a scripted plugin's telemetry to
# clients, one of which stops reading. (The plugin ports need the lock.)

import itertools
import re
import socket
import time

import pytest

from conftest import LOOP, Plugin, fake_xplane_process, wait_until

pytestmark = pytest.mark.usefixtures("plugin_ports")

DATAGRAM = {
    "type": "xp12_telemetry", "xplane_version": 120105, "session_id": 7, "lat": 47.0, "lon": 8.5,
    "alt_ft": 3000.0, "alt_ind_ft": 3000.0, "alt_agl_ft": 1500.0, "pressure_alt_ft": 3000.0, "ias_kt": 140.0,
    "ground_speed_kt": 150.0, "hdg_deg": 90.0, "vs_fpm": 0, "pitch_deg": 2.0, "bank_deg": 0.0,
    "fuel_mass_kg": 1000, "fuel_density_kg_l": 0.8, "aircraft_name": "Navorel Test Aircraft", "paused": False,
}


def latitudes(client, start):
    return [m["latitude"] for m in client.since(start, "flight_data")]


def test_healthy_clients_keep_up_and_a_client_that_stops_reading_is_cut(bridge):
    with fake_xplane_process(), Plugin(DATAGRAM) as plugin:
        process = bridge("--verbose", "--xplane")
        first, second = process.client(), process.client()
        first.wait("sim_status", 15, sim_connected=True)
        first.set_state("PREFLIGHT")
        first.set_state("ACTIVE")
        first.wait("flight_data")

        # Healthy clients survive a burst of 100 samples, which the bridge
        # relays in one round of its loop.
        plugin.sending = False
        time.sleep(0.3)
        start_first, start_second = first.mark(), second.mark()
        burst = [47.0 + i * 0.001 for i in range(100)]
        for lat in burst:
            plugin.send_now(dict(DATAGRAM, lat=lat))
        expected = [round(lat, 6) for lat in burst]
        assert wait_until(lambda: latitudes(first, start_first) == expected, 15), latitudes(first, start_first)
        assert wait_until(lambda: latitudes(second, start_second) == expected, 15)
        assert not first.closed and not second.closed and "is not taking data" not in process.stdout

        # A client that stops reading is cut (1006) while the others keep
        # receiving a fast stream of changing samples (up to 100 per round).
        second.close()
        sock = socket.socket()
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)  # before connecting, so the window stays small
        sock.connect(("127.0.0.1", process.port))
        silent = process.client(sock=sock)  # reads its welcome, then nothing more
        LOOP.call_soon_threadsafe(silent.ws.transport.pause_reading)
        silent_id = silent.since(0)[0]["id"]
        plugin.rate, plugin.sending = 1500.0, True
        moving = (47.0 + (i % 100000) * 1e-5 for i in itertools.count())
        deadline = time.monotonic() + 60
        while "Client disconnected (ID: %s, Code: 1006)" % silent_id not in process.stdout:
            assert time.monotonic() < deadline, "the silent client was never cut"
            for _ in range(10):
                plugin.set(lat=next(moving))
                time.sleep(0.002)
        after = first.mark()
        for _ in range(200):
            plugin.set(lat=next(moving))
            time.sleep(0.005)
        assert wait_until(lambda: len(first.since(after, "flight_data")) >= 20) and not first.closed
        LOOP.call_soon_threadsafe(silent.ws.transport.resume_reading)
        assert silent.wait_closed(20)[0] == 1006  # after what was queued, the end of the connection
        queued = int(re.search(r"Client %s is not taking data \((\d+) bytes queued\)" % silent_id,
                               process.stdout).group(1))
        # What waits behind the stuck send: just over the limit by one frame.
        assert 256 * 1024 < queued <= 256 * 1024 + 4096
