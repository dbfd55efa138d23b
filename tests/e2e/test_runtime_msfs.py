# Microsoft Flight Simulator end to end: the bridge against the fake simulator over TCP, found
# through a SimConnect.cfg in the bridge's working directory, with a stand-in simulator process.

import os
import re
import subprocess
import threading
import time

import pytest

from conftest import fake_xplane_process, free_port, wait_until

TOOLS = os.environ.get("NAVOREL_TOOLS_DIR")
REQUEST = re.compile(r"recv RequestDataOnSimObject request=(\d+) define=\d+ object=0 period=(\w+) flags=(\d) "
                     r"origin=0 interval=(\d+) limit=0")


class FakeSimulator:
    """The fake simulator as a child process: its output lines, and commands on its input."""

    def __init__(self, folder, *args):
        if not TOOLS:
            pytest.skip("NAVOREL_TOOLS_DIR is not set")
        self.port = free_port()
        (folder / "SimConnect.cfg").write_text("[SimConnect]\nProtocol=IPv4\nAddress=127.0.0.1\nPort=%d\n" % self.port)
        self.lines, self._changed = [], threading.Condition()
        self.process = subprocess.Popen(
            [os.path.join(TOOLS, "fake_simulator"), "--port", str(self.port), "--no-ipv6", *args],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, bufsize=1)
        threading.Thread(target=self._read, daemon=True).start()
        self.wait("listen tcp")

    def _read(self):
        for line in self.process.stdout:
            with self._changed:
                self.lines.append(line.rstrip("\n"))
                self._changed.notify_all()

    def command(self, text):
        self.process.stdin.write(text + "\n")
        self.process.stdin.flush()

    def mark(self):
        return len(self.lines)

    def since(self, start, prefix=""):
        return [line for line in self.lines[start:] if line.startswith(prefix)]

    def wait(self, prefix, start=0, timeout=15.0):
        with self._changed:
            assert self._changed.wait_for(lambda: self.since(start, prefix), timeout), (
                "the simulator never printed %r; it printed:\n%s" % (prefix, "\n".join(self.lines[start:][-30:])))
        return self.since(start, prefix)[0]

    def requests(self, start):  # (request id, period, flags, interval) of the data requests since `start`
        return [tuple(int(g) if g.isdigit() else g for g in REQUEST.match(line).groups())
                for line in self.since(start, "recv RequestDataOnSimObject")]

    def close(self):
        if self.process.poll() is None:
            self.command("exit")
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


@pytest.fixture
def simulator(tmp_path):
    made = []

    def start(*args):
        made.append(FakeSimulator(tmp_path, *args))
        return made[-1]
    yield start
    for simulator in made:
        simulator.close()


def shape(lines):
    # "Request id" runs of the connect sequence, e.g. "AddToDataDefinition 0 x14".
    runs = []
    for line in lines:
        kind, first = line.split()[1], (line.split()[2:3] or [""])[0].split("=")[-1]
        key = "%s %s" % (kind, first)
        if runs and runs[-1][0] == key:
            runs[-1][1] += 1
        else:
            runs.append([key, 1])
    return ", ".join(key + (" x%d" % count if count > 1 else "") for key, count in runs)


def test_a_flight_through_simconnect(bridge, simulator):
    sim = simulator("--variant", "2024")
    with fake_xplane_process("FlightSimulator.exe"):
        process = bridge("--msfs")
        client = process.client()
        client.wait("sim_status", 15, sim_connected=True)

        # The connect sequence as the simulator saw it.
        sim.wait("recv MapClientEventToSimEvent")
        recv = sim.since(0, "recv ")
        assert recv[0] == 'recv Open name="Navorel Bridge" version=11.0.62651.3'
        assert shape(recv[1:]) == (
            "AddToDataDefinition 0 x14, RequestDataOnSimObject 0, AddToDataDefinition 4 x6, "
            "RequestDataOnSimObject 4, AddToDataDefinition 1 x14, AddToDataDefinition 2 x11, AddToDataDefinition 3, "
            "AddToDataDefinition 5 x3, AddToDataDefinition 6 x7, RequestDataOnSimObject 5, RequestDataOnSimObject 6, "
            "AddToFacilityDefinition 7 x33, SubscribeToSystemEvent 0, SubscribeToSystemEvent 1, "
            "SubscribeToSystemEvent 2, MapClientEventToSimEvent 1000")
        assert sim.requests(0) == [(0, "SECOND", 1, 0), (4, "SECOND", 1, 0), (5, "SECOND", 1, 0), (6, "SECOND", 0, 60)]

        # PREFLIGHT asks for four data sets every second; ACTIVE for a snapshot, then changes only.
        mark = sim.mark()
        client.set_state("PREFLIGHT")
        # The aircraft's title comes with its own data set, maybe a frame after the position.
        preflight = client.wait(lambda m: m.get("type") == "preflight_data" and "title" in m, 5)
        assert preflight["title"] == "Airbus A320 (Navorel fake simulator)" and preflight["simOnGround"] is True
        assert sim.requests(mark) == [(i, "SECOND", 0, 0) for i in range(4)]
        mark, start = sim.mark(), client.mark()
        client.set_state("ACTIVE")
        info = client.wait("acars_info", start=start)
        assert (info["sim_family"], info["sim_variant"], info["sim_process"]) == ("MSFS", "2024", "FlightSimulator.exe")
        client.wait("environment_data", start=start)
        flight = client.wait("flight_data", start=start)
        assert wait_until(lambda: len(sim.requests(mark)) == 9)
        assert sim.requests(mark) == [(1, "ONCE", 0, 0), (2, "ONCE", 0, 0), (3, "ONCE", 0, 0), (6, "ONCE", 0, 0),
                                      (0, "SECOND", 1, 0), (1, "SECOND", 1, 0), (2, "SECOND", 1, 0),
                                      (3, "SECOND", 1, 0), (6, "SECOND", 0, 60)]
        assert round(flight["latitude"], 6) == flight["latitude"] and flight["altitude"] == round(flight["altitude"])
        assert flight["verticalSpeed"] % 10 == 0 and round(flight["pitch"], 2) == flight["pitch"]

        # An impossible sample never reaches the client.
        start = client.mark()
        sim.command("glitch")
        sim.wait("send Glitch")
        client.wait("flight_data", 5, start=client.mark())
        assert all(m["latitude"] != 91 for m in client.since(start, "flight_data"))

        # Pause through the PAUSE_SET client event, and back.
        for paused in (True, False):
            mark, start = sim.mark(), client.mark()
            answer = client.command({"type": "SIM_CONTROL", "action": "SET_PAUSE", "paused": paused})
            assert answer["success"] is True and answer["data"] == {"paused": paused}
            assert sim.wait("recv TransmitClientEvent", mark) == (
                "recv TransmitClientEvent object=0 event=1000 data=%d group=1 flags=0x10" % paused)
            assert client.wait("sim_event", 5, start, event="pause")["data"] == int(paused)

        # Runways from the simulator's facility data; an unknown airport; no answer at all.
        start = client.mark()
        assert client.command({"type": "REQUEST_RUNWAY_INFO", "icao": "ksfo"})["success"] is True
        info = client.wait("runway_info", start=start)
        assert info["airport"]["icao"] == "KSFO" and len(info["runways"]) == 4
        assert all(r["primaryThreshold"]["present"] and r["secondaryThreshold"]["present"] for r in info["runways"])
        client.command({"type": "REQUEST_RUNWAY_INFO", "icao": "ZZZZ"})
        error = client.wait("runway_info_error", start=start)
        assert (error["icao"], error["error"]) == ("ZZZZ", "Airport data was not returned by the simulator")
        mark = sim.mark()
        sim.command("facilities off")
        sim.wait("state facilities=off", mark)
        start, asked = client.mark(), time.monotonic()
        client.command({"type": "REQUEST_RUNWAY_INFO", "icao": "KJFK"})
        error = client.wait("runway_info_error", 10, start)
        assert error["error"] == "Runway info request timed out" and time.monotonic() - asked >= 4.9

        # The simulator's exceptions are logged.
        sim.command("exception 7")
        assert wait_until(lambda: "[ERROR] [SimConnect] SimConnect Exception 7 (Unknown variable name)"
                          in process.stderr)


def test_a_lost_connection_is_reopened(bridge, simulator):
    sim = simulator()
    with fake_xplane_process("FlightSimulator.exe"):
        process = bridge("--msfs", "--verbose")
        client = process.client()
        client.wait("sim_status", 15, sim_connected=True)
        # An abrupt close reaches the bridge as the end of the stream, or, when bytes were on their way
        # either side, as a reset or a broken pipe.
        for command, seen in (("quit", r"SimConnect quit message received"),
                              ("close", r"SimConnect connection lost \(hr=0x(c000013e|c000020d|c000014b)\)"),
                              ("bad-size", r"SimConnect connection lost \(hr=0x80004004\)")):
            mark, start, logged = sim.mark(), client.mark(), len(process.stdout)
            sim.command(command)
            try:
                client.wait("sim_status", 10, start, sim_connected=False)
            except AssertionError as missing:
                raise AssertionError("%s\nthe simulator printed since %s:\n%s" % (
                    missing, command, "\n".join(sim.lines[mark:]))) from None
            client.wait("sim_status", 10, start, sim_connected=True)
            sim.wait("recv MapClientEventToSimEvent", mark)  # the whole connect sequence read
            assert wait_until(lambda: re.search(seen, process.stdout[logged:]), 5), (
                command, re.findall(r".*(?:SimConnect|Flight Simulator|Process).*", process.stdout[logged:]),
                [line for line in sim.lines[mark:] if not line.startswith("recv Add")])
        assert process.stdout.count("Successfully connected to Flight Simulator") == 4
