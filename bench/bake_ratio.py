#!/usr/bin/env python3
"""The bake figures of bench/README.md: a whole `mhost bake` of a scene of N
4-key quenlo nodes in parent chains of ten (scale_table.py's, the driver
on a channel) over 49 samples to .npy, with --threads 1 and --threads 2 run in turn, load and
write included, each output removed before its run.

    python3 bench/bake_ratio.py build/mhost 20000 7

Prints each pair and the medians; exits 1 when the outputs differ.

Each pair also times what the machine allows two processes: two bakes with
--threads 1 of a scene of N/2 nodes each, from files of their own, run at
once ("halves at once"), against the whole with --threads 1. No split of
one bake shares its work out better than two bakes that share nothing, so
that ratio is the floor of --threads 2's here.

    python3 bench/bake_ratio.py --scene-bench build/bench/scene_bench 5

does the same for the bake in memory: BM_BakeScene of 20,000 nodes with one
worker and with two, then two processes each running the 10,000-node bake
on one worker at once, 15 repetitions each, so that they overlap for
nearly all of them; ROUNDS times, the medians of each.
"""
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

from scale_table import animated_scene


def bake(mhost, scenes, outs, threads):
    """Wall time of one bake of each scene to its output, all at once."""
    for out in outs:
        for path in (out, out[:-4] + ".json"):
            if os.path.exists(path):
                os.remove(path)
    os.sync()
    start = time.monotonic()
    runs = [subprocess.Popen([mhost, "bake", scene, "--time", "0:1:48", "--out", out,
                              "--threads", str(threads)])
            for scene, out in zip(scenes, outs)]
    if any(run.wait() != 0 for run in runs):
        sys.exit("a bake failed")
    return time.monotonic() - start


def scene_bench_medians(scene_bench, runs):
    """The median wall times (ms) of BM_BakeScene's sizes "nodes/workers",
    each size in a process of its own, all the processes at once."""
    procs = [subprocess.Popen([scene_bench, "--benchmark_filter=^BM_BakeScene/nodes:%s/workers:%s/" %
                               tuple(run.split("/")), "--benchmark_repetitions=15",
                               "--benchmark_format=json"], stdout=subprocess.PIPE, text=True)
             for run in runs]
    medians = []
    for proc in procs:
        out, _ = proc.communicate()
        if proc.returncode != 0:
            sys.exit("scene_bench failed")
        medians += [b["real_time"] for b in json.loads(out)["benchmarks"]
                    if b.get("aggregate_name") == "median"]
    return medians


def in_memory(scene_bench, rounds):
    one, two, apart = [], [], []
    for _ in range(rounds):
        one += scene_bench_medians(scene_bench, ["20000/1"])
        two += scene_bench_medians(scene_bench, ["20000/2"])
        apart.append(max(scene_bench_medians(scene_bench, ["10000/1", "10000/1"])))
        print("one worker: %.0f ms, two: %.0f ms, %.2f; halves at once: %.0f ms, %.2f" %
              (one[-1], two[-1], two[-1] / one[-1], apart[-1], apart[-1] / one[-1]))
    print("medians: %.0f ms, %.0f ms, %.2f; halves at once %.0f ms, %.2f" %
          (statistics.median(one), statistics.median(two),
           statistics.median(two) / statistics.median(one), statistics.median(apart),
           statistics.median(apart) / statistics.median(one)))


def main():
    if sys.argv[1] == "--scene-bench":
        in_memory(os.path.abspath(sys.argv[2]), int(sys.argv[3]) if len(sys.argv) > 3 else 5)
        return
    mhost = os.path.abspath(sys.argv[1])
    nodes = int(sys.argv[2]) if len(sys.argv) > 2 else 20000
    pairs = int(sys.argv[3]) if len(sys.argv) > 3 else 7
    with tempfile.TemporaryDirectory() as folder:
        scene = animated_scene(mhost, folder, nodes)
        halves = []
        for name in ("a", "b"):
            os.mkdir(os.path.join(folder, name))
            halves.append(animated_scene(mhost, os.path.join(folder, name), nodes // 2))
        halves_out = [os.path.join(folder, name, "half.npy") for name in ("a", "b")]
        one, two, apart, ratios, floors = [], [], [], [], []
        for _ in range(pairs):
            one.append(bake(mhost, [scene], [os.path.join(folder, "one.npy")], 1))
            two.append(bake(mhost, [scene], [os.path.join(folder, "two.npy")], 2))
            apart.append(bake(mhost, halves, halves_out, 1))
            ratios.append(two[-1] / one[-1])
            floors.append(apart[-1] / one[-1])
            print("--threads 1: %.2f s, --threads 2: %.2f s, %.2f; halves at once: %.2f s, %.2f" %
                  (one[-1], two[-1], ratios[-1], apart[-1], floors[-1]))
        print("medians: %.2f s, %.2f s; ratio of medians %.2f, median ratio %.2f; "
              "halves at once %.2f s, median ratio %.2f" %
              (statistics.median(one), statistics.median(two),
               statistics.median(two) / statistics.median(one), statistics.median(ratios),
               statistics.median(apart), statistics.median(floors)))
        with open(os.path.join(folder, "one.npy"), "rb") as a, open(os.path.join(folder, "two.npy"), "rb") as b:
            if a.read() != b.read():
                sys.exit("the outputs differ")


if __name__ == "__main__":
    main()
