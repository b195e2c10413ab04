#!/usr/bin/env python3
"""The scale table of bench/README.md, measured as a user would: `mhost run`
scripts that build N quenlo nodes of 4 keys each in parent chains of ten
and save the scene, then load it and cook every node.

    python3 bench/scale_table.py build/mhost 1000 4000 16000
    python3 bench/scale_table.py build/mhost --animated N FILE

Prints one Markdown row per node count: build + save time, load + cook
time, peak memory of each run, scene file size. The build run's peak
includes the script's text and its parsed actions. With --animated, it
only makes the animated scene of N nodes (each key turning, the driver
running from 0 to 3 over the first second) and saves it as FILE: the
scene of the editor's benchmarks (editor_scale.mjs).
"""
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time


def build_script(n, scene, animated=False):
    """The script of the scene; animated, each key also turns, the driver
    runs from 0 to 3 over the first second, and the chains stand on a
    grid 1.5 units apart, 100 to a row, as a crowd does (piled on one
    another, thousands of markers cover the same pixels, which costs a
    browser drawing without a graphics card many times over)."""
    actions = []
    for i in range(n):
        name = "q%d" % i
        actions.append({"op": "create", "type": "quenlo", "name": name})
        if i % 10:
            actions.append({"op": "wire", "node": name, "input": 0, "from": "q%d" % (i - 1)})
        actions.append({"op": "set", "node": name, "parm": "numkeys", "value": 3})
        chain = i // 10
        x, z = (1.5 * (chain % 100), 1.5 * (chain // 100)) if animated and i % 10 == 0 else (0, 0)
        for k in range(4):
            actions.append({"op": "set", "node": name, "parm": "keyval%d" % k, "value": k})
            actions.append({"op": "set", "node": name, "parm": "t%d" % k,
                            "value": [0.1 * (i % 7) + k + x, k, z]})
            if animated:
                actions.append({"op": "set", "node": name, "parm": "r%d" % k,
                                "value": [0, 0, 15.0 * k]})
        if animated:
            actions.append({"op": "keyframes", "node": name, "parm": "driverval",
                            "keys": [[0, 0], [1, 3]]})
    actions.append({"op": "save", "path": scene})
    return actions


def animated_scene(mhost, folder, n):
    """Builds the animated scene of n nodes with `mhost run` in folder; its path."""
    scene = os.path.join(folder, "scene.json")
    with open(os.path.join(folder, "build.json"), "w") as f:
        json.dump(build_script(n, scene, animated=True), f)
    subprocess.run([mhost, "run", "build.json"], cwd=folder, check=True, stdout=subprocess.DEVNULL)
    return scene


def timed(args, cwd):
    """Wall time and peak resident memory (bytes) of one run."""
    start = time.monotonic()
    result = subprocess.run(["/usr/bin/time", "-f", "maxrss %M"] + args, cwd=cwd,
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    elapsed = time.monotonic() - start
    if result.returncode != 0:
        sys.exit("failed: %s\n%s" % (" ".join(args), result.stderr))
    peak = int(re.search(r"maxrss (\d+)", result.stderr).group(1)) * 1024
    return elapsed, peak


def main():
    mhost = os.path.abspath(sys.argv[1])
    if len(sys.argv) == 5 and sys.argv[2] == "--animated":
        with tempfile.TemporaryDirectory() as folder:
            shutil.move(animated_scene(mhost, folder, int(sys.argv[3])), sys.argv[4])
        return
    print("| nodes | build + save | load + cook every node | peak memory (build / load) | scene file |")
    print("|---|---|---|---|---|")
    for n in map(int, sys.argv[2:]):
        with tempfile.TemporaryDirectory() as folder:
            scene = os.path.join(folder, "scene.json")
            with open(os.path.join(folder, "build.json"), "w") as f:
                json.dump(build_script(n, scene), f)
            with open(os.path.join(folder, "cook.json"), "w") as f:
                json.dump([{"op": "eval", "node": "q%d" % i} for i in range(n)], f)
            build, build_peak = timed([mhost, "run", "build.json"], folder)
            cook, cook_peak = timed([mhost, "run", "cook.json", "--scene", scene], folder)
            size = os.path.getsize(scene)
        print("| %s | %.2f s | %.2f s | %d MB / %d MB | %.1f MB |" %
              (format(n, ","), build, cook, build_peak / 1e6, cook_peak / 1e6, size / 1e6))
        sys.stdout.flush()


if __name__ == "__main__":
    main()
