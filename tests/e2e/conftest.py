"""Shared launcher for the end-to-end tests: runs the real NavorelBridge.

`bridge(*args, env=..., cwd=..., port=...)` starts the binary named by the
NAVOREL_BRIDGE environment variable, reads its standard output until the line
"WEBSOCKET_PORT=<n>" and returns a BridgeProcess whose `port` is that number.
Every process a test started is stopped with SIGINT (then killed, if it does
not end in time) when the test is over. All waits are bounded.
"""

import os
import re
import signal
import socket
import subprocess
import sys
import threading
import time

import pytest

# Debian's python3-websockets lives in the system's dist-packages, which an
# interpreter from elsewhere (pyenv, a virtualenv) does not search.
try:
    import websockets  # noqa: F401
except ImportError:
    _DEBIAN_PACKAGES = "/usr/lib/python3/dist-packages"
    if os.path.isdir(_DEBIAN_PACKAGES) and _DEBIAN_PACKAGES not in sys.path:
        sys.path.append(_DEBIAN_PACKAGES)

BRIDGE = os.environ.get("NAVOREL_BRIDGE")
START_TIMEOUT = 20.0
STOP_TIMEOUT = 20.0

PORT_LINE = re.compile(r"^WEBSOCKET_PORT=(\d+)\r?$", re.MULTILINE)
# A sanitizer build of the bridge reports problems on standard error.
SANITIZER_REPORT = re.compile(r"ERROR: AddressSanitizer|WARNING: ThreadSanitizer|ERROR: LeakSanitizer|runtime error:")
CONFLICT_LINE = re.compile(r"^WEBSOCKET_PORT_CONFLICT=(\d+)\r?$", re.MULTILINE)


def free_port():
    """A loopback port that nothing listened on a moment ago."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class _Collector(threading.Thread):
    """Drains one pipe of the child into a text buffer that tests can wait on."""

    def __init__(self, pipe, changed):
        super().__init__(daemon=True)
        self._pipe = pipe
        self._changed = changed
        self._chunks = []
        self.closed = False

    def run(self):
        try:
            while True:
                data = os.read(self._pipe.fileno(), 65536)
                if not data:
                    break
                with self._changed:
                    self._chunks.append(data)
                    self._changed.notify_all()
        except OSError:
            pass
        finally:
            with self._changed:
                self.closed = True
                self._changed.notify_all()

    def text(self):
        with self._changed:
            return b"".join(self._chunks).decode("utf-8", errors="replace")


class BridgeProcess:
    """One running bridge with its output collected as it arrives."""

    def __init__(self, args, env=None, cwd=None):
        if not BRIDGE:
            pytest.skip("NAVOREL_BRIDGE is not set")
        full_env = dict(os.environ)
        for key, value in (env or {}).items():
            if value is None:
                full_env.pop(key, None)
            else:
                full_env[key] = str(value)
        self.args = [str(a) for a in args]
        self._changed = threading.Condition()
        self.process = subprocess.Popen(
            [BRIDGE, *self.args],
            cwd=str(cwd) if cwd else None,
            env=full_env,
            stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
        )
        self._stdout = _Collector(self.process.stdout, self._changed)
        self._stderr = _Collector(self.process.stderr, self._changed)
        self._stdout.start()
        self._stderr.start()
        self.port = None
        self.conflict_port = None

    # -- output -------------------------------------------------------------

    @property
    def stdout(self):
        return self._stdout.text()

    @property
    def stderr(self):
        return self._stderr.text()

    def wait_for_output(self, pattern, timeout=START_TIMEOUT, stream="stdout"):
        """Waits until `pattern` (a substring or compiled regex) appears in the
        stream; returns the regex match (or True), or None when the time is up
        or the stream has closed without it."""
        collector = self._stdout if stream == "stdout" else self._stderr
        deadline = time.monotonic() + timeout
        with self._changed:
            while True:
                text = b"".join(collector._chunks).decode("utf-8", "replace")
                if isinstance(pattern, str):
                    if pattern in text:
                        return True
                else:
                    match = pattern.search(text)
                    if match:
                        return match
                left = deadline - time.monotonic()
                if left <= 0 or collector.closed:
                    return None
                self._changed.wait(min(left, 0.2))

    def wait_for_port(self, timeout=START_TIMEOUT):
        match = self.wait_for_output(PORT_LINE, timeout)
        if not match:
            self.stop()
            raise AssertionError(
                "bridge did not report WEBSOCKET_PORT=\nargs: %s\nexit: %s\nstdout:\n%s\nstderr:\n%s"
                % (self.args, self.process.returncode, self.stdout, self.stderr)
            )
        self.port = int(match.group(1))
        conflict = CONFLICT_LINE.search(self.stdout)
        self.conflict_port = int(conflict.group(1)) if conflict else None
        return self.port

    # -- process ------------------------------------------------------------

    @property
    def returncode(self):
        return self.process.poll()

    def send_signal(self, sig=signal.SIGINT):
        if self.process.poll() is None:
            self.process.send_signal(sig)

    def wait(self, timeout=STOP_TIMEOUT):
        """Exit code once the process has ended and its pipes are drained;
        kills it and fails the test when it does not end in time."""
        try:
            code = self.process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
            self._join_pipes()
            raise AssertionError("bridge did not exit within %.0f s\nstdout:\n%s\nstderr:\n%s"
                                 % (timeout, self.stdout, self.stderr))
        self._join_pipes()
        return code

    def stop(self, sig=signal.SIGINT, timeout=STOP_TIMEOUT):
        """Sends the signal (if still running) and returns the exit code."""
        self.send_signal(sig)
        return self.wait(timeout)

    def _join_pipes(self):
        self._stdout.join(5)
        self._stderr.join(5)
        for pipe in (self.process.stdout, self.process.stderr):
            try:
                pipe.close()
            except OSError:
                pass

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait()
        self._join_pipes()


@pytest.fixture
def bridge(tmp_path):
    """Factory that starts bridges and stops them all after the test.

    bridge(*args, env=None, cwd=None, port="auto", wait_port=True):
      port="auto" adds "--port <free port>" unless args already name one;
      port=None adds nothing; a number adds "--port <number>".
      env entries override the inherited environment (None removes one).
      cwd defaults to the test's temporary directory (the log file goes there).
    """
    started = []

    def start(*args, env=None, cwd=None, port="auto", wait_port=True):
        args = [str(a) for a in args]
        if port == "auto":
            if "--port" not in args:
                args = ["--port", str(free_port())] + args
        elif port is not None:
            args = ["--port", str(port)] + args
        process = BridgeProcess(args, env=env, cwd=cwd or tmp_path)
        started.append(process)
        if wait_port:
            process.wait_for_port()
        return process

    yield start
    reports = []
    for process in started:
        if process.returncode is None:
            try:
                process.stop()
            except AssertionError:
                process.kill()
        else:
            process.kill()
        if SANITIZER_REPORT.search(process.stderr):
            reports.append(process.stderr)
    if reports:
        pytest.fail("sanitizer report from the bridge:\n" + "\n".join(reports), pytrace=False)


@pytest.fixture(name="free_port")
def free_port_fixture():
    """The free_port() helper, for tests that need a port of their own."""
    return free_port
