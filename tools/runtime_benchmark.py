#!/usr/bin/env python3
"""Runtime benchmark of the bridge with X-Plane telemetry.

Starts the bridge, a harmless process named "X-Plane.exe" for its process
watch, and a scripted plugin that sends telemetry datagrams to 127.0.0.1:49005
at a fixed rate (30 Hz by default); connects five WebSocket clients, sets the
state to ACTIVE and measures for a while (60 s by default):

  - the bridge's CPU time per second of wall time (utime + stime of /proc/PID/stat),
  - its peak resident memory (VmHWM of /proc/PID/status),
  - the latency from a datagram's send to the arrival of its "flight_data"
    frame at each client, median and 99th percentile. Every datagram carries a
    latitude of its own, which identifies its frame.

Targets: below 1 % of one core, below 20 MB resident, 99th percentile within
one loop period (50 ms) plus 5 ms. The exit code is 0 when all are met, 1 when
one is missed, 2 when the run itself failed.

Linux only (it reads /proc). Needs python3-websockets (Debian).
"""

import argparse
import asyncio
import contextlib
import json
import os
import re
import signal
import socket
import statistics
import subprocess
import sys
import threading
import time
from pathlib import Path

try:
    import websockets
except ImportError:
    sys.path.append("/usr/lib/python3/dist-packages")
    import websockets

from plugin_ports import CONTROL_PORT, TELEMETRY_PORT, plugin_ports_lock

TARGET_CPU_PERCENT = 1.0
TARGET_RSS_MB = 20.0
TARGET_P99_MS = 55.0
BASE_LATITUDE = 37.6
LATITUDE_STEP = 0.00001  # survives the bridge's rounding to 6 decimals
LATITUDE = re.compile(r'"latitude":(-?[0-9.eE+-]+)')


def parse_args():
    root = Path(__file__).resolve().parent.parent
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--bridge", default=str(root / "build" / "native" / "NavorelBridge"),
                        help="bridge binary (default: build/native/NavorelBridge)")
    parser.add_argument("--duration", type=float, default=60.0, help="measured seconds (default 60)")
    parser.add_argument("--rate", type=float, default=30.0, help="datagrams per second (default 30)")
    parser.add_argument("--clients", type=int, default=5, help="WebSocket clients (default 5)")
    parser.add_argument("--state", choices=("ACTIVE", "PREFLIGHT", "IDLE"), default="ACTIVE",
                        help="application state the clients set (default ACTIVE; latency needs ACTIVE)")
    parser.add_argument("--no-simulator", action="store_true",
                        help="no X-Plane process and no telemetry: the bridge's cost while it waits")
    parser.add_argument("--json", action="store_true", help="print the figures as one JSON object too")
    return parser.parse_args()


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    # Fields 14 and 15 of the file (utime, stime) are 12 and 13 after the name.
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def thread_cpu_seconds(pid):
    """CPU seconds per thread id (the receive, server and main threads)."""
    result = {}
    for tid in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/stat" % (pid, tid)) as stat:
                fields = stat.read().rsplit(")", 1)[1].split()
            result[int(tid)] = (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
        except OSError:
            pass
    return result


def status_kb(pid, key):
    with open("/proc/%d/status" % pid) as status:
        for line in status:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    return 0


def percentile(values, fraction):
    ordered = sorted(values)
    if not ordered:
        return float("nan")
    index = min(len(ordered) - 1, max(0, int(round(fraction * (len(ordered) - 1)))))
    return ordered[index]


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


class Bridge:
    def __init__(self, binary, port):
        self.process = subprocess.Popen([binary, "--port", str(port)], stdin=subprocess.DEVNULL,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.output = []
        self._port_seen = threading.Event()
        self.port = None
        threading.Thread(target=self._drain, args=(self.process.stdout, True), daemon=True).start()
        threading.Thread(target=self._drain, args=(self.process.stderr, False), daemon=True).start()

    def _drain(self, pipe, watch):
        for line in iter(pipe.readline, b""):
            text = line.decode("utf-8", "replace")
            self.output.append(text)
            match = re.match(r"WEBSOCKET_PORT=(\d+)", text)
            if watch and match:
                self.port = int(match.group(1))
                self._port_seen.set()

    def wait_port(self, timeout=20.0):
        if not self._port_seen.wait(timeout):
            raise SystemExit("the bridge did not report its port:\n" + "".join(self.output))
        return self.port

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGINT)
            try:
                return self.process.wait(20)
            except subprocess.TimeoutExpired:
                self.process.kill()
        return self.process.wait()


class Plugin:
    """Sends datagrams on the event loop at a fixed rate; remembers when each
    latitude left."""

    def __init__(self, loop, rate):
        self.loop = loop
        self.period = 1.0 / rate
        self.sent_at = {}
        self.sequence = 0
        self.socket = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.socket.bind(("127.0.0.1", CONTROL_PORT))
        self.socket.setblocking(False)
        self._next = None
        self._handle = None

    def start(self):
        self._next = self.loop.time()
        self._tick()

    def _tick(self):
        latitude = round(BASE_LATITUDE + self.sequence * LATITUDE_STEP, 5)
        data = datagram(self.sequence, latitude)
        sent = time.monotonic()
        try:
            self.socket.sendto(data, ("127.0.0.1", TELEMETRY_PORT))
            self.sent_at[latitude] = sent
        except OSError:
            pass
        self.sequence += 1
        self._next += self.period
        self._handle = self.loop.call_at(self._next, self._tick)

    def stop(self):
        if self._handle:
            self._handle.cancel()
        self.socket.close()


class Receiver:
    def __init__(self, ws):
        self.ws = ws
        self.arrivals = []  # (latitude, monotonic time)
        self.frames = 0
        self.types = {}

    async def run(self):
        with contextlib.suppress(websockets.exceptions.ConnectionClosed):
            async for text in self.ws:
                now = time.monotonic()
                self.frames += 1
                if '"type":"flight_data"' in text:
                    match = LATITUDE.search(text)
                    if match:
                        self.arrivals.append((round(float(match.group(1)), 5), now))
                kind = re.search(r'"type":"([^"]+)"', text)
                if kind:
                    self.types[kind.group(1)] = self.types.get(kind.group(1), 0) + 1


async def command(ws, receiver, message, answer_type="response", timeout=10.0):
    before = receiver.types.get(answer_type, 0)
    await ws.send(json.dumps(message))
    deadline = time.monotonic() + timeout
    while receiver.types.get(answer_type, 0) <= before:
        if time.monotonic() > deadline:
            raise SystemExit("no %s to %s" % (answer_type, message))
        await asyncio.sleep(0.02)


async def wait_for(condition, timeout, what):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            raise SystemExit("timed out waiting for " + what)
        await asyncio.sleep(0.05)


async def measure(args, bridge):
    loop = asyncio.get_running_loop()
    plugin = Plugin(loop, args.rate)
    if not args.no_simulator:
        plugin.start()
    sockets, receivers, tasks = [], [], []
    try:
        for _ in range(args.clients):
            ws = await websockets.connect("ws://127.0.0.1:%d/" % bridge.port, ping_interval=None, max_size=None)
            receiver = Receiver(ws)
            sockets.append(ws)
            receivers.append(receiver)
            tasks.append(asyncio.create_task(receiver.run()))
        first, receiver = sockets[0], receivers[0]
        # The process watch polls every 5 s; the connection follows at once.
        await wait_for(lambda: receiver.types.get("sim_status", 0) >= 1, 10, "sim_status")
        for state in {"ACTIVE": ("PREFLIGHT", "ACTIVE"), "PREFLIGHT": ("PREFLIGHT",), "IDLE": ()}[args.state]:
            await command(first, receiver, {"type": "SET_STATE", "state": state, "reason": "benchmark"})
        if args.state == "ACTIVE" and not args.no_simulator:
            await wait_for(lambda: all(r.arrivals for r in receivers), 30, "flight_data at every client")
        await asyncio.sleep(1.0)  # settle

        pid = bridge.process.pid
        for r in receivers:
            r.arrivals.clear()
        threads_start = thread_cpu_seconds(pid)
        cpu_start, wall_start = cpu_seconds(pid), time.monotonic()
        sent_start = plugin.sequence
        await asyncio.sleep(args.duration)
        cpu_end, wall_end = cpu_seconds(pid), time.monotonic()
        threads_end = thread_cpu_seconds(pid)
        sent = plugin.sequence - sent_start
        peak_kb = status_kb(pid, "VmHWM")
        resident_kb = status_kb(pid, "VmRSS")
        await command(first, receiver, {"type": "SHUTDOWN", "reason": "benchmark done"})
    finally:
        plugin.stop()
        for ws in sockets:
            with contextlib.suppress(Exception):
                await asyncio.wait_for(ws.close(), 5)
        for task in tasks:
            with contextlib.suppress(Exception):
                await asyncio.wait_for(task, 5)

    latencies = []
    received = []
    client_medians = []
    for r in receivers:
        received.append(len(r.arrivals))
        own = []
        for latitude, at in r.arrivals:
            sent_at = plugin.sent_at.get(latitude)
            if sent_at is not None and at >= sent_at:
                own.append((at - sent_at) * 1000.0)
        latencies.extend(own)
        client_medians.append(round(statistics.median(own), 1) if own else None)
    # The main loop relays what arrived since its last round in one burst; the
    # gaps between bursts are its period as the clients see it.
    bursts = []
    for _, at in sorted(receivers[0].arrivals, key=lambda item: item[1]):
        if not bursts or at - bursts[-1][-1] > 0.005:
            bursts.append([at])
        else:
            bursts[-1].append(at)
    periods = [(b[0] - a[0]) * 1000.0 for a, b in zip(bursts, bursts[1:])]
    wall = wall_end - wall_start
    per_thread = sorted((round((threads_end[tid] - threads_start.get(tid, 0.0)) / wall * 1000.0, 2)
                         for tid in threads_end), reverse=True)
    return {
        "state": args.state,
        "simulator": not args.no_simulator,
        "duration_s": round(wall, 2),
        "rate_hz": args.rate,
        "clients": args.clients,
        "datagrams_sent": sent,
        "flight_data_per_client": received,
        "cpu_percent_of_one_core": round((cpu_end - cpu_start) / wall * 100.0, 3),
        "cpu_ms_per_second": round((cpu_end - cpu_start) / wall * 1000.0, 2),
        "cpu_ms_per_second_by_thread": per_thread,
        "peak_resident_mb": round(peak_kb / 1024.0, 2),
        "resident_at_end_mb": round(resident_kb / 1024.0, 2),
        "latency_median_ms": round(statistics.median(latencies), 2) if latencies else None,
        "latency_p99_ms": round(percentile(latencies, 0.99), 2) if latencies else None,
        "latency_max_ms": round(max(latencies), 2) if latencies else None,
        "latency_samples": len(latencies),
        "latency_median_ms_by_client": client_medians,
        "relay_period_median_ms": round(statistics.median(periods), 2) if periods else None,
        "relay_period_p99_ms": round(percentile(periods, 0.99), 2) if periods else None,
    }


def report(figures):
    measured = figures["state"] == "ACTIVE" and figures["simulator"]
    checks = [
        ("CPU", figures["cpu_percent_of_one_core"] < TARGET_CPU_PERCENT,
         "%.3f %% of one core (%.2f ms/s), target < %.0f %%"
         % (figures["cpu_percent_of_one_core"], figures["cpu_ms_per_second"], TARGET_CPU_PERCENT)),
        ("Memory", figures["peak_resident_mb"] < TARGET_RSS_MB,
         "peak resident %.2f MB (%.2f MB at the end), target < %.0f MB"
         % (figures["peak_resident_mb"], figures["resident_at_end_mb"], TARGET_RSS_MB)),
        ("Latency", not measured or (figures["latency_p99_ms"] is not None
                                     and figures["latency_p99_ms"] <= TARGET_P99_MS),
         "median %s ms, p99 %s ms, max %s ms over %d frames, target p99 <= %.0f ms"
         % (figures["latency_median_ms"], figures["latency_p99_ms"], figures["latency_max_ms"],
            figures["latency_samples"], TARGET_P99_MS)),
    ]
    print("Navorel Bridge runtime benchmark: %d clients in %s, %s, %.1f s measured"
          % (figures["clients"], figures["state"],
             "%.0f Hz plugin telemetry" % figures["rate_hz"] if figures["simulator"] else "no simulator",
             figures["duration_s"]))
    print("  datagrams sent: %d; flight_data frames per client: %s"
          % (figures["datagrams_sent"], figures["flight_data_per_client"]))
    print("  CPU ms/s by thread: %s; median latency by client: %s ms"
          % (figures["cpu_ms_per_second_by_thread"], figures["latency_median_ms_by_client"]))
    print("  relay period (gaps between bursts of frames): median %s ms, p99 %s ms"
          % (figures["relay_period_median_ms"], figures["relay_period_p99_ms"]))
    for name, met, text in checks:
        verdict = "n/a" if name == "Latency" and not measured else "met" if met else "MISSED"
        print("  %-8s %s  [%s]" % (name + ":", text, verdict))
    return all(met for _, met, _ in checks)


def main():
    args = parse_args()
    if not Path(args.bridge).exists():
        print("bridge binary not found: %s" % args.bridge, file=sys.stderr)
        return 2
    if args.clients < 1:
        print("at least one client is needed to set the state", file=sys.stderr)
        return 2
    with plugin_ports_lock(wait_seconds=600.0):
        name = "not-a-simulator" if args.no_simulator else "X-Plane.exe"
        xplane = subprocess.Popen([name, str(int(args.duration) + 600)], executable="/bin/sleep",
                                  stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        bridge = Bridge(args.bridge, free_port())
        try:
            bridge.wait_port()
            figures = asyncio.run(measure(args, bridge))
        finally:
            code = bridge.stop()
            xplane.kill()
            xplane.wait()
    if code != 0:
        print("the bridge exited with %s" % code, file=sys.stderr)
        return 2
    met = report(figures)
    if args.json:
        print(json.dumps(figures, sort_keys=True))
    return 0 if met else 1


if __name__ == "__main__":
    sys.exit(main())
