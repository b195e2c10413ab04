"""The key tools from Python, and the same key edits made through mhost run,
Python and the editor saving one and the same scene."""
import http.client
import json
import os
import shutil
import subprocess

import pytest

import morvane
from conftest import MHOST


def keyed(scene, name, drivers):
    """A quenlo node with a key at each driver value, each posed differently."""
    node = scene.create("quenlo", name)
    node.set("numkeys", len(drivers) - 1)
    keys = node.keys()
    for key, driver in zip(keys, drivers):
        key.driver = driver
        key.translate = (driver, 2 * driver, 0.5)
        key.rotate = (10 * driver, 30 * driver, -5 * driver)
        key.pivot = (0.25, 0.0, -0.25)
    node.set_keys(keys)
    return node


def test_keys_are_objects_with_the_library_fields_and_set_keys_writes_them():
    scene = morvane.Scene()
    q = keyed(scene, "q", [0.0, 1.0, 2.5])
    keys = q.keys()
    assert [k.driver for k in keys] == [0.0, 1.0, 2.5]
    assert keys[2].translate == (2.5, 5.0, 0.5) and keys[0].rotate_order == "xyz"
    assert q.get("numkeys") == 2.0 and q.get("t2") == (2.5, 5.0, 0.5)
    # Orders by name; a new key's defaults are the identity at driver 0.
    keys.append(morvane.Key(driver=4.0, rotate_order="zyx", uniform_scale=2.0))
    keys[1].enable = False
    q.set_keys(keys)
    assert q.get("numkeys") == 3.0 and q.get("rOrd3") == 5.0 and q.get("enable1") == 0.0
    assert q.keys() == keys
    with pytest.raises(ValueError, match="rotate order"):
        q.set_keys([morvane.Key(rotate_order="xyy")])
    with pytest.raises(ValueError, match="not a keyed node"):
        scene.create("null", "plain").keys()
    with pytest.raises(TypeError):
        morvane.Key(translate=(1.0, 2.0))


def test_every_key_tool_from_python(tmp_path):
    scene = morvane.Scene()
    left = keyed(scene, "arm_L", [0.0, 1.0, 2.0, 3.0])
    right = scene.create("quenlo", "arm_R")
    left.mirror_keys(right, axis="x")
    mirrored = right.keys()
    assert [k.translate[0] for k in mirrored] == [-k.translate[0] for k in left.keys()]
    assert [k.rotate[1] for k in mirrored] == [-k.rotate[1] for k in left.keys()]
    # The same by name, across another plane.
    left.mirror_keys("arm_R", axis="y")
    assert right.keys()[2].translate == (2.0, -4.0, 0.5)
    left.copy_keys(right)
    assert right.keys() == left.keys()

    left.set("driverval", 1.5)
    at = left.cook(0.0).local
    assert left.insert_key(1.5) == 2
    assert left.keys()[2].driver == 1.5 and len(left.keys()) == 5
    assert left.cook(0.0).local == pytest.approx(at, abs=1e-5)
    left.delete_key(2)
    assert [k.driver for k in left.keys()] == [0.0, 1.0, 2.0, 3.0]
    with pytest.raises(ValueError, match="key 0"):
        left.delete_key(0)
    with pytest.raises(IndexError):
        left.delete_key(9)
    left.retime_keys(2.0, 1.0)
    assert [k.driver for k in left.keys()] == [1.0, 3.0, 5.0, 7.0]
    keys = left.keys()
    keys[1].driver, keys[2].driver = 6.0, 4.0
    left.set_keys(keys)
    left.sort_keys()
    assert [k.driver for k in left.keys()] == [1.0, 4.0, 6.0, 7.0]

    path = tmp_path / "arm.keys.json"
    left.export_keys(str(path))
    library = json.loads(path.read_text())
    assert library["format"] == "mhost-keys" and len(library["keys"]) == 4
    right.import_keys(str(path))
    assert right.keys() == left.keys()
    with pytest.raises(KeyError):
        left.copy_keys("nowhere")
    with pytest.raises(ValueError, match="axis"):
        left.mirror_keys(right, axis="w")


# The edits of one rigging pass: each made in each of the three ways.
EDITS = [
    {"op": "insert-key", "node": "arm_L", "driver": 0.75},
    {"op": "retime-keys", "node": "arm_L", "scale": 2, "offset": 0.5},
    {"op": "delete-key", "node": "arm_L", "key": 1},
    {"op": "sort-keys", "node": "arm_L"},
    {"op": "mirror-keys", "node": "arm_L", "to": "arm_R", "axis": "x"},
    {"op": "copy-keys", "node": "arm_R", "to": "spare"},
]


def by_python(scene, edit):
    node = scene[edit["node"]]
    op = edit["op"]
    if op == "insert-key":
        node.insert_key(edit["driver"])
    elif op == "retime-keys":
        node.retime_keys(edit["scale"], edit["offset"])
    elif op == "delete-key":
        node.delete_key(edit["key"])
    elif op == "sort-keys":
        node.sort_keys()
    elif op == "mirror-keys":
        node.mirror_keys(edit["to"], axis=edit["axis"])
    elif op == "copy-keys":
        node.copy_keys(scene[edit["to"]])


def by_editor(scene_path):
    """Makes EDITS in mhost edit over its HTTP API, saves, and quits."""
    proc = subprocess.Popen([MHOST, "edit", scene_path, "--port", "0"], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)
    try:
        address = proc.stdout.readline().strip()
        port = int(address.split(":")[2].split("/")[0])
        headers = {"X-Mhost-Token": address.split("token=")[1],
                   "Content-Type": "application/json"}

        def post(path, body):
            conn = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
            conn.request("POST", path, body=json.dumps(body), headers=headers)
            response = conn.getresponse()
            data = response.read()
            conn.close()
            assert response.status == 200, (path, body, data)

        for edit in EDITS:
            post("/api/edit", {"edit": edit})
        post("/api/save", {})
        post("/api/quit", {})
        assert proc.wait(timeout=30) == 0
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()


def test_the_same_key_edits_through_mhost_run_python_and_the_editor_save_one_scene(tmp_path):
    start = morvane.Scene()
    keyed(start, "arm_L", [0.0, 1.0, 2.0])
    start.create("quenlo", "arm_R")
    start.create("quenlo", "spare")
    start.save(str(tmp_path / "start.json"))

    script = tmp_path / "edits.json"
    script.write_text(json.dumps(EDITS))
    done = subprocess.run([MHOST, "run", str(script), "--scene", str(tmp_path / "start.json"),
                           "--save", str(tmp_path / "run.json")], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr

    scene = morvane.Scene.load(str(tmp_path / "start.json"))
    for edit in EDITS:
        by_python(scene, edit)
    scene.save(str(tmp_path / "python.json"))

    shutil.copy(tmp_path / "start.json", tmp_path / "editor.json")
    by_editor(str(tmp_path / "editor.json"))

    made = (tmp_path / "run.json").read_bytes()
    assert made == (tmp_path / "python.json").read_bytes()
    assert made == (tmp_path / "editor.json").read_bytes()
    assert made != (tmp_path / "start.json").read_bytes()
    assert not [name for name in os.listdir(tmp_path) if ".mhost-" in name]
