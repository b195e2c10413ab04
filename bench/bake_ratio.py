#!/usr/bin/env python3
"""The bake figures of bench/README.md: a whole `mhost bake` of a scene of N
4-key quenlo nodes in parent chains of ten (scale_table.py's, the driver
on a channel) over 49 samples to .npy, with --threads 1 and --threads 2 run in turn, load and
write included, each output removed before its run.

    python3 bench/bake_ratio.py build/mhost 20000 7

Prints each pair and the medians; exits 1 when the outputs differ.
"""
import os
import statistics
import subprocess
import sys
import tempfile
import time

from scale_table import animated_scene


def bake(mhost, scene, out, threads):
    for path in (out, out[:-4] + ".json"):
        if os.path.exists(path):
            os.remove(path)
    os.sync()
    start = time.monotonic()
    subprocess.run([mhost, "bake", scene, "--time", "0:1:48", "--out", out, "--threads", str(threads)],
                   check=True)
    return time.monotonic() - start


def main():
    mhost = os.path.abspath(sys.argv[1])
    nodes = int(sys.argv[2]) if len(sys.argv) > 2 else 20000
    pairs = int(sys.argv[3]) if len(sys.argv) > 3 else 7
    with tempfile.TemporaryDirectory() as folder:
        scene = animated_scene(mhost, folder, nodes)
        one, two, ratios = [], [], []
        for _ in range(pairs):
            one.append(bake(mhost, scene, os.path.join(folder, "one.npy"), 1))
            two.append(bake(mhost, scene, os.path.join(folder, "two.npy"), 2))
            ratios.append(two[-1] / one[-1])
            print("--threads 1: %.2f s, --threads 2: %.2f s, %.2f" % (one[-1], two[-1], ratios[-1]))
        print("medians: %.2f s, %.2f s; ratio of medians %.2f, median ratio %.2f" %
              (statistics.median(one), statistics.median(two),
               statistics.median(two) / statistics.median(one), statistics.median(ratios)))
        with open(os.path.join(folder, "one.npy"), "rb") as a, open(os.path.join(folder, "two.npy"), "rb") as b:
            if a.read() != b.read():
                sys.exit("the outputs differ")


if __name__ == "__main__":
    main()
