"""Shared helpers of the morvane tests: the built mhost, the examples and
a rig with keys made by Get key."""
import json
import os
import shutil
import signal
import subprocess
import time

import pytest

import morvane


def find_mhost():
    """MHOST_BINARY when set; else the mhost that came with the package (an
    installed wheel keeps it in morvane/bin/, a build tree two folders up
    from build/python/morvane/); else the one on PATH."""
    if "MHOST_BINARY" in os.environ:
        return os.environ["MHOST_BINARY"]
    package = os.path.dirname(morvane.__file__)
    for place in (os.path.join(package, "bin"), os.path.join(package, "..", "..")):
        candidate = os.path.join(place, "mhost")
        if os.access(candidate, os.X_OK):
            return os.path.normpath(candidate)
    return shutil.which("mhost") or "mhost"


MHOST = find_mhost()
EXAMPLES = os.environ.get("MORVANE_EXAMPLES", os.path.join(os.path.dirname(__file__), "..", "..", "examples"))


def run_mhost(*args, cwd=None):
    """Runs mhost; returns (status, stdout, stderr)."""
    done = subprocess.run([MHOST, *args], cwd=cwd, capture_output=True, text=True)
    return done.returncode, done.stdout, done.stderr


def mhost_lines(*args, cwd=None):
    """The JSON lines mhost run prints, after checking it succeeded."""
    status, out, err = run_mhost(*args, cwd=cwd)
    assert status == 0, err
    return [json.loads(line) for line in out.splitlines()]


@pytest.fixture
def keyed_rig():
    """A dummy wired into input 1 of a quenlo node "q" with three keys made
    by Get key: driver 0 at the origin, 4 raised and turned, 10 reached out."""
    scene = morvane.Scene()
    dummy = scene.create("null", "dummy")
    q = scene.create("quenlo", "q")
    q.set_input(1, dummy)
    q.set("numkeys", 2)
    poses = [(0.0, (0, 0, 0), (0, 0, 0)), (4.0, (2, 1, 0), (0, 45, 0)), (10.0, (4, 2, 3), (0, 75, 90))]
    for key, (driver, t, r) in enumerate(poses):
        q.set("driverval", driver)
        dummy.set("t", t)
        dummy.set("r", r)
        assert q.press("getkey%d" % key) == []
    return scene, q, dummy


def interrupted_after(seconds, call):
    """Has another process send SIGINT to this one after `seconds` while call
    runs (a thread could not: the sweep holds the GIL, which a Ctrl-C
    from the terminal does not need); returns how long after the signal
    call ended, which must be by KeyboardInterrupt. Python's own handler
    is put in place meanwhile (a Dask cluster, for one, leaves its own)."""
    handler = signal.signal(signal.SIGINT, signal.default_int_handler)
    sender = subprocess.Popen(["sh", "-c", f"sleep {seconds}; kill -INT {os.getpid()}"])
    started = time.monotonic()
    try:
        with pytest.raises(KeyboardInterrupt):
            call()
    finally:
        sender.wait()
        signal.signal(signal.SIGINT, handler)
    return time.monotonic() - started - seconds
