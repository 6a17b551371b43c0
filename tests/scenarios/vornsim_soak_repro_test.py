#!/usr/bin/env python3
"""A soak's seed is its story: the same seed played twice, on fresh machine
folders, prints the same timeline byte for byte, and another seed another one.

usage: vornsim_soak_repro_test.py VORNSIM [HOURS] [SEED]
"""
import os
import subprocess
import sys
import tempfile


def play(vornsim, hours, seed, work, name):
    env = dict(os.environ, WINSIM_ROOT=os.path.join(work, name))
    env.pop("WINSIM_TIME_SCALE", None)
    run = subprocess.run([vornsim, "--soak", hours, "--seed", seed, "--verbose"], env=env, capture_output=True,
                         text=True, timeout=600)
    # The only line that may differ: how long it took on this host.
    lines = [line for line in run.stdout.splitlines() if not line.endswith("s of real time")]
    return run.returncode, lines


def main():
    if len(sys.argv) < 2:
        print(__doc__)
        return 2
    vornsim = sys.argv[1]
    hours = sys.argv[2] if len(sys.argv) > 2 else "1"
    seed = sys.argv[3] if len(sys.argv) > 3 else "4"
    with tempfile.TemporaryDirectory(prefix="vornsim-soak-") as work:
        first_status, first = play(vornsim, hours, seed, work, "first")
        second_status, second = play(vornsim, hours, seed, work, "second")
        other_status, other = play(vornsim, hours, str(int(seed) + 1), work, "other")
    if first_status != second_status or first != second:
        for i, (a, b) in enumerate(zip(first, second)):
            if a != b:
                print("FAIL: seed %s played twice differs at line %d:\n  %s\n  %s" % (seed, i + 1, a, b))
                return 1
        print("FAIL: seed %s played twice: %d and %d lines, exit %d and %d" %
              (seed, len(first), len(second), first_status, second_status))
        return 1
    if len(first) < 100:
        print("FAIL: the soak printed only %d lines" % len(first))
        return 1
    if first == other:
        print("FAIL: seeds %s and %d told the same story" % (seed, int(seed) + 1))
        return 1
    print("PASS: seed %s gave the same %d lines twice (exit %d); seed %d another story" %
          (seed, len(first), first_status, int(seed) + 1))
    return 0


if __name__ == "__main__":
    sys.exit(main())
