"""The machine-wide lock of the X-Plane plugin ports.

Every process on this machine that binds the plugin ports 49005/49006, or
starts a bridge that binds them (the end-to-end tests, the runtime
benchmark), holds this lock meanwhile, so that parallel runs never collide.
"""

import contextlib
import fcntl
import tempfile
import time
from pathlib import Path

TELEMETRY_PORT = 49005
CONTROL_PORT = 49006
PORTS_LOCK = Path(tempfile.gettempdir()) / "navorel-xplane-plugin-ports.lock"


@contextlib.contextmanager
def plugin_ports_lock(wait_seconds):
    """Holds the lock; TimeoutError when another run keeps it longer than wait_seconds."""
    with open(PORTS_LOCK, "a") as lock:
        deadline = time.monotonic() + wait_seconds
        while True:
            try:
                fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
                break
            except BlockingIOError:
                if time.monotonic() > deadline:
                    raise TimeoutError("the X-Plane plugin ports stayed locked by another run")
                time.sleep(0.2)
        try:
            yield
        finally:
            fcntl.flock(lock, fcntl.LOCK_UN)
