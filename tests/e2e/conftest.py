"""Shared pieces of the end-to-end tests: the real bridge, a WebSocket client, a scripted X-Plane
plugin, a stand-in X-Plane process and the plugin-port lock. Every wait is bounded."""

import asyncio
import contextlib
import http.client
import json
import os
import re
import select
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

import pytest

# Debian's python3-websockets lives in the system's dist-packages, which an
# interpreter from elsewhere (pyenv, a virtualenv) does not search.
try:
    import websockets
except ImportError:
    sys.path.append("/usr/lib/python3/dist-packages")
    import websockets

# The plugin-port lock is shared with the runtime benchmark in tools/.
sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools"))
from plugin_ports import CONTROL_PORT, TELEMETRY_PORT, plugin_ports_lock  # noqa: E402

WAIT = 10.0
BRIDGE = os.environ.get("NAVOREL_BRIDGE")
# A "|"-separated command put in front of the bridge, e.g. Wine for the Windows build.
LAUNCHER = [part for part in os.environ.get("NAVOREL_BRIDGE_LAUNCHER", "").split("|") if part]
# Wine's first start of a program in a prefix can take a while.
START_TIMEOUT = 120.0 if LAUNCHER else 20.0
PORT_LINE = re.compile(r"^WEBSOCKET_PORT=(\d+)\r?$", re.MULTILINE)
SANITIZER_REPORT = re.compile(r"ERROR: AddressSanitizer|WARNING: ThreadSanitizer|ERROR: LeakSanitizer|runtime error:")

# One event loop in the background serves every client.
LOOP = asyncio.new_event_loop()
threading.Thread(target=LOOP.run_forever, daemon=True).start()


def run(make, timeout=WAIT):
    # Awaits make()'s result on the clients' loop: websockets binds to the loop it is created on.
    async def call():
        return await make()
    return asyncio.run_coroutine_threadsafe(call(), LOOP).result(timeout)


def now_ticks():
    return time.time_ns() // 100


def payload(message):
    return {k: v for k, v in message.items() if k != "timestamp"}


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def port_is_free(port):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        try:
            return probe.bind(("127.0.0.1", port)) is None
        except OSError:
            return False


def wait_until(condition, timeout=WAIT):
    # condition()'s first true value, or its last (false) one once time is up.
    deadline = time.monotonic() + timeout
    while not (result := condition()) and time.monotonic() < deadline:
        time.sleep(0.05)
    return result


def http_get(port, path, headers=None, timeout=WAIT):
    # (status, reason, headers, body); the Host is 127.0.0.1 unless given (None: no Host).
    with contextlib.closing(http.client.HTTPConnection("127.0.0.1", port, timeout=timeout)) as connection:
        connection.putrequest("GET", path, skip_host=True)
        for name, value in dict({"Host": "127.0.0.1"}, **(headers or {})).items():
            if value is not None:
                connection.putheader(name, value)
        connection.endheaders()
        response = connection.getresponse()
        return response.status, response.reason, dict(response.getheaders()), response.read().decode()


@contextlib.contextmanager
def fake_xplane_process(name="X-Plane.exe"):
    # A harmless child whose argv[0], which the process list shows, is `name`.
    child = subprocess.Popen([name, "900"], executable="/bin/sleep", stdin=subprocess.DEVNULL)
    try:
        yield child
    finally:
        child.kill()
        child.wait(10)


class Frame(dict):
    """A received message, with its arrival time `at` and its JSON `text`."""


class Client:
    """A WebSocket connection whose frames a background task collects."""

    def __init__(self, port, timeout=WAIT, **options):
        self.frames, self.closed, self._changed = [], False, threading.Condition()
        self.ws = run(lambda: websockets.connect("ws://127.0.0.1:%d/" % port, ping_interval=None, max_size=None,
                                                 open_timeout=timeout, **options), timeout + 5)
        self._reader = asyncio.run_coroutine_threadsafe(self._read(), LOOP)

    async def _read(self):
        with contextlib.suppress(websockets.ConnectionClosed):
            async for text in self.ws:
                frame = Frame(json.loads(text))
                frame.at, frame.text = time.monotonic(), text
                with self._changed:
                    self.frames.append(frame)
                    self._changed.notify_all()
        with self._changed:
            self.closed = True
            self._changed.notify_all()

    def send(self, message):  # text or bytes (a binary frame) as they are, anything else as JSON
        data = message if isinstance(message, (str, bytes)) else json.dumps(message)
        run(lambda: self.ws.send(data))

    def mark(self):
        return len(self.frames)

    def since(self, start=0, kind=None):
        return [f for f in self.frames[start:] if kind in (None, f.get("type"))]

    def wait(self, kind, timeout=WAIT, start=0, **fields):
        # The first frame from index `start` on of this type with these field
        # values (or, when `kind` is callable, that satisfies it).
        match = kind if callable(kind) else (
            lambda m: m.get("type") == kind and all(m.get(k) == v for k, v in fields.items()))
        with self._changed:
            found = self._changed.wait_for(
                lambda: next((f for f in self.frames[start:] if match(f)), None) or self.closed, timeout)
        assert isinstance(found, Frame), "no %s %s within %.1f s; received:\n%s" % (
            kind, fields, timeout, "\n".join(f.text[:300] for f in self.frames[start:][-30:]))
        return found

    def command(self, message, timeout=WAIT):  # returns the answer: "response" or "error"
        start = self.mark()
        self.send(message)
        return self.wait(lambda m: m.get("type") in ("response", "error"), timeout, start)

    def set_state(self, state):
        answer = self.command({"type": "SET_STATE", "state": state})
        assert answer["message"] == "State changed to " + state, answer

    def wait_closed(self, timeout=WAIT):
        self._reader.result(timeout)
        return self.ws.close_code, self.ws.close_reason

    def close(self):
        with contextlib.suppress(Exception):  # the bridge may be gone already
            run(self.ws.close, 5)


class Plugin:
    """Plays the X-Plane plugin: sends `fields` to the telemetry port `rate` times a second while
    `sending`, and records (and obeys) the commands it gets on the control port."""

    def __init__(self, fields, rate=20.0):
        self.fields, self.rate, self.sending, self.controls, self.open = dict(fields), rate, True, [], True
        self.socket = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.socket.bind(("127.0.0.1", CONTROL_PORT))
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def set(self, **fields):
        self.fields = dict(self.fields, **fields)  # a new dict: the sender never sees one half-changed

    def send_now(self, data):  # bytes, or fields as JSON
        self.socket.sendto(data if isinstance(data, bytes) else json.dumps(data).encode(),
                           ("127.0.0.1", TELEMETRY_PORT))

    def _run(self):
        next_send = time.monotonic()
        while self.open:
            try:
                if select.select([self.socket], [], [], max(0.0, next_send - time.monotonic()))[0]:
                    data = self.socket.recv(65536)
                    self.controls.append(data)
                    command = json.loads(data)
                    if command.get("action") == "SET_PAUSE":
                        self.set(paused=bool(command["paused"]))
                elif time.monotonic() >= next_send:
                    next_send += 1.0 / self.rate
                    if self.sending:
                        self.send_now(self.fields)
            except (OSError, ValueError):
                pass  # no bridge listening yet ("port unreachable"), or a command that is not JSON

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.open = False
        self._thread.join(5)
        self.socket.close()


class Bridge:
    """A running bridge; its output goes to files that are read as they grow."""

    def __init__(self, args, env, cwd):
        self.args, self.port, self.clients = args, None, []
        self._files = [tempfile.TemporaryFile(), tempfile.TemporaryFile()]
        self.process = subprocess.Popen([*LAUNCHER, BRIDGE, *args], cwd=cwd, env=env, stdin=subprocess.DEVNULL,
                                        stdout=self._files[0], stderr=self._files[1])

    def _read(self, index):
        fd = self._files[index].fileno()
        return os.pread(fd, os.fstat(fd).st_size, 0).decode("utf-8", "replace")

    stdout = property(lambda self: self._read(0))
    stderr = property(lambda self: self._read(1))

    def client(self, **options):  # one that has read its welcome; closed with the bridge
        client = Client(self.port, **options)
        self.clients.append(client)
        client.wait("connection")
        return client

    def send_signal(self, sig=signal.SIGINT):
        if self.process.poll() is None:
            self.process.send_signal(sig)

    def wait(self, timeout=20.0):  # the exit code; a bridge that does not end in time is killed
        try:
            return self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
            raise AssertionError("bridge did not exit within %.0f s\nstdout:\n%s\nstderr:\n%s"
                                 % (timeout, self.stdout, self.stderr)) from None


@pytest.fixture
def bridge(tmp_path):
    # Factory: bridge(*args, env=None, cwd=tmp_path, port="auto" (a free one), a number or None, wait_port=True).
    # The bridge finds no X-Plane install unless env names one; a sanitizer report fails the test.
    if not BRIDGE:
        pytest.skip("NAVOREL_BRIDGE is not set")
    started = []

    def start(*args, env=None, cwd=None, port="auto", wait_port=True):
        full_env = {k: v for k, v in os.environ.items() if k not in ("XPLANE_ROOT", "XPLANE_HOME")}
        full_env.update({k: str(v) for k, v in (env or {}).items()})
        port = free_port() if port == "auto" else port
        process = Bridge([str(a) for a in ([] if port is None else ["--port", port]) + list(args)], full_env,
                         cwd or tmp_path)
        started.append(process)
        if wait_port:
            wait_until(lambda: PORT_LINE.search(process.stdout) or process.process.poll() is not None, START_TIMEOUT)
            match = PORT_LINE.search(process.stdout)
            assert match, "no WEBSOCKET_PORT= from %s\nstdout:\n%s\nstderr:\n%s" % (args, process.stdout,
                                                                                   process.stderr)
            process.port = int(match[1])
        return process

    yield start
    for process in started:  # all at once: their shutdown pauses overlap
        for client in process.clients:
            client.close()
        process.send_signal()
    for process in started:
        with contextlib.suppress(AssertionError):
            process.wait()
    reports = [process.stderr for process in started if SANITIZER_REPORT.search(process.stderr)]
    if reports:
        pytest.fail("sanitizer report from the bridge:\n" + "\n".join(reports), pytrace=False)


@pytest.fixture(scope="module")
def plugin_ports():  # for modules that bind the plugin ports or start a stand-in X-Plane
    with plugin_ports_lock(wait_seconds=420.0):
        yield
