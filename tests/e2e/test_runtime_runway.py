# REQUEST_RUNWAY_INFO against a small X-Plane tree built for each test, and
# the on-runway flag it feeds. (X-Plane mode reaches for the plugin ports.)

import errno
import json
import os
import time

import pytest

from conftest import Plugin, fake_xplane_process, payload

pytestmark = pytest.mark.usefixtures("plugin_ports")

GLOBAL_APT_PATH = "Global Scenery/Global Airports/Earth nav data/apt.dat"
GLOBAL_APT = """I
1100 Version - data cycle 2024.01 - Navorel test data

1     13 0 0 KNAV Navorel Test Field
1302 city San Mateo
1302 region_code K2
1302 datum_lat 37.500000
1302 datum_lon -122.250000
1302 magnetic_variation 13.5
100 45.72 1 0 0.25 0 2 1 09L 37.50000000 -122.26000000 150.00 0 3 0 0 1 27R 37.50100000 -122.24000000 0.00 0 3 0 0 1
100 30.00 3 0 0.25 0 0 0 18 37.51000000 -122.25500000 0.00 0 1 0 0 0 36 37.49000000 -122.25500000 -5 0 1 0 0 0
110 2 0.25 0.00 Taxiway
111 37.5 -122.25
99
"""

CUSTOM_APT = """I
1100 Version

1     20 0 0 KCUS Custom Only Field
100 60.00 2 0 0.25 0 2 1 04C 37.70000000 -122.40000000 0 0 3 0 0 1 22C 37.71000000 -122.39000000 0 0 3 0 0 1
99
"""
SCENERY_PACKS = ("I\n1000 Version\nSCENERY\n\nSCENERY_PACK Custom Scenery/Navorel Pack/\n"
                 "SCENERY_PACK_DISABLED Custom Scenery/Missing/\n")

NO_THRESHOLD = {"enabled": False, "present": False, "lengthFt": 0.0, "widthFt": 0.0}
EXPECTED_KNAV = {
    "type": "runway_info", "icao": "KNAV",
    "airport": {"name": "Navorel Test Field", "icao": "KNAV", "region": "K2", "latitude": 37.5, "longitude": -122.25,
                "altitudeFt": 13.0, "magneticVariation": 13.5, "runwayCount": 2},
    "runways": [
        {"latitude": 37.5005, "longitude": -122.25, "altitudeFt": 13.0, "headingDegrees": 86.4, "lengthFt": 5800.0,
         "widthFt": 150.0, "surfaceCode": 4, "surface": "Asphalt",
         "primaryNumber": 9, "primaryDesignatorCode": 1, "primaryDesignator": "L", "primaryIdent": "09L",
         "secondaryNumber": 27, "secondaryDesignatorCode": 2, "secondaryDesignator": "R", "secondaryIdent": "27R",
         "primaryThreshold": {"enabled": True, "present": True, "lengthFt": 492.0, "widthFt": 150.0},
         "secondaryThreshold": NO_THRESHOLD},
        {"latitude": 37.5, "longitude": -122.255, "altitudeFt": 13.0, "headingDegrees": 180.0, "lengthFt": 7296.0,
         "widthFt": 98.0, "surfaceCode": 1, "surface": "Grass",
         "primaryNumber": 18, "primaryDesignatorCode": 0, "primaryDesignator": "", "primaryIdent": "18",
         "secondaryNumber": 36, "secondaryDesignatorCode": 0, "secondaryDesignator": "", "secondaryIdent": "36",
         "primaryThreshold": NO_THRESHOLD, "secondaryThreshold": NO_THRESHOLD},
    ],
}
# On the ground on runway 09L/27R of KNAV, the plugin's nearest airport.
ON_RUNWAY = {"type": "xp12_telemetry", "lat": 37.5005, "lon": -122.25, "alt_ft": 13.0, "sim_on_ground": True,
             "nearest_airport_icao": "KNAV"}


def as_json(message):
    return json.dumps(payload(message), sort_keys=True)  # tells 13.0 from 13


@pytest.fixture
def xplane_tree(tmp_path):
    root = tmp_path / "X-Plane 12"
    for path, text in [(GLOBAL_APT_PATH, GLOBAL_APT), ("Custom Scenery/scenery_packs.ini", SCENERY_PACKS),
                       ("Custom Scenery/Navorel Pack/Earth nav data/apt.dat", CUSTOM_APT)]:
        (root / path).parent.mkdir(parents=True, exist_ok=True)
        (root / path).write_text(text)
    return root


def request(client, icao):
    # (the command's answer, the runway_info or runway_info_error that follows)
    start = client.mark()
    answer = client.command({"type": "REQUEST_RUNWAY_INFO", "icao": icao})
    return answer, client.wait(lambda m: m["type"] in ("runway_info", "runway_info_error") and
                               m.get("icao") == icao.upper(), start=start)


def test_xplane_root_variable_answers_with_runway_info(bridge, xplane_tree):
    process = bridge("--xplane", env={"XPLANE_ROOT": xplane_tree})
    client, bystander = process.client(), process.client()
    answer, info = request(client, "knav")
    assert payload(answer) == {"type": "response", "success": True, "message": "Runway info request accepted",
                               "data": {"requestId": 10000, "icao": "KNAV"}}
    assert as_json(info) == as_json(EXPECTED_KNAV)
    assert bystander.wait("runway_info", icao="KNAV") == info  # sent to every client
    # Again (from the cache), a custom-scenery airport, an unknown one.
    answer, again = request(client, "KNAV")
    assert answer["data"]["requestId"] == 10001 and as_json(again) == as_json(EXPECTED_KNAV)
    answer, custom = request(client, "kcus")
    assert answer["data"]["requestId"] == 10002 and custom["airport"]["name"] == "Custom Only Field"
    answer, error = request(client, "KZZZ")
    assert answer["data"] == {"requestId": 10003, "icao": "KZZZ"}
    assert payload(error) == {"type": "runway_info_error", "icao": "KZZZ", "error": "Airport not found in apt.dat"}
    # Codes outside 3..5 characters are refused at once; no id is used.
    for code in ("KN", "KNAVXX"):
        assert payload(client.command({"type": "REQUEST_RUNWAY_INFO", "icao": code})) == {
            "type": "error", "success": False, "error": "ICAO must be between 3 and 5 characters"}
    assert request(client, "KNAV")[0]["data"]["requestId"] == 10004


def test_install_choice_and_its_errors(bridge, xplane_tree, tmp_path):
    empty = tmp_path / "not an install"
    empty.mkdir()
    no_apt = "No apt.dat files found under X-Plane root"
    not_found = "Unable to locate X-Plane install path (set XPLANE_ROOT or --xplane-root)"
    cases = [(["--xplane-root", xplane_tree], {"XPLANE_ROOT": empty}, None),  # the option wins
             (["--xplane-root", empty], {"XPLANE_ROOT": xplane_tree}, no_apt),  # and has no fallback
             ([], {"XPLANE_ROOT": empty, "XPLANE_HOME": xplane_tree}, not_found)]  # nor has the variable
    bridges = [bridge("--xplane", *args, env=env) for args, env, _ in cases]
    for process, (args, _, error) in zip(bridges, cases):
        info = request(process.client(), "KNAV")[1]
        expected = EXPECTED_KNAV if error is None else {"type": "runway_info_error", "icao": "KNAV", "error": error}
        assert as_json(info) == as_json(expected), args


def test_a_scenery_scan_that_blocks_never_holds_up_a_client(bridge, tmp_path):
    # A nearest-airport scan that blocks (here reading an apt.dat that is a
    # FIFO nobody writes yet) must not hold up the main loop: clients are
    # answered meanwhile. Once it has read, the runways give the on-runway
    # flag that the plugin does not send.
    root = tmp_path / "X-Plane 12"
    apt = root / GLOBAL_APT_PATH
    apt.parent.mkdir(parents=True)
    os.mkfifo(apt)
    writer = None
    with fake_xplane_process(), Plugin(ON_RUNWAY) as plugin:
        process = bridge("--xplane", env={"XPLANE_ROOT": root})
        client = process.client()
        client.wait("sim_status", 15, sim_connected=True)
        client.set_state("ACTIVE")
        deadline = time.monotonic() + 15
        while writer is None:  # the scan has opened the FIFO once a writer can
            try:
                writer = os.open(apt, os.O_WRONLY | os.O_NONBLOCK)
            except OSError as error:
                assert error.errno == errno.ENXIO and time.monotonic() < deadline, error
                time.sleep(0.05)
        try:
            for command in ({"type": "STATUS"}, {"type": "SET_STATE", "state": "PREFLIGHT"},
                            {"type": "SET_STATE", "state": "ACTIVE"}, {"type": "ping"}):
                began, start = time.monotonic(), client.mark()
                client.send(command)
                client.wait(lambda m: m["type"] in ("response", "pong"), 5, start)
                assert time.monotonic() - began < 2.0, command
        finally:
            os.write(writer, GLOBAL_APT.encode())
            os.close(writer)
        on = client.wait(lambda m: m["type"] == "systems_data" and m["onAnyRunway"] is True)
        assert on["simOnGround"] is True
        start = client.mark()
        plugin.set(lat=37.52, lon=-122.2)  # on the grass, away from both runways
        assert client.wait("systems_data", start=start)["onAnyRunway"] is False
