"""Rigs driven from Python give what mhost gives, key by key."""
import json
import math
import os

import numpy as np
import pytest

import morvane
from conftest import EXAMPLES, mhost_lines, run_mhost


def matrix(flat):
    return np.array(flat, dtype=float).reshape(4, 4)


def test_the_worked_example_rebuilt_in_python_gives_mhosts_numbers():
    lines = mhost_lines("run", os.path.join(EXAMPLES, "rig.json"))
    evals = [line for line in lines if line["op"] == "eval"]

    scene = morvane.Scene()
    base = scene.create("null", "base")
    dummy = scene.create("null", "dummy")
    arm = scene.create("quenlo", "arm")
    arm.set_input(0, base)
    arm.set_input(1, dummy)
    base.set("t", [0, 1, 0])
    arm.set("driverval", 0)
    arm.press("getkey0")
    arm.set("driverval", 0.5)
    dummy.set("t", [0, 2, 0])
    dummy.set("r", [0, 0, 45])
    arm.press("getkey1")
    arm.set("numkeys", 2)
    arm.set("driverval", 1)
    dummy.set("t", [1.5, 2.5, 0])
    dummy.set("r", [0, 0, 90])
    dummy.set("s", [1.5, 1, 1])
    arm.press("getkey2")
    arm.set("interp", "quat")
    arm.set("ease", 1)
    arm.set("driverval", 0.25)
    cook = arm.cook()

    assert len(evals) == 1
    assert np.array_equal(cook.local, matrix(evals[0]["local"]))
    assert np.array_equal(cook.world, matrix(evals[0]["world"]))
    assert cook.result == evals[0]["result"] and cook.severity == 0
    t, r, s = arm.transform()
    assert t == pytest.approx((0, 1, 0)) and r == pytest.approx((0, 0, 22.5)) and s == pytest.approx((1, 1, 1))

    # Put key 1 back on the dummy, as the script does.
    assert arm.press("putkey1") == []
    assert dummy.get("t") == (0.0, 2.0, 0.0)


def replay(scene, actions):
    """Carries out a script's actions through the Python API; returns the
    Cook of each "eval"."""
    cooks = []
    for a in actions:
        op = a.get("op")
        if op == "create":
            scene.create(a["type"], a.get("name"))
        elif op == "wire":
            scene.node(a["node"]).set_input(a["input"], scene.node(a["from"]) if a["from"] else None)
        elif op == "set":
            scene.node(a["node"]).set(a["parm"], a["value"], a.get("time", 0.0), a.get("component"))
        elif op == "keyframes":
            scene.node(a["node"]).keyframes(a["parm"], [tuple(k) for k in a["keys"]], a.get("component", 0))
        elif op == "press":
            scene.node(a["node"]).press(a["parm"], a.get("time", 0.0))
        elif op == "eval":
            cooks.append(scene.node(a["node"]).cook(a.get("time", 0.0)))
    return cooks


def test_a_script_and_the_same_steps_in_python_give_identical_matrices(tmp_path):
    actions = json.load(open(os.path.join(EXAMPLES, "rig.json")))["actions"]
    # Cook along the way and at times the keyframed driver reaches.
    actions = actions + [{"op": "eval", "node": "arm", "time": t} for t in (0.0, 0.3, 1.0, 1.5, 2.0, 7.0)]
    actions += [{"op": "set", "node": "arm", "parm": "interp", "value": 0},
                {"op": "eval", "node": "arm", "time": 0.7}]
    script = tmp_path / "rig.json"
    script.write_text(json.dumps(actions))
    evals = [line for line in mhost_lines("run", str(script)) if line["op"] == "eval"]
    cooks = replay(morvane.Scene(), actions)
    assert len(cooks) == len(evals) == 8
    for cook, line in zip(cooks, evals):
        assert np.array_equal(cook.local, matrix(line["local"])), line["time"]
        assert np.array_equal(cook.world, matrix(line["world"])), line["time"]


def test_get_key_put_key_and_reset_transform_through_python(keyed_rig):
    scene, q, dummy = keyed_rig
    # Keys hold the dummy's pose and the driver value at the press.
    assert q.get("keyval1") == 4.0
    assert q.get("t1") == (2.0, 1.0, 0.0)
    assert q.get("r2") == (0.0, 75.0, 90.0)
    # Between keys the pose is blended.
    q.set("driverval", 2.0)
    t, r, _ = q.transform()
    assert t == pytest.approx((1.0, 0.5, 0.0)) and r == pytest.approx((0.0, 22.5, 0.0))
    # Put key poses the dummy as the key.
    dummy.set("t", (9, 9, 9))
    assert q.press("putkey1") == []
    assert dummy.get("t") == (2.0, 1.0, 0.0)
    assert dummy.get("r") == (0.0, 45.0, 0.0)
    # Reset transform puts a key back to the identity pose.
    assert q.press("reset1") == []
    assert q.get("t1") == (0.0, 0.0, 0.0) and q.get("r1") == (0.0, 0.0, 0.0)
    assert q.get("s1") == (1.0, 1.0, 1.0)


def test_warnings_reach_python(keyed_rig):
    scene, q, dummy = keyed_rig
    q.set_input(1, None)
    warnings = q.press("putkey1")
    assert [w.code for w in warnings] and all(w.severity == 3 for w in warnings)
    assert str(warnings[0]) == warnings[0].message and "not connected" in warnings[0].message
    # A dummy posed in another transform order than key 0's is captured in
    # key 0's order, with a warning from the press and from the cooks after it.
    q.set_input(1, dummy)
    dummy.set("xOrd", "trs")
    expected = ["Transform order doesn't match quenlo object"]
    assert [w.message for w in q.press("getkey1")] == expected
    cook = q.cook()
    assert cook.severity == 3 and [w.message for w in cook.warnings] == expected


def test_a_sweep_matches_mhosts_and_puts_the_driver_back(keyed_rig, tmp_path):
    scene, q, dummy = keyed_rig
    q.keyframes("driverval", [(0, 1.0), (2, 9.0)])
    path = str(tmp_path / "rig.scene.json")
    scene.save(path)
    sweep = q.sweep(0, 10, 20)
    assert sweep.shape == (21,) and sweep["local"].shape == (21, 4, 4)
    assert sweep["driver"][0] == 0 and sweep["driver"][-1] == 10
    assert q.parm("driverval").animated and q.get("driverval", 1.0) == 5.0
    status, out, err = run_mhost("eval", path, "q", "--driver", "0:10:20", "--format", "json")
    assert status == 0, err
    rows = json.loads(out)["rows"]
    for row, mine in zip(rows, sweep):
        assert np.array_equal(mine["local"], matrix(row["local"]))
        assert mine["driver"] == row["driver"]
    # Any number parameter sweeps; its rows are the values it took.
    tx = q.sweep(-1, 1, 2, token="scale")
    assert list(tx["driver"]) == [-1.0, 0.0, 1.0]


def test_keyframes_replace_a_channel_and_an_empty_list_makes_it_constant(keyed_rig):
    scene, q, dummy = keyed_rig
    dummy.keyframes("t", [(1.0, 10.0), (0.0, 0.0)], component=1)
    # The fixture left the dummy at (4, 2, 3).
    assert dummy.get("t", 0.5) == (4.0, 5.0, 3.0)
    assert dummy.parm("t").animated
    dummy.keyframes("t", [], component=1)
    assert not dummy.parm("t").animated and dummy.get("t", 0.5) == (4.0, 0.0, 3.0)


def test_cook_matrices_are_row_vector_numpy_arrays():
    scene = morvane.Scene()
    parent = scene.create("null", "parent")
    child = scene.create("null", "child")
    child.set_input(0, parent)
    parent.set("t", (1, 2, 3))
    child.set("r", (0, 0, 90))
    child.set("t", (1, 0, 0))
    cook = child.cook()
    assert cook.local.dtype == np.float64 and cook.local.shape == (4, 4)
    # The child's origin lands at its translate, then the parent's.
    origin = np.array([0, 0, 0, 1.0]) @ cook.world
    assert origin[:3] == pytest.approx((2, 2, 3))
    x_axis = np.array([1, 0, 0, 0.0]) @ cook.local
    assert x_axis[:3] == pytest.approx((0, 1, 0))


def test_the_readme_example_runs(tmp_path):
    import subprocess
    import sys
    done = subprocess.run([sys.executable, os.path.join(EXAMPLES, "rig.py")], cwd=tmp_path,
                          capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    if (tmp_path / "rig.png").exists():
        return  # matplotlib drew it
    lines = done.stdout.splitlines()
    assert len(lines) == 9
    assert lines[4].startswith("0.500 t=[0. 2. 0.] rz=45.00")
    assert lines[-1].startswith("1.000 t=[1.5 2.5 0. ] rz=90.00")
