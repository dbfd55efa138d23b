# The X-Plane probe mode (--xplane-probe) always listens on the telemetry
# port 49005, hence the lock. (Its lines per sample have unit tests.)

import os
import re
import socket
import subprocess
import time
from pathlib import Path

import pytest

from conftest import TELEMETRY_PORT

pytestmark = pytest.mark.usefixtures("plugin_ports")

EMULATOR = Path(os.environ.get("NAVOREL_TOOLS_DIR", "")) / "xplane_plugin_emulator"
NO_TELEMETRY = "[XPlane Plugin] No telemetry received. Verify plugin is loaded and ports match."


def run_probe(bridge, *extra):  # (exit code, stdout lines, stderr lines) of a probe run of 10 s
    process = bridge("--xplane-probe", *extra, port=None, wait_port=False)
    code = process.wait(30)
    return code, process.stdout.replace("\r", "").splitlines(), process.stderr.replace("\r", "").splitlines()


def test_port_taken_reports_the_bind_error(bridge):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as holder:
        holder.bind(("127.0.0.1", TELEMETRY_PORT))
        code, out, err = run_probe(bridge)
    assert (code, err) == (1, ["[XPlane Plugin] Connect failed: Failed to bind UDP socket (port in use?)"])
    assert not any(line.startswith("[XPlane Plugin] Samples") for line in out)


def test_no_telemetry_exits_with_1(bridge):
    started = time.monotonic()
    code, out, err = run_probe(bridge)
    assert (code, err) == (1, [NO_TELEMETRY]) and time.monotonic() - started >= 9.5
    assert out[-1] == "[XPlane Plugin] Samples received in 10s: flight=0, systems=0, alert=0"


def test_emulator_telemetry_is_counted_and_shown(bridge):
    if not EMULATOR.exists():
        pytest.skip("xplane_plugin_emulator was not built (%s)" % EMULATOR)
    emulator = subprocess.Popen([EMULATOR, "--scenario", "takeoff", "--rate", "20", "--duration", "25",
                                 "--control-port", "0", "--quiet"], stdin=subprocess.DEVNULL)
    try:
        code, out, err = run_probe(bridge, "--verbose")  # --verbose changes the logger only
    finally:
        emulator.terminate()
        emulator.wait(10)
    assert code == 0 and NO_TELEMETRY not in err, err
    assert any(line.startswith("[XPlane Plugin] flight lat=") for line in out)
    summary = re.match(r"\[XPlane Plugin\] Samples received in 10s: flight=(\d+), systems=(\d+), alert=\d+$",
                       out[-1])
    # 20 datagrams a second for about 10 s, each with flight and systems data.
    assert summary and int(summary[1]) > 100 and int(summary[2]) == int(summary[1]), out[-1]
