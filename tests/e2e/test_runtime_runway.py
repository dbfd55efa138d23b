"""REQUEST_RUNWAY_INFO end to end against a small X-Plane tree built for each
test (found through XPLANE_ROOT or --xplane-root), and the on-runway flag it
feeds. Bridges in X-Plane mode reach for the plugin ports, hence the lock."""

import math
import struct

import pytest

from runtime_support import Plugin, clean_env, fake_xplane_process, payload, round_to

pytestmark = pytest.mark.usefixtures("plugin_ports")

FEET_PER_METRE = 3.280839895013123
EARTH_RADIUS = 6371000.0

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

16    0 0 0 KSEA Seaplane Test Base
100 20.00 6 0 0.25 0 0 0 N 37.60000000 -122.30000000 0 0 0 0 0 0 S 37.59000000 -122.30000000 0 0 0 0 0 0

99
"""

CUSTOM_APT = """I
1100 Version

1     20 0 0 KCUS Custom Only Field
100 60.00 2 0 0.25 0 2 1 04C 37.70000000 -122.40000000 0 0 3 0 0 1 22C 37.71000000 -122.39000000 0 0 3 0 0 1
99
"""


def write(path, text):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(text)


@pytest.fixture
def xplane_tree(tmp_path):
    root = tmp_path / "X-Plane 12"
    write(root / "Global Scenery" / "Global Airports" / "Earth nav data" / "apt.dat", GLOBAL_APT)
    write(root / "Custom Scenery" / "Navorel Pack" / "Earth nav data" / "apt.dat", CUSTOM_APT)
    write(root / "Custom Scenery" / "scenery_packs.ini",
          "I\n1000 Version\nSCENERY\n\nSCENERY_PACK Custom Scenery/Navorel Pack/\n"
          "SCENERY_PACK_DISABLED Custom Scenery/Missing/\n")
    return root


def f32(value):
    return struct.unpack("<f", struct.pack("<f", value))[0]


def ends_geometry(lat1, lon1, lat2, lon2):
    p1, p2 = math.radians(lat1), math.radians(lat2)
    dl = math.radians(lon2 - lon1)
    a = math.sin((p2 - p1) / 2) ** 2 + math.cos(p1) * math.cos(p2) * math.sin(dl / 2) ** 2
    length = 2 * math.atan2(math.sqrt(a), math.sqrt(1 - a)) * EARTH_RADIUS
    heading = math.degrees(math.atan2(math.sin(dl) * math.cos(p2),
                                      math.cos(p1) * math.sin(p2) - math.sin(p1) * math.cos(p2) * math.cos(dl)))
    return length, heading + 360 if heading < 0 else heading


def threshold(present, metres=0.0, width_ft=0.0):
    if not present:
        return {"enabled": False, "present": False, "lengthFt": 0.0, "widthFt": 0.0}
    return {"enabled": True, "present": True, "lengthFt": round_to(f32(metres * FEET_PER_METRE), 0),
            "widthFt": round_to(width_ft, 0)}


def runway(elevation_ft, width_m, surface, names, ends, displaced=(0.0, 0.0)):
    (lat1, lon1), (lat2, lon2) = ends
    length, heading = ends_geometry(lat1, lon1, lat2, lon2)
    width_ft = f32(width_m * FEET_PER_METRE)
    (n1, c1, d1, i1), (n2, c2, d2, i2) = names
    return {
        "latitude": round_to((lat1 + lat2) / 2, 6), "longitude": round_to((lon1 + lon2) / 2, 6),
        "altitudeFt": round_to(elevation_ft, 0), "headingDegrees": round_to(f32(heading), 1),
        "lengthFt": round_to(f32(length * FEET_PER_METRE), 0), "widthFt": round_to(width_ft, 0),
        "surfaceCode": surface[0], "surface": surface[1],
        "primaryNumber": n1, "primaryDesignatorCode": c1, "primaryDesignator": d1, "primaryIdent": i1,
        "secondaryNumber": n2, "secondaryDesignatorCode": c2, "secondaryDesignator": d2, "secondaryIdent": i2,
        "primaryThreshold": threshold(displaced[0] > 0, displaced[0], width_ft),
        "secondaryThreshold": threshold(displaced[1] > 0, displaced[1], width_ft),
    }


EXPECTED_KNAV = {
    "type": "runway_info",
    "icao": "KNAV",
    "airport": {"name": "Navorel Test Field", "icao": "KNAV", "region": "K2", "latitude": 37.5,
                "longitude": -122.25, "altitudeFt": 13.0, "magneticVariation": 13.5, "runwayCount": 2},
    "runways": [
        runway(13, 45.72, (4, "Asphalt"), ((9, 1, "L", "09L"), (27, 2, "R", "27R")),
               ((37.5, -122.26), (37.501, -122.24)), displaced=(150.0, 0.0)),
        runway(13, 30.0, (1, "Grass"), ((18, 0, "", "18"), (36, 0, "", "36")),
               ((37.51, -122.255), (37.49, -122.255))),
    ],
}


def request(client, icao):
    return client.command({"type": "REQUEST_RUNWAY_INFO", "icao": icao})


def answer_for(client, icao, start):
    return client.wait_for(lambda m: m.get("type") in ("runway_info", "runway_info_error") and m.get("icao") == icao,
                           start=start).message


def assert_same(actual, expected):
    """Runway messages compared with a tolerance of a rounding step's billionth."""
    if isinstance(expected, dict):
        assert isinstance(actual, dict) and sorted(actual) == sorted(expected), (actual, expected)
        for key in expected:
            assert_same(actual[key], expected[key])
    elif isinstance(expected, list):
        assert isinstance(actual, list) and len(actual) == len(expected), (actual, expected)
        for a, e in zip(actual, expected):
            assert_same(a, e)
    elif isinstance(expected, float):
        assert isinstance(actual, float) and actual == pytest.approx(expected, abs=1e-9), (actual, expected)
    else:
        assert actual == expected and type(actual) is type(expected), (actual, expected)


def test_xplane_root_variable_answers_with_runway_info(bridge, clients, xplane_tree):
    process = bridge("--xplane", env=clean_env(XPLANE_ROOT=xplane_tree))
    client = clients(process)
    bystander = clients(process)

    start, seen = client.mark(), bystander.mark()
    answer = request(client, "knav")
    assert payload(answer) == {"type": "response", "success": True, "message": "Runway info request accepted",
                               "data": {"requestId": 10000, "icao": "KNAV"}}
    info = answer_for(client, "KNAV", start)
    assert_same(payload(info), EXPECTED_KNAV)
    assert_same(payload(answer_for(bystander, "KNAV", seen)), EXPECTED_KNAV)
    frame = client.wait_type("runway_info", start=start)
    assert '"runways":[{"altitudeFt":13.0,' in frame.text

    # The same airport again (now from the cache), a custom-scenery airport,
    # a seaplane base with compass designators and water, an unknown one.
    start = client.mark()
    assert request(client, "KNAV")["data"] == {"requestId": 10001, "icao": "KNAV"}
    assert_same(payload(answer_for(client, "KNAV", start)), EXPECTED_KNAV)
    assert request(client, "kcus")["data"]["requestId"] == 10002
    info = answer_for(client, "KCUS", start)
    airport, custom = info["airport"], info["runways"][0]
    assert (airport["name"], airport["runwayCount"], airport["region"], airport["magneticVariation"]) == (
        "Custom Only Field", 1, "", 0.0)
    assert (custom["primaryIdent"], custom["secondaryIdent"], custom["surface"]) == ("04C", "22C", "Concrete")
    # Without datum rows the position is the mean of the runway centres.
    assert airport["latitude"] == pytest.approx(37.705, abs=1e-9)
    request(client, "KSEA")
    sea = answer_for(client, "KSEA", start)["runways"][0]
    assert (sea["primaryNumber"], sea["primaryIdent"], sea["secondaryIdent"], sea["surface"]) == (37, "N", "S", "Water")
    assert request(client, "KZZZ")["data"] == {"requestId": 10004, "icao": "KZZZ"}
    error = answer_for(client, "KZZZ", start)
    assert payload(error) == {"type": "runway_info_error", "icao": "KZZZ", "error": "Airport not found in apt.dat"}

    # Codes outside 3..5 characters are refused at once; no id is used.
    for code in ("KN", "KNAVXX"):
        answer = request(client, code)
        assert payload(answer) == {"type": "error", "success": False,
                                   "error": "ICAO must be between 3 and 5 characters"}
    assert request(client, "KNAV")["data"]["requestId"] == 10005


def test_install_choice_and_its_errors(bridge, clients, xplane_tree, tmp_path):
    empty = tmp_path / "not an install"
    empty.mkdir()
    no_apt = "No apt.dat files found under X-Plane root"
    not_found = "Unable to locate X-Plane install path (set XPLANE_ROOT or --xplane-root)"
    for args, env, error in [
            (["--xplane-root", xplane_tree], {"XPLANE_ROOT": empty}, None),  # the option wins
            (["--xplane-root", empty], {"XPLANE_ROOT": xplane_tree}, no_apt),  # and has no fallback
            ([], {"XPLANE_ROOT": empty, "XPLANE_HOME": xplane_tree}, not_found)]:  # nor has the variable
        process = bridge("--xplane", *args, env=clean_env(**env))
        client = clients(process)
        start = client.mark()
        request(client, "KNAV")
        answer = payload(answer_for(client, "KNAV", start))
        if error is None:
            assert_same(answer, EXPECTED_KNAV)
        else:
            assert answer == {"type": "runway_info_error", "icao": "KNAV", "error": error}, args
        process.stop()


def test_nearest_airport_runways_give_the_on_runway_flag(bridge, clients, xplane_tree):
    # In ACTIVE the provider loads the plugin's nearest airport and computes
    # whether the aircraft is on one of its runways when the plugin does not say.
    on_runway = {"type": "xp12_telemetry", "lat": 37.5005, "lon": -122.25, "alt_ft": 13.0, "sim_on_ground": True,
                 "nearest_airport_icao": "KNAV", "aircraft_name": "Runway Tester"}
    with fake_xplane_process(), Plugin(on_runway, rate=20.0) as plugin:
        process = bridge("--xplane", env=clean_env(XPLANE_ROOT=xplane_tree))
        client = clients(process)
        client.wait_status(15, sim_connected=True)
        client.set_state("PREFLIGHT")
        start = client.mark()
        client.set_state("ACTIVE")
        # The sample re-delivered at the change to ACTIVE predates the airport
        # lookup; the next ones carry the computed flag.
        on = client.wait_for(lambda m: m.get("type") == "systems_data" and m["onAnyRunway"] is True, start=start)
        assert on.message["simOnGround"] is True
        start = client.mark()
        plugin.set(lat=37.52, lon=-122.2)  # on the grass, away from both runways
        assert client.wait_type("systems_data", start=start).message["onAnyRunway"] is False
