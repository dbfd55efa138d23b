"""The running bridge with X-Plane, end to end: the real binary, a fake
"X-Plane.exe" process for its process watch, a scripted plugin on UDP and
independent WebSocket clients.

The plugin ports (49005 telemetry, 49006 control) are fixed, and a fake
X-Plane process makes every bridge on the machine reach for them, so this
module holds the machine-wide port lock for its whole run.
"""

import json
import re
import signal
import socket
import time

import pytest

from runtime_support import (TELEMETRY_PORT, TELEMETRY_TYPES, Plugin, clean_env, fake_xplane_process, now_ticks,
                             ordered_keys, payload, port_is_free, round_to, wait_until)

pytestmark = pytest.mark.usefixtures("plugin_ports")

# Process polling is every 5 s and the first connection attempt follows at
# once, so detection plus connection takes up to about 6 s (more under load).
DETECT = 15.0

STATUS_LINE = re.compile(r"\r\[Status\] ([^\r\n]*?) {10}(?=\r|\n|$)")

# One datagram with a value for every record, chosen to show the rounding.
FULL = {
    "type": "xp12_telemetry", "xplane_version": 120105, "session_id": 7,
    "lat": 47.12345678, "lon": -122.3456784, "alt_ft": 1234.5, "alt_ind_ft": -12.5, "alt_agl_ft": 99.49,
    "pressure_alt_ft": 1500.5, "ias_kt": 250.25, "ground_speed_kt": 12.35, "hdg_deg": 123.45, "vs_fpm": -1235,
    "pitch_deg": 2.345, "bank_deg": -1.005, "fuel_mass_kg": 1000, "fuel_density_kg_l": 0.8,
    "autopilot_mode": 2, "flaps_handle_ratio": 0.5, "flap_detents": 4, "gear_retractable": True,
    "gear_deploy_ratio": [1.0, 0.4, 1.0], "sim_on_ground": True, "on_runway": False, "simulation_rate": 1.0,
    "spoilers_ratio": 0, "apu_generator_on": True, "engine_running": [1, 0],
    "light_beacon": True, "light_nav": "1", "light_landing": False, "light_taxi": 0, "light_strobe": "true",
    "parking_brake_ratio": 0.6, "canopy_open": 0.7, "aircraft_name": "Navorel Test Aircraft \u2708",
    "vne_kt": 340, "stall_warning": 0, "paused": False,
}

# Only flight, fuel and title values: the preflight summary carries just those groups.
PARTIAL = {key: FULL[key] for key in ("type", "lat", "lon", "alt_ft", "ground_speed_kt", "fuel_mass_kg",
                                      "fuel_density_kg_l", "aircraft_name")}

SUMMARY = {"type": "preflight_data", "latitude": 47.123457, "longitude": -122.345678,
           "groundSpeedGps": round_to(12.35, 1), "fuelVolume": 330.2, "fuelWeight": 2205.0,
           "title": "Navorel Test Aircraft \u2708"}

EXPECTED = {
    "flight_data": {
        "type": "flight_data", "latitude": 47.123457, "longitude": -122.345678, "altitude": 1235.0,
        "altitudeIndicated": -13.0, "altitudeAgl": 99.0, "heading": round_to(123.45, 1), "airspeedIndicated": 250.3,
        "verticalSpeed": -1240.0, "pitch": round_to(2.345, 2), "bank": round_to(-1.005, 2),
        "groundSpeedGps": round_to(12.35, 1), "fuelVolume": 330.2, "fuelWeight": 2205.0, "pressureAltitude": 1501.0},
    "systems_data": {
        "type": "systems_data", "autopilotMaster": True, "flapsHandleIndex": 2.0,
        "gearTotalPctExtended": pytest.approx(40.0), "simOnGround": True, "onAnyRunway": False,
        "simulationRate": 1.0, "spoilersHandlePosition": 0.0, "apuGeneratorActive": True, "engine1Running": True,
        "engine2Running": False, "engine3Running": False, "engine4Running": False},
    "equipment_data": {
        "type": "equipment_data", "lightBeacon": True, "lightNav": True, "lightLanding": False, "lightTaxi": False,
        "lightStrobe": True, "doorMain": True, "parkingBrake": True},
    "aircraft_info": {"type": "aircraft_info", "title": "Navorel Test Aircraft \u2708"},
    "alert_data": {"type": "alert_data", "overspeedWarning": False, "stallWarning": True, "isSlewActive": False},
    "acars_info": {"type": "acars_info", "sim_family": "X-Plane", "sim_variant": "12", "sim_process": "X-Plane.exe",
                   "bridge_name": "Navorel Bridge", "bridge_version": "1.0.0"},
}


@pytest.fixture
def plugin():
    """The scripted plugin, sending FULL at 20 Hz and obeying pause commands."""
    with Plugin(FULL, rate=20.0, obey_pause=True) as sender:
        yield sender


def assert_message_shape(frame):
    """Keys in ascending byte order, a current integer 100-ns timestamp."""
    keys = ordered_keys(frame.text)
    assert keys == sorted(keys, key=lambda k: k.encode()), frame.text
    stamp = frame.message["timestamp"]
    assert isinstance(stamp, int) and abs(stamp - now_ticks()) < 60 * 10**7, frame.text


def telemetry(frames):
    return [f for f in frames if f.type in TELEMETRY_TYPES]


def connected_bridge(bridge, clients, *args):
    """A verbose bridge with the plugin's telemetry flowing and one client
    that has seen sim_connected true."""
    process = bridge("--verbose", *args, env=clean_env())
    client = clients(process)
    client.wait_status(DETECT, sim_detected=True, sim_connected=True)
    return process, client


def active_bridge(bridge, clients):
    """As connected_bridge in X-Plane mode, then in ACTIVE with flight data flowing."""
    process, client = connected_bridge(bridge, clients, "--xplane")
    client.set_state("PREFLIGHT")
    start = client.mark()
    client.set_state("ACTIVE")
    client.wait_type("flight_data", start=start)
    time.sleep(0.5)
    return process, client


def quiet_for(client, seconds, kind=None):
    """The frames (of one kind) that arrive within the next `seconds`."""
    start = client.mark()
    time.sleep(seconds)
    return client.since(start, kind)


def test_detection_connection_and_process_end(bridge, clients, plugin):
    process = bridge("--verbose", env=clean_env())
    client = clients(process)
    assert client.wait_status() == {"type": "sim_status", "sim_detected": False, "sim_connected": False,
                                    "state": "IDLE", "timestamp": pytest.approx(now_ticks(), abs=6e8)}
    assert process.wait_for_output("\r[Status] AUTO: NOT_DETECTED | AUTO: DISCONNECTED | Clients: 1" + " " * 10, 5)

    with fake_xplane_process() as xplane:
        detected = client.wait_status(DETECT, sim_detected=True)
        assert detected["sim_connected"] is False and detected["state"] == "IDLE"
        client.wait_status(DETECT, sim_detected=True, sim_connected=True)
        out = process.stdout
        assert "[INFO ] X-Plane detected - ready for X-Plane plugin (will retry indefinitely)" in out
        assert "[INFO ] [ReconnectionManager] State: CONNECTING -> CONNECTED (Connection established)" in out
        assert process.wait_for_output(
            "\r[Status] X-Plane: DETECTED | XPlane Plugin: CONNECTED | Clients: 1" + " " * 10, 5)
        client.set_state("PREFLIGHT")
        client.set_state("ACTIVE")
        start = client.mark()
        xplane.kill()
        xplane.wait()

    # The lost connection reports the status first, then the end of the flight.
    assert client.wait_type("sim_event", DETECT, start=start, event="sim_stop").message["data"] == 0
    lost = client.wait_type("sim_status", DETECT, start=start, sim_detected=False)
    assert payload(lost.message) == {"type": "sim_status", "sim_detected": False, "sim_connected": False,
                                     "state": "ACTIVE"}
    assert process.wait_for_output("[WARN ] X-Plane process terminated - disconnecting X-Plane plugin", 5)
    assert process.wait_for_output("[WARN ] [ReconnectionManager] Connection lost: X-Plane process terminated", 5)
    # The provider let go of the telemetry port; the plugin's datagrams now go nowhere.
    assert wait_until(lambda: port_is_free(TELEMETRY_PORT), 5)
    assert telemetry(quiet_for(client, 1.0)) == []


def test_flight_simulator_process_selects_simconnect(bridge, clients, plugin):
    process = bridge("--verbose", env=clean_env())
    client = clients(process)
    with fake_xplane_process("FlightSimulator.exe"):
        assert client.wait_status(DETECT, sim_detected=True)["sim_connected"] is False
        for line in ("[INFO ] Flight Simulator detected - ready for SimConnect connection (will retry indefinitely)",
                     "[WARN ] [ReconnectionManager] Connection attempt 1 failed: Connection attempt failed",
                     "\r[Status] MSFS: DETECTED | SimConnect: CONNECTION_FAILED | Clients: 1"):
            assert process.wait_for_output(line, 5), line
        # The plugin's telemetry goes unheard: the X-Plane provider stays closed.
        assert port_is_free(TELEMETRY_PORT)
        client.set_state("PREFLIGHT")
        client.set_state("ACTIVE")
        assert telemetry(quiet_for(client, 1.0)) == []
        answer = client.command({"type": "REQUEST_RUNWAY_INFO", "icao": "KSFO"})
        assert answer["error"] == "SimConnect is not connected"


def test_idle_preflight_and_active_flow(bridge, clients, plugin, xplane_process):
    plugin.replace(PARTIAL)
    process, client = connected_bridge(bridge, clients, "--xplane")

    # IDLE: the plugin sends, nothing telemetry-like reaches the client.
    idle = quiet_for(client, 1.5)
    assert [f for f in idle if f.type in TELEMETRY_TYPES + ("preflight_data", "acars_info")] == []

    # PREFLIGHT: a summary about once a second with exactly the groups fed.
    start = client.mark()
    client.set_state("PREFLIGHT")
    first = client.wait_type("preflight_data", start=start)
    time.sleep(2.7)
    summaries = client.since(start, "preflight_data")
    assert 2 <= len(summaries) <= 5, summaries
    gaps = [b.at - a.at for a, b in zip(summaries, summaries[1:])]
    assert all(0.7 <= gap <= 2.0 for gap in gaps), gaps
    assert telemetry(client.since(start)) == []
    assert_message_shape(first)
    assert payload(first.message) == SUMMARY
    assert "\u2708" in first.text  # non-ASCII text is written as it is
    # More groups fed: they join the summary.
    plugin.replace(FULL)
    fuller = client.wait_for(lambda m: m.get("type") == "preflight_data" and "parkingBrake" in m,
                             start=client.mark())
    assert payload(fuller.message) == dict(SUMMARY, parkingBrake=True, simOnGround=True, engine1Running=True,
                                           engine2Running=False, engine3Running=False, engine4Running=False)

    # ACTIVE: every telemetry kind with its rounding, acars_info exactly once.
    start = client.mark()
    client.set_state("ACTIVE")
    for kind in ("flight_data", "equipment_data", "aircraft_info", "systems_data"):
        client.wait_type(kind, start=start)
    plugin.set(stall_warning=1)
    client.wait_type("alert_data", start=start)
    time.sleep(1.5)
    active = client.since(start)
    by_kind = {kind: [f for f in active if f.type == kind] for kind in EXPECTED}
    for kind, expected in EXPECTED.items():
        assert by_kind[kind] and all(payload(f.message) == expected for f in by_kind[kind]), kind
    for frame in active:
        assert_message_shape(frame)
    flight = by_kind["flight_data"][0]
    for key in ("altitude", "altitudeIndicated", "altitudeAgl", "verticalSpeed", "fuelWeight", "pressureAltitude"):
        assert re.search(r'"%s":%d\.0[,}]' % (key, flight.message[key]), flight.text), (key, flight.text)
    # 20 datagrams a second: flight and equipment data for (nearly) each one,
    # systems and alert data only on a change, no summary any more.
    assert len(by_kind["flight_data"]) >= 20
    assert [len(by_kind[kind]) for kind in ("systems_data", "alert_data", "acars_info")] == [1, 1, 1]
    assert [f for f in active if f.type in ("preflight_data", "landing_data", "environment_data")] == []

    # A change of the systems values goes out once; the alert follows its triple.
    start = client.mark()
    plugin.set(flaps_handle_ratio=1.0, ias_kt=351.0)
    assert client.wait_type("systems_data", start=start).message["flapsHandleIndex"] == 4.0
    overspeed = client.wait_type("alert_data", start=start).message
    assert overspeed["overspeedWarning"] is True and overspeed["stallWarning"] is True
    time.sleep(1.0)
    assert len(client.since(start, "systems_data")) == len(client.since(start, "alert_data")) == 1

    # IDLE again: telemetry stops.
    client.set_state("IDLE")
    time.sleep(0.3)
    assert telemetry(quiet_for(client, 1.5)) == []


def test_touchdown_pause_and_sim_control(bridge, clients, plugin, xplane_process):
    plugin.set(sim_on_ground=False, alt_agl_ft=500.0, vs_fpm=-700.0)
    process, client = active_bridge(bridge, clients)

    # Touchdown: one landing_data with the values of that moment, unrounded.
    start = client.mark()
    plugin.set(sim_on_ground=True, alt_agl_ft=0.0, lat=37.6152345678, lon=-122.3571234567, bank_deg=-1.25,
               hdg_deg=275.55, pitch_deg=3.755, vs_fpm=-152.37)
    landing = client.wait_type("landing_data", start=start)
    time.sleep(1.5)
    assert len(client.since(start, "landing_data")) == 1
    assert_message_shape(landing)
    assert payload(landing.message) == {
        "type": "landing_data", "touchdownBankDegrees": -1.25, "touchdownHeadingDegreesMagnetic": 275.55,
        "touchdownLatitudeDegrees": 37.6152345678, "touchdownLongitudeDegrees": -122.3571234567,
        "touchdownPitchDegrees": 3.755, "touchdownRate": -152.37}
    assert client.since(start, "systems_data")[-1].message["simOnGround"] is True

    # A pause held: one event, after the hold time.
    start = client.mark()
    set_at = time.monotonic()
    plugin.set(paused=True)
    paused = client.wait_type("sim_event", start=start, event="pause")
    assert paused.message["data"] == 1 and paused.at - set_at >= 0.2
    time.sleep(1.0)
    assert len(client.since(start, "sim_event")) == 1
    start = client.mark()
    plugin.set(paused=False)
    assert client.wait_type("sim_event", start=start, event="pause").message["data"] == 0
    time.sleep(0.5)

    # SIM_CONTROL reaches the plugin's control port; the plugin obeys and the
    # bridge reports the pause it then sees.
    for count, (paused, reason, answer_text) in enumerate(
            [(True, "e2e pause", "Pause command sent"), (False, None, "Unpause command sent")], 1):
        start = client.mark()
        command = dict({"type": "SIM_CONTROL", "action": "SET_PAUSE", "paused": paused},
                       **({"reason": reason} if reason else {}))
        assert payload(client.command(command)) == {"type": "response", "success": True, "message": answer_text,
                                                    "data": {"paused": paused}}
        assert plugin.wait_controls(count)[-1] == (
            b'{"type":"SIM_CONTROL","action":"SET_PAUSE","paused":%s}\n' % json.dumps(paused).encode())
        assert client.wait_type("sim_event", start=start, event="pause").message["data"] == int(paused)
        assert process.wait_for_output("[INFO ] SIM_CONTROL SET_PAUSE received: %s (%s)"
                                       % (json.dumps(paused), reason or "ACARS sim control"), 5)


def sized_datagram(latitude, size):
    """A flight datagram padded with an unknown key to exactly `size` bytes."""
    text = json.dumps({"lat": latitude, "lon": latitude, "alt_ft": 500.0, "pad": ""})
    return text.replace('"pad": ""', '"pad": "%s"' % ("x" * (size - len(text)))).encode()


def test_slewing_sim_events_and_bad_datagrams(bridge, clients, plugin, xplane_process):
    process, client = active_bridge(bridge, clients)

    # Two nautical miles a second: far too fast for an aircraft on the ground.
    start = client.mark()
    began = time.monotonic()
    while time.monotonic() - began < 6.0 and not any(m["isSlewActive"] for m in client.messages(start, "alert_data")):
        plugin.set(lat=FULL["lat"] + (time.monotonic() - began) * 2.0 / 60.0)
        time.sleep(0.05)
    slewing = client.wait_for(lambda m: m.get("type") == "alert_data" and m["isSlewActive"], 1.0, start)
    assert payload(slewing.message) == {"type": "alert_data", "overspeedWarning": False, "stallWarning": False,
                                        "isSlewActive": True}
    # Standing still for two seconds ends it.
    assert client.wait_type("alert_data", 8.0, start=client.mark()).message["isSlewActive"] is False

    # A crash, a new session, a new aircraft: each raises its event once.
    crashed, stop = {"event": "crashed", "data": 1}, {"event": "sim_stop", "data": 0}
    for change, events in [({"crash_detected": True}, [crashed]), ({"crash_detected": False}, []),
                           ({"session_id": 8}, [stop]), ({"session_id": 9, "aircraft_name": "Second"}, [stop]),
                           ({"aircraft_name": "Third"}, [stop])]:
        start = client.mark()
        plugin.set(**change)
        if events:
            client.wait_type("sim_event", start=start, **events[0])
        time.sleep(1.0)
        assert [payload(m) for m in client.messages(start, "sim_event")] == [
            dict(event, type="sim_event") for event in events], change
    assert client.messages(start, "aircraft_info")[-1]["title"] == "Third"

    # Bad datagrams are dropped and the bridge goes on with the good ones.
    start = client.mark()
    for data in (b"\xff\xfe\x00 not json", b"[10.5, 10.5]", b"{" * 1500, b'{"lat": 10.5, "lon": 10.5, "alt_ft": 1',
                 b'{"type": "xp10_telemetry", "lat": 10.5, "lon": 10.5, "alt_ft": 1}',
                 b'{"lat": 10.5, "lon": "east", "alt_ft": 1}', sized_datagram(10.5, 2048)):
        plugin.send_now(data)
    accepted = [(b'{"lat": "11.5", "lon": " 11.25 deg", "alt_ft": "100"}', (11.5, 11.25, 100.0)),
                (b'{"type": "xp11_telemetry", "lat": 12.5, "lon": 12.5, "alt_m": 100}', (12.5, 12.5, 328.0)),
                (sized_datagram(14.5, 2047), (14.5, 14.5, 500.0))]
    for data, _ in accepted:
        plugin.send_now(data)
    for data, (lat, lon, alt) in accepted:
        frame = client.wait_for(lambda m: m.get("type") == "flight_data" and m["latitude"] == lat, start=start)
        assert (frame.message["longitude"], frame.message["altitude"]) == (lon, alt), data
    time.sleep(0.5)
    assert 10.5 not in {m["latitude"] for m in client.messages(start, "flight_data")}
    assert client.command({"type": "STATUS"})["type"] == "response"


def test_stale_telemetry_in_active_disconnects_and_recovers(bridge, clients, plugin, xplane_process):
    process, client = active_bridge(bridge, clients)
    start = client.mark()
    plugin.sending(False)
    stopped = time.monotonic()
    lost = client.wait_type("sim_status", 12, start=start, sim_connected=False)
    assert payload(lost.message) == {"type": "sim_status", "sim_detected": True, "sim_connected": False,
                                     "state": "ACTIVE"}
    assert 4.5 <= lost.at - stopped <= 9.0, lost.at - stopped
    assert process.wait_for_output(
        "[WARN ] [ReconnectionManager] Connection lost: Simulator disconnected unexpectedly", 5)
    # Reconnection attempts meanwhile must not replay the last sample as news.
    time.sleep(3.0)
    assert [f for f in telemetry(client.since(start)) if f.at > lost.at] == []
    assert len(client.since(start, "sim_status")) == 1

    start = client.mark()
    plugin.sending(True)
    resumed = time.monotonic()
    back = client.wait_type("sim_status", 10, start=start, sim_connected=True)
    assert back.at - resumed < 5.0 and back.message["state"] == "ACTIVE"
    client.wait_type("flight_data", start=start)


def test_sigterm_while_connected_closes_clients_and_frees_the_port(bridge, clients, plugin, xplane_process):
    process, client = active_bridge(bridge, clients)
    other = clients(process)
    process.send_signal(signal.SIGTERM)
    assert client.wait_closed() == other.wait_closed() == (1001, "Server shutting down")
    assert process.wait() == 0
    out = process.stdout
    assert (out.index("Shutdown signal received, shutting down gracefully...") < out.index("\n\nShutting down...\n")
            < out.index("[INFO ] Bridge stopped successfully"))
    assert process.stderr == ""
    assert port_is_free(TELEMETRY_PORT)


def test_status_line_shows_failures_and_the_next_attempt(bridge, clients, plugin, xplane_process):
    holder = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    holder.bind(("127.0.0.1", TELEMETRY_PORT))
    try:
        process = bridge("--verbose", env=clean_env())
        client = clients(process)
        client.wait_status(DETECT, sim_detected=True)
        assert process.wait_for_output(
            "[WARN ] [ReconnectionManager] Connection attempt 1 failed: Connection attempt failed", DETECT)
        assert process.wait_for_output(re.compile(
            r"\r\[Status\] X-Plane: DETECTED \| XPlane Plugin: CONNECTION_FAILED \| Clients: 1 "
            r"\| Next attempt in: [1-9]\d*s {10}"), 20)
    finally:
        holder.close()
    client.wait_status(30, sim_connected=True)
    assert process.wait_for_output("\r[Status] X-Plane: DETECTED | XPlane Plugin: CONNECTED | Clients: 1" + " " * 10, 5)
    # Once connected, the line never names a next attempt.
    connected = [line for line in STATUS_LINE.findall(process.stdout) if "XPlane Plugin: CONNECTED " in line]
    assert connected and all("Next attempt" not in line for line in connected)


def test_status_line_names_the_mode_and_only_when_verbose(bridge):
    verbose = bridge("--verbose", "--msfs", env=clean_env())
    assert verbose.wait_for_output("\r[Status] MSFS: NOT_DETECTED | SimConnect: DISCONNECTED | Clients: 0" + " " * 10, 5)
    quiet = bridge("--xplane", env=clean_env())
    time.sleep(2.5)
    assert quiet.stop() == 0
    assert "[Status]" not in quiet.stdout
