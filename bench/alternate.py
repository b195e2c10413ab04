#!/usr/bin/env python3
"""Two builds of the SDK library against each other, in turn: a benchmark
binary run ROUNDS times with each library directory in LD_LIBRARY_PATH
(the binaries find libmorvane through their RUNPATH, which that
overrides), pinned to one core, three repetitions a run; then each
benchmark's median over the rounds, and the median of each run's ratio
of two benchmarks when --ratio names them.

    python3 bench/alternate.py build/bench/quenlo_bench OLD NEW 15 \\
        --filter 'BM_Evaluate/2/0$|BM_BlendMath/0$' \\
        --ratio BM_Evaluate/2/0 BM_BlendMath/0

OLD and NEW each hold a libmorvane.so.9: copy the built one
(`cp -L build/lib/libmorvane.so.9 OLD/`) before and after the change.
The module's code is linked into quenlo_bench, so only host changes are
compared this way.

On a shared VM one core can run a benchmark half again slower than the
other for minutes at a time; alternating the builds on one core keeps
such minutes from falling to one build alone.
"""
import argparse
import json
import os
import statistics
import subprocess


def medians(binary, libdir, pattern, cpu):
    """Each benchmark's median of three repetitions, by name."""
    env = dict(os.environ, LD_LIBRARY_PATH=libdir)
    out = subprocess.run(["taskset", "-c", str(cpu), binary, "--benchmark_filter=" + pattern,
                          "--benchmark_repetitions=3", "--benchmark_format=json"],
                         env=env, capture_output=True, text=True, check=True).stdout
    return {run["run_name"]: run["real_time"] for run in json.loads(out)["benchmarks"]
            if run.get("aggregate_name") == "median"}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("binary")
    parser.add_argument("libdirs", nargs=2, metavar="LIBDIR")
    parser.add_argument("rounds", type=int)
    parser.add_argument("--filter", required=True)
    parser.add_argument("--ratio", nargs=2, metavar=("NUMERATOR", "DENOMINATOR"))
    parser.add_argument("--cpu", type=int, default=0)
    args = parser.parse_args()

    runs = {libdir: [] for libdir in args.libdirs}
    for _ in range(args.rounds):
        for libdir in args.libdirs:
            runs[libdir].append(medians(args.binary, libdir, args.filter, args.cpu))
    for libdir, results in runs.items():
        names = sorted({name for result in results for name in result})
        line = ["%s: %.4g" % (name, statistics.median(r[name] for r in results if name in r))
                for name in names]
        if args.ratio:
            top, bottom = args.ratio
            line.append("ratio %.3f" % statistics.median(r[top] / r[bottom] for r in results))
        print(libdir + "  " + ", ".join(line))


if __name__ == "__main__":
    main()
