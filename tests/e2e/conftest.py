"""Shared fixtures of the end-to-end tests: the real NavorelBridge (named by
NAVOREL_BRIDGE, behind the "|"-separated NAVOREL_BRIDGE_LAUNCHER when set,
e.g. Wine), clients, the fake X-Plane process and the plugin-port lock.
Every bridge a test started is stopped afterwards; all waits are bounded.
"""

import os
import re
import signal
import subprocess
import threading
import time

import pytest

from runtime_support import Client, fake_xplane_process, free_port, plugin_ports_lock

BRIDGE = os.environ.get("NAVOREL_BRIDGE")
LAUNCHER = [part for part in os.environ.get("NAVOREL_BRIDGE_LAUNCHER", "").split("|") if part]
# Wine's first start of a program in a prefix can take a while.
START_TIMEOUT = 120.0 if LAUNCHER else 20.0
STOP_TIMEOUT = 20.0

PORT_LINE = re.compile(r"^WEBSOCKET_PORT=(\d+)\r?$", re.MULTILINE)
CONFLICT_LINE = re.compile(r"^WEBSOCKET_PORT_CONFLICT=(\d+)\r?$", re.MULTILINE)
# A sanitizer build of the bridge reports problems on standard error.
SANITIZER_REPORT = re.compile(r"ERROR: AddressSanitizer|WARNING: ThreadSanitizer|ERROR: LeakSanitizer|runtime error:")


class BridgeProcess:
    """One running bridge with both output streams collected as they arrive."""

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
        self._chunks = {"stdout": [], "stderr": []}
        self._open = {"stdout": True, "stderr": True}
        self.process = subprocess.Popen([*LAUNCHER, BRIDGE, *self.args], cwd=str(cwd) if cwd else None,
                                        env=full_env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE)
        self._readers = [threading.Thread(target=self._drain, args=(name,), daemon=True) for name in self._open]
        for reader in self._readers:
            reader.start()
        self.port = None
        self.conflict_port = None

    def _drain(self, name):
        pipe = getattr(self.process, name)
        try:
            for data in iter(lambda: os.read(pipe.fileno(), 65536), b""):
                with self._changed:
                    self._chunks[name].append(data)
                    self._changed.notify_all()
        except OSError:
            pass
        finally:
            with self._changed:
                self._open[name] = False
                self._changed.notify_all()

    def _text(self, name):
        return b"".join(self._chunks[name]).decode("utf-8", "replace")

    @property
    def stdout(self):
        with self._changed:
            return self._text("stdout")

    @property
    def stderr(self):
        with self._changed:
            return self._text("stderr")

    def wait_for_output(self, pattern, timeout=START_TIMEOUT, stream="stdout"):
        """Waits until `pattern` (a substring or compiled regex) appears; returns
        the match (or True), or None when time is up or the stream closed."""
        deadline = time.monotonic() + timeout
        with self._changed:
            while True:
                text = self._text(stream)
                found = (pattern in text) if isinstance(pattern, str) else pattern.search(text)
                if found:
                    return found
                left = deadline - time.monotonic()
                if left <= 0 or not self._open[stream]:
                    return None
                self._changed.wait(min(left, 0.2))

    def wait_for_port(self, timeout=START_TIMEOUT):
        match = self.wait_for_output(PORT_LINE, timeout)
        if not match:
            self.stop()
            raise AssertionError("bridge did not report WEBSOCKET_PORT=\nargs: %s\nexit: %s\nstdout:\n%s\nstderr:\n%s"
                                 % (self.args, self.process.returncode, self.stdout, self.stderr))
        self.port = int(match.group(1))
        conflict = CONFLICT_LINE.search(self.stdout)
        self.conflict_port = int(conflict.group(1)) if conflict else None
        return self.port

    def send_signal(self, sig=signal.SIGINT):
        if self.process.poll() is None:
            self.process.send_signal(sig)

    def wait(self, timeout=STOP_TIMEOUT):
        """Exit code once the process has ended and its pipes are drained;
        kills it and fails the test when it does not end in time."""
        try:
            code = self.process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.kill()
            raise AssertionError("bridge did not exit within %.0f s\nstdout:\n%s\nstderr:\n%s"
                                 % (timeout, self.stdout, self.stderr))
        self._join_pipes()
        return code

    def stop(self, sig=signal.SIGINT, timeout=STOP_TIMEOUT):
        """Sends the signal (if still running) and returns the exit code."""
        self.send_signal(sig)
        return self.wait(timeout)

    def kill(self):
        self.process.kill()
        self.process.wait()
        self._join_pipes()

    def _join_pipes(self):
        for reader in self._readers:
            reader.join(5)
        for pipe in (self.process.stdout, self.process.stderr):
            pipe.close()


@pytest.fixture
def bridge(tmp_path):
    """Factory: bridge(*args, env=None, cwd=None, port="auto", wait_port=True).

    port="auto" adds "--port <free port>" unless args name one; None adds
    nothing; a number adds "--port <number>". env entries override the
    inherited environment (None removes one). cwd defaults to tmp_path.
    """
    started = []

    def start(*args, env=None, cwd=None, port="auto", wait_port=True):
        args = [str(a) for a in args]
        if port == "auto" and "--port" not in args:
            port = free_port()
        if port not in (None, "auto"):
            args = ["--port", str(port)] + args
        process = BridgeProcess(args, env=env, cwd=cwd or tmp_path)
        started.append(process)
        if wait_port:
            process.wait_for_port()
        return process

    yield start
    reports = []
    for process in started:
        try:
            process.stop()
        except AssertionError:
            pass  # killed by wait()
        if SANITIZER_REPORT.search(process.stderr):
            reports.append(process.stderr)
    if reports:
        pytest.fail("sanitizer report from the bridge:\n" + "\n".join(reports), pytrace=False)


@pytest.fixture
def clients():
    """Factory: clients(process) opens a Client that has read its welcome."""
    opened = []

    def open_client(process, **options):
        client = Client(process.port, **options)
        opened.append(client)
        client.wait_type("connection")
        return client

    yield open_client
    for client in opened:
        client.close()


@pytest.fixture(scope="module")
def plugin_ports():
    """The machine-wide lock of the fixed plugin ports, held for a whole
    module; every module that binds them or starts a fake X-Plane uses it."""
    with plugin_ports_lock(wait_seconds=420.0):
        yield


@pytest.fixture
def xplane_process():
    with fake_xplane_process() as child:
        yield child
