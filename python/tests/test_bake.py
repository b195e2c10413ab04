"""Whole-scene bakes: mhost bake, Scene.bake and morvane.distributed.bake
give the same matrices bit for bit, whatever the workers, shares and way
the work is shared out; the files are what numpy and glTF readers expect."""
import json
import os
import struct

import numpy as np
import pytest

import morvane
from conftest import interrupted_after, run_mhost

STEPS = 48


def build_rig(scene):
    """An animated base with two chains of keyed nodes under it, and two
    chains standing alone: groups the bake can share out by nodes."""
    base = scene.create("null", "base")
    base.keyframes("t", [(0, 0), (2, 4)], component=0)
    base.keyframes("r", [(0, 0), (2, 90)], component=1)
    for c in range(4):
        parent = base if c % 2 == 0 else None
        for i in range(5):
            q = scene.create("quenlo", f"c{c}n{i}")
            q.set_input(0, parent)
            q.set("numkeys", 2)
            for k in range(3):
                q.set(f"keyval{k}", k)
                q.set(f"t{k}", (0.5 * k + 0.1 * c, 0.25 * i * k, 0))
                q.set(f"r{k}", (10.0 * k, 0, 15.0 * c * k))
                q.set(f"s{k}", (1 + 0.1 * k, 1, 1))
            q.keyframes("driverval", [(0, 0), (2, 2 + 0.1 * i)])
            parent = q
    return scene


@pytest.fixture(scope="module")
def rig(tmp_path_factory):
    path = tmp_path_factory.mktemp("bake") / "rig.json"
    scene = build_rig(morvane.Scene())
    scene.save(str(path))
    return str(path), morvane.Scene.load(str(path))


def mhost_bake(tmp_path, scene_path, out, *options):
    status, _, err = run_mhost("bake", scene_path, "--time", f"0:2:{STEPS}", "--out", str(tmp_path / out), *options)
    assert status == 0, err
    return err


def test_mhost_bake_scene_bake_and_eval_agree_whatever_the_workers(rig, tmp_path):
    path, scene = rig
    baked = scene.bake(0, 2, STEPS, threads=1)
    assert baked.world.shape == (STEPS + 1, 21, 4, 4) and baked.world.dtype == np.float64
    assert baked.names[:2] == ["base", "c0n0"] and baked.parents[:3] == [-1, 0, 1]
    for threads in (2, 3):
        other = scene.bake(0, 2, STEPS, threads=threads)
        assert other.world.tobytes() == baked.world.tobytes()
        assert other.local.tobytes() == baked.local.tobytes()

    # mhost shares this scene out by groups of nodes, Scene.bake by samples.
    for threads in ("1", "2"):
        mhost_bake(tmp_path, path, f"t{threads}.npy", "--threads", threads)
        world = np.load(tmp_path / f"t{threads}.npy")
        assert world.tobytes() == baked.world.tobytes()
        listing = json.loads((tmp_path / f"t{threads}.json").read_text())
        assert listing["nodes"] == baked.names
        assert listing["times"] == baked.times.tolist()

    # Each sample is a cook of the node at that time, as eval prints it.
    status, out, err = run_mhost("eval", path, "c2n4", "--time", f"0:2:{STEPS}", "--format", "json")
    assert status == 0, err
    rows = json.loads(out)["rows"]
    column = baked.names.index("c2n4")
    for sample, row in enumerate(rows):
        assert row["time"] == baked.times[sample]
        assert baked.local[sample, column].flatten().tolist() == row["local"]
        cook = scene.node("c2n4").cook(time=baked.times[sample])
        assert np.array_equal(cook.world, baked.world[sample, column])
    # Something moves: a bake of constants would pass the rest trivially.
    assert not np.array_equal(baked.world[0], baked.world[-1])


def test_shares_put_end_to_end_are_the_whole_bake(rig, tmp_path):
    path, scene = rig
    whole = scene.bake(0, 2, STEPS)
    parts = [(0, 0), (1, 17), (18, STEPS)]
    for i, (first, last) in enumerate(parts):
        mhost_bake(tmp_path, path, f"part{i}.npy", "--frames", f"{first}:{last}")
    joined = np.concatenate([np.load(tmp_path / f"part{i}.npy") for i in range(len(parts))])
    assert joined.tobytes() == whole.world.tobytes()
    share = scene.bake(0, 2, STEPS, frames=(18, STEPS))
    assert share.local.tobytes() == whole.local[18:].tobytes()
    assert share.times.tolist() == whole.times[18:].tolist()


def test_chosen_nodes_bring_the_nodes_they_read(rig, tmp_path):
    path, scene = rig
    whole = scene.bake(0, 2, 4)
    part = scene.bake(0, 2, 4, nodes=["c1n2", scene.node("c0n1")])
    assert part.names == ["base", "c0n0", "c0n1", "c1n0", "c1n1", "c1n2"]
    assert part.parents == [-1, 0, 1, -1, 3, 4]
    columns = [whole.names.index(n) for n in part.names]
    assert part.world.tobytes() == whole.world[:, columns].tobytes()
    status, _, err = run_mhost("bake", path, "--time", "0:2:4", "--nodes", "c1n2", "c0n1",
                               "--out", str(tmp_path / "some.npy"), "--threads", "2")
    assert status == 0, err
    assert json.loads((tmp_path / "some.json").read_text())["nodes"] == part.names
    assert np.load(tmp_path / "some.npy").tobytes() == part.world.tobytes()


def read_glb(path):
    data = path.read_bytes()
    magic, version, length = struct.unpack_from("<4sII", data)
    assert (magic, version, length) == (b"glTF", 2, len(data))
    size, kind = struct.unpack_from("<I4s", data, 12)
    assert kind == b"JSON"
    gltf = json.loads(data[20:20 + size])
    size2, kind2 = struct.unpack_from("<I4s", data, 20 + size)
    assert kind2 == b"BIN\0"
    return gltf, data[28 + size:28 + size + size2]


def accessor(gltf, binary, index):
    a = gltf["accessors"][index]
    view = gltf["bufferViews"][a["bufferView"]]
    width = {"SCALAR": 1, "VEC3": 3, "VEC4": 4}[a["type"]]
    start = view.get("byteOffset", 0) + a.get("byteOffset", 0)
    values = np.frombuffer(binary, dtype="<f4", count=a["count"] * width, offset=start)
    return values.reshape(a["count"], width).astype(np.float64)


def trs_matrix(t, q, s):
    """glTF's T * R * S for column vectors, transposed to the host's row vectors."""
    x, y, z, w = q
    r = np.array([[1 - 2 * (y * y + z * z), 2 * (x * y - z * w), 2 * (x * z + y * w)],
                  [2 * (x * y + z * w), 1 - 2 * (x * x + z * z), 2 * (y * z - x * w)],
                  [2 * (x * z - y * w), 2 * (y * z + x * w), 1 - 2 * (x * x + y * y)]])
    m = np.eye(4)
    m[:3, :3] = r * np.asarray(s)
    m[:3, 3] = t
    return m.T


def test_the_gltf_bake_recomposes_every_local_and_world_matrix(rig, tmp_path):
    path, scene = rig
    baked = scene.bake(0, 2, STEPS)
    mhost_bake(tmp_path, path, "rig.glb", "--threads", "2")
    gltf, binary = read_glb(tmp_path / "rig.glb")
    assert [n["name"] for n in gltf["nodes"]] == baked.names
    roots = gltf["scenes"][gltf["scene"]]["nodes"]
    assert roots == [i for i, p in enumerate(baked.parents) if p < 0]
    for i, node in enumerate(gltf["nodes"]):
        for child in node.get("children", []):
            assert baked.parents[child] == i
    [animation] = gltf["animations"]
    tracks = {}
    for channel in animation["channels"]:
        sampler = animation["samplers"][channel["sampler"]]
        times = accessor(gltf, binary, sampler["input"])[:, 0]
        assert np.allclose(times, baked.times, atol=1e-6)
        tracks[(channel["target"]["node"], channel["target"]["path"])] = accessor(gltf, binary, sampler["output"])
    assert len(tracks) == 3 * len(baked.names)
    for sample in (0, 17, STEPS):
        world = {}
        for n in range(len(baked.names)):
            local = trs_matrix(tracks[(n, "translation")][sample], tracks[(n, "rotation")][sample],
                               tracks[(n, "scale")][sample])
            assert np.allclose(local, baked.local[sample, n], atol=1e-4)
            parent = baked.parents[n]
            world[n] = local @ world[parent] if parent >= 0 else local
            assert np.allclose(world[n], baked.world[sample, n], atol=1e-3)
    # The text form holds the same scene.
    mhost_bake(tmp_path, path, "rig.gltf", "--threads", "1")
    text = json.loads((tmp_path / "rig.gltf").read_text())
    assert [n["name"] for n in text["nodes"]] == baked.names


def test_bake_save_writes_what_mhost_bake_writes(rig, tmp_path):
    path, scene = rig
    baked = scene.bake(0, 2, STEPS, frames=(4, 20))
    for out in ("rig.usda", "rig.npy", "rig.glb"):
        mhost_bake(tmp_path, path, out, "--frames", "4:20", "--threads", "2")
        assert baked.save(str(tmp_path / ("saved-" + out))) == []
    assert (tmp_path / "saved-rig.npy").read_bytes() == (tmp_path / "rig.npy").read_bytes()
    assert (tmp_path / "saved-rig.json").read_bytes() == (tmp_path / "rig.json").read_bytes()
    assert (tmp_path / "saved-rig.glb").read_bytes() == (tmp_path / "rig.glb").read_bytes()

    # The layer: the command's bytes but for the doc, which names the call.
    saved = (tmp_path / "saved-rig.usda").read_text().split("\n")
    written = (tmp_path / "rig.usda").read_text().split("\n")
    assert len(saved) == len(written) and saved[0] == "#usda 1.0"
    docs = [i for i, line in enumerate(written) if line.startswith("    doc = ")]
    assert docs == [2]
    assert saved[:2] + saved[3:] == written[:2] + written[3:]
    assert saved[2] == f'    doc = "Baked from {path} by mhost {morvane.__version__}: morvane Scene.bake(0, 2, {STEPS}, frames=(4, 20))"'
    assert "    startTimeCode = 4" in written and "    endTimeCode = 20" in written
    assert "    timeCodesPerSecond = 24" in written

    # A scene made in Python says so; the format follows the extension.
    made = morvane.Scene()
    made.create("null", "solo")
    made.bake(0, 1, 2).save(str(tmp_path / "made.usda"))
    assert 'doc = "Baked from a scene made in Python by' in (tmp_path / "made.usda").read_text()
    with pytest.raises(ValueError, match="must end in .npy, .glb, .gltf or .usda"):
        baked.save(str(tmp_path / "x.usd"))
    with pytest.raises(ValueError, match="times that increase"):
        scene.bake(2, 0, 4).save(str(tmp_path / "back.usda"))
    assert not (tmp_path / "x.usd").exists() and not (tmp_path / "back.usda").exists()


def test_bad_bakes_say_what_is_wrong_and_write_nothing(rig, tmp_path):
    path, scene = rig
    cases = [
        (["--time", "0:2:4", "--out", str(tmp_path / "x.txt")], "must end in .npy, .glb, .gltf or .usda"),
        (["--time", "0:2:4", "--frames", "3:5", "--out", str(tmp_path / "x.npy")], "not within the sweep's samples 0:4"),
        (["--time", "0:2:4", "--frames", "5:3", "--out", str(tmp_path / "x.npy")], "--frames \"5:3\""),
        (["--time", "0:2:0", "--out", str(tmp_path / "x.npy")], "--time \"0:2:0\""),
        (["--time", "0:2:4", "--nodes", "nosuch", "--out", str(tmp_path / "x.npy")], "nosuch"),
        (["--time", "2:0:4", "--out", str(tmp_path / "x.glb")], "times that increase"),
        (["--time", "2:0:4", "--out", str(tmp_path / "x.usda")], "times that increase"),
    ]
    for options, message in cases:
        for threads in ("1", "2"):
            status, _, err = run_mhost("bake", path, *options, "--threads", threads)
            assert status == 2 and message in err, (options, err)
    assert sorted(os.listdir(tmp_path)) == []

    # A node in the second half that cannot be made: whichever worker loads
    # it, the message is the load's own.
    text = json.loads(open(path).read())
    text["nodes"][15]["type"] = "nosuchtype"
    broken = tmp_path / "broken.json"
    broken.write_text(json.dumps(text))
    _, _, expected = run_mhost("eval", str(broken), "base")
    for threads in ("1", "2"):
        status, _, err = run_mhost("bake", str(broken), "--time", "0:2:4", "--out", str(tmp_path / "x.npy"), "--threads", threads)
        assert status == 2 and err == expected and "nosuchtype" in err
    # A cook that fails: exit 1, naming the node and time.
    text = json.loads(open(path).read())
    text["nodes"][7]["parms"]["t0"] = ["nan", 0, 0]
    broken.write_text(json.dumps(text))
    for threads in ("1", "2"):
        status, _, err = run_mhost("bake", str(broken), "--time", "0:2:4", "--out", str(tmp_path / "x.npy"), "--threads", threads)
        assert status == 1, err
        assert err == ('mhost: cooking node "c1n1" (quenlo) at time 0 failed: The local transform '
                       "is not a finite number; nothing was written\n")
    assert sorted(os.listdir(tmp_path)) == ["broken.json"]

    with pytest.raises(KeyError, match="nosuch"):
        scene.bake(0, 2, 4, nodes=["nosuch"])
    with pytest.raises(TypeError):
        scene.bake(0, 2, 4, nodes=[3])
    with pytest.raises(ValueError, match="threads"):
        scene.bake(0, 2, 4, threads=0)
    with pytest.raises(ValueError, match="samples 2:9"):
        scene.bake(0, 2, 4, frames=(2, 9))


def test_a_scene_round_trips_through_text(rig):
    path, scene = rig
    again = morvane.Scene.loads(scene.dumps(), "again")
    assert again.dumps() == scene.dumps() == open(path).read()
    with pytest.raises(ValueError, match="again"):
        morvane.Scene.loads("{", "again")


@pytest.mark.skipif("MORVANE_SANITIZED" in os.environ,
                    reason="Dask's worker processes would start under the preloaded sanitizer runtimes")
def test_the_dask_bake_is_scene_bake_with_each_worker_loading_once(rig):
    distributed = pytest.importorskip("distributed")
    import morvane.distributed

    path, scene = rig
    expected = scene.bake(0, 2, STEPS)
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        for chunk in (None, 5, 100):
            got = morvane.distributed.bake(client, path, 0, 2, STEPS, chunk=chunk)
            assert got.world.tobytes() == expected.world.tobytes()
            assert got.local.tobytes() == expected.local.tobytes()
            assert got.names == expected.names and got.parents == expected.parents
            assert got.times.tolist() == expected.times.tolist()
        loads = client.run(lambda: __import__("morvane.distributed").distributed.loads)
        assert len(loads) == 2 and all(n <= 1 for n in loads.values()) and sum(loads.values()) >= 1
        part = morvane.distributed.bake(client, path, 0, 2, 4, nodes=["c1n1"])
        assert part.names == ["c1n0", "c1n1"]
        with pytest.raises(ValueError, match="steps"):
            morvane.distributed.bake(client, path, 0, 2, 0)


def children():
    """The processes this one started that are still there (or unreaped)."""
    found = set()
    for entry in os.listdir("/proc"):
        try:
            with open(f"/proc/{entry}/stat") as stat:
                fields = stat.read().rsplit(")", 1)[1].split()
        except (OSError, IndexError):
            continue
        if int(fields[1]) == os.getpid():
            found.add(int(entry))
    return found


def test_ctrl_c_stops_a_bake_and_its_workers():
    # 1.6 million cooks: a couple of seconds on two cores.
    scene = morvane.Scene()
    parent = None
    for i in range(16):
        q = scene.create("quenlo", f"q{i}")
        q.set_input(0, parent)
        q.set("numkeys", 3)
        q.set("interp", "quat")
        q.set("ease", 1)
        for k in range(4):
            q.set(f"keyval{k}", k)
            q.set(f"r{k}", (10 * k, 20 * k, 5 * k))
        q.keyframes("driverval", [(0, 0), (10, 3)])
        parent = q
    before = children()
    assert interrupted_after(0.3, lambda: scene.bake(0, 10, 100000, threads=2)) < 1.0
    # The workers exited with it and were reaped.
    assert children() == before
    assert scene.bake(0, 10, 2, threads=2).world.shape == (3, 16, 4, 4)


def interleaved_scene(count):
    """count keyed nodes in chains of five, two chains interleaved in
    each run of ten (node i reads node i - 2), as scene text: the parts a
    bake by nodes makes of it hold columns that are not adjacent."""
    template = morvane.Scene()
    q = template.create("quenlo", "q")
    q.set("numkeys", 2)
    for k in range(3):
        q.set(f"keyval{k}", k)
        q.set(f"r{k}", (5.0 * k, 0, 0))
    q.keyframes("driverval", [(0, 0), (2, 2)])
    document = json.loads(template.dumps())
    node = document["nodes"][0]
    nodes = []
    for i in range(count):
        entry = json.loads(json.dumps(node))
        entry["name"] = f"n{i}"
        entry["inputs"] = [f"n{i - 2}" if i % 10 >= 2 else None, None]
        entry["parms"]["t1"] = [0.001 * i, 1.0, 0.0]
        nodes.append(entry)
    document["nodes"] = nodes
    return document


def test_a_large_scene_is_baked_in_parts_the_same_whoever_cooks_them(tmp_path):
    document = interleaved_scene(1500)
    path = tmp_path / "woven.json"
    path.write_text(json.dumps(document))
    scene = morvane.Scene.load(str(path))
    expected = scene.bake(0, 2, 8, threads=1)
    # Scene.bake shares these groups out as well, each worker cooking (and
    # writing) only its parts' nodes.
    for threads in (2, 3):
        assert scene.bake(0, 2, 8, threads=threads).world.tobytes() == expected.world.tobytes()
        assert scene.bake(0, 2, 8, threads=threads).local.tobytes() == expected.local.tobytes()
    assert scene.bake(0, 2, 8, threads=1).world.tobytes() == expected.world.tobytes()
    for threads in ("1", "2", "3"):
        status, _, err = run_mhost("bake", str(path), "--time", "0:2:8", "--out",
                                   str(tmp_path / f"w{threads}.npy"), "--threads", threads)
        assert status == 0, err
        assert np.load(tmp_path / f"w{threads}.npy").tobytes() == expected.world.tobytes()
    assert json.loads((tmp_path / "w2.json").read_text())["nodes"] == expected.names

    # Two nodes that cannot be loaded, the later one in the first part (the
    # last node reads the first): the message is a plain load's, naming the
    # first in the file, whichever worker loads which part; and so when other
    # nodes are chosen, as every node is read. Nothing is written.
    document["nodes"][1499]["inputs"] = ["n0", None]
    document["nodes"][1499]["parms"]["otherparm"] = 1
    document["nodes"][700]["parms"]["nosuchparm"] = 1
    path.write_text(json.dumps(document))
    _, _, expected_error = run_mhost("eval", str(path), "n0")
    assert "nosuchparm" in expected_error and "n700" in expected_error
    for options in (["--threads", "1"], ["--threads", "2"], ["--threads", "2", "--nodes", "n3"]):
        status, _, err = run_mhost("bake", str(path), "--time", "0:2:8", "--out",
                                   str(tmp_path / "bad.npy"), *options)
        assert status == 2 and err == expected_error, (options, err)
    assert not (tmp_path / "bad.npy").exists() and not (tmp_path / "bad.json").exists()
