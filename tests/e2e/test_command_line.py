# The command line: help text, exit codes, port errors, unknown options, and
# what only a verbose run writes (log file, status line).

import subprocess
import time
from pathlib import Path

import pytest

from conftest import BRIDGE, free_port, wait_until

HELP_TEXT = (Path(__file__).parent / "help.txt").read_text()
PORT_ERROR = "Error: Port must be between 1024-65535"


@pytest.mark.skipif(not BRIDGE, reason="NAVOREL_BRIDGE is not set")
def test_help_prints_the_help_text_and_exits_0(tmp_path):
    for args, stderr in [(["--help"], ""), (["-h"], ""), (["--port", "80", "--help"], PORT_ERROR + "\n")]:
        result = subprocess.run([BRIDGE, *args], cwd=tmp_path, stdin=subprocess.DEVNULL, capture_output=True,
                                text=True, timeout=15)
        assert (result.returncode, result.stdout, result.stderr) == (0, HELP_TEXT, stderr), args
    assert not (tmp_path / "navorel_bridge.log").exists()


def test_warnings_let_the_run_go_on_and_only_a_verbose_run_logs(bridge, tmp_path):
    # The second, valid --port keeps the run off the default port; a value
    # option given last has no value and counts as unknown.
    (tmp_path / "quiet").mkdir()
    quiet = bridge("--port", "80", "--XPLANE", "stray", "--port", free_port(), "--xplane-root", port=None,
                   cwd=tmp_path / "quiet")
    verbose = bridge("-v", "--msfs")
    status = "\r[Status] MSFS: NOT_DETECTED | SimConnect: DISCONNECTED | Clients: 0" + " " * 10
    assert wait_until(lambda: status in verbose.stdout)
    time.sleep(2.0)  # the status line comes every second
    quiet.send_signal()
    verbose.send_signal()
    assert quiet.wait() == verbose.wait() == 0
    assert quiet.stderr.splitlines() == [PORT_ERROR, "Warning: Unknown option '--XPLANE' (use --help for options)",
                                         "Warning: Unknown option '--xplane-root' (use --help for options)"]
    assert quiet.stdout.startswith("Navorel Bridge 1.0.0 - Lightweight flight data relay\n")
    assert "[Status]" not in quiet.stdout and not (tmp_path / "quiet" / "navorel_bridge.log").exists()
    assert (tmp_path / "navorel_bridge.log").is_file()
