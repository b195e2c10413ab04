"""Time sweeps and the glTF and viewer exports, against mhost's own."""
import html
import json
import os
import re
import shutil
import subprocess

import numpy as np
import pytest

import morvane
from conftest import EXAMPLES, run_mhost

RIG = os.path.join(EXAMPLES, "rig.scene.json")


def test_a_time_sweep_matches_mhosts():
    arm = morvane.Scene.load(RIG).node("arm")
    rows = arm.sweep_time(0.0, 2.0, 4)
    status, out, err = run_mhost("eval", RIG, "arm", "--time", "0:2:4", "--format", "json")
    assert status == 0, err
    expected = json.loads(out)["rows"]
    assert list(rows["time"]) == [row["time"] for row in expected]
    # The driver follows its keyframes: 0 at time 0, 1 at time 2.
    assert list(rows["driver"]) == [row["driver"] for row in expected] == [0, 0.25, 0.5, 0.75, 1]
    for got, row in zip(rows["local"], expected):
        assert got.flatten().tolist() == row["local"]


def test_a_time_sweep_of_a_node_without_a_driver_gives_nan_drivers():
    scene = morvane.Scene()
    rows = scene.create("null", "n").sweep_time(0.0, 1.0, 2)
    assert np.isnan(rows["driver"]).all()
    assert rows["time"].tolist() == [0.0, 0.5, 1.0]


@pytest.mark.parametrize("name,sweep,mhost_sweep", [
    ("arm.gltf", dict(start=0.0, stop=1.0, steps=8), ["--driver", "0:1:8"]),
    ("arm.glb", dict(start=0.0, stop=2.0, steps=6, over="time"), ["--time", "0:2:6"]),
    ("arm.html", dict(start=0.0, stop=1.0, steps=8), ["--driver", "0:1:8"]),
])
def test_an_export_is_the_file_mhost_writes(tmp_path, name, sweep, mhost_sweep):
    arm = morvane.Scene.load(RIG).node("arm")
    mine = tmp_path / ("python-" + name)
    assert arm.export(str(mine), **sweep) == []
    theirs = tmp_path / ("mhost-" + name)
    option = "--html" if name.endswith(".html") else "--gltf"
    status, _, err = run_mhost("eval", RIG, "arm", *mhost_sweep, option, str(theirs))
    assert status == 0, err
    assert mine.read_bytes() == theirs.read_bytes()
    # The driver is put back after a driver sweep.
    assert arm.get("driverval", time=1.0) == 0.5


def test_an_export_refuses_unknown_file_kinds_and_sweeps(tmp_path):
    arm = morvane.Scene.load(RIG).node("arm")
    with pytest.raises(ValueError, match="must end in .gltf, .glb or .html"):
        arm.export(str(tmp_path / "arm.obj"), 0.0, 1.0, 4)
    with pytest.raises(ValueError, match='over must be "driver" or "time"'):
        arm.export(str(tmp_path / "arm.gltf"), 0.0, 1.0, 4, over="frames")
    with pytest.raises(ValueError):
        arm.export(str(tmp_path / "arm.gltf"), 0.0, 1.0, 0)
    assert not any(tmp_path.iterdir())


def test_the_notebook_viewer_is_the_exported_page_in_an_iframe_and_shows_the_cooked_matrix(tmp_path):
    arm = morvane.Scene.load(RIG).node("arm")
    viewer = arm.viewer(0.0, 1.0, 8)
    page = tmp_path / "arm.html"
    arm.export(str(page), 0.0, 1.0, 8)
    assert viewer.html == page.read_text()

    # The frame holds the whole page, escaped so that no quote ends it early.
    frame = viewer._repr_html_()
    found = re.fullmatch(r'<iframe srcdoc="([^"]*)"[^>]*></iframe>', frame)
    assert found, frame[:200]
    assert html.unescape(found.group(1)) == viewer.html

    browser = next(filter(None, map(shutil.which, ("chromium", "chromium-browser"))), None)
    if browser is None:
        pytest.skip("no chromium on this machine (apt-get install chromium)")
    viewer.save(str(page))
    # The browser runs without the sanitizer runtimes a sanitized build's
    # tests preload into this interpreter.
    env = {name: value for name, value in os.environ.items() if name != "LD_PRELOAD"}
    done = subprocess.run(
        [browser, "--headless", "--no-sandbox", "--disable-gpu", "--use-angle=swiftshader",
         "--enable-unsafe-swiftshader", "--disable-dev-shm-usage", f"--user-data-dir={tmp_path / 'profile'}",
         "--virtual-time-budget=3000", "--dump-dom", f"file://{page}#driver=0.25"],
        capture_output=True, text=True, timeout=120, env=env)
    shown = re.search(r'<code id="matrix">([^<]*)</code>', done.stdout)
    assert shown, done.stderr[-2000:]
    expected = arm.sweep(0.0, 1.0, 8)["local"][2]  # driver 0.25
    assert json.loads(shown.group(1)) == expected.flatten().tolist()
