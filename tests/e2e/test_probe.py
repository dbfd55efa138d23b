"""The X-Plane probe mode (--xplane-probe) of the real binary: telemetry from
the plugin emulator, no telemetry at all, and a telemetry port that is taken.

The probe always listens on 127.0.0.1:49005, so these tests hold a lock file
shared by every test process on the machine while they use that port.
"""

import contextlib
import os
import re
import socket
import subprocess
import time
from pathlib import Path

import pytest

from runtime_support import plugin_ports_lock

TELEMETRY_PORT = 49005
PROBE_SECONDS = 10
LOCK_WAIT_SECONDS = 300
TOOLS_DIR = os.environ.get("NAVOREL_TOOLS_DIR", "")
EMULATOR = Path(TOOLS_DIR) / "xplane_plugin_emulator"

CONNECTING = "[XPlane Plugin] Connecting UDP telemetry on port 49005..."
NO_TELEMETRY = "[XPlane Plugin] No telemetry received. Verify plugin is loaded and ports match."
BIND_FAILED = "[XPlane Plugin] Connect failed: Failed to bind UDP socket (port in use?)"
FLIGHT_LINE = re.compile(r"^\[XPlane Plugin\] flight lat=\S+ lon=\S+ alt_ft=\S+ ias_kt=\S+$")
SYSTEMS_LINE = re.compile(r"^\[XPlane Plugin\] systems on_ground=[01] on_runway=[01] spoilers=\S+$")
ALERT_LINE = re.compile(r"^\[XPlane Plugin\] alert overspeed=[01] stall=[01] slew=[01]$")
SUMMARY = re.compile(r"^\[XPlane Plugin\] Samples received in 10s: flight=(\d+), systems=(\d+), alert=(\d+)$")


@pytest.fixture(scope="module", autouse=True)
def plugin_ports():
    """Holds the machine-wide lock of the plugin ports for this module."""
    with plugin_ports_lock(LOCK_WAIT_SECONDS):
        yield


@contextlib.contextmanager
def telemetry_port_taken():
    holder = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    try:
        holder.bind(("127.0.0.1", TELEMETRY_PORT))
        yield
    finally:
        holder.close()


def lines(text):
    return [line.rstrip("\r") for line in text.splitlines()]


def start_probe(bridge, *extra):
    process = bridge("--xplane-probe", *extra, port=None, wait_port=False)
    started = process.wait_for_output(re.compile(r"Connecting UDP telemetry|WEBSOCKET_PORT="), timeout=15)
    if started and "WEBSOCKET_PORT=" in process.stdout:
        pytest.skip("--xplane-probe is not wired into RunBridge yet")
    return process


def run_probe(bridge, *extra):
    process = start_probe(bridge, *extra)
    code = process.wait(timeout=PROBE_SECONDS + 20)
    return code, lines(process.stdout), process.stderr


def test_port_taken_reports_the_bind_error(bridge):
    with telemetry_port_taken():
        process = start_probe(bridge)
        code = process.wait(timeout=20)
    assert code == 1
    assert lines(process.stderr) == [BIND_FAILED]
    assert CONNECTING in lines(process.stdout)
    assert not any(line.startswith("[XPlane Plugin] Samples") for line in lines(process.stdout))


def test_no_telemetry_exits_with_1(bridge):
    started = time.monotonic()
    code, out, err = run_probe(bridge)
    assert code == 1
    assert time.monotonic() - started >= PROBE_SECONDS - 0.5
    assert CONNECTING in out
    assert out[-1] == "[XPlane Plugin] Samples received in 10s: flight=0, systems=0, alert=0"
    assert lines(err) == [NO_TELEMETRY]


def test_emulator_telemetry_is_counted_and_shown(bridge):
    if not EMULATOR.exists():
        pytest.skip("xplane_plugin_emulator was not built (%s)" % EMULATOR)
    emulator = subprocess.Popen(
        [str(EMULATOR), "--scenario", "takeoff", "--rate", "20", "--duration", str(PROBE_SECONDS + 15),
         "--control-port", "0", "--quiet"],
        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
    )
    try:
        # --verbose changes the logger only; the probe's own lines stay as they are.
        code, out, err = run_probe(bridge, "--verbose")
    finally:
        emulator.terminate()
        emulator.wait(timeout=10)

    assert code == 0, err
    assert CONNECTING in out
    probe_lines = [line for line in out if line.startswith("[XPlane Plugin] ")]
    flights = [line for line in probe_lines if line.startswith("[XPlane Plugin] flight ")]
    systems = [line for line in probe_lines if line.startswith("[XPlane Plugin] systems ")]
    alerts = [line for line in probe_lines if line.startswith("[XPlane Plugin] alert ")]
    assert len(flights) == 5 and all(FLIGHT_LINE.match(line) for line in flights), flights
    assert len(systems) == 5 and all(SYSTEMS_LINE.match(line) for line in systems), systems
    assert 1 <= len(alerts) <= 5 and all(ALERT_LINE.match(line) for line in alerts), alerts
    summary = SUMMARY.match(out[-1])
    assert summary, out[-1]
    flight_count, systems_count = int(summary.group(1)), int(summary.group(2))
    # 20 datagrams a second for about 10 s, each with flight and systems data.
    assert flight_count > 100
    assert systems_count == flight_count
    assert NO_TELEMETRY not in err
