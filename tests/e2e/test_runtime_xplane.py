# The bridge with X-Plane: a stand-in X-Plane process for its process watch
# and a scripted plugin on UDP. A stand-in X-Plane makes every bridge on the
# machine reach for the fixed plugin ports, hence the lock.

import json
import re
import signal
import socket
import time

import pytest

from conftest import TELEMETRY_PORT, Plugin, fake_xplane_process, now_ticks, payload, port_is_free, wait_until

pytestmark = pytest.mark.usefixtures("plugin_ports")

# Process polling is every 5 s and the first connection attempt follows at
# once, so detection plus connection takes up to about 6 s (more under load).
DETECT = 15.0
STATUS = "\r[Status] %s | Clients: 1" + " " * 10
NEXT_ATTEMPT = re.compile(r"\r\[Status\] X-Plane: DETECTED \| XPlane Plugin: CONNECTION_FAILED \| Clients: 1 "
                          r"\| Next attempt in: [1-9]\d*s {10}")
TELEMETRY = ("flight_data", "aircraft_info", "landing_data", "systems_data", "equipment_data", "alert_data",
             "environment_data", "sim_event")

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
SUMMARY = {"type": "preflight_data", "latitude": 47.123457, "longitude": -122.345678, "groundSpeedGps": 12.4,
           "fuelVolume": 330.2, "fuelWeight": 2205.0, "title": "Navorel Test Aircraft \u2708", "parkingBrake": True,
           "simOnGround": True, "engine1Running": True, "engine2Running": False, "engine3Running": False,
           "engine4Running": False}
# Rounding halves away from zero, as C's round().
EXPECTED = {
    "flight_data": {
        "type": "flight_data", "latitude": 47.123457, "longitude": -122.345678, "altitude": 1235.0,
        "altitudeIndicated": -13.0, "altitudeAgl": 99.0, "heading": 123.5, "airspeedIndicated": 250.3,
        "verticalSpeed": -1240.0, "pitch": 2.35, "bank": -1.0, "groundSpeedGps": 12.4, "fuelVolume": 330.2,
        "fuelWeight": 2205.0, "pressureAltitude": 1501.0},
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
    # The Linux name of X-Plane's executable selects the plugin like the Windows one.
    "acars_info": {"type": "acars_info", "sim_family": "X-Plane", "sim_variant": "12", "sim_process": "X-Plane-x86_64",
                   "bridge_name": "Navorel Bridge", "bridge_version": "1.0.0"},
}


def telemetry(frames):
    return [f for f in frames if f["type"] in TELEMETRY]


def quiet_for(client, seconds):
    start = client.mark()
    time.sleep(seconds)
    return client.since(start)


def sized_datagram(latitude, size):
    # A flight datagram padded with an unknown key to exactly `size` bytes.
    text = json.dumps({"lat": latitude, "lon": latitude, "alt_ft": 500.0, "pad": ""})
    return text.replace('"pad": ""', '"pad": "%s"' % ("x" * (size - len(text)))).encode()


def test_detection_failed_attempts_connection_process_end_and_simconnect(bridge):
    process = bridge("--verbose")  # auto mode: the process found picks the simulator
    client = process.client()
    assert payload(client.wait("sim_status")) == {"type": "sim_status", "sim_detected": False,
                                                  "sim_connected": False, "state": "IDLE"}
    assert wait_until(lambda: STATUS % "AUTO: NOT_DETECTED | AUTO: DISCONNECTED" in process.stdout, 5)
    with Plugin(FULL), socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as holder, \
            fake_xplane_process("X-PLANE.EXE") as xplane:  # a capitalised name is X-Plane too
        holder.bind(("127.0.0.1", TELEMETRY_PORT))  # the first connection attempts fail
        assert client.wait("sim_status", DETECT, sim_detected=True)["sim_connected"] is False
        assert wait_until(lambda: NEXT_ATTEMPT.search(process.stdout), 20)
        holder.close()
        client.wait("sim_status", 30, sim_connected=True)
        assert wait_until(lambda: STATUS % "X-Plane: DETECTED | XPlane Plugin: CONNECTED" in process.stdout, 5)
        client.set_state("PREFLIGHT")
        client.set_state("ACTIVE")
        assert client.wait("acars_info")["sim_process"] == "X-PLANE.EXE"
        start = client.mark()
        xplane.kill()
        xplane.wait()
        assert client.wait("sim_event", DETECT, start=start, event="sim_stop")["data"] == 0
        lost = client.wait("sim_status", DETECT, start=start, sim_detected=False)
        assert payload(lost) == {"type": "sim_status", "sim_detected": False, "sim_connected": False,
                                 "state": "ACTIVE"}
        # The provider let go of the telemetry port; the plugin's datagrams now go nowhere.
        assert wait_until(lambda: port_is_free(TELEMETRY_PORT), 5)
        assert telemetry(quiet_for(client, 1.0)) == []
        # Once connected, the status line never named a next attempt.
        connected = [line for line in process.stdout.split("\r") if "XPlane Plugin: CONNECTED " in line]
        assert connected and all("Next attempt" not in line for line in connected)

        # A Flight Simulator process selects SimConnect, which cannot connect
        # here; the plugin's telemetry goes unheard.
        start = client.mark()
        with fake_xplane_process("FlightSimulator.exe"):
            assert client.wait("sim_status", DETECT, start=start, sim_detected=True)["sim_connected"] is False
            assert wait_until(lambda: "\r[Status] MSFS: DETECTED | SimConnect: CONNECTION_FAILED" in process.stdout)
            assert port_is_free(TELEMETRY_PORT) and telemetry(quiet_for(client, 1.0)) == []
            answer = client.command({"type": "REQUEST_RUNWAY_INFO", "icao": "KSFO"})
            assert answer["error"] == "SimConnect is not connected"


def test_a_flight_from_idle_to_sigterm(bridge):
    with Plugin(FULL) as plugin, fake_xplane_process("X-Plane-x86_64"):
        process = bridge("--verbose")
        client = process.client()
        client.wait("sim_status", DETECT, sim_connected=True)

        # IDLE: the plugin sends, nothing telemetry-like reaches the client.
        assert [f for f in quiet_for(client, 1.5) if f["type"] in TELEMETRY + ("preflight_data", "acars_info")] == []

        # PREFLIGHT: a summary about once a second.
        start = client.mark()
        client.set_state("PREFLIGHT")
        first = client.wait("preflight_data", start=start)
        time.sleep(2.7)
        summaries = client.since(start, "preflight_data")
        gaps = [b.at - a.at for a, b in zip(summaries, summaries[1:])]
        assert 2 <= len(summaries) <= 5 and all(0.7 <= gap <= 2.0 for gap in gaps), gaps
        assert telemetry(client.since(start)) == []
        assert payload(first) == SUMMARY and "\u2708" in first.text  # non-ASCII text is written as it is

        # ACTIVE: every telemetry kind with its rounding, acars_info exactly once.
        start = client.mark()
        client.set_state("ACTIVE")
        for kind in ("flight_data", "equipment_data", "aircraft_info", "systems_data"):
            client.wait(kind, start=start)
        plugin.set(stall_warning=1)  # alert data goes out on a change only
        client.wait("alert_data", start=start)
        time.sleep(1.5)
        active = client.since(start)
        for kind, expected in EXPECTED.items():
            assert client.since(start, kind) and all(payload(f) == expected for f in client.since(start, kind)), kind
        for frame in active:  # the one check of the JSON form (compact, sorted keys, 1.0) and the 100-ns timestamp
            assert frame.text == json.dumps(frame, separators=(",", ":"), sort_keys=True, ensure_ascii=False)
            assert isinstance(frame["timestamp"], int) and abs(frame["timestamp"] - now_ticks()) < 60 * 10**7
        # 20 datagrams a second: flight and equipment data for (nearly) each one,
        # systems and alert data only on a change, no summary any more.
        assert len(client.since(start, "flight_data")) >= 20
        assert [len(client.since(start, kind)) for kind in ("systems_data", "alert_data", "acars_info")] == [1, 1, 1]
        assert [f for f in active if f["type"] in ("preflight_data", "landing_data", "environment_data")] == []

        # Airborne, flaps down, too fast: one systems_data for the change, and
        # the alert follows its triple.
        start = client.mark()
        plugin.set(sim_on_ground=False, alt_agl_ft=500.0, vs_fpm=-700.0, flaps_handle_ratio=1.0, ias_kt=351.0)
        systems = client.wait("systems_data", start=start)
        assert (systems["simOnGround"], systems["flapsHandleIndex"]) == (False, 4.0)
        overspeed = client.wait("alert_data", start=start)
        assert overspeed["overspeedWarning"] is True and overspeed["stallWarning"] is True
        time.sleep(1.0)
        assert len(client.since(start, "systems_data")) == len(client.since(start, "alert_data")) == 1

        # Touchdown: one landing_data with the values of that moment, unrounded,
        # here in the same datagram as a crash (both reach the client intact).
        start = client.mark()
        plugin.set(sim_on_ground=True, alt_agl_ft=0.0, lat=47.1234567891, lon=-122.3456789012, bank_deg=-1.25,
                   hdg_deg=275.55, pitch_deg=3.755, vs_fpm=-152.37, crash_detected=True)
        landing = client.wait("landing_data", start=start)
        time.sleep(1.5)
        assert len(client.since(start, "landing_data")) == 1
        assert payload(landing) == {
            "type": "landing_data", "touchdownBankDegrees": -1.25, "touchdownHeadingDegreesMagnetic": 275.55,
            "touchdownLatitudeDegrees": 47.1234567891, "touchdownLongitudeDegrees": -122.3456789012,
            "touchdownPitchDegrees": 3.755, "touchdownRate": -152.37}
        assert [payload(m) for m in client.since(start, "sim_event")] == [
            {"type": "sim_event", "event": "crashed", "data": 1}]
        assert client.since(start, "systems_data")[-1]["simOnGround"] is True

        # SIM_CONTROL reaches the plugin's control port; the plugin obeys and the
        # bridge reports the pause it then sees: once, after the hold time.
        for count, (paused, text) in enumerate([(True, "Pause command sent"), (False, "Unpause command sent")], 1):
            start, sent = client.mark(), time.monotonic()
            command = dict({"type": "SIM_CONTROL", "action": "SET_PAUSE", "paused": paused},
                           **({"reason": "e2e pause"} if paused else {}))
            assert payload(client.command(command)) == {"type": "response", "success": True, "message": text,
                                                        "data": {"paused": paused}}
            assert wait_until(lambda: len(plugin.controls) >= count), plugin.controls
            assert plugin.controls[-1] == b'{"type":"SIM_CONTROL","action":"SET_PAUSE","paused":%s}\n' % (
                json.dumps(paused).encode())
            event = client.wait("sim_event", start=start, event="pause")
            assert event["data"] == int(paused) and event.at - sent >= 0.2
            time.sleep(1.0)
            assert len(client.since(start, "sim_event")) == 1

        # Slewing: two nautical miles a second, far too fast for an aircraft on the ground.
        plugin.set(ias_kt=FULL["ias_kt"], stall_warning=0)
        start, began, lat = client.mark(), time.monotonic(), plugin.fields["lat"]
        while time.monotonic() - began < 6.0 and not any(m["isSlewActive"] for m in client.since(start, "alert_data")):
            plugin.set(lat=lat + (time.monotonic() - began) * 2.0 / 60.0)
            time.sleep(0.05)
        slewing = client.wait(lambda m: m["type"] == "alert_data" and m["isSlewActive"], 1.0, start)
        assert payload(slewing) == {"type": "alert_data", "overspeedWarning": False, "stallWarning": False,
                                    "isSlewActive": True}
        # Standing still for two seconds ends it.
        assert client.wait("alert_data", 8.0, start=client.mark())["isSlewActive"] is False

        # The crash ending, a new session, a new aircraft: each raises its event once.
        stop = {"type": "sim_event", "event": "sim_stop", "data": 0}
        for change, events in [({"crash_detected": False}, []), ({"session_id": 8}, [stop]),
                               ({"session_id": 9, "aircraft_name": "Second"}, [stop]),
                               ({"aircraft_name": "Third"}, [stop])]:
            start = client.mark()
            plugin.set(**change)
            if events:
                client.wait("sim_event", start=start, event="sim_stop")
            time.sleep(1.0)
            assert [payload(m) for m in client.since(start, "sim_event")] == events, change
        assert client.since(start, "aircraft_info")[-1]["title"] == "Third"

        # Bad datagrams are dropped; numbers as strings and metre altitudes are read.
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
            frame = client.wait(lambda m: m["type"] == "flight_data" and m["latitude"] == lat, start=start)
            assert (frame["longitude"], frame["altitude"]) == (lon, alt), data
        time.sleep(0.5)
        assert 10.5 not in {m["latitude"] for m in client.since(start, "flight_data")}
        assert client.command({"type": "STATUS"})["type"] == "response"

        # Stale telemetry in ACTIVE disconnects; reconnection attempts meanwhile
        # must not replay the last sample as news; fresh telemetry recovers.
        start = client.mark()
        plugin.sending = False
        stopped = time.monotonic()
        lost = client.wait("sim_status", 12, start=start, sim_connected=False)
        assert payload(lost) == {"type": "sim_status", "sim_detected": True, "sim_connected": False,
                                 "state": "ACTIVE"}
        assert 4.5 <= lost.at - stopped <= 9.0, lost.at - stopped
        time.sleep(3.0)
        assert [f for f in telemetry(client.since(start)) if f.at > lost.at] == []
        assert len(client.since(start, "sim_status")) == 1
        start = client.mark()
        plugin.sending = True
        resumed = time.monotonic()
        back = client.wait("sim_status", 10, start=start, sim_connected=True)
        assert back.at - resumed < 5.0 and back["state"] == "ACTIVE"
        client.wait("flight_data", start=start)

        # IDLE again: telemetry stops.
        client.set_state("IDLE")
        time.sleep(0.3)
        assert telemetry(quiet_for(client, 1.5)) == []

        # SIGTERM while connected closes every client and frees the port.
        other = process.client()
        process.send_signal(signal.SIGTERM)
        assert client.wait_closed() == other.wait_closed() == (1001, "Server shutting down")
        assert process.wait() == 0 and process.stderr == ""
        assert port_is_free(TELEMETRY_PORT)
