"""The command line of the real binary: help text, exit codes, port errors,
unknown options and the log file of a verbose run.

Runs without --help keep serving until interrupted: they are watched until
the expected output appears, then stopped with SIGINT.
"""

import subprocess
from pathlib import Path

import pytest

from conftest import BRIDGE
from runtime_support import free_port

HELP_TEXT = (Path(__file__).parent / "help.txt").read_text()
BANNER = "Navorel Bridge 1.0.0 - Lightweight flight data relay\n"
PORT_ERROR = "Error: Port must be between 1024-65535"

pytestmark = pytest.mark.skipif(not BRIDGE, reason="NAVOREL_BRIDGE is not set")


@pytest.mark.parametrize("args, stderr", [(["--help"], ""), (["-h"], ""),
                                          (["--port", "80", "--help"], PORT_ERROR + "\n")])
def test_help_prints_the_help_text_and_exits_0(args, stderr, tmp_path):
    result = subprocess.run([BRIDGE, *args], cwd=tmp_path, stdin=subprocess.DEVNULL, capture_output=True,
                            text=True, timeout=15)
    assert (result.returncode, result.stdout, result.stderr) == (0, HELP_TEXT, stderr)
    assert result.stdout.count(BANNER) == 2
    assert not (tmp_path / "navorel_bridge.log").exists()


def test_bad_port_and_unknown_options_are_reported_and_the_run_goes_on(bridge):
    # The second, valid --port keeps the run off the default port; a value
    # option given last has no value and counts as unknown.
    run = bridge("--port", "80", "--XPLANE", "stray", "--port", free_port(), "--xplane-root", port=None)
    assert run.stop() == 0
    assert run.stderr.splitlines() == [PORT_ERROR, "Warning: Unknown option '--XPLANE' (use --help for options)",
                                       "Warning: Unknown option '--xplane-root' (use --help for options)"]
    assert run.stdout.startswith(BANNER)


@pytest.mark.parametrize("option, logs", [(None, False), ("--verbose", True), ("-v", True)])
def test_only_a_verbose_run_writes_the_log_file_in_the_working_directory(option, logs, bridge, tmp_path):
    run = bridge(*([option] if option else []))
    assert run.stop() == 0
    assert run.stdout.startswith(BANNER)
    assert (tmp_path / "navorel_bridge.log").is_file() == logs
