"""The built fake simulator answers a connection made by the SimConnect client
library (simconnect_probe) over TCP, found through a SimConnect.cfg in the
probe's working directory.
"""

import os
import subprocess

import pytest

from runtime_support import free_port

TOOLS = os.environ.get("NAVOREL_TOOLS_DIR")


def test_probe_opens_to_the_fake_simulator_over_tcp(tmp_path):
    if not TOOLS:
        pytest.skip("NAVOREL_TOOLS_DIR is not set")
    port = free_port()
    simulator = subprocess.Popen(
        [os.path.join(TOOLS, "fake_simulator"), "--port", str(port), "--variant", "2024", "--no-ipv6"],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    try:
        assert simulator.stdout.readline().strip() == "listen tcp 127.0.0.1:%d" % port
        (tmp_path / "SimConnect.cfg").write_text("[SimConnect]\nProtocol=IPv4\nAddress=127.0.0.1\nPort=%d\n" % port)
        probe = subprocess.run([os.path.join(TOOLS, "simconnect_probe"), "--seconds", "2"], cwd=tmp_path,
                               capture_output=True, text=True, timeout=30)
        sim_output, _ = simulator.communicate("exit\n", timeout=30)
    finally:
        if simulator.poll() is None:
            simulator.kill()
            simulator.wait()

    assert probe.returncode == 0, probe.stdout + probe.stderr
    assert 'simulator name="Microsoft Flight Simulator 2024' in probe.stdout
    assert 'data latitude=37.6' in probe.stdout
    assert simulator.returncode == 0
    for line in ('connected tcp 127.0.0.1:',
                 'recv Open name="Navorel probe" version=11.0.62651.3',
                 'recv AddToDataDefinition define=0 name="PLANE LATITUDE" units="degrees" type=FLOAT64 '
                 'epsilon=0 datum=4294967295',
                 'recv RequestDataOnSimObject request=0 define=0 object=0 period=ONCE',
                 'recv SubscribeToSystemEvent event=0 name="Pause"',
                 'closed by client'):
        assert line in sim_output, sim_output
