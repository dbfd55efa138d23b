"""Helpers for the end-to-end tests: a WebSocket client that collects every
frame in the background, a scripted X-Plane plugin on UDP, a fake X-Plane
process, the machine-wide lock of the plugin ports and the bridge's rounding.

Every wait here is bounded; a failed wait raises AssertionError with what was
seen so far.
"""

import asyncio
import contextlib
import json
import math
import select
import socket
import subprocess
import sys
import threading
import time
from pathlib import Path

# Debian's python3-websockets lives in the system's dist-packages, which an
# interpreter from elsewhere (pyenv, a virtualenv) does not search.
try:
    import websockets
except ImportError:
    sys.path.append("/usr/lib/python3/dist-packages")
    import websockets
from websockets.exceptions import ConnectionClosed, InvalidStatusCode

# The plugin-port lock is shared with the runtime benchmark in tools/.
sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools"))
from plugin_ports import CONTROL_PORT, TELEMETRY_PORT, plugin_ports_lock  # noqa: E402,F401

WAIT = 10.0

TELEMETRY_TYPES = ("flight_data", "aircraft_info", "landing_data", "systems_data", "equipment_data",
                   "alert_data", "environment_data", "sim_event")


@contextlib.contextmanager
def fake_xplane_process(name="X-Plane.exe"):
    """A harmless child whose argv[0] (what the process list shows) is `name`."""
    child = subprocess.Popen([name, "900"], executable="/bin/sleep",
                             stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        yield child
    finally:
        if child.poll() is None:
            child.kill()
        child.wait(timeout=10)


def round_to(value, decimals):
    """The bridge's rounding: halves away from zero, as C's round()."""
    if math.isnan(value) or math.isinf(value):
        return value
    scale = 10.0 ** decimals
    scaled = value * scale
    whole = math.floor(abs(scaled))
    if abs(scaled) - whole >= 0.5:
        whole += 1
    return math.copysign(whole, scaled) / scale


def ordered_keys(text):
    """Member names of a JSON object in the order they appear in the text."""
    return [key for key, _ in json.loads(text, object_pairs_hook=lambda pairs: pairs)]


def now_ticks():
    return time.time_ns() // 100


def payload(message):
    """A message without its timestamp."""
    return {k: v for k, v in message.items() if k != "timestamp"}


def free_port():
    """A loopback port that nothing listened on a moment ago."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def port_is_free(port, kind=socket.SOCK_DGRAM):
    with socket.socket(socket.AF_INET, kind) as probe:
        try:
            probe.bind(("127.0.0.1", port))
            return True
        except OSError:
            return False


def wait_until(condition, timeout=WAIT, step=0.05):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(step)
    return condition()


def clean_env(**extra):
    """Environment overrides for a bridge that must not find an X-Plane install
    on its own."""
    env = {"XPLANE_ROOT": None, "XPLANE_HOME": None}
    env.update(extra)
    return env


class Frame:
    def __init__(self, at, text):
        self.at = at
        self.text = text
        self.message = json.loads(text)

    @property
    def type(self):
        return self.message.get("type")

    def __repr__(self):
        return "%.3f %s" % (self.at, self.text[:300])


class Client:
    """One WebSocket connection whose frames are collected by a background
    thread; tests read them synchronously with bounded waits."""

    def __init__(self, port, timeout=WAIT, **options):
        options.setdefault("ping_interval", None)
        options.setdefault("max_size", None)
        options.setdefault("open_timeout", timeout)
        self.frames = []
        self.closed = False
        self._changed = threading.Condition()
        self._loop = asyncio.new_event_loop()
        self._thread = threading.Thread(target=self._loop.run_forever, daemon=True)
        self._thread.start()
        try:
            self._ws = self._call(self._open(port, options), timeout + 5)
        except BaseException:
            self._stop_loop()
            raise
        self.response_headers = self._ws.response_headers
        self._reader = asyncio.run_coroutine_threadsafe(self._read(), self._loop)

    @staticmethod
    async def _open(port, options):
        return await websockets.connect("ws://127.0.0.1:%d/" % port, **options)

    def _call(self, coroutine, timeout=WAIT):
        return asyncio.run_coroutine_threadsafe(coroutine, self._loop).result(timeout)

    async def _read(self):
        try:
            async for text in self._ws:
                frame = Frame(time.monotonic(), text)
                with self._changed:
                    self.frames.append(frame)
                    self._changed.notify_all()
        except ConnectionClosed:
            pass
        finally:
            with self._changed:
                self.closed = True
                self._changed.notify_all()

    def _stop_loop(self):
        if self._loop.is_closed():
            return  # closed before
        self._loop.call_soon_threadsafe(self._loop.stop)
        self._thread.join(5)
        if not self._thread.is_alive():
            self._loop.close()

    # -- sending --------------------------------------------------------------

    def send(self, message):
        """Sends text or (bytes) a binary frame; other values as JSON."""
        data = message if isinstance(message, (str, bytes)) else json.dumps(message)
        self._call(self._ws.send(data))

    def send_raw_text(self, data):
        """A text frame with exactly these bytes, valid UTF-8 or not."""
        self._call(self._ws.write_frame(True, 0x1, data))

    def command(self, message, timeout=WAIT):
        """Sends a command and returns the answer ("response" or "error")."""
        start = self.mark()
        self.send(message)
        return self.wait_for(lambda m: m.get("type") in ("response", "error"), timeout, start).message

    def set_state(self, state):
        answer = self.command({"type": "SET_STATE", "state": state, "reason": "e2e"})
        assert answer["type"] == "response" and answer["message"] == "State changed to " + state, answer
        return answer

    # -- reading --------------------------------------------------------------

    def mark(self):
        with self._changed:
            return len(self.frames)

    def since(self, start=0, kind=None):
        with self._changed:
            frames = self.frames[start:]
        return [f for f in frames if kind is None or f.type == kind]

    def messages(self, start=0, kind=None):
        return [f.message for f in self.since(start, kind)]

    def wait_for(self, predicate, timeout=WAIT, start=0):
        """The first frame from index `start` on whose message satisfies the
        predicate; fails when none arrives in time."""
        deadline = time.monotonic() + timeout
        index = start
        with self._changed:
            while True:
                while index < len(self.frames):
                    frame = self.frames[index]
                    index += 1
                    if predicate(frame.message):
                        return frame
                left = deadline - time.monotonic()
                if left <= 0 or self.closed:
                    raise AssertionError("no matching message within %.1f s; received since %d:\n%s"
                                         % (timeout, start, "\n".join(map(repr, self.frames[start:][-40:]))))
                self._changed.wait(min(left, 0.2))

    def wait_type(self, kind, timeout=WAIT, start=0, **fields):
        return self.wait_for(lambda m: m.get("type") == kind and all(m.get(k) == v for k, v in fields.items()),
                             timeout, start)

    def wait_status(self, timeout=WAIT, start=0, **fields):
        return self.wait_type("sim_status", timeout, start, **fields).message

    def wait_closed(self, timeout=WAIT):
        deadline = time.monotonic() + timeout
        with self._changed:
            while not self.closed:
                left = deadline - time.monotonic()
                if left <= 0:
                    raise AssertionError("the connection stayed open for %.1f s" % timeout)
                self._changed.wait(min(left, 0.2))
        return self._ws.close_code, self._ws.close_reason

    def close(self):
        if self._loop.is_closed():
            return
        if not self.closed:
            try:
                self._call(self._ws.close(), 5)
            except Exception:  # noqa: BLE001 - the bridge may be gone already
                pass
        try:
            self._reader.result(5)
        except Exception:  # noqa: BLE001
            pass
        self._stop_loop()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def refusal(port, **options):
    """The HTTP status with which the bridge refuses this upgrade (None when
    it accepts it)."""
    try:
        Client(port, **options).close()
    except InvalidStatusCode as refused:
        return refused.status_code
    return None


class Plugin:
    """Plays the X-Plane plugin: sends the current datagram fields to the
    telemetry port at a fixed rate from a socket bound to the control port,
    and records (and, with obey_pause, obeys) the commands it receives."""

    def __init__(self, fields=None, rate=20.0, obey_pause=False):
        self._lock = threading.Lock()
        self._fields = dict(fields or {})
        self._sending = True
        self.rate = rate
        self.obey_pause = obey_pause
        self.controls = []  # raw datagrams received on the control port
        self._stop = threading.Event()
        self.socket = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.socket.bind(("127.0.0.1", CONTROL_PORT))
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def set(self, **fields):
        with self._lock:
            self._fields.update(fields)

    def replace(self, fields):
        with self._lock:
            self._fields = dict(fields)

    def sending(self, on):
        with self._lock:
            self._sending = on

    def send_now(self, data):
        """One extra datagram (bytes, or fields as JSON) at once; the periodic ones go on."""
        data = data if isinstance(data, bytes) else json.dumps(data).encode()
        self.socket.sendto(data, ("127.0.0.1", TELEMETRY_PORT))

    def wait_controls(self, count, timeout=WAIT):
        assert wait_until(lambda: len(self.controls) >= count, timeout), self.controls
        return list(self.controls)

    def _run(self):
        period = 1.0 / self.rate
        next_send = time.monotonic()
        while not self._stop.is_set():
            left = max(0.0, next_send - time.monotonic())
            readable, _, _ = select.select([self.socket], [], [], left)
            if readable:
                try:
                    data, _ = self.socket.recvfrom(65536)
                except OSError:
                    continue
                with self._lock:
                    self.controls.append(data)
                    if self.obey_pause:
                        try:
                            command = json.loads(data)
                            if command.get("action") == "SET_PAUSE":
                                self._fields["paused"] = bool(command["paused"])
                        except (ValueError, KeyError, AttributeError):
                            pass
                continue
            if time.monotonic() < next_send:
                continue
            next_send += period
            with self._lock:
                text = json.dumps(self._fields) if self._sending else None
            if text is not None:
                try:
                    self.socket.sendto(text.encode(), ("127.0.0.1", TELEMETRY_PORT))
                except OSError:
                    pass  # nobody listening yet

    def close(self):
        self._stop.set()
        self._thread.join(5)
        self.socket.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
