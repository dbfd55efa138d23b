# Smoke test of a running bridge that also runs the Windows build under Wine
# (NAVOREL_BRIDGE_LAUNCHER names the Wine wrapper; loopback TCP to the Wine
# process works like any other): start, /health, one client exchange,
# SHUTDOWN, exit code 0.

import json
import os
import shutil
import subprocess
import threading

import pytest

from conftest import LAUNCHER, Client, free_port, http_get, payload, wait_until

WAIT = 30.0


def test_start_health_client_exchange_and_shutdown(bridge):
    requested = free_port()
    process = bridge("--msfs", port=requested)
    status, _, headers, body = http_get(requested, "/health", timeout=WAIT)
    assert (process.port, status, headers["Content-Type"]) == (requested, 200, "application/json")
    assert payload(json.loads(body)) == {"status": "healthy", "service": "Navorel Bridge", "version": "1.0.0",
                                         "connections": 0, "maxConnections": 5, "acceptingConnections": True}

    client = Client(requested, timeout=WAIT)
    process.clients.append(client)
    welcome, status = client.wait("connection", WAIT), client.wait("sim_status", WAIT)
    assert (welcome["status"], welcome["server"]["currentConnections"]) == ("connected", 1)
    assert (status["sim_detected"], status["sim_connected"], status["state"]) == (False, False, "IDLE")
    start = client.mark()
    client.send({"type": "ping"})
    assert sorted(client.wait("pong", WAIT, start=start)) == ["timestamp", "type"]
    start = client.mark()
    answer = client.command({"type": "SET_STATE", "state": "PREFLIGHT", "reason": "smoke"}, WAIT)
    assert (answer["type"], answer["success"], answer["message"]) == ("response", True, "State changed to PREFLIGHT")
    assert client.wait("sim_status", WAIT, start=start)["state"] == "PREFLIGHT"
    answer = client.command({"type": "SHUTDOWN", "reason": "smoke"}, WAIT)
    assert (answer["type"], answer["message"]) == ("response", "Shutdown initiated")
    assert client.wait_closed(WAIT) == (1001, "Server shutting down")
    assert process.wait(60) == 0 and "Shutting down..." in process.stdout
    # Quiet by default: only errors would reach the console (Wine may add its own lines).
    assert "[ERROR]" not in process.stderr


def test_msfs_over_the_named_pipe(bridge, tmp_path):
    # The fake simulator, named as the simulator is, is its own stand-in process; with no
    # SimConnect.cfg the bridge takes the simulator's named pipe.
    tools = os.environ.get("NAVOREL_TOOLS_DIR")
    if not LAUNCHER or not tools:
        pytest.skip("named pipes are the Windows build's")
    simulator = tmp_path / "FlightSimulator.exe"
    shutil.copy(os.path.join(tools, "fake_simulator.exe"), simulator)
    sim = subprocess.Popen([*LAUNCHER, str(simulator), "--port", str(free_port()), "--no-ipv6", "--variant", "2024"],
                           stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    output = []
    threading.Thread(target=lambda: output.extend(sim.stdout), daemon=True).start()
    try:
        assert wait_until(lambda: any(line.startswith("listen pipe") for line in output), WAIT * 4), output
        process = bridge("--msfs")
        client = Client(process.port, timeout=WAIT)
        process.clients.append(client)
        client.wait("sim_status", WAIT * 2, sim_connected=True)
        assert any(line.startswith("connected pipe") for line in output), output
        client.set_state("PREFLIGHT")
        client.set_state("ACTIVE")
        assert client.wait("acars_info", WAIT)["sim_variant"] == "2024"
        client.wait("flight_data", WAIT)
    finally:
        sim.kill()
        sim.wait(WAIT)
