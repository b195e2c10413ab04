#!/usr/bin/env python3
"""The playback cache figures of bench/README.md: the editor's fill of the
default timeline (frames 1 to 240 at 24 a second, as many as the default
512 MB holds: all 240 up to 34,000 nodes) of a scene of N 4-key quenlo nodes
in parent chains of ten (scale_table.py's animated scene), against a whole
`mhost bake` of the same file over the same frames' times to .npy (load and
write included), run in turn, one process per core each.

    python3 bench/playback_ratio.py build/mhost build/bench/scene_bench 10000 7

The fill is scene_bench's BM_PlaybackFill (from restart() until every
frame is ready) on the same file: each round takes the median of its five
fills; its load is not timed, as the editor holds its scene already. Prints
each round and the medians of the rounds.
"""
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

from scale_table import animated_scene

FPS = 24.0


def bake(mhost, scene, out, frames):
    for path in (out, out[:-4] + ".json"):
        if os.path.exists(path):
            os.remove(path)
    os.sync()
    start = time.monotonic()
    subprocess.run([mhost, "bake", scene, "--time", "0:%r:%d" % ((frames - 1) / FPS, frames - 1),
                    "--out", out], check=True)
    return time.monotonic() - start


def fill(scene_bench, scene):
    # The file takes the place of the scene BM_PlaybackFill would build.
    result = subprocess.run(
        [scene_bench, "--benchmark_filter=^BM_PlaybackFill/", "--benchmark_format=json"],
        env=dict(os.environ, MHOST_BENCH_SCENE=scene), check=True, capture_output=True, text=True)
    runs = [b for b in json.loads(result.stdout)["benchmarks"] if b.get("aggregate_name") == "median"]
    if len(runs) != 1 or runs[0].get("error_occurred"):
        sys.exit("BM_PlaybackFill did not run: %s" % result.stdout)
    return runs[0]["real_time"] / 1000.0, int(runs[0]["frames"])


def main():
    mhost = os.path.abspath(sys.argv[1])
    scene_bench = os.path.abspath(sys.argv[2])
    nodes = int(sys.argv[3]) if len(sys.argv) > 3 else 10000
    pairs = int(sys.argv[4]) if len(sys.argv) > 4 else 7
    with tempfile.TemporaryDirectory() as folder:
        scene = animated_scene(mhost, folder, nodes)
        bakes, fills, ratios = [], [], []
        for _ in range(pairs):
            seconds, frames = fill(scene_bench, scene)
            fills.append(seconds)
            bakes.append(bake(mhost, scene, os.path.join(folder, "bake.npy"), frames))
            ratios.append(fills[-1] / bakes[-1])
            print("%d frames: fill %.2f s, mhost bake %.2f s, %.2f" %
                  (frames, fills[-1], bakes[-1], ratios[-1]))
            sys.stdout.flush()
        print("medians: mhost bake %.2f s, fill %.2f s; ratio of medians %.2f, median ratio %.2f" %
              (statistics.median(bakes), statistics.median(fills),
               statistics.median(fills) / statistics.median(bakes), statistics.median(ratios)))


if __name__ == "__main__":
    main()
