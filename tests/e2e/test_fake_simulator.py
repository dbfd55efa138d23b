"""The built fake simulator answers a connection made by the SimConnect client
library (simconnect_probe) over TCP, found through a SimConnect.cfg in the
probe's working directory; commands typed to the simulator reach the client.
"""

import os
import subprocess
import threading
import time

import pytest

from runtime_support import free_port

TOOLS = os.environ.get("NAVOREL_TOOLS_DIR")
WAIT = 20.0


class Output:
    """Collects a process's standard output lines as they arrive."""

    def __init__(self, process):
        self.lines = []
        self._changed = threading.Condition()
        self._reader = threading.Thread(target=self._read, args=(process.stdout,), daemon=True)
        self._reader.start()

    def _read(self, stream):
        for line in iter(stream.readline, ""):
            with self._changed:
                self.lines.append(line.rstrip("\r\n"))
                self._changed.notify_all()

    def wait_for(self, text, timeout=WAIT):
        deadline = time.monotonic() + timeout
        with self._changed:
            while not any(text in line for line in self.lines):
                left = deadline - time.monotonic()
                if left <= 0:
                    return False
                self._changed.wait(left)
            return True


def start(args, cwd=None, stdin=subprocess.DEVNULL):
    return subprocess.Popen(args, cwd=cwd, stdin=stdin, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)


def test_probe_opens_to_the_fake_simulator_over_tcp(tmp_path):
    if not TOOLS:
        pytest.skip("NAVOREL_TOOLS_DIR is not set")
    port = free_port()
    simulator = start([os.path.join(TOOLS, "fake_simulator"), "--port", str(port), "--variant", "2024", "--no-ipv6"],
                      stdin=subprocess.PIPE)
    probe = None
    try:
        sim_out = Output(simulator)
        assert sim_out.wait_for("listen tcp 127.0.0.1:%d" % port), sim_out.lines
        (tmp_path / "SimConnect.cfg").write_text("[SimConnect]\nProtocol=IPv4\nAddress=127.0.0.1\nPort=%d\n" % port)
        probe = start([os.path.join(TOOLS, "simconnect_probe"), "--seconds", "30"], cwd=tmp_path)
        probe_out = Output(probe)

        assert probe_out.wait_for('simulator name="Microsoft Flight Simulator 2024'), probe_out.lines
        assert probe_out.wait_for("data latitude=37.6"), probe_out.lines
        for line in ('recv Open name="Navorel probe" version=11.0.62651.3',
                     'recv AddToDataDefinition define=0 name="PLANE LATITUDE" units="degrees" type=FLOAT64 '
                     'epsilon=0 datum=4294967295',
                     'recv RequestDataOnSimObject request=0 define=0 object=0 period=ONCE',
                     'recv SubscribeToSystemEvent event=0 name="Pause"'):
            assert sim_out.wait_for(line), sim_out.lines

        simulator.stdin.write("pause 1\nquit\n")
        simulator.stdin.flush()
        assert probe_out.wait_for("event id=0 data=1"), probe_out.lines
        assert probe.wait(WAIT) == 0
        assert probe_out.wait_for("quit")
        assert sim_out.wait_for("closed by client"), sim_out.lines

        simulator.stdin.write("exit\n")
        simulator.stdin.flush()
        assert simulator.wait(WAIT) == 0
    finally:
        for process in (probe, simulator):
            if process and process.poll() is None:
                process.kill()
                process.wait()
