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

from runtime_support import (TELEMETRY_PORT, TELEMETRY_TYPES, Client, Plugin, clean_env, fake_xplane_process,
                             now_ticks, ordered_keys, plugin_ports_lock, port_is_free, round_to,
                             wait_until)

# Process polling is every 5 s and the first connection attempt follows at
# once, so detection plus connection takes up to about 6 s (more under load).
DETECT = 15.0

STATUS_LINE = re.compile(r"\r\[Status\] ([^\r\n]*?) {10}(?=\r|\n|$)")

# One datagram with a value for every record, chosen to show the rounding.
FULL = {
    "type": "xp12_telemetry",
    "xplane_version": 120105,
    "session_id": 7,
    "lat": 47.12345678,
    "lon": -122.3456784,
    "alt_ft": 1234.5,
    "alt_ind_ft": -12.5,
    "alt_agl_ft": 99.49,
    "pressure_alt_ft": 1500.5,
    "ias_kt": 250.25,
    "ground_speed_kt": 12.35,
    "hdg_deg": 123.45,
    "vs_fpm": -1235,
    "pitch_deg": 2.345,
    "bank_deg": -1.005,
    "fuel_mass_kg": 1000,
    "fuel_density_kg_l": 0.8,
    "autopilot_mode": 2,
    "flaps_handle_ratio": 0.5,
    "flap_detents": 4,
    "gear_retractable": True,
    "gear_deploy_ratio": [1.0, 0.4, 1.0],
    "sim_on_ground": True,
    "on_runway": False,
    "simulation_rate": 1.0,
    "spoilers_ratio": 0,
    "apu_generator_on": True,
    "engine_running": [1, 0],
    "light_beacon": True,
    "light_nav": "1",
    "light_landing": False,
    "light_taxi": 0,
    "light_strobe": "true",
    "parking_brake_ratio": 0.6,
    "canopy_open": 0.7,
    "aircraft_name": "Navorel Test Aircraft \u2708",
    "vne_kt": 340,
    "stall_warning": 0,
    "paused": False,
}

# Only flight, fuel and title values: the preflight summary carries just those groups.
PARTIAL = {key: FULL[key] for key in ("type", "lat", "lon", "alt_ft", "ground_speed_kt", "fuel_mass_kg",
                                      "fuel_density_kg_l", "aircraft_name")}

FUEL_LB = 1000 * 2.2046226218487757
FUEL_GAL = 1000 / 0.8 * 0.2641720523581484

EXPECTED_FLIGHT = {
    "type": "flight_data",
    "latitude": 47.123457,
    "longitude": -122.345678,
    "altitude": 1235.0,
    "altitudeIndicated": -13.0,
    "altitudeAgl": 99.0,
    "heading": round_to(123.45, 1),
    "airspeedIndicated": 250.3,
    "verticalSpeed": -1240.0,
    "pitch": round_to(2.345, 2),
    "bank": round_to(-1.005, 2),
    "groundSpeedGps": round_to(12.35, 1),
    "fuelVolume": 330.2,
    "fuelWeight": 2205.0,
    "pressureAltitude": 1501.0,
}

EXPECTED_SYSTEMS = {
    "type": "systems_data",
    "autopilotMaster": True,
    "flapsHandleIndex": 2.0,
    "gearTotalPctExtended": pytest.approx(40.0),
    "simOnGround": True,
    "onAnyRunway": False,
    "simulationRate": 1.0,
    "spoilersHandlePosition": 0.0,
    "apuGeneratorActive": True,
    "engine1Running": True,
    "engine2Running": False,
    "engine3Running": False,
    "engine4Running": False,
}

EXPECTED_EQUIPMENT = {
    "type": "equipment_data",
    "lightBeacon": True,
    "lightNav": True,
    "lightLanding": False,
    "lightTaxi": False,
    "lightStrobe": True,
    "doorMain": True,
    "parkingBrake": True,
}


@pytest.fixture(scope="module", autouse=True)
def plugin_ports():
    with plugin_ports_lock():
        yield


@pytest.fixture
def xplane_process():
    with fake_xplane_process() as child:
        yield child


@pytest.fixture
def plugin():
    """The scripted plugin, sending FULL at 20 Hz and obeying pause commands."""
    with Plugin(FULL, rate=20.0, obey_pause=True) as sender:
        yield sender


@pytest.fixture
def clients():
    opened = []

    def open_client(process):
        client = Client(process.port)
        opened.append(client)
        client.wait_type("connection")
        return client

    yield open_client
    for client in opened:
        client.close()


def payload(message):
    return {k: v for k, v in message.items() if k != "timestamp"}


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


def go_active(client):
    client.set_state("PREFLIGHT")
    start = client.mark()
    client.set_state("ACTIVE")
    client.wait_type("flight_data", start=start)
    return start


def status_lines(process):
    return STATUS_LINE.findall(process.stdout)


# ---------------------------------------------------------------------------


def test_detection_connection_and_process_end(bridge, clients, plugin):
    process = bridge("--verbose", env=clean_env())
    client = clients(process)
    assert client.wait_status() == {"type": "sim_status", "sim_detected": False, "sim_connected": False,
                                    "state": "IDLE", "timestamp": pytest.approx(now_ticks(), abs=6e8)}
    assert process.wait_for_output(re.compile(
        r"\r\[Status\] AUTO: NOT_DETECTED \| AUTO: DISCONNECTED \| Clients: 1 {10}"), 5)

    with fake_xplane_process() as xplane:
        started = time.monotonic()
        detected = client.wait_status(DETECT, sim_detected=True)
        assert detected["sim_connected"] is False and detected["state"] == "IDLE"
        client.wait_status(DETECT, sim_detected=True, sim_connected=True)
        assert time.monotonic() - started < DETECT
        out = process.stdout
        assert "[INFO ] X-Plane detected - ready for X-Plane plugin (will retry indefinitely)" in out
        assert "[INFO ] [ReconnectionManager] State: CONNECTING -> CONNECTED (Connection established)" in out
        assert process.wait_for_output(re.compile(
            r"\r\[Status\] X-Plane: DETECTED \| XPlane Plugin: CONNECTED \| Clients: 1 {10}"), 5)

        go_active(client)
        info = client.wait_type("acars_info").message
        assert payload(info) == {"type": "acars_info", "sim_family": "X-Plane", "sim_variant": "12",
                                 "sim_process": "X-Plane.exe", "bridge_name": "Navorel Bridge",
                                 "bridge_version": "1.0.0"}

        start = client.mark()
        xplane.kill()
        xplane.wait()

    # The lost connection reports the status first, then the end of the flight.
    stop = client.wait_type("sim_event", DETECT, start=start, event="sim_stop")
    assert stop.message["data"] == 0
    lost = client.wait_type("sim_status", DETECT, start=start, sim_detected=False)
    assert payload(lost.message) == {"type": "sim_status", "sim_detected": False, "sim_connected": False,
                                     "state": "ACTIVE"}
    assert process.wait_for_output("[WARN ] X-Plane process terminated - disconnecting X-Plane plugin", 5)
    assert process.wait_for_output(
        "[WARN ] [ReconnectionManager] Connection lost: X-Plane process terminated", 5)
    # The provider let go of the telemetry port; the plugin's datagrams now go nowhere.
    assert wait_until(lambda: port_is_free(TELEMETRY_PORT), 5)
    after = client.mark()
    time.sleep(1.0)
    assert telemetry(client.since(after)) == []


@pytest.mark.parametrize("name", ["X-Plane-x86_64", "X-PLANE.EXE"])
def test_other_xplane_names_select_the_plugin(name, bridge, clients, plugin):
    with fake_xplane_process(name):
        process, client = connected_bridge(bridge, clients)
        client.set_state("PREFLIGHT")
        client.set_state("ACTIVE")
        info = client.wait_type("acars_info").message
        assert (info["sim_family"], info["sim_process"]) == ("X-Plane", name)
        client.wait_type("flight_data")


def test_flight_simulator_process_selects_simconnect(bridge, clients, plugin):
    process = bridge("--verbose", env=clean_env())
    client = clients(process)
    with fake_xplane_process("FlightSimulator.exe"):
        status = client.wait_status(DETECT, sim_detected=True)
        assert status["sim_connected"] is False
        assert process.wait_for_output(
            "[INFO ] Flight Simulator detected - ready for SimConnect connection (will retry indefinitely)", 5)
        assert process.wait_for_output(
            "[WARN ] [ReconnectionManager] Connection attempt 1 failed: Connection attempt failed", 5)
        assert process.wait_for_output(re.compile(
            r"\r\[Status\] MSFS: DETECTED \| SimConnect: CONNECTION_FAILED \| Clients: 1"), 5)
        # The plugin's telemetry goes unheard: the X-Plane provider stays closed.
        assert port_is_free(TELEMETRY_PORT)
        client.set_state("PREFLIGHT")
        start = client.mark()
        client.set_state("ACTIVE")
        time.sleep(1.0)
        assert telemetry(client.since(start)) == []
        answer = client.command({"type": "REQUEST_RUNWAY_INFO", "icao": "KSFO"})
        assert answer["error"] == "SimConnect is not connected"


def test_idle_preflight_and_active_flow(bridge, clients, plugin, xplane_process):
    plugin.replace(PARTIAL)
    process, client = connected_bridge(bridge, clients, "--xplane")

    # IDLE: the plugin sends, nothing telemetry-like reaches the client.
    start = client.mark()
    time.sleep(2.0)
    idle = client.since(start)
    assert [f for f in idle if f.type in TELEMETRY_TYPES + ("preflight_data", "acars_info")] == []

    # PREFLIGHT: a summary about once a second with exactly the groups fed.
    start = client.mark()
    client.set_state("PREFLIGHT")
    client.wait_status(start=start, state="PREFLIGHT")
    first = client.wait_type("preflight_data", start=start)
    time.sleep(2.7)
    summaries = client.since(start, "preflight_data")
    assert 2 <= len(summaries) <= 5, summaries
    gaps = [b.at - a.at for a, b in zip(summaries, summaries[1:])]
    assert all(0.7 <= gap <= 2.0 for gap in gaps), gaps
    assert telemetry(client.since(start)) == []
    assert_message_shape(first)
    assert payload(first.message) == {
        "type": "preflight_data", "latitude": 47.123457, "longitude": -122.345678,
        "groundSpeedGps": round_to(12.35, 1), "fuelVolume": 330.2, "fuelWeight": 2205.0,
        "title": "Navorel Test Aircraft \u2708"}
    assert "\u2708" in first.text  # non-ASCII text is written as it is

    # More groups fed: they join the summary.
    plugin.replace(FULL)
    fuller = client.wait_for(lambda m: m.get("type") == "preflight_data" and "parkingBrake" in m,
                             start=client.mark())
    assert payload(fuller.message) == {
        "type": "preflight_data", "latitude": 47.123457, "longitude": -122.345678,
        "groundSpeedGps": round_to(12.35, 1), "fuelVolume": 330.2, "fuelWeight": 2205.0,
        "title": "Navorel Test Aircraft \u2708", "parkingBrake": True, "simOnGround": True,
        "engine1Running": True, "engine2Running": False, "engine3Running": False, "engine4Running": False}

    # ACTIVE: every telemetry kind with its rounding, acars_info exactly once.
    start = client.mark()
    client.set_state("ACTIVE")
    client.wait_status(start=start, state="ACTIVE")
    flight = client.wait_type("flight_data", start=start)
    client.wait_type("equipment_data", start=start)
    client.wait_type("aircraft_info", start=start)
    systems = client.wait_type("systems_data", start=start)
    plugin.set(stall_warning=1)
    alert = client.wait_type("alert_data", start=start)
    time.sleep(1.5)
    active = client.since(start)

    assert_message_shape(flight)
    assert payload(flight.message) == EXPECTED_FLIGHT
    for key in ("altitude", "altitudeIndicated", "altitudeAgl", "verticalSpeed", "fuelWeight", "pressureAltitude"):
        value = flight.message[key]
        assert isinstance(value, float), key
        assert re.search(r'"%s":%s\.0[,}]' % (key, int(value)), flight.text), (key, flight.text)
    assert payload(systems.message) == EXPECTED_SYSTEMS
    equipment = [f.message for f in active if f.type == "equipment_data"]
    assert all(payload(m) == EXPECTED_EQUIPMENT for m in equipment)
    titles = [f for f in active if f.type == "aircraft_info"]
    assert all(payload(f.message) == {"type": "aircraft_info", "title": "Navorel Test Aircraft \u2708"}
               for f in titles)
    assert "\u2708" in titles[0].text
    assert payload(alert.message) == {"type": "alert_data", "overspeedWarning": False, "stallWarning": True,
                                      "isSlewActive": False}
    for frame in active:
        assert_message_shape(frame)

    # 20 datagrams a second: flight and equipment data for (nearly) each one,
    # systems and alert data only on a change, no summary any more.
    flights = [f for f in active if f.type == "flight_data"]
    assert len(flights) >= 20, len(flights)
    assert len([f for f in active if f.type == "systems_data"]) == 1
    assert len([f for f in active if f.type == "alert_data"]) == 1
    assert [f for f in active if f.type in ("preflight_data", "landing_data", "environment_data")] == []
    infos = [f for f in active if f.type == "acars_info"]
    assert len(infos) == 1
    assert payload(infos[0].message) == {"type": "acars_info", "sim_family": "X-Plane", "sim_variant": "12",
                                         "sim_process": "X-Plane.exe", "bridge_name": "Navorel Bridge",
                                         "bridge_version": "1.0.0"}

    # A change of the systems values goes out once; the alert follows its triple.
    start = client.mark()
    plugin.set(flaps_handle_ratio=1.0, ias_kt=351.0)
    changed = client.wait_type("systems_data", start=start)
    assert changed.message["flapsHandleIndex"] == 4.0
    overspeed = client.wait_type("alert_data", start=start)
    assert overspeed.message["overspeedWarning"] is True and overspeed.message["stallWarning"] is True
    time.sleep(1.0)
    assert len(client.since(start, "systems_data")) == 1
    assert len(client.since(start, "alert_data")) == 1

    # IDLE again: telemetry stops.
    client.set_state("IDLE")
    time.sleep(0.3)
    start = client.mark()
    time.sleep(1.5)
    assert telemetry(client.since(start)) == []
    assert process.returncode is None


def test_acars_info_flag_rules(bridge, clients, plugin, xplane_process):
    process, first = connected_bridge(bridge, clients, "--xplane")
    first.set_state("PREFLIGHT")
    first.set_state("ACTIVE")
    first.wait_type("acars_info")

    # A client joining while the flag is set gets its status, not a second acars_info.
    start = first.mark()
    second = clients(process)
    assert second.wait_status()["state"] == "ACTIVE"
    time.sleep(1.0)
    assert first.since(start, "acars_info") == [] and second.since(0, "acars_info") == []

    # ACTIVE -> PREFLIGHT -> ACTIVE: sent again, to everyone.
    first.set_state("PREFLIGHT")
    start_first, start_second = first.mark(), second.mark()
    first.set_state("ACTIVE")
    first.wait_type("acars_info", start=start_first)
    second.wait_type("acars_info", start=start_second)

    # IDLE -> ACTIVE sends nothing; the next client to join does.
    first.set_state("IDLE")
    start = first.mark()
    first.set_state("ACTIVE")
    first.wait_type("flight_data", start=start)
    time.sleep(0.5)
    assert first.since(start, "acars_info") == []
    third = clients(process)
    joined = third.wait_type("acars_info")
    assert third.since(0)[0].type == "connection"
    assert joined.message["sim_family"] == "X-Plane"
    first.wait_type("acars_info", start=start)
    time.sleep(0.5)
    assert len(first.since(start, "acars_info")) == 1


def test_touchdown_gives_one_landing_data(bridge, clients, plugin, xplane_process):
    plugin.set(sim_on_ground=False, alt_agl_ft=500.0, vs_fpm=-700.0)
    process, client = connected_bridge(bridge, clients, "--xplane")
    go_active(client)
    time.sleep(1.0)
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
    on_ground = client.since(start, "systems_data")
    assert on_ground and on_ground[-1].message["simOnGround"] is True


def test_pause_filter_and_sim_control(bridge, clients, plugin, xplane_process):
    process, client = connected_bridge(bridge, clients, "--xplane")
    go_active(client)
    time.sleep(0.5)

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

    # A pause of 60 ms is filtered out.
    time.sleep(0.5)
    start = client.mark()
    plugin.set(paused=True)
    time.sleep(0.06)
    plugin.set(paused=False)
    time.sleep(1.0)
    assert client.since(start, "sim_event") == []

    # SIM_CONTROL reaches the plugin's control port; the plugin obeys and the
    # bridge reports the pause it then sees.
    start = client.mark()
    answer = client.command({"type": "SIM_CONTROL", "action": "SET_PAUSE", "paused": True, "reason": "e2e pause"})
    assert payload(answer) == {"type": "response", "success": True, "message": "Pause command sent",
                               "data": {"paused": True}}
    assert plugin.wait_controls(1)[-1] == b'{"type":"SIM_CONTROL","action":"SET_PAUSE","paused":true}\n'
    assert client.wait_type("sim_event", start=start, event="pause").message["data"] == 1
    assert process.wait_for_output("[INFO ] SIM_CONTROL SET_PAUSE received: true (e2e pause)", 5)

    start = client.mark()
    answer = client.command({"type": "SIM_CONTROL", "action": "SET_PAUSE", "paused": False})
    assert payload(answer) == {"type": "response", "success": True, "message": "Unpause command sent",
                               "data": {"paused": False}}
    assert plugin.wait_controls(2)[-1] == b'{"type":"SIM_CONTROL","action":"SET_PAUSE","paused":false}\n'
    assert client.wait_type("sim_event", start=start, event="pause").message["data"] == 0
    assert process.wait_for_output("[INFO ] SIM_CONTROL SET_PAUSE received: false (ACARS sim control)", 5)


def test_crash_session_and_aircraft_changes_raise_sim_events(bridge, clients, plugin, xplane_process):
    process, client = connected_bridge(bridge, clients, "--xplane")
    go_active(client)
    time.sleep(0.5)

    def events_after(start, settle=1.0):
        time.sleep(settle)
        return [payload(m) for m in client.messages(start, "sim_event")]

    start = client.mark()
    plugin.set(crash_detected=True)
    client.wait_type("sim_event", start=start, event="crashed")
    assert events_after(start) == [{"type": "sim_event", "event": "crashed", "data": 1}]
    start = client.mark()
    plugin.set(crash_detected=False)
    assert events_after(start) == []

    start = client.mark()
    plugin.set(session_id=8)
    client.wait_type("sim_event", start=start, event="sim_stop")
    assert events_after(start) == [{"type": "sim_event", "event": "sim_stop", "data": 0}]

    # A new session with another aircraft in the same datagram ends one flight.
    start = client.mark()
    plugin.set(session_id=9, aircraft_name="Second Aircraft")
    client.wait_type("sim_event", start=start, event="sim_stop")
    assert events_after(start) == [{"type": "sim_event", "event": "sim_stop", "data": 0}]
    assert client.messages(start, "aircraft_info")[-1]["title"] == "Second Aircraft"

    start = client.mark()
    plugin.set(aircraft_name="Third Aircraft")
    client.wait_type("sim_event", start=start, event="sim_stop")
    assert events_after(start) == [{"type": "sim_event", "event": "sim_stop", "data": 0}]


def test_slewing_shows_in_alert_data(bridge, clients, plugin, xplane_process):
    process, client = connected_bridge(bridge, clients, "--xplane")
    go_active(client)
    time.sleep(0.5)
    start = client.mark()
    # Two nautical miles a second: far too fast for an aircraft on the ground.
    began = time.monotonic()
    while time.monotonic() - began < 6.0:
        plugin.set(lat=FULL["lat"] + (time.monotonic() - began) * 2.0 / 60.0)
        if any(m["isSlewActive"] for m in client.messages(start, "alert_data")):
            break
        time.sleep(0.05)
    slewing = client.wait_for(lambda m: m.get("type") == "alert_data" and m["isSlewActive"], 1.0, start)
    assert payload(slewing.message) == {"type": "alert_data", "overspeedWarning": False, "stallWarning": False,
                                        "isSlewActive": True}
    # Standing still for two seconds ends it.
    start = client.mark()
    calm = client.wait_for(lambda m: m.get("type") == "alert_data", 8.0, start)
    assert calm.message["isSlewActive"] is False


def sized_datagram(latitude, size):
    """A flight datagram padded with an unknown key to exactly `size` bytes."""
    text = json.dumps({"lat": latitude, "lon": latitude, "alt_ft": 500.0, "pad": ""})
    return text.replace('"pad": ""', '"pad": "%s"' % ("x" * (size - len(text)))).encode()


def test_bad_datagrams_are_dropped_and_the_bridge_goes_on(bridge, clients, plugin, xplane_process):
    process, client = connected_bridge(bridge, clients, "--xplane")
    go_active(client)
    start = client.mark()
    dropped = [
        b"\xff\xfe\x00 not json",
        b"[10.5, 10.5]",
        b'"10.5"',
        b"{" * 1500,
        b'{"lat": 10.5, "lon": 10.5, "alt_ft": 1',
        b'{"type": "xp10_telemetry", "lat": 10.5, "lon": 10.5, "alt_ft": 1}',
        b'{"lat": "nan", "lon": 10.5, "alt_ft": 1}',
        b'{"lat": 10.5, "lon": "east", "alt_ft": 1}',
        b'{"lat": 10.5, "lon": 10.5}',
        sized_datagram(10.5, 2048),
        sized_datagram(10.5, 4000),
    ]
    accepted = [
        (b'{"lat": "11.5", "lon": " 11.25 deg", "alt_ft": "100"}', (11.5, 11.25, 100.0)),
        (b'{"type": "xp11_telemetry", "lat": 12.5, "lon": 12.5, "alt_m": 100}', (12.5, 12.5, 328.0)),
        (b'{"type": 11, "lat": 13.5, "lon": 13.5, "alt_ind_ft": 200.4}', (13.5, 13.5, 200.0)),
        (sized_datagram(14.5, 2047), (14.5, 14.5, 500.0)),
    ]
    for data in dropped:
        plugin.send_now(data)
    for data, _ in accepted:
        plugin.send_now(data)
    for data, (lat, lon, alt) in accepted:
        frame = client.wait_for(lambda m: m.get("type") == "flight_data" and m["latitude"] == lat, start=start)
        assert (frame.message["longitude"], frame.message["altitude"]) == (lon, alt), data
    time.sleep(0.5)
    latitudes = {m["latitude"] for m in client.messages(start, "flight_data")}
    assert 10.5 not in latitudes
    assert process.returncode is None
    health = client.command({"type": "STATUS"})
    assert health["type"] == "response"


def test_sim_control_without_a_simulator(bridge, clients, plugin):
    process = bridge("--xplane", env=clean_env())
    client = clients(process)
    answer = client.command({"type": "SIM_CONTROL", "action": "SET_PAUSE", "paused": True})
    assert payload(answer) == {"type": "error", "success": False, "error": "Simulator is not connected"}
    time.sleep(0.3)
    assert plugin.controls == []


def test_stale_telemetry_in_active_disconnects_and_recovers(bridge, clients, plugin, xplane_process):
    process, client = connected_bridge(bridge, clients, "--xplane")
    go_active(client)
    time.sleep(0.5)

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
    assert back.at - resumed < 5.0
    assert payload(back.message)["state"] == "ACTIVE"
    client.wait_type("flight_data", start=start)


@pytest.mark.parametrize("how", ["SIGTERM", "SHUTDOWN"])
def test_stop_while_connected_closes_clients_and_frees_the_port(how, bridge, clients, plugin, xplane_process):
    process, client = connected_bridge(bridge, clients, "--xplane")
    other = clients(process)
    go_active(client)
    if how == "SIGTERM":
        process.send_signal(signal.SIGTERM)
    else:
        answer = client.command({"type": "SHUTDOWN", "reason": "e2e"})
        assert answer["type"] == "response" and answer["message"] == "Shutdown initiated"
    for each in (client, other):
        assert each.wait_closed() == (1001, "Server shutting down")
    assert process.wait() == 0
    out = process.stdout
    marker = ("Shutdown signal received, shutting down gracefully..." if how == "SIGTERM"
              else "Graceful shutdown requested via WebSocket")
    assert out.index(marker) < out.index("\n\nShutting down...\n") < out.index("[INFO ] Bridge stopped successfully")
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
    assert process.wait_for_output(re.compile(
        r"\r\[Status\] X-Plane: DETECTED \| XPlane Plugin: CONNECTED \| Clients: 1 {10}"), 5)
    # Once connected, the line never names a next attempt.
    connected = [line for line in status_lines(process) if "XPlane Plugin: CONNECTED " in line]
    assert connected and all("Next attempt" not in line for line in connected)


@pytest.mark.parametrize("mode, expected", [
    ("--xplane", "X-Plane: NOT_DETECTED | XPlane Plugin: DISCONNECTED | Clients: 0"),
    ("--msfs", "MSFS: NOT_DETECTED | SimConnect: DISCONNECTED | Clients: 0"),
])
def test_status_line_labels_per_mode(mode, expected, bridge):
    process = bridge("--verbose", mode, env=clean_env())
    assert process.wait_for_output("\r[Status] " + expected + " " * 10, 5)
    quiet = bridge(mode, env=clean_env())
    time.sleep(2.5)
    assert "[Status]" not in quiet.stdout
    assert quiet.stop() == 0
    assert "[Status]" not in quiet.stdout
