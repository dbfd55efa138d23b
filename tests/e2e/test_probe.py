"""The X-Plane probe mode (--xplane-probe) of the real binary: telemetry from
the plugin emulator, no telemetry at all, and a telemetry port that is taken.
(The lines it prints per sample are checked by the probe's unit tests.)

The probe always listens on 127.0.0.1:49005, so these tests hold the
machine-wide lock of the plugin ports.
"""

import os
import re
import socket
import subprocess
import time
from pathlib import Path

import pytest

from runtime_support import TELEMETRY_PORT

pytestmark = pytest.mark.usefixtures("plugin_ports")

PROBE_SECONDS = 10
EMULATOR = Path(os.environ.get("NAVOREL_TOOLS_DIR", "")) / "xplane_plugin_emulator"

CONNECTING = "[XPlane Plugin] Connecting UDP telemetry on port 49005..."
NO_TELEMETRY = "[XPlane Plugin] No telemetry received. Verify plugin is loaded and ports match."
SUMMARY = re.compile(r"^\[XPlane Plugin\] Samples received in 10s: flight=(\d+), systems=(\d+), alert=(\d+)$")


def run_probe(bridge, *extra, timeout=PROBE_SECONDS + 20):
    """(exit code, stdout lines, stderr lines) of a probe run."""
    process = bridge("--xplane-probe", *extra, port=None, wait_port=False)
    code = process.wait(timeout=timeout)
    return code, process.stdout.replace("\r", "").splitlines(), process.stderr.replace("\r", "").splitlines()


def test_port_taken_reports_the_bind_error(bridge):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as holder:
        holder.bind(("127.0.0.1", TELEMETRY_PORT))
        code, out, err = run_probe(bridge, timeout=20)
    assert (code, err) == (1, ["[XPlane Plugin] Connect failed: Failed to bind UDP socket (port in use?)"])
    assert CONNECTING in out
    assert not any(line.startswith("[XPlane Plugin] Samples") for line in out)


def test_no_telemetry_exits_with_1(bridge):
    started = time.monotonic()
    code, out, err = run_probe(bridge)
    assert (code, err) == (1, [NO_TELEMETRY])
    assert time.monotonic() - started >= PROBE_SECONDS - 0.5
    assert CONNECTING in out
    assert out[-1] == "[XPlane Plugin] Samples received in 10s: flight=0, systems=0, alert=0"


def test_emulator_telemetry_is_counted_and_shown(bridge):
    if not EMULATOR.exists():
        pytest.skip("xplane_plugin_emulator was not built (%s)" % EMULATOR)
    emulator = subprocess.Popen(
        [str(EMULATOR), "--scenario", "takeoff", "--rate", "20", "--duration", str(PROBE_SECONDS + 15),
         "--control-port", "0", "--quiet"], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL)
    try:
        # --verbose changes the logger only; the probe's own lines stay as they are.
        code, out, err = run_probe(bridge, "--verbose")
    finally:
        emulator.terminate()
        emulator.wait(timeout=10)
    assert code == 0 and NO_TELEMETRY not in err, err
    assert CONNECTING in out
    assert any(line.startswith("[XPlane Plugin] flight lat=") for line in out)
    summary = SUMMARY.match(out[-1])
    assert summary, out[-1]
    # 20 datagrams a second for about 10 s, each with flight and systems data.
    assert int(summary.group(1)) > 100 and int(summary.group(2)) == int(summary.group(1))
