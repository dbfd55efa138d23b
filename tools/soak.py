#!/usr/bin/env python3
"""Soak test of the bridge: hours of both simulators, chaotic clients and injected faults.

The bridge runs in automatic mode for --duration seconds (one hour by default) while the simulator side
alternates every few minutes between the X-Plane plugin emulator and the fake SimConnect simulator, each
with its stand-in process (both are killed and the other one started: a fault of its own). Meanwhile:

  observer   one healthy client stays connected in ACTIVE throughout, sends a heartbeat every minute and
             records every flight_data frame;
  chaos      two clients connect, send commands (SET_STATE ACTIVE, HEARTBEAT, STATUS, ping, runway requests,
             pause and resume) and disconnect, cleanly or abruptly, at random;
  faults     every 10 to 30 s one of: a client sending garbage text (it must keep its connection and get
             its STATUS answered), invalid UTF-8 (close 1007), a frame or a fragmented message of 1 MiB + 1
             (close 1009; exactly 1 MiB is still a message), a flood of garbage datagrams to the plugin
             port, a state excursion (PREFLIGHT, IDLE, back to ACTIVE); within a simulator's turn, its
             sender killed and restarted, and for SimConnect the fake simulator's `close`, `bad-size` and
             `glitch` commands;
  slow       every few minutes a client that stops reading: the bridge must cut it (1006) while the
             observer goes on.

After every fault the bridge must still answer the observer's STATUS and the observer must still receive
telemetry. Every frame the emulators send is identified by its position (`--print-sent` of the plugin
emulator: latitude and longitude; `--print-data` of the fake simulator: latitude): the observer must
receive, in order, every one sent while the bridge was connected to that simulator and in ACTIVE (see
check_frames for the exact windows).

Every few seconds it samples the bridge's resident memory, open descriptors and threads from /proc and
prints a line a minute. The verdict: memory and descriptors flat after warm-up (median of the first
window after it against the last window), every fault survived, no frame lost, no client wrongly cut,
exit code 0 after SHUTDOWN, no sanitizer report. Exit code 0 when the verdict is good, 1 otherwise, 2
when the run could not be set up. Linux only; needs python3-websockets (Debian).
"""

import argparse
import asyncio
import base64
import bisect
import contextlib
import gzip
import json
import math
import os
import random
import re
import shutil
import signal
import socket
import statistics
import struct
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

try:
    import websockets
except ImportError:
    sys.path.append("/usr/lib/python3/dist-packages")
    import websockets

from plugin_ports import TELEMETRY_PORT, plugin_ports_lock

ROOT = Path(__file__).resolve().parent.parent
SEC = 1_000_000_000
AIRPORTS = ("KSFO", "EGLL", "LSZH", "KJFK", "EDDF")
RUNWAY_CODES = AIRPORTS + ("ZZZZ", "KXYZ")  # the last two are misses
SANITIZER = re.compile(r"ERROR: AddressSanitizer|WARNING: ThreadSanitizer|ERROR: LeakSanitizer|runtime error:")
EMULATOR_SENT = re.compile(r"^SENT n=\d+ lat=(-?[0-9.]+) lon=(-?[0-9.]+) at=(\d+)")
FAKE_SENT = re.compile(r"^send Data latitude=(-?[0-9.]+) at=(\d+)")
MAX_LATENCY_NS = 10 * SEC  # a frame later than this counts as lost
EARLY_SLACK_NS = 1 * SEC  # a sender notes the time just after sending; it may be descheduled meanwhile


def now_ns():
    return time.monotonic_ns()


def round6(value):
    """The bridge's rounding of positions (std::round(x * 1e6) / 1e6, halves away from zero)."""
    scaled = value * 1e6
    return math.copysign(math.floor(abs(scaled) + 0.5), scaled) / 1e6


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--bridge", default=str(ROOT / "build" / "native" / "NavorelBridge"))
    parser.add_argument("--tools", help="folder of xplane_plugin_emulator and fake_simulator "
                                        "(default: the bridge's tools/, else build/native/tools)")
    parser.add_argument("--duration", type=float, default=3600.0, help="seconds (default 3600)")
    parser.add_argument("--switch-every", type=float, default=180.0,
                        help="seconds per simulator turn, +-20 %% (default 180)")
    parser.add_argument("--xplane-rate", type=float, default=30.0, help="plugin datagrams per second (default 30)")
    parser.add_argument("--fault-interval", type=float, default=20.0, help="mean seconds between faults (default 20)")
    parser.add_argument("--sample-interval", type=float, default=5.0, help="seconds between /proc samples")
    parser.add_argument("--warmup", type=float, default=120.0, help="seconds before the first window (default 120)")
    parser.add_argument("--window", type=float, default=600.0,
                        help="seconds of each window compared for flatness (default 600; shorter runs use less)")
    parser.add_argument("--rss-tolerance-kb", type=int, default=512)
    parser.add_argument("--fd-tolerance", type=int, default=4)
    parser.add_argument("--thread-tolerance", type=int, default=2)
    parser.add_argument("--apt", default=str(ROOT.parent / "shared" / "data" / "apt.dat.gz"),
                        help="apt.dat(.gz) from which a small X-Plane tree is made")
    parser.add_argument("--xplane-root", help="use this X-Plane tree instead of making one")
    parser.add_argument("--seed", type=int, help="random seed (default: from the clock; printed)")
    parser.add_argument("--no-verbose", action="store_true", help="run the bridge without --verbose")
    parser.add_argument("--keep", action="store_true", help="keep the work folder (kept anyway on failure)")
    parser.add_argument("--lock-wait", type=float, default=900.0, help="seconds to wait for the plugin-port lock")
    args = parser.parse_args()
    if args.tools is None:
        own = Path(args.bridge).parent / "tools"
        args.tools = str(own if (own / "fake_simulator").exists() else ROOT / "build" / "native" / "tools")
    if args.seed is None:
        args.seed = int(time.time())
    return args


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def make_xplane_tree(source, folder):
    """An X-Plane tree whose apt.dat holds a few airports of the source file."""
    root = Path(folder) / "X-Plane 12"
    apt = root / "Global Scenery" / "Global Airports" / "Earth nav data" / "apt.dat"
    apt.parent.mkdir(parents=True)
    wanted, blocks, current = set(AIRPORTS), [], None
    opener = gzip.open if source.endswith(".gz") else open
    with opener(source, "rb") as lines:
        for line in lines:
            fields = line.split(None, 5)
            if fields and fields[0] in (b"1", b"16", b"17", b"99"):
                if current is not None:
                    blocks.append(current)
                    current = None
                if not wanted:
                    break
                if fields[0] != b"99" and len(fields) > 4 and fields[4].decode("latin-1") in wanted:
                    wanted.discard(fields[4].decode("latin-1"))
                    current = []
            if current is not None:
                current.append(line)
    if current is not None:
        blocks.append(current)
    with open(apt, "wb") as out:
        out.write(b"I\n1000 Version - a few airports for the Navorel soak test\n\n")
        for block in blocks:
            out.writelines(block)
            out.write(b"\n")
        out.write(b"99\n")
    return root


# ---- child processes -----------------------------------------------------------------------------------


class Child:
    """A child process whose output lines go to a file and, parsed, to on_line."""

    def __init__(self, command, log_path, on_line=None, cwd=None, stdin=False):
        self.log = open(log_path, "a", buffering=1)
        self.process = subprocess.Popen(command, cwd=cwd, stdin=subprocess.PIPE if stdin else subprocess.DEVNULL,
                                        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, bufsize=1,
                                        errors="replace")
        self.on_line = on_line
        self.lines_seen = 0
        self.thread = threading.Thread(target=self._read, daemon=True)
        self.thread.start()

    def _read(self):
        for line in self.process.stdout:
            self.lines_seen += 1
            if self.on_line:
                self.on_line(line.rstrip("\n"))
            self.log.write(line)
        self.log.flush()

    def command(self, text):
        with contextlib.suppress(OSError, ValueError):
            self.process.stdin.write(text + "\n")
            self.process.stdin.flush()

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait()
        self.thread.join(5)


def standin(name):
    return subprocess.Popen([name, "86400"], executable="/bin/sleep", stdin=subprocess.DEVNULL)


class Instance:
    """One run of a simulator sender: what it sent, when, and its lifetime."""

    def __init__(self, source, number):
        self.source, self.number = source, number
        self.start = now_ns()
        self.stop = None
        self.sends = []  # (at_ns, key); key: (lat, lon) for X-Plane, lat for SimConnect
        self.keys = {}  # key -> last send time
        self.child = None

    def add(self, at, key):
        self.sends.append((at, key))
        self.keys[key] = at


# ---- a raw WebSocket client, for what a library will not send ---------------------------------------------


def raw_connect(port, rcvbuf=None, timeout=10.0):
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    if rcvbuf:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
    sock.settimeout(timeout)
    sock.connect(("127.0.0.1", port))
    key = base64.b64encode(os.urandom(16)).decode()
    sock.sendall(("GET / HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                  "Sec-WebSocket-Key: %s\r\nSec-WebSocket-Version: 13\r\n\r\n" % (port, key)).encode())
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = sock.recv(4096)
        if not chunk:
            raise ConnectionError("closed during the handshake")
        data += chunk
    head, rest = data.split(b"\r\n\r\n", 1)
    status = head.split(b"\r\n", 1)[0].decode("latin-1")
    if " 101 " not in status + " ":
        sock.close()
        raise ConnectionError("handshake refused: " + status)
    return sock, rest


def frame(opcode, payload, fin=True):
    """A masked client frame."""
    mask = os.urandom(4)
    size = len(payload)
    head = bytes([(0x80 if fin else 0) | opcode])
    if size < 126:
        head += bytes([0x80 | size])
    elif size < 65536:
        head += bytes([0x80 | 126]) + struct.pack("!H", size)
    else:
        head += bytes([0x80 | 127]) + struct.pack("!Q", size)
    if size == 0:
        return head + mask
    repeated = (mask * (size // 4 + 1))[:size]
    masked = (int.from_bytes(payload, "big") ^ int.from_bytes(repeated, "big")).to_bytes(size, "big")
    return head + mask + masked


def parse_frames(data):
    """Server frames in data: [(opcode, payload)], and the unparsed rest."""
    frames, offset = [], 0
    while len(data) - offset >= 2:
        opcode, size = data[offset] & 0x0F, data[offset + 1] & 0x7F
        header = 2
        if size == 126:
            if len(data) - offset < 4:
                break
            size, header = struct.unpack("!H", data[offset + 2:offset + 4])[0], 4
        elif size == 127:
            if len(data) - offset < 10:
                break
            size, header = struct.unpack("!Q", data[offset + 2:offset + 10])[0], 10
        if len(data) - offset < header + size:
            break
        frames.append((opcode, data[offset + header:offset + header + size]))
        offset += header + size
    return frames, data[offset:]


def read_until_closed(sock, buffered=b"", timeout=10.0):
    """Reads until the connection ends: the close code (1006 when no close frame came), text frames."""
    deadline, data, texts = time.monotonic() + timeout, buffered, []
    code = None
    while time.monotonic() < deadline:
        frames, data = parse_frames(data)
        for opcode, payload in frames:
            if opcode == 0x8:
                code = struct.unpack("!H", payload[:2])[0] if len(payload) >= 2 else 1005
                with contextlib.suppress(OSError):
                    sock.sendall(frame(0x8, payload[:2]))
            elif opcode == 0x1:
                texts.append(payload.decode("utf-8", "replace"))
        if code is not None:
            return code, texts
        sock.settimeout(max(0.05, deadline - time.monotonic()))
        try:
            chunk = sock.recv(65536)
        except socket.timeout:
            break
        except OSError:
            chunk = b""
        if not chunk:
            return 1006, texts
        data += chunk
    return None, texts  # still open


def tcp_state(sock):
    """Linux TCP_INFO's state: 1 established, 7 closed, 8 close-wait (the peer has closed)."""
    return sock.getsockopt(socket.IPPROTO_TCP, socket.TCP_INFO, 8)[0]


# ---- the observer -------------------------------------------------------------------------------------------


class Observer:
    """The healthy client: stays in ACTIVE and records every frame and status."""

    def __init__(self, soak):
        self.soak = soak
        self.ws = None
        self.frames = []  # (recv_ns, lat, lon)
        self.frame_times = []
        self.statuses = []  # (recv_ns, detected, connected, state)
        self.types = {}
        self.replies = asyncio.Queue()
        self.command_lock = asyncio.Lock()
        self.connected = False
        self.drops = []  # (recv_ns, close code) of unexpected disconnections
        self.bad_latitudes = 0
        self.state = None
        self.sim_connected = False
        self.closing = False

    async def connect(self):
        self.ws = await websockets.connect(self.soak.url, ping_interval=None, max_size=None, close_timeout=5)
        self.connected = True
        self.task = asyncio.create_task(self.receive())
        await self.command({"type": "SET_STATE", "state": "ACTIVE", "reason": "soak observer"})
        await self.command({"type": "HEARTBEAT"})

    async def receive(self):
        try:
            async for text in self.ws:
                t = now_ns()
                kind = json.loads(text).get("type") if text.startswith("{") else None
                self.types[kind] = self.types.get(kind, 0) + 1
                if kind == "flight_data":
                    message = json.loads(text)
                    lat, lon = message.get("latitude"), message.get("longitude")
                    if lat is None or abs(lat) > 90 or lon is None or abs(lon) > 180:
                        self.bad_latitudes += 1
                        continue
                    self.frames.append((t, lat, lon))
                    self.frame_times.append(t)
                elif kind == "sim_status":
                    message = json.loads(text)
                    self.state, self.sim_connected = message.get("state"), bool(message.get("sim_connected"))
                    self.statuses.append((t, bool(message.get("sim_detected")), self.sim_connected, self.state))
                elif kind in ("response", "error", "status_response", "pong"):
                    self.replies.put_nowait((kind, text))
        except websockets.exceptions.ConnectionClosed:
            pass
        self.connected = False
        if not self.closing:
            self.drops.append((now_ns(), self.ws.close_code))

    async def command(self, message, timeout=10.0):
        """Sends a command and returns its reply's type, or None when none came in time."""
        async with self.command_lock:
            while not self.replies.empty():
                self.replies.get_nowait()
            await self.ws.send(json.dumps(message))
            try:
                kind, _ = await asyncio.wait_for(self.replies.get(), timeout)
                return kind
            except asyncio.TimeoutError:
                return None

    def last_frame_ns(self):
        return self.frame_times[-1] if self.frame_times else 0


# ---- the soak ----------------------------------------------------------------------------------------------


class Soak:
    def __init__(self, args, folder):
        self.args, self.folder = args, Path(folder)
        self.rng = random.Random(args.seed)
        self.began = None
        self.deadline = None
        self.bridge = None
        self.url = None
        self.observer = Observer(self)
        self.instances = []
        self.current = None  # the live Instance
        self.standins = {}
        self.exclusions = []  # (start_ns, end_ns, reason): sends in them are not checked
        self.faults = {}  # kind -> [injected, survived]
        self.failures = []  # text of every failed check
        self.samples = []  # (t_ns, rss_kb, fds, threads)
        self.stopping = False
        self.chaos = {"connections": 0, "commands": 0, "unanswered": 0, "runway_requests": 0,
                      "runway_answers": 0, "runway_refused": 0, "wrongly_cut": 0, "refused": 0, "abrupt_closes": 0, "pauses": 0}
        self.pause_lock = asyncio.Lock()
        # Held by whatever stops or starts the telemetry (a simulator turn, a sender fault) and by each
        # client fault, so that a fault's "the observer still receives" never meets a planned stop.
        self.sim_lock = asyncio.Lock()
        self.fake_port = free_port()
        self.sanitizer_lines = []
        self.check_result = (0, 0, [])
        self.glitches_sent = 0

    # -- helpers

    def elapsed(self, t=None):
        return ((t or now_ns()) - self.began) / SEC

    def note(self, text):
        print("  [%7.1f s] %s" % (self.elapsed(), text), flush=True)

    def fail(self, text):
        self.failures.append("%.1f s: %s" % (self.elapsed(), text))
        self.note("FAILED: " + text)

    def fault(self, kind, survived, why=""):
        entry = self.faults.setdefault(kind, [0, 0])
        entry[0] += 1
        if survived:
            entry[1] += 1
        else:
            self.fail("fault %s not survived: %s" % (kind, why))

    def exclude(self, start, end, reason):
        self.exclusions.append((start, end, reason))

    def bridge_alive(self):
        return self.bridge.process.poll() is None

    # -- the bridge

    def copy_tools(self):
        """Private copies of the simulators' programs: a rebuild during a long run must not break a restart."""
        folder = self.folder / "bin"
        folder.mkdir()
        for name in ("xplane_plugin_emulator", "fake_simulator"):
            shutil.copy2(Path(self.args.tools) / name, folder / name)
        self.tools = folder

    def start_bridge(self):
        tree = self.args.xplane_root or str(make_xplane_tree(self.args.apt, self.folder))
        (self.folder / "SimConnect.cfg").write_text(
            "[SimConnect]\nProtocol=IPv4\nAddress=127.0.0.1\nPort=%d\n" % self.fake_port)
        port_line = threading.Event()
        self.port = None

        def on_line(line):
            match = re.match(r"^WEBSOCKET_PORT=(\d+)", line)
            if match:
                self.port = int(match.group(1))
                port_line.set()
            if SANITIZER.search(line):
                self.sanitizer_lines.append(line)

        command = [str(Path(self.args.bridge).resolve()), "--port", str(free_port()), "--xplane-root", tree]
        if not self.args.no_verbose:
            command.append("--verbose")
        self.bridge = Child(command, self.folder / "bridge.out", on_line, cwd=self.folder)
        if not port_line.wait(20):
            raise SystemExit("the bridge printed no WEBSOCKET_PORT= (see %s)" % (self.folder / "bridge.out"))
        self.url = "ws://127.0.0.1:%d/" % self.port

    # -- simulators

    async def start_sender(self, source):
        instance = Instance(source, len(self.instances) + 1)
        tools = self.tools
        if source == "xplane":
            rate = self.args.xplane_rate
            # One script step (0.1 s) per datagram, so that each carries a new position.
            command = [str(tools / "xplane_plugin_emulator"), "--rate", "%g" % rate, "--time-scale",
                       "%g" % (rate * 0.1), "--start", str(self.rng.randint(100, 900)), "--duration", "86400",
                       "--print-sent", "--quiet"]

            def on_line(line):
                match = EMULATOR_SENT.match(line)
                if match:
                    instance.add(int(match.group(3)), (round6(float(match.group(1))), round6(float(match.group(2)))))
            instance.child = Child(command, self.folder / "xplane_plugin_emulator.out", on_line)
        else:
            listening = threading.Event()
            # The fake simulator sends a frame every 50 ms: at time scale 2, one script step each.
            command = [str(tools / "fake_simulator"), "--port", str(self.fake_port), "--no-ipv6", "--time-scale",
                       "2", "--start", str(self.rng.randint(100, 900)), "--print-data",
                       "--variant", self.rng.choice(["2020", "2024"])]

            def on_line(line):
                match = FAKE_SENT.match(line)
                if match:
                    latitude = float(match.group(1))
                    if abs(latitude) > 90:  # the `glitch` command's block, which the bridge must drop
                        self.glitches_sent += 1
                    else:
                        instance.add(int(match.group(2)), latitude)
                elif line.startswith("listen tcp"):
                    listening.set()
            instance.child = Child(command, self.folder / "fake_simulator.out", on_line, stdin=True)
            if not await self.wait_for(listening.is_set, 10):
                self.fail("the fake simulator did not listen")
        self.instances.append(instance)
        self.current = instance
        return instance

    def stop_sender(self):
        instance, self.current = self.current, None
        if instance:
            instance.stop = now_ns()
            instance.child.kill()
        return instance

    def start_standin(self, source):
        name = "X-Plane.exe" if source == "xplane" else "FlightSimulator.exe"
        self.standins[source] = standin(name)

    def stop_standin(self, source):
        process = self.standins.pop(source, None)
        if process:
            process.kill()
            process.wait()

    async def wait_data_from(self, instance, after_ns, timeout):
        """Waits until the observer receives a frame that instance sent after after_ns: True, False after
        timeout seconds, None when the run is stopping."""
        deadline = time.monotonic() + timeout
        index = bisect.bisect_left(self.observer.frame_times, after_ns)
        while time.monotonic() < deadline and not self.stopping:
            frames = self.observer.frames
            while index < len(frames):
                _, lat, lon = frames[index]
                key = (lat, lon) if instance.source == "xplane" else lat
                sent = instance.keys.get(key)
                if sent is not None and sent >= after_ns:
                    return True
                index += 1
            await asyncio.sleep(0.2)
        return None if self.stopping else False

    async def simulator_turns(self):
        source = self.rng.choice(["xplane", "msfs"])
        first = True
        await self.sim_lock.acquire()
        while not self.stopping:
            began = now_ns()
            if source == "msfs":
                await self.start_sender(source)  # listening before the bridge looks for it
                self.start_standin(source)
            else:
                self.start_standin(source)
                await self.start_sender(source)
            instance = self.current
            connected = await self.wait_data_from(instance, began, 90)
            if connected is None:
                self.sim_lock.release()
                break
            if not first:
                self.fault("simulator switch", connected, "no telemetry from %s within 90 s" % source)
            elif not connected:
                self.fail("no telemetry from %s within 90 s of the start" % source)
            first = False
            self.sim_lock.release()
            turn_end = time.monotonic() + self.args.switch_every * self.rng.uniform(0.8, 1.2)
            # Within the turn: the sender killed and restarted, and the fake simulator's own faults.
            events = []
            if self.rng.random() < 0.6:
                events.append("sender restart")
            if source == "msfs":
                events += self.rng.sample(["close", "bad-size", "glitch"], self.rng.randint(1, 2))
            self.rng.shuffle(events)
            for event in events:
                await self.sleep_until(min(turn_end, time.monotonic() + self.rng.uniform(20, 60)))
                if self.stopping or time.monotonic() >= turn_end - 15:
                    break
                async with self.sim_lock:
                    await self.simulator_fault(source, event)
            await self.sleep_until(turn_end)
            await self.sim_lock.acquire()
            stopped = now_ns()
            self.stop_sender()
            await asyncio.sleep(0.5)
            self.stop_standin(source)
            if self.stopping:
                self.sim_lock.release()
                break
            # The other simulator starts once the bridge has seen this one's process gone: a process
            # monitor that still sees one of its names keeps the simulator it had (reported as a bug).
            if not await self.wait_for(lambda: self.observer.statuses and not self.observer.statuses[-1][1], 30):
                self.fail("the bridge still reports the simulator detected 30 s after its process ended")
            self.exclude(stopped - SEC // 2, now_ns() + SEC, "simulator switch")
            source = "msfs" if source == "xplane" else "xplane"

    async def simulator_fault(self, source, event):
        kind = "%s %s" % ("X-Plane" if source == "xplane" else "SimConnect", event)
        if event == "sender restart":
            t = now_ns()
            self.stop_sender()
            await asyncio.sleep(self.rng.uniform(1, 4))
            instance = await self.start_sender(source)
            ok = await self.wait_data_from(instance, t, 90)
            self.exclude(t - SEC // 2, t + SEC, kind)
            if ok is None:
                return
            self.fault(kind, ok and self.bridge_alive(), "no telemetry within 90 s after the restart")
            return
        instance = self.current
        t = now_ns()
        instance.child.command(event)
        if event in ("close", "bad-size"):
            self.exclude(t - SEC // 2, t + 10 * SEC, kind)
        await asyncio.sleep(1)
        ok = await self.wait_data_from(instance, t + SEC, 90)
        if ok is None:
            return
        if event == "glitch" and self.observer.bad_latitudes:
            ok = False
        self.fault(kind, ok and self.bridge_alive(),
                   "latitude 91 reached the observer" if self.observer.bad_latitudes else "no telemetry within 90 s")

    # -- waiting

    async def sleep_until(self, monotonic_deadline):
        while not self.stopping and time.monotonic() < monotonic_deadline:
            await asyncio.sleep(min(0.5, monotonic_deadline - time.monotonic()))

    async def wait_for(self, condition, timeout):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if condition():
                return True
            await asyncio.sleep(0.1)
        return False

    # -- the observer's upkeep

    async def observer_upkeep(self):
        """Heartbeat every minute; reconnects (a failure) if the observer was dropped."""
        last_heartbeat = time.monotonic()
        while not self.stopping:
            await asyncio.sleep(1)
            if not self.observer.connected and not self.stopping:
                t = now_ns()
                self.fail("the observer was disconnected (code %s)" % (self.observer.drops[-1][1]
                                                                         if self.observer.drops else "?"))
                with contextlib.suppress(Exception):
                    await self.observer.connect()
                self.exclude(t - 2 * SEC, now_ns() + 2 * SEC, "observer reconnected")
            if time.monotonic() - last_heartbeat >= 60:
                last_heartbeat = time.monotonic()
                if await self.observer.command({"type": "HEARTBEAT"}) != "response":
                    self.fail("the observer's HEARTBEAT got no response")
            # A state left elsewhere than ACTIVE (a chaos client cut mid-excursion) would stop telemetry.
            statuses = self.observer.statuses
            if statuses and statuses[-1][3] != "ACTIVE" and now_ns() - statuses[-1][0] > 30 * SEC:
                await self.observer.command({"type": "SET_STATE", "state": "ACTIVE"})

    async def probe(self):
        """The bridge still answers: STATUS through the observer."""
        return self.bridge_alive() and self.observer.connected and \
            await self.observer.command({"type": "STATUS"}) == "response"

    def data_flowing(self):
        return now_ns() - self.observer.last_frame_ns() < 2 * SEC

    async def still_receives(self, after_ns, timeout=15.0):
        return await self.wait_for(lambda: self.observer.last_frame_ns() > after_ns, timeout)

    # -- chaos clients

    async def chaos_client(self, number):
        while not self.stopping:
            await asyncio.sleep(self.rng.uniform(0.5, 5))
            try:
                ws = await websockets.connect(self.url, ping_interval=None, max_size=None, close_timeout=3)
            except websockets.exceptions.InvalidStatusCode:
                self.chaos["refused"] += 1
                continue
            except (OSError, asyncio.TimeoutError) as error:
                if not self.stopping:
                    self.fail("chaos client %d could not connect: %s" % (number, error))
                continue
            self.chaos["connections"] += 1
            replies, runway = asyncio.Queue(), []

            async def receive():
                with contextlib.suppress(websockets.exceptions.ConnectionClosed):
                    async for text in ws:
                        message = json.loads(text)
                        kind = message.get("type")
                        if kind in ("response", "error", "status_response", "pong"):
                            replies.put_nowait(kind)
                        elif kind in ("runway_info", "runway_info_error"):
                            runway.append(message.get("icao"))
            reader = asyncio.create_task(receive())
            closed_by_us = False
            try:
                for _ in range(self.rng.randint(2, 25)):
                    if self.stopping:
                        break
                    await self.chaos_action(ws, replies, runway)
                    await asyncio.sleep(self.rng.uniform(0.1, 4))
                closed_by_us = True
                if self.rng.random() < 0.3:
                    self.chaos["abrupt_closes"] += 1
                    ws.transport.abort()
                else:
                    await ws.close(self.rng.choice([1000, 1001]))
            except websockets.exceptions.ConnectionClosed:
                pass
            with contextlib.suppress(Exception):
                await asyncio.wait_for(reader, 5)
            if not closed_by_us and not self.stopping:
                self.chaos["wrongly_cut"] += 1
                self.fail("chaos client %d was cut (code %s)" % (number, ws.close_code))

    async def chaos_action(self, ws, replies, runway):
        action = self.rng.choices(["active", "heartbeat", "status", "STATUS", "ping", "runway", "pause"],
                                  [2, 3, 1, 2, 1, 3, 1])[0]
        messages = {
            "active": {"type": "SET_STATE", "state": "ACTIVE", "reason": "chaos"},
            "heartbeat": {"type": "HEARTBEAT"},
            "status": {"type": "status"},
            "STATUS": {"type": "STATUS"},
            "ping": {"type": "ping"},
        }

        async def command(message):
            while not replies.empty():
                replies.get_nowait()
            await ws.send(json.dumps(message))
            self.chaos["commands"] += 1
            try:
                return await asyncio.wait_for(replies.get(), 10)
            except asyncio.TimeoutError:
                self.chaos["unanswered"] += 1
                self.fail("no reply to %s" % json.dumps(message))
                return None

        if action in messages:
            await command(messages[action])
        elif action == "runway":
            icao = self.rng.choice(RUNWAY_CODES)
            seen = len(runway)
            self.chaos["runway_requests"] += 1
            if await command({"type": "REQUEST_RUNWAY_INFO", "icao": icao}) != "response":
                self.chaos["runway_refused"] += 1  # no simulator to ask
                return
            # Any client's request may be the one answered; the answer is broadcast.
            if await self.wait_for(lambda: icao in runway[seen:], 30):
                self.chaos["runway_answers"] += 1
            else:
                self.fail("no runway answer for %s within 30 s" % icao)
        else:
            async with self.pause_lock:  # one pause at a time, always resumed
                self.chaos["pauses"] += 1
                await command({"type": "SIM_CONTROL", "action": "SET_PAUSE", "paused": True, "reason": "chaos"})
                await asyncio.sleep(self.rng.uniform(0.5, 3))
                await command({"type": "SIM_CONTROL", "action": "SET_PAUSE", "paused": False, "reason": "chaos"})

    # -- injected faults

    async def fault_loop(self):
        kinds = ["garbage text", "invalid UTF-8", "oversize frame", "datagram flood", "state excursion"]
        weights = [2, 1, 1, 2, 1]
        while not self.stopping:
            await self.sleep_until(time.monotonic() + self.rng.uniform(0.5, 1.5) * self.args.fault_interval)
            if self.stopping or time.monotonic() > self.deadline - 30:
                break
            kind = self.rng.choices(kinds, weights)[0]
            try:
                async with self.sim_lock:
                    await getattr(self, "fault_" + kind.replace(" ", "_").replace("-", "_").lower())(kind)
            except Exception as error:  # noqa: BLE001 - a fault that broke the tool is a failed fault
                self.fault(kind, False, "%s: %s" % (type(error).__name__, error))

    async def after_fault(self, kind, t, ok, why, flowing):
        answered = await self.probe()
        receives = not flowing or await self.still_receives(now_ns() if kind != "state excursion" else t)
        if not answered:
            why = why or "the bridge did not answer STATUS"
        elif not receives:
            why = why or "the observer stopped receiving telemetry"
        self.fault(kind, ok and answered and receives, why)

    async def slow_readers(self):
        """Now and then a client that stops reading. It keeps sending STATUS (20 a second) so that only
        back-pressure can cut it, not the idle timeout, and so that its replies add to the telemetry
        queued for it (the kernel takes about 4 MB on loopback before the bridge's 256 KiB limit counts)."""
        kind = "slow reader"
        await self.sleep_until(time.monotonic() + self.rng.uniform(20, 60))
        while not self.stopping and time.monotonic() < self.deadline - 60:
            frames_before = len(self.observer.frames)

            def run():
                sock, rest = raw_connect(self.port, rcvbuf=4096)
                began = time.monotonic()
                try:
                    status = frame(0x1, b'{"type":"STATUS"}')
                    while time.monotonic() < began + 600 and not self.stopping:
                        if tcp_state(sock) != 1:
                            seconds = time.monotonic() - began
                            return read_until_closed(sock, rest, 10)[0], seconds
                        with contextlib.suppress(OSError):
                            sock.sendall(status)
                        time.sleep(0.05)
                    return None, time.monotonic() - began
                finally:
                    sock.close()
            code, seconds = await asyncio.to_thread(run)
            if code is None and self.stopping:
                break
            frames = len(self.observer.frames) - frames_before
            ok = code == 1006 and frames > 0
            self.slow_cut_seconds.append(seconds)
            answered = await self.probe()
            self.fault(kind, ok and answered, "closed with %s after %.1f s, observer frames meanwhile %d%s" % (
                code, seconds, frames, "" if answered else ", STATUS unanswered"))
            await self.sleep_until(time.monotonic() + self.rng.uniform(60, 240))

    async def fault_garbage_text(self, kind):
        t, flowing = now_ns(), self.data_flowing()
        garbage = ["not json", "{", "[]", "null", "42", '"text"', "{}", '{"type":7}', '{"type":"NOPE"}',
                   '{"type":"SET_STATE","state":"FLYING"}', '{"type":"SET_STATE"}',
                   '{"type":"REQUEST_RUNWAY_INFO","icao":"X"}', '{"type":"REQUEST_RUNWAY_INFO","icao":"KSFO\\u0000"}',
                   '{"type":"SIM_CONTROL","action":"EXPLODE"}', '{"type":"SIM_CONTROL","action":"SET_PAUSE"}',
                   '{"type":"HEARTBEAT","x":' + "[" * 5000 + "]" * 5000 + "}", "[" * 100000,
                   '{"type":"STATUS","pad":"' + "\u00e9" * 200000 + '"}', "\u0000\u0001\u0002", " " * 1000,
                   '{"type":"ping"' * 1000, json.dumps({"type": "x" * 100000})]
        self.rng.shuffle(garbage)
        ws = await websockets.connect(self.url, ping_interval=None, max_size=None, close_timeout=3)
        replies = 0
        try:
            for text in garbage[:self.rng.randint(5, len(garbage))]:
                await ws.send(text)
            await ws.send(json.dumps({"type": "STATUS"}))
            # Every text gets a reply; the STATUS one comes last.
            deadline = time.monotonic() + 15
            answered = False
            while time.monotonic() < deadline and not answered:
                message = json.loads(await asyncio.wait_for(ws.recv(), max(0.1, deadline - time.monotonic())))
                replies += message.get("type") in ("error", "response", "pong", "status_response")
                answered = message.get("type") == "response" and message.get("success") is True and \
                    isinstance(message.get("data"), dict)
            ok, why = answered, "" if answered else "no STATUS response after the garbage"
        except websockets.exceptions.ConnectionClosed:
            ok, why = False, "the garbage client was cut (code %s)" % ws.close_code
        finally:
            await ws.close()
        await self.after_fault(kind, t, ok, why, flowing)

    async def raw_fault(self, kind, payload_frames, expected):
        t, flowing = now_ns(), self.data_flowing()

        def run():
            sock, rest = raw_connect(self.port)
            try:
                with contextlib.suppress(OSError):
                    for data in payload_frames:
                        sock.sendall(data)
                return read_until_closed(sock, rest, 10)[0]
            finally:
                sock.close()
        code = await asyncio.to_thread(run)
        await self.after_fault(kind, t, code == expected, "closed with %s, expected %d" % (code, expected), flowing)

    async def fault_invalid_utf_8(self, kind):
        bad = self.rng.choice([b'{"type":"STATUS","x":"\xff"}', b"\xc3\x28", b'{"type":"\xed\xa0\x80"}',
                               b"\xf8\x88\x80\x80\x80"])
        await self.raw_fault(kind, [frame(0x1, bad)], 1007)

    async def fault_oversize_frame(self, kind):
        limit = 1024 * 1024
        if self.rng.random() < 0.5:
            frames = [frame(0x1, b"a" * (limit + 1))]
        else:  # a fragmented message: the limit holds for the whole message
            half = limit // 2
            frames = [frame(0x1, b"a" * half, fin=False), frame(0x0, b"a" * half, fin=False), frame(0x0, b"a")]
        await self.raw_fault(kind, frames, 1009)
        # Exactly the limit is still a message (not JSON: an error reply), on a connection that stays.
        ws = await websockets.connect(self.url, ping_interval=None, max_size=None, close_timeout=3)
        try:
            await ws.send("a" * limit)
            reply = {}
            while reply.get("type") not in ("error", "response"):  # past the welcome and sim_status
                reply = json.loads(await asyncio.wait_for(ws.recv(), 15))
            if reply.get("type") != "error":
                self.fail("a message of exactly 1 MiB got %s" % reply.get("type"))
        except (websockets.exceptions.ConnectionClosed, asyncio.TimeoutError) as error:
            self.fail("a message of exactly 1 MiB: %s (code %s)" % (type(error).__name__, ws.close_code))
        finally:
            await ws.close()

    async def fault_datagram_flood(self, kind):
        t, flowing = now_ns(), self.data_flowing()
        real = json.dumps({"type": "xp12_telemetry", "lat": 37.6, "lon": -122.3, "alt_ft": 100.0}).encode()
        kinds = [lambda: os.urandom(rng.randint(1, 1500)), lambda: real[:rng.randint(1, len(real) - 1)],
                 lambda: b"\xff\xfe" + real, lambda: b"", lambda: b"[" * 2000, lambda: b"x" * 60000,
                 lambda: b'{"type":"xp12_telemetry","lat":"north"', lambda: b"null"]
        count = self.rng.randint(500, 3000)
        rng = random.Random(self.rng.random())  # its own: it runs on another thread

        def run():
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
                for i in range(count):
                    with contextlib.suppress(OSError):
                        sock.sendto(rng.choice(kinds)(), ("127.0.0.1", TELEMETRY_PORT))
                    if i % 10 == 9:
                        time.sleep(0.02)  # 500 a second: the kernel's buffer never overflows
        await asyncio.to_thread(run)
        self.datagrams_flooded += count
        await self.after_fault(kind, t, True, "", flowing)

    async def fault_state_excursion(self, kind):
        t, flowing = now_ns(), self.data_flowing()
        ws = await websockets.connect(self.url, ping_interval=None, max_size=None, close_timeout=3)
        ok, why = True, ""
        try:
            for state, pause in (("PREFLIGHT", self.rng.uniform(2, 6)), ("IDLE", self.rng.uniform(0.5, 3)),
                                 ("ACTIVE", 0)):
                await ws.send(json.dumps({"type": "SET_STATE", "state": state, "reason": "soak excursion"}))
                await asyncio.sleep(pause)
            back = await self.wait_for(lambda: self.observer.state == "ACTIVE", 10)
            if not back:
                ok, why = False, "the observer did not see ACTIVE again"
        except websockets.exceptions.ConnectionClosed:
            ok, why = False, "the excursion client was cut (code %s)" % ws.close_code
        finally:
            await ws.close()
            self.exclude(t - SEC // 2, now_ns() + SEC, kind)
        await self.after_fault(kind, now_ns(), ok, why, flowing)

    # -- sampling and the table

    def sample(self):
        pid = self.bridge.process.pid
        with contextlib.suppress(OSError):
            with open("/proc/%d/status" % pid) as status:
                rss = next(int(line.split()[1]) for line in status if line.startswith("VmRSS:"))
            fds = len(os.listdir("/proc/%d/fd" % pid))
            threads = len(os.listdir("/proc/%d/task" % pid))
            self.samples.append((now_ns(), rss, fds, threads))

    async def sampler(self):
        next_line = time.monotonic()
        print("   min   RSS KB  fds thr  sim    frames  checked  lost  faults ok/inj  clients", flush=True)
        while not self.stopping:
            self.sample()
            if time.monotonic() >= next_line:
                next_line += 60
                self.print_line()
            await asyncio.sleep(self.args.sample_interval)

    def print_line(self):
        if not self.samples:
            return
        _, rss, fds, threads = self.samples[-1]
        checked, lost, _ = self.check_frames(now_ns() - 15 * SEC)
        injected = sum(v[0] for v in self.faults.values())
        survived = sum(v[1] for v in self.faults.values())
        source = {"xplane": "X-Plane", "msfs": "MSFS"}.get(self.current and self.current.source, "-")
        print("  %4.0f  %7d  %3d %3d  %-7s %6d  %7d  %4d  %6d/%-6d  %5d" % (
            self.elapsed() / 60, rss, fds, threads, source, len(self.observer.frames), checked, lost, survived,
            injected, self.chaos["connections"]), flush=True)

    # -- the frame check

    def excluded_intervals(self, cutoff):
        """Sends in these are not checked: the tool's own exclusions, and what the observer saw of the
        bridge: not connected to the simulator, not in ACTIVE (2 s before the status arrived, since the
        change precedes its broadcast, to 1 s after it ended)."""
        intervals = [(s, e) for s, e, _ in self.exclusions]
        down_start, inactive_start = self.began, self.began  # nothing counts before the first statuses
        for t, _, connected, state in list(self.observer.statuses):
            if connected and down_start is not None:
                intervals.append((down_start, t + SEC // 2))
                down_start = None
            elif not connected and down_start is None:
                down_start = t - 2 * SEC
            if state == "ACTIVE" and inactive_start is not None:
                intervals.append((inactive_start, t + SEC))
                inactive_start = None
            elif state != "ACTIVE" and inactive_start is None:
                inactive_start = t - 2 * SEC
        for start in (down_start, inactive_start):
            if start is not None:
                intervals.append((start, cutoff + SEC))
        for t, _ in self.observer.drops:
            intervals.append((t - 2 * SEC, t + 5 * SEC))
        intervals.sort()
        merged = []
        for start, end in intervals:
            if merged and start <= merged[-1][1]:
                merged[-1][1] = max(merged[-1][1], end)
            else:
                merged.append([start, end])
        return merged

    def check_frames(self, cutoff):
        """Checked and lost frames of every sender instance, for sends up to cutoff.

        An instance's window opens with the first of its frames that the observer received (the bridge
        has then bound the plugin port or taken the SimConnect connection) and closes when the tool
        stopped it (half a second earlier for the fake simulator, whose last writes a kill may discard).
        In the window, every send outside the excluded intervals must reach the observer, in order, within
        10 s: each is matched to the first later frame with its position after the previous match."""
        merged = self.excluded_intervals(cutoff)
        starts = [m[0] for m in merged]
        times, frames = self.observer.frame_times[:], self.observer.frames[:len(self.observer.frame_times)]
        checked, lost = 0, []
        for instance in list(self.instances):
            sends = instance.sends[:]
            if not sends:
                continue
            close = (instance.stop - (SEC // 2 if instance.source == "msfs" else 0)) if instance.stop else cutoff
            close = min(close, cutoff)
            first_at = {}
            for at, key in sends:
                first_at.setdefault(key, at)
            opened = None
            for index in range(bisect.bisect_left(times, instance.start), len(times)):
                if times[index] > close + MAX_LATENCY_NS:
                    break
                _, lat, lon = frames[index]
                at = first_at.get((lat, lon) if instance.source == "xplane" else lat)
                if at is not None and at >= instance.start:
                    opened = at if opened is None else min(opened, at)
                    break
            if opened is None:
                continue
            pointer = 0
            for at, key in sends:
                if at < opened or at > close:
                    continue
                position = bisect.bisect_right(starts, at) - 1
                if position >= 0 and merged[position][1] >= at:
                    continue
                checked += 1
                j = max(pointer, bisect.bisect_left(times, at - EARLY_SLACK_NS))
                found = False
                while j < len(times) and times[j] <= at + MAX_LATENCY_NS:
                    _, lat, lon = frames[j]
                    if (lat, lon) == key if instance.source == "xplane" else lat == key:
                        found = True
                        break
                    j += 1
                if found:
                    pointer = j + 1
                else:
                    lost.append((instance.source, instance.number, (at - self.began) / SEC, key))
        return checked, len(lost), lost

    # -- the run

    async def run(self):
        self.began = now_ns()
        self.deadline = time.monotonic() + self.args.duration
        self.slow_cut_seconds, self.datagrams_flooded = [], 0
        self.copy_tools()
        self.start_bridge()
        self.note("bridge pid %d on port %d, seed %d, work folder %s" % (
            self.bridge.process.pid, self.port, self.args.seed, self.folder))
        await self.observer.connect()
        tasks = [asyncio.create_task(self.sampler()), asyncio.create_task(self.observer_upkeep()),
                 asyncio.create_task(self.simulator_turns()), asyncio.create_task(self.fault_loop())]
        tasks += [asyncio.create_task(self.chaos_client(n)) for n in (1, 2)]
        tasks.append(asyncio.create_task(self.slow_readers()))
        try:
            while time.monotonic() < self.deadline:
                await asyncio.sleep(1)
                if not self.bridge_alive():
                    self.fail("the bridge exited with %s during the run" % self.bridge.process.returncode)
                    break
                for task in tasks:
                    if task.done() and task.exception():
                        raise task.exception()
        finally:
            self.stopping = True
            end = now_ns()
            for task in tasks:
                with contextlib.suppress(Exception, asyncio.CancelledError):
                    await asyncio.wait_for(task, 30)
            self.sample()
            self.print_line()
        self.final_sample_ns = end
        self.stop_sender()
        await asyncio.sleep(2)
        self.check_result = self.check_frames(now_ns())
        for source in list(self.standins):
            self.stop_standin(source)
        # SHUTDOWN from the observer; the bridge must exit with 0.
        self.observer.closing = True
        code = None
        if self.bridge_alive():
            with contextlib.suppress(Exception):
                await self.observer.ws.send(json.dumps({"type": "SHUTDOWN", "reason": "soak done"}))
            try:
                code = await asyncio.to_thread(self.bridge.process.wait, 30)
            except subprocess.TimeoutExpired:
                self.bridge.process.kill()
                self.fail("the bridge did not stop within 30 s of SHUTDOWN")
        else:
            code = self.bridge.process.returncode
        self.bridge.thread.join(10)
        self.exit_code = code

    # -- the verdict

    def windows(self):
        duration = (self.final_sample_ns - self.began) / SEC
        warmup, window = self.args.warmup, self.args.window
        if duration < warmup + 2 * window:
            warmup = min(warmup, duration * 0.2)
            window = (duration - warmup) / 2
        return warmup, window, duration

    def verdict(self):
        warmup, window, duration = self.windows()
        samples = [s for s in self.samples if s[0] <= self.final_sample_ns]
        early = [s for s in samples if warmup <= (s[0] - self.began) / SEC <= warmup + window]
        late = [s for s in samples if (s[0] - self.began) / SEC >= duration - window]
        checks = []

        def flat(index, name, unit, tolerance):
            if not early or not late:
                checks.append((name, False, "too few samples"))
                return
            a, b = statistics.median(s[index] for s in early), statistics.median(s[index] for s in late)
            checks.append((name, b - a <= tolerance,
                           "%g -> %g %s (growth %+g, tolerance %d)" % (a, b, unit, b - a, tolerance)))
        flat(1, "memory flat", "KB", self.args.rss_tolerance_kb)
        flat(2, "handles flat", "fds", self.args.fd_tolerance)
        flat(3, "threads flat", "threads", self.args.thread_tolerance)
        injected = sum(v[0] for v in self.faults.values())
        survived = sum(v[1] for v in self.faults.values())
        checks.append(("faults survived", injected > 0 and injected == survived, "%d of %d" % (survived, injected)))
        checked, lost, lost_list = self.check_result
        checks.append(("no frame lost", checked > 0 and lost == 0,
                       "%d checked, %d lost%s" % (checked, lost, (": first " + repr(lost_list[:5])) if lost else "")))
        wrong = self.chaos["wrongly_cut"] + len(self.observer.drops) + self.chaos["unanswered"]
        checks.append(("clients", wrong == 0, "%d wrongly cut, %d observer drops, %d commands unanswered" % (
            self.chaos["wrongly_cut"], len(self.observer.drops), self.chaos["unanswered"])))
        checks.append(("exit code", self.exit_code == 0, "%s after SHUTDOWN" % self.exit_code))
        checks.append(("sanitizer", not self.sanitizer_lines,
                       "no report" if not self.sanitizer_lines else self.sanitizer_lines[0]))
        other = [f for f in self.failures if "fault " not in f]
        checks.append(("other checks", not other, "none failed" if not other else "; ".join(other[:5])))
        return checks, (warmup, window, duration)

    def report(self):
        checks, (warmup, window, duration) = self.verdict()
        print()
        print("Navorel Bridge soak: %.0f s (%.1f min), bridge %s, seed %d" % (
            duration, duration / 60, self.args.bridge, self.args.seed))

        def at(seconds):
            best = min(self.samples, key=lambda s: abs((s[0] - self.began) / SEC - seconds))
            return best
        if self.samples:
            first, warm, last = self.samples[0], at(warmup), [s for s in self.samples
                                                              if s[0] <= self.final_sample_ns][-1]
            print("  memory  (VmRSS): start %d KB, after warm-up (%.0f s) %d KB, end %d KB; peak %d KB" % (
                first[1], warmup, warm[1], last[1], max(s[1] for s in self.samples)))
            print("  handles (fds):   start %d, end %d (max %d); threads: start %d, end %d (max %d)" % (
                first[2], last[2], max(s[2] for s in self.samples), first[3], last[3],
                max(s[3] for s in self.samples)))
            print("  flatness: medians of [%.0f, %.0f] s against the last %.0f s" % (warmup, warmup + window, window))
        print("  faults (survived/injected):")
        for kind in sorted(self.faults):
            print("    %-24s %d/%d" % (kind, self.faults[kind][1], self.faults[kind][0]))
        if self.slow_cut_seconds:
            print("    slow readers cut after %.1f to %.1f s" % (min(self.slow_cut_seconds), max(self.slow_cut_seconds)))
        with contextlib.suppress(OSError):
            text = (self.folder / "bridge.out").read_text(errors="replace")
            print("    bridge log: %d clients cut as not taking data, %d closed 1006 in all" % (
                text.count("is not taking data"), text.count("Code: 1006)")))
        print("    garbage datagrams flooded: %d" % self.datagrams_flooded)
        print("    implausible SimConnect blocks (latitude 91) sent %d, reached the observer %d" % (
            self.glitches_sent, self.observer.bad_latitudes))
        turns = {"xplane": 0, "msfs": 0}
        for instance in self.instances:
            turns[instance.source] += 1
        print("  simulator sender runs: X-Plane %d, SimConnect %d; frames sent %d, received by the observer %d" % (
            turns["xplane"], turns["msfs"], sum(len(i.sends) for i in self.instances), len(self.observer.frames)))
        print("  chaos clients: %s" % ", ".join("%s %d" % (k.replace("_", " "), v) for k, v in self.chaos.items()))
        print("  observer messages: %s" % ", ".join("%s %d" % kv for kv in sorted(
            (str(k), v) for k, v in self.observer.types.items())))
        good = all(ok for _, ok, _ in checks)
        print("  verdict:")
        for name, ok, text in checks:
            print("    %-16s %-4s %s" % (name + ":", "ok" if ok else "FAIL", text))
        print("  %s" % ("GOOD" if good else "BAD"))
        for failure in self.failures[:30]:
            print("    failure: %s" % failure)
        return good


def main():
    args = parse_args()
    for path in (Path(args.bridge), Path(args.tools) / "xplane_plugin_emulator", Path(args.tools) / "fake_simulator"):
        if not path.exists():
            print("not found: %s" % path, file=sys.stderr)
            return 2
    folder = tempfile.mkdtemp(prefix="navorel-soak-")
    good = False
    try:
        with plugin_ports_lock(wait_seconds=args.lock_wait):
            soak = Soak(args, folder)
            try:
                asyncio.run(soak.run())
            finally:
                if soak.current:
                    soak.stop_sender()
                for source in list(soak.standins):
                    soak.stop_standin(source)
                if soak.bridge and soak.bridge.process.poll() is None:
                    soak.bridge.process.send_signal(signal.SIGINT)
                    with contextlib.suppress(subprocess.TimeoutExpired):
                        soak.bridge.process.wait(20)
                    soak.bridge.kill()
            good = soak.report()
    finally:
        if good and not args.keep:
            shutil.rmtree(folder, ignore_errors=True)
        else:
            print("  work folder (bridge output and log): %s" % folder)
    return 0 if good else 1


if __name__ == "__main__":
    sys.exit(main())
