"""The command line of the real binary: help text, exit codes, port errors,
unknown options and the log file of a verbose run.

Runs without --help may keep serving until interrupted, so they are started
in the background, watched until the expected output appears, then stopped
with SIGINT; a run that already ended by itself is fine too.
"""

import os
import signal
import socket
import subprocess
import time
from pathlib import Path

import pytest

BRIDGE = os.environ.get("NAVOREL_BRIDGE")
HELP_TEXT = (Path(__file__).parent / "help.txt").read_text()
BANNER = "Navorel Bridge 1.0.0 - Lightweight flight data relay\n"
PORT_ERROR = "Error: Port must be between 1024-65535"
WAIT_SECONDS = 15

pytestmark = pytest.mark.skipif(not BRIDGE, reason="NAVOREL_BRIDGE is not set")


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class Run:
    """One bridge process with its output in files under a private cwd."""

    def __init__(self, cwd, *args):
        self.cwd = Path(cwd)
        self.stdout_path = self.cwd / "stdout.txt"
        self.stderr_path = self.cwd / "stderr.txt"
        with open(self.stdout_path, "wb") as out, open(self.stderr_path, "wb") as err:
            self.process = subprocess.Popen(
                [BRIDGE, *args], cwd=self.cwd, stdin=subprocess.DEVNULL, stdout=out, stderr=err
            )

    def stdout(self):
        return self.stdout_path.read_text(errors="replace")

    def stderr(self):
        return self.stderr_path.read_text(errors="replace")

    def wait_for(self, condition):
        """Polls until condition() holds or the process has ended; bounded."""
        deadline = time.monotonic() + WAIT_SECONDS
        while time.monotonic() < deadline:
            if condition():
                return True
            if self.process.poll() is not None:
                return condition()
            time.sleep(0.05)
        return condition()

    def stop(self):
        """Interrupts a still running bridge and returns its exit code."""
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGINT)
        try:
            return self.process.wait(timeout=WAIT_SECONDS)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
            pytest.fail("the bridge did not stop after SIGINT")


@pytest.fixture
def bridge(tmp_path):
    runs = []

    def start(*args):
        run = Run(tmp_path, *args)
        runs.append(run)
        return run

    yield start
    for run in runs:
        if run.process.poll() is None:
            run.process.kill()
            run.process.wait()


def run_to_end(*args, cwd):
    return subprocess.run(
        [BRIDGE, *args], cwd=cwd, stdin=subprocess.DEVNULL, capture_output=True, text=True,
        timeout=WAIT_SECONDS,
    )


@pytest.mark.parametrize("option", ["--help", "-h"])
def test_help_prints_the_help_text_and_exits_0(option, tmp_path):
    result = run_to_end(option, cwd=tmp_path)
    assert result.returncode == 0
    assert result.stdout == HELP_TEXT
    assert result.stdout.count(BANNER) == 2
    assert result.stderr == ""
    assert not (tmp_path / "navorel_bridge.log").exists()


def test_bad_port_before_help_reports_the_error(tmp_path):
    result = run_to_end("--port", "80", "--help", cwd=tmp_path)
    assert result.returncode == 0
    assert result.stderr == PORT_ERROR + "\n"
    assert result.stdout == HELP_TEXT


def test_bad_port_is_reported_and_the_run_goes_on(bridge, tmp_path):
    # The second, valid --port keeps the run off the default port.
    run = bridge("--port", "80", "--port", str(free_port()))
    assert run.wait_for(lambda: PORT_ERROR in run.stderr()), run.stderr()
    assert run.stop() == 0
    assert run.stderr().splitlines()[0] == PORT_ERROR
    assert run.stdout().startswith(BANNER)


def test_unknown_options_warn_and_the_run_goes_on(bridge):
    run = bridge("--XPLANE", "--port", str(free_port()), "stray")
    expected = "Warning: Unknown option '--XPLANE' (use --help for options)"
    assert run.wait_for(lambda: expected in run.stderr()), run.stderr()
    assert run.stop() == 0
    assert run.stderr().splitlines()[0] == expected
    assert "stray" not in run.stderr()


def test_value_option_as_last_argument_is_an_unknown_option(bridge):
    run = bridge("--port", str(free_port()), "--xplane-root")
    expected = "Warning: Unknown option '--xplane-root' (use --help for options)"
    assert run.wait_for(lambda: expected in run.stderr()), run.stderr()
    assert run.stop() == 0


def test_quiet_run_writes_no_log_file(bridge, tmp_path):
    run = bridge("--port", str(free_port()))
    # Started once the port is announced (or the run ended by itself).
    run.wait_for(lambda: "WEBSOCKET_PORT=" in run.stdout())
    assert run.stop() == 0
    assert run.stdout().startswith(BANNER)
    assert not (tmp_path / "navorel_bridge.log").exists()


@pytest.mark.parametrize("option", ["--verbose", "-v"])
def test_verbose_creates_the_log_file_in_the_working_directory(option, bridge, tmp_path):
    log_file = tmp_path / "navorel_bridge.log"
    run = bridge(option, "--port", str(free_port()))
    assert run.wait_for(log_file.exists), run.stderr()
    assert run.stop() == 0
    assert log_file.is_file()
