#!/usr/bin/env python3
"""Runtime benchmark of the bridge with both simulators.

Each run starts the bridge with a harmless stand-in process for its process watch and measures for a
while (60 s by default) with five WebSocket clients in ACTIVE:

  xplane   a scripted plugin sends telemetry datagrams to 127.0.0.1:49005 (30 Hz by default);
  msfs     the fake simulator serves every data definition once a second over TCP;
  runways  REQUEST_RUNWAY_INFO over the real apt.dat (../shared/data/apt.dat.gz): a cached airport,
           the file's last airport and a miss, each timed from the request to its answer, beside
           `grep -c '^1 '` over the same file; once without a simulator and once with X-Plane
           telemetry flowing.

For the two simulators it reports the bridge's CPU time per second of wall time (/proc/PID/stat), its
peak resident memory (VmHWM) and the latency from the simulator's send to the frame's arrival at each
client (median, 99th percentile, maximum). Every sample carries a latitude of its own, which identifies
its frame.

Targets: below 1 % of one core, below 20 MB, latency median <= 2 ms and p99 <= 5 ms; a cached runway
answer within 10 ms, a miss within twice grep. Exit code 0 when all are met, 1 when one is missed, 2
when a run failed. Linux only (it reads /proc). Needs python3-websockets (Debian).
"""

import argparse
import asyncio
import contextlib
import gzip
import json
import os
import re
import shutil
import signal
import socket
import statistics
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

from plugin_ports import CONTROL_PORT, TELEMETRY_PORT, plugin_ports_lock

ROOT = Path(__file__).resolve().parent.parent
TARGET_CPU_PERCENT = 1.0
TARGET_RSS_MB = 20.0
TARGET_MEDIAN_MS = 2.0
TARGET_P99_MS = 5.0
TARGET_CACHED_MS = 10.0
BASE_LATITUDE = 37.6
LATITUDE_STEP = 0.00001  # survives the bridge's rounding to 6 decimals
LATITUDE = re.compile(r'"latitude":(-?[0-9.eE+-]+)')
SENT_DATA = re.compile(r"send Data latitude=(-?[0-9.]+) at=(\d+)")


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--bridge", default=str(ROOT / "build" / "native" / "NavorelBridge"))
    parser.add_argument("--tools", help="folder of fake_simulator (default: the bridge's tools/)")
    parser.add_argument("--apt", default=str(ROOT.parent / "shared" / "data" / "apt.dat.gz"),
                        help="apt.dat or apt.dat.gz for the runway runs")
    parser.add_argument("--duration", type=float, default=60.0, help="measured seconds per simulator (default 60)")
    parser.add_argument("--rate", type=float, default=30.0, help="X-Plane datagrams per second (default 30)")
    parser.add_argument("--clients", type=int, default=5)
    parser.add_argument("--repeat", type=int, default=5, help="runway requests of each kind (default 5)")
    parser.add_argument("runs", nargs="*", help="xplane, msfs and/or runways (default: all three)")
    parser.add_argument("--json", action="store_true", help="print the figures as JSON too")
    args = parser.parse_args()
    args.runs = args.runs or ["xplane", "msfs", "runways"]
    unknown = set(args.runs) - {"xplane", "msfs", "runways"}
    if unknown:
        parser.error("unknown runs: %s" % ", ".join(sorted(unknown)))
    args.tools = args.tools or str(Path(args.bridge).parent / "tools")
    return args


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def thread_cpu_seconds(pid):
    result = {}
    for tid in os.listdir("/proc/%d/task" % pid):
        with contextlib.suppress(OSError), open("/proc/%d/task/%s/stat" % (pid, tid)) as stat:
            fields = stat.read().rsplit(")", 1)[1].split()
            result[tid] = (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
    return result


def status_kb(pid, key):
    with open("/proc/%d/status" % pid) as status:
        return next((int(line.split()[1]) for line in status if line.startswith(key + ":")), 0)


def percentile(values, fraction):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, max(0, int(round(fraction * (len(ordered) - 1)))))] if ordered else None


class Process:
    """A child whose output lines are collected, with a stand-in process named `standin`."""

    def __init__(self, command, cwd=None, standin=None, stdin=False):
        self.standin = standin and subprocess.Popen([standin, "3600"], executable="/bin/sleep",
                                                    stdin=subprocess.DEVNULL)
        self.process = subprocess.Popen(command, cwd=cwd, stdin=subprocess.PIPE if stdin else subprocess.DEVNULL,
                                        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, bufsize=1)
        self.lines = []
        threading.Thread(target=lambda: self.lines.extend(line.rstrip("\n") for line in self.process.stdout),
                         daemon=True).start()

    def wait_line(self, pattern, timeout=20.0):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            for line in list(self.lines):
                match = re.search(pattern, line)
                if match:
                    return match
            time.sleep(0.02)
        raise SystemExit("no line %r from %s:\n%s" % (pattern, self.process.args[0], "\n".join(self.lines[-20:])))

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGINT)
            try:
                self.process.wait(20)
            except subprocess.TimeoutExpired:
                self.process.kill()
        if self.standin:
            self.standin.kill()
            self.standin.wait()
        return self.process.wait()


def start_bridge(args, *options, cwd=None, standin=None):
    bridge = Process([args.bridge, "--port", str(free_port()), *options], cwd=cwd, standin=standin)
    bridge.port = int(bridge.wait_line(r"^WEBSOCKET_PORT=(\d+)").group(1))
    return bridge


class Receiver:
    def __init__(self, ws):
        self.ws, self.arrivals, self.types, self.messages = ws, [], {}, []

    async def run(self):
        with contextlib.suppress(websockets.exceptions.ConnectionClosed):
            async for text in self.ws:
                now = time.monotonic_ns()
                kind = re.search(r'"type":"([^"]+)"', text).group(1)
                self.types[kind] = self.types.get(kind, 0) + 1
                if kind == "flight_data":
                    self.arrivals.append((round(float(LATITUDE.search(text).group(1)), 6), now))
                elif kind.startswith("runway_info"):
                    self.messages.append((json.loads(text), now))


async def wait_for(condition, timeout, what):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            raise SystemExit("timed out waiting for " + what)
        await asyncio.sleep(0.01)


async def connect_clients(args, bridge, state="ACTIVE"):
    receivers = []
    for _ in range(args.clients):
        ws = await websockets.connect("ws://127.0.0.1:%d/" % bridge.port, ping_interval=None, max_size=None)
        receivers.append(Receiver(ws))
        receivers[-1].task = asyncio.create_task(receivers[-1].run())
    first = receivers[0]
    await wait_for(lambda: first.types.get("sim_status"), 10, "sim_status")
    for step in ("PREFLIGHT", "ACTIVE")[:("IDLE", "PREFLIGHT", "ACTIVE").index(state)]:
        before = first.types.get("response", 0)
        await first.ws.send(json.dumps({"type": "SET_STATE", "state": step}))
        await wait_for(lambda: first.types.get("response", 0) > before, 10, "response")
    return receivers


async def close_clients(receivers):
    for r in receivers:
        with contextlib.suppress(Exception):
            await asyncio.wait_for(r.ws.close(), 5)
        with contextlib.suppress(Exception):
            await asyncio.wait_for(r.task, 5)


async def measure(args, bridge, receivers, sent_at):
    """CPU, memory and latency over args.duration; sent_at() maps a latitude to its send time (ns)."""
    await wait_for(lambda: all(r.arrivals for r in receivers), 30, "flight_data at every client")
    await asyncio.sleep(1.0)
    for r in receivers:
        r.arrivals.clear()
    pid = bridge.process.pid
    threads_start, cpu_start, wall_start = thread_cpu_seconds(pid), cpu_seconds(pid), time.monotonic()
    await asyncio.sleep(args.duration)
    cpu, wall, threads = cpu_seconds(pid) - cpu_start, time.monotonic() - wall_start, thread_cpu_seconds(pid)
    sends = sent_at()
    latencies = [(at - sends[latitude]) / 1e6 for r in receivers for latitude, at in r.arrivals
                 if latitude in sends and at >= sends[latitude]]
    return {
        "frames_per_client": [len(r.arrivals) for r in receivers],
        "cpu_percent_of_one_core": round(cpu / wall * 100.0, 3),
        "cpu_ms_per_second_by_thread": sorted((round((threads[t] - threads_start.get(t, 0.0)) / wall * 1000.0, 2)
                                               for t in threads), reverse=True),
        "peak_resident_mb": round(status_kb(pid, "VmHWM") / 1024.0, 2),
        "latency_median_ms": round(statistics.median(latencies), 2) if latencies else None,
        "latency_p99_ms": round(percentile(latencies, 0.99), 2) if latencies else None,
        "latency_max_ms": round(max(latencies), 2) if latencies else None,
        "latency_samples": len(latencies),
    }


def datagram(sequence, latitude):
    """A full plugin datagram: every record the bridge builds from X-Plane."""
    return json.dumps({
        "type": "xp12_telemetry", "xplane_version": 120105, "session_id": 1, "ts_ms": sequence * 33,
        "lat": latitude, "lon": -122.35, "alt_ft": 5000.0 + sequence % 100, "alt_ind_ft": 5010.0,
        "alt_agl_ft": 4987.0, "pressure_alt_ft": 5020.0, "ias_kt": 250.0, "ground_speed_kt": 262.0,
        "hdg_deg": 10.0, "vs_fpm": 0.0, "pitch_deg": 2.0, "bank_deg": 0.0, "fuel_mass_kg": 5000.0,
        "fuel_density_kg_l": 0.8, "autopilot_mode": 2, "flaps_handle_ratio": 0.0, "flap_detents": 4,
        "gear_retractable": True, "gear_handle_down": 0, "gear_deploy_ratio": [0.0, 0.0, 0.0],
        "sim_on_ground": False, "onground": False, "simulation_rate": 1.0, "spoilers_ratio": 0.0,
        "apu_generator_on": False, "engine_running": [1, 1], "light_beacon": True, "light_nav": True,
        "light_landing": False, "light_taxi": False, "light_strobe": True, "parking_brake_ratio": 0.0,
        "canopy_open": 0, "aircraft_name": "Benchmark A320", "vne_kt": 350, "stall_warning": 0,
        "paused": False, "crash_detected": False,
    }).encode()


class Plugin:
    """Sends datagrams on the event loop at a fixed rate; remembers when each latitude left."""

    def __init__(self, rate):
        self.loop, self.period, self.sent_at, self.sequence = asyncio.get_running_loop(), 1.0 / rate, {}, 0
        self.socket = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.socket.bind(("127.0.0.1", CONTROL_PORT))
        self.socket.setblocking(False)
        self._next = self.loop.time()
        self._handle = self.loop.call_soon(self._tick)

    def _tick(self):
        latitude = round(BASE_LATITUDE + (self.sequence % 100000) * LATITUDE_STEP, 6)
        with contextlib.suppress(OSError):
            self.socket.sendto(datagram(self.sequence, latitude), ("127.0.0.1", TELEMETRY_PORT))
            self.sent_at[latitude] = time.monotonic_ns()
        self.sequence += 1
        self._next += self.period
        self._handle = self.loop.call_at(self._next, self._tick)

    def stop(self):
        self._handle.cancel()
        self.socket.close()


async def run_xplane(args, apt=None):
    # With an X-Plane tree, the runway requests follow while the telemetry flows.
    tree = apt and ["--xplane-root", str(apt)]
    bridge = start_bridge(args, "--xplane", *(tree or []), standin="X-Plane.exe")
    plugin = Plugin(args.rate)
    try:
        receivers = await connect_clients(args, bridge)
        figures = await measure(args, bridge, receivers, lambda: dict(plugin.sent_at))
        if apt:
            figures["runways"] = await runway_requests(args, receivers[0], apt)
        await close_clients(receivers)
    finally:
        plugin.stop()
        bridge.stop()
    return figures


async def run_msfs(args):
    with tempfile.TemporaryDirectory() as folder:
        port = free_port()
        Path(folder, "SimConnect.cfg").write_text("[SimConnect]\nProtocol=IPv4\nAddress=127.0.0.1\nPort=%d\n" % port)
        # Script time 1200 s is the climb: every data set changes every second.
        simulator = Process([str(Path(args.tools) / "fake_simulator"), "--port", str(port), "--no-ipv6",
                             "--start", "1200", "--print-data"], stdin=True)
        bridge = start_bridge(args, "--msfs", cwd=folder, standin="FlightSimulator.exe")
        try:
            simulator.wait_line("^listen tcp")
            receivers = await connect_clients(args, bridge)

            def sent_at():
                return {round(float(m.group(1)), 6): int(m.group(2))
                        for m in map(SENT_DATA.match, list(simulator.lines)) if m}
            figures = await measure(args, bridge, receivers, sent_at)
            await close_clients(receivers)
        finally:
            bridge.stop()
            simulator.stop()
    return figures


def prepare_apt(source, folder):
    root = Path(folder) / "X-Plane 12"
    apt = root / "Global Scenery" / "Global Airports" / "Earth nav data" / "apt.dat"
    apt.parent.mkdir(parents=True)
    with (gzip.open(source, "rb") if source.endswith(".gz") else open(source, "rb")) as src, open(apt, "wb") as dst:
        shutil.copyfileobj(src, dst)
    last = None
    with open(apt, "rb") as lines:
        for line in lines:
            if line.startswith(b"1 "):
                last = line.split()[4].decode()
    return root, apt, last


def grep_seconds(apt):
    began = time.monotonic()
    # Into a pipe: GNU grep stops at the first match when its output is /dev/null.
    subprocess.run(["grep", "-c", "^1 ", str(apt)], stdout=subprocess.PIPE, check=False)
    return time.monotonic() - began


async def runway_requests(args, receiver, root):
    """Milliseconds from each request to its answer: a miss, the file's last airport, then it cached."""
    apt = root / "Global Scenery" / "Global Airports" / "Earth nav data" / "apt.dat"
    last = args.last_airport
    timings = {"miss": [], "near_end": [], "cached": []}
    grep = []
    for round_number in range(args.repeat):
        for kind, icao in (("miss", "ZZZ%d" % round_number), ("near_end", last), ("cached", last)):
            if kind == "near_end" and round_number > 0:
                continue  # the first request of it is the only uncached one
            start = len(receiver.messages)
            began = time.monotonic_ns()
            await receiver.ws.send(json.dumps({"type": "REQUEST_RUNWAY_INFO", "icao": icao}))
            await wait_for(lambda: len(receiver.messages) > start, 30, "runway answer for " + icao)
            timings[kind].append((receiver.messages[start][1] - began) / 1e6)
        grep.append(grep_seconds(apt) * 1000.0)
    return {kind: round(statistics.median(values), 2) for kind, values in timings.items()} | {
        "grep": round(statistics.median(grep), 2)}


async def run_runways(args, apt_root):
    bridge = start_bridge(args, "--xplane", "--xplane-root", str(apt_root))
    try:
        receivers = await connect_clients(args, bridge, state="IDLE")
        figures = await runway_requests(args, receivers[0], apt_root)
        await close_clients(receivers)
    finally:
        bridge.stop()
    return figures


def checks(name, figures):
    result = []
    if "cpu_percent_of_one_core" in figures:
        result += [
            ("CPU", figures["cpu_percent_of_one_core"] < TARGET_CPU_PERCENT,
             "%.3f %% of one core (ms/s by thread: %s)" % (figures["cpu_percent_of_one_core"],
                                                          figures["cpu_ms_per_second_by_thread"])),
            ("memory", figures["peak_resident_mb"] < TARGET_RSS_MB, "peak %.2f MB" % figures["peak_resident_mb"]),
            ("latency", figures["latency_p99_ms"] is not None and figures["latency_median_ms"] <= TARGET_MEDIAN_MS
             and figures["latency_p99_ms"] <= TARGET_P99_MS,
             "median %s / p99 %s / max %s ms over %d frames" % (figures["latency_median_ms"], figures["latency_p99_ms"],
                                                                figures["latency_max_ms"], figures["latency_samples"])),
        ]
    runways = figures.get("runways", figures if name == "runways" else None)
    if runways:
        result += [
            ("runways", runways["cached"] <= TARGET_CACHED_MS and runways["miss"] <= 2 * runways["grep"],
             "cached %.2f ms, file's last %.2f ms, miss %.2f ms; grep -c %.2f ms"
             % (runways["cached"], runways["near_end"], runways["miss"], runways["grep"])),
        ]
    return result


async def run_all(args):
    results = {}
    with contextlib.ExitStack() as stack:
        apt_root = None
        if "runways" in args.runs:
            folder = stack.enter_context(tempfile.TemporaryDirectory())
            apt_root, _, args.last_airport = prepare_apt(args.apt, folder)
        for name in args.runs:
            with plugin_ports_lock(wait_seconds=600.0):
                if name == "xplane":
                    results[name] = await run_xplane(args, apt_root)
                elif name == "msfs":
                    results[name] = await run_msfs(args)
                else:
                    results[name] = await run_runways(args, apt_root)
    return results


def main():
    args = parse_args()
    if not Path(args.bridge).exists():
        print("bridge binary not found: %s" % args.bridge, file=sys.stderr)
        return 2
    results = asyncio.run(run_all(args))
    met = True
    print("Navorel Bridge runtime benchmark: %d clients in ACTIVE, %.0f s per simulator"
          % (args.clients, args.duration))
    for name, figures in results.items():
        label = {"xplane": "X-Plane, %.0f Hz plugin telemetry, runways while connected" % args.rate,
                 "msfs": "Microsoft Flight Simulator (fake simulator over TCP)",
                 "runways": "runway requests without a simulator"}[name]
        print("  %s" % label)
        for check, ok, text in checks(name, figures):
            met = met and ok
            print("    %-8s %s  [%s]" % (check + ":", text, "met" if ok else "MISSED"))
    if args.json:
        print(json.dumps(results, sort_keys=True))
    return 0 if met else 1


if __name__ == "__main__":
    sys.exit(main())
