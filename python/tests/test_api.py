"""The shape of the API: scenes, nodes, parameters, files and errors."""
import json
import os
import signal
import stat
import subprocess
import time

import pytest

import morvane
from conftest import interrupted_after
from conftest import EXAMPLES, run_mhost


def test_scenes_make_find_list_and_remove_nodes():
    scene = morvane.Scene()
    assert {"null", "quenlo"} <= set(scene.types())
    assert any(m.endswith("OBJ_Quenlo.so") for m in scene.modules())
    a = scene.create("null", "a")
    b = scene.create("null")  # the host picks a name
    assert b.name and b.name != "a" and b.type == "null"
    assert scene.node("a") == a and scene["a"] == a and "a" in scene and len(scene) == 2
    assert [n.name for n in scene] == ["a", b.name] == [n.name for n in scene.nodes()]
    assert repr(a) == "<Node a (null)>" and repr(scene) == "<Scene 2 nodes>"
    scene.remove(a)
    scene.remove(b.name)
    assert len(scene) == 0 and repr(a) == "<Node a (removed)>"


def test_parameters_describe_themselves_and_take_menu_tokens():
    q = morvane.Scene().create("quenlo", "q")
    interp = q.parm("interp")
    assert interp.type == "menu" and interp.menu[1][0] == "quat" and interp.default == (0.0,)
    q.set("interp", "quat")
    assert q.get("interp") == 1.0
    t = q.parm("t0")
    assert t.size == 3 and t.type == "float" and t.visible
    q.set("t0", 5.0, component=2)
    assert q.get("t0") == (0.0, 0.0, 5.0)
    # In the node's own order: the inherited object parameters, then the
    # Quenlo folder with key 0 before the list of further keys.
    tokens = [p.token for p in q.parms()]
    assert tokens[0] == "keeppos" and tokens.index("t") < tokens.index("quenloswitcher")
    assert tokens.index("interp") < tokens.index("driverval") < tokens.index("keyval0")
    assert tokens.index("t0") < tokens.index("numkeys")


def test_version_is_the_projects_and_nodes_keep_their_identity():
    status, out, _ = run_mhost("--version")
    assert status == 0 and out.split() == ["mhost", morvane.__version__]
    assert not hasattr(morvane, "Warning") and morvane.CookWarning.__name__ == "CookWarning"
    scene = morvane.Scene()
    first = scene.create("null", "a")
    kept = {first}
    scene.remove(first)
    # Made again, under the same name and likely at the same address: another node.
    again = scene.create("null", "a")
    assert again != first and again not in kept and again == scene["a"]
    assert hash(again) == hash(scene["a"])


def test_inputs_are_wired_read_and_cut():
    scene = morvane.Scene()
    a, b = scene.create("null", "a"), scene.create("null", "b")
    b.set_input(0, a)
    assert b.input(0) == a and b.inputs() == [a]
    b.set_input(0, None)
    assert b.input(0) is None


def test_save_load_and_save_are_byte_identical(keyed_rig, tmp_path):
    scene, q, dummy = keyed_rig
    q.keyframes("driverval", [(0, 0.0), (2, 10.0)])
    first = tmp_path / "first.json"
    second = tmp_path / "second.json"
    scene.save(str(first))
    loaded = morvane.Scene.load(str(first))
    loaded.save(str(second))
    assert first.read_bytes() == second.read_bytes()
    assert loaded["q"].cook(1.0).local.tolist() == q.cook(1.0).local.tolist()
    # The example scene too.
    example = os.path.join(EXAMPLES, "rig.scene.json")
    morvane.Scene.load(example).save(str(second))
    assert second.read_bytes() == open(example, "rb").read()


def test_a_save_over_a_file_changed_since_it_was_loaded_raises_and_writes_nothing(tmp_path):
    path = tmp_path / "scene.json"
    morvane.Scene().save(str(path))
    mine = morvane.Scene.load(str(path))
    mine.create("null", "mine")
    theirs = morvane.Scene.load(str(path))
    theirs.create("null", "theirs")
    theirs.save(str(path))  # another program saves meanwhile
    saved = path.read_bytes()
    with pytest.raises(morvane.FileChangedError, match="changed since it was read") as raised:
        mine.save(str(path))
    assert isinstance(raised.value, OSError) and str(path) in str(raised.value)
    assert path.read_bytes() == saved and os.listdir(tmp_path) == ["scene.json"]
    # Elsewhere, or over it when asked: then the file is the scene's own.
    mine.save(str(tmp_path / "copy.json"))
    mine.save(str(path), overwrite=True)
    mine.create("null", "more")
    mine.save(str(path))
    assert set(n.name for n in morvane.Scene.load(str(path))) == {"mine", "more"}


def test_no_write_replaces_the_scenes_file_or_a_loaded_module(tmp_path, monkeypatch):
    example = os.path.join(EXAMPLES, "rig.scene.json")
    path = tmp_path / "shot.json"
    path.write_bytes(open(example, "rb").read())
    scene = morvane.Scene.load(str(path))
    monkeypatch.chdir(tmp_path)
    before = path.read_bytes()
    (tmp_path / "sub").mkdir()
    for write in (lambda: scene["arm"].export_keys("shot.json"),
                  lambda: scene["arm"].export_keys(str(tmp_path / "sub" / ".." / "shot.json")),
                  lambda: scene["arm"].viewer(0, 1, 4).save("./shot.json")):
        with pytest.raises(OSError, match="is the same file as the file the scene was read from"):
            write()
    assert path.read_bytes() == before
    module = scene.modules()[0]
    with pytest.raises(OSError, match="is the same file as the loaded module"):
        scene.save(module)
    # The scene saved over its own file is updated in place.
    scene["base"].set("t", (1, 2, 3))
    scene.save("shot.json")
    assert morvane.Scene.load("shot.json")["base"].get("t") == (1.0, 2.0, 3.0)


def test_a_file_deleted_since_it_was_loaded_is_a_change_the_save_refuses(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    morvane.Scene().save("scene.json")
    mine = morvane.Scene.load("scene.json")
    os.remove("scene.json")
    with pytest.raises(morvane.FileChangedError, match="changed since it was read"):
        mine.save("scene.json")
    assert os.listdir(tmp_path) == []


def test_saving_keeps_the_files_permissions_and_follows_links(tmp_path):
    scene = morvane.Scene()
    scene.create("null", "a")
    target = tmp_path / "target.json"
    target.write_text("old")
    os.chmod(target, 0o640)
    link = tmp_path / "link.json"
    link.symlink_to(target)
    scene.save(str(link))
    assert link.is_symlink() and '"a"' in target.read_text()
    assert stat.S_IMODE(os.stat(target).st_mode) == 0o640


@pytest.mark.parametrize("action, error, words", [
    (lambda s: s.create("nosuchtype", "x"), KeyError, "unknown node type \"nosuchtype\""),
    (lambda s: s.node("nobody"), KeyError, "no node named \"nobody\""),
    (lambda s: s["q"].set("nosuchparm", 1), KeyError, "has no parameter \"nosuchparm\""),
    (lambda s: s["q"].get("nosuchparm"), KeyError, "nosuchparm"),
    (lambda s: s["q"].set("t0", "text"), TypeError, "takes numbers, not text"),
    (lambda s: s["q"].set("tags", 3), TypeError, "takes text, not a number"),
    (lambda s: s["q"].set("t0", [1, 2, 3, 4]), TypeError, "has 3 component(s); 4 values given"),
    (lambda s: s["q"].set("t0", 1, component=3), IndexError, "component 3 is missing"),
    (lambda s: s["q"].set("t0", {"x": 1}), TypeError, "expected a number or text"),
    (lambda s: s["q"].set("interp", "slerp"), ValueError, "no menu item \"slerp\""),
    (lambda s: s["q"].set("numkeys", -1), ValueError, "numkeys"),
    (lambda s: s["q"].set("t0", 1, time=float("nan")), ValueError, "time"),
    (lambda s: s["q"].press("t0"), ValueError, "is not a button"),
    (lambda s: s["q"].set_input(5, None), IndexError, "has no input 5"),
    (lambda s: s["q"].input(-1), IndexError, "has no input -1"),
    (lambda s: s["a"].set_input(0, s["q"]) or s["q"].set_input(0, s["a"]), ValueError, "cycle"),
    (lambda s: s["q"].keyframes("t0", [(0, 1), (0, 2)]), ValueError, "two keyframes at time 0"),
    (lambda s: s["q"].sweep(0, 1, 0), ValueError, "steps"),
    (lambda s: s["q"].sweep(0, 1, 2, token="interp"), ValueError, "not a number parameter"),
    (lambda s: s.create("null", "q"), ValueError, "already exists"),
    (lambda s: morvane.Scene.load("/no/such/scene.json"), OSError, "cannot read"),
    (lambda s: s.save("/no/such/folder/scene.json"), OSError, "/no/such/folder/scene.json"),
    (lambda s: morvane.Scene(modules=["/no/such/module.so"]), ValueError, "module does not load"),
])
def test_every_kind_of_bad_input_raises_with_mhosts_message(action, error, words):
    scene = morvane.Scene()
    scene.create("quenlo", "q")
    scene.create("null", "a")
    with pytest.raises(error) as raised:
        action(scene)
    assert words in str(raised.value)


def test_a_malformed_scene_file_raises_value_error_naming_the_place(tmp_path):
    bad = tmp_path / "bad.json"
    bad.write_text('{"format": "mhost-scene", "version": 1, "nodes": [{"name": "a", "type": "null", '
                   '"parms": {"t": [1, 2]}}]}')
    with pytest.raises(ValueError) as raised:
        morvane.Scene.load(str(bad))
    assert "parameter \"t\"" in str(raised.value) and "bad.json" in str(raised.value)


def test_a_removed_node_raises_instead_of_crashing():
    scene = morvane.Scene()
    a = scene.create("null", "a")
    scene.remove(a)
    with pytest.raises(KeyError):
        a.cook()
    scene.create("null", "a")  # another node of the same name
    with pytest.raises(KeyError):
        a.get("t")


def test_every_function_has_a_docstring():
    for cls in (morvane.Scene, morvane.Node, morvane.Cook, morvane.Transform):
        for name, member in vars(cls).items():
            if not name.startswith("_") and callable(member):
                assert member.__doc__ and len(member.__doc__.splitlines()) > 1, (cls, name)
    assert "user" in morvane.Node.set.__doc__


def test_a_module_folder_that_holds_nothing_is_a_user_warning(tmp_path, monkeypatch):
    missing = tmp_path / "no-such-folder"
    folders = os.environ.get("MORVANE_DSO_PATH", "&")
    monkeypatch.setenv("MORVANE_DSO_PATH", f"{missing}:{folders}")
    with pytest.warns(UserWarning, match=f'module folder "{missing}".*does not exist'):
        scene = morvane.Scene()
    assert "quenlo" in scene.types()


def test_ctrl_c_stops_long_sweeps_and_puts_the_driver_back():
    scene = morvane.Scene()
    # Thousands of keys at 0: every cook of a driver above them scans them all.
    many = scene.create("quenlo", "many")
    many.set("numkeys", 2000)
    many.keyframes("driverval", [(0, 0.5), (10, 1.0)])
    assert interrupted_after(0.3, lambda: many.sweep(0.5, 1, 100000)) < 1.0
    assert many.parm("driverval").animated and many.get("driverval", time=5) == 0.75

    # A chain of keyed nodes: every step of a time sweep cooks them all.
    parent = None
    for i in range(300):
        node = scene.create("quenlo", f"q{i}")
        node.set_input(0, parent)
        node.set("numkeys", 1)
        node.set("t1", (1, 2, 3))
        parent = node
    parent.keyframes("driverval", [(0, 0.0), (10, 1.0)])
    assert interrupted_after(0.3, lambda: parent.sweep_time(0, 10, 100000)) < 1.0
    assert parent.get("driverval", time=5) == 0.5


def test_ctrl_c_stops_a_long_scene_load(tmp_path):
    # Half a million nodes: several seconds to read whole.
    nodes = [{"name": f"n{i}", "type": "null"} for i in range(500000)]
    path = tmp_path / "big.json"
    path.write_text(json.dumps({"format": "mhost-scene", "version": 1, "modules": [], "nodes": nodes}))
    assert interrupted_after(0.3, lambda: morvane.Scene.load(str(path))) < 1.0
