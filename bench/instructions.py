#!/usr/bin/env python3
"""The product's own instructions per log line and per push on winsim:
vorn_bench runs under callgrind, collecting only inside one product function
(DbgLogTrace for a log line; the watcher's PushChangedSetting for a push with
the log off), and only instructions whose source lies in the product's folders
count: winsim, the C and C++ libraries (also where the compiler inlined
them) and the benchmark are left out. Prints
the counts and adds them and their goals to the results file (bench/results.py)."""

import argparse
import os
import re
import subprocess
import sys
import tempfile
from collections import Counter
from pathlib import Path

import results as results_file

PRODUCT_FOLDERS = ("app", "hid", "log", "platform", "service", "touchic", "tpinfo", "wot")
# name, benchmark, function collected, goal (instructions per call). The
# goals are about 1.7 times what the product's own lines executed when they
# were set (1 180 a line, 21 600 a push): room for ordinary growth, while a
# doubling of the product's work shows as a MISS.
MEASURES = (
    ("log line", "^BM_LogLine(/|$)", "DbgLogTrace(", 2000),
    ("push, log off", "^BM_PushSetting/log:0(/|$)", "CRegWatch::CWatchRun::PushChangedSetting(", 40000),
)
COST = re.compile(r"^[+-]?\d+ (\d+)")


def product_file(path, root):
    try:
        relative = Path(path).resolve().relative_to(root)
    except ValueError:
        return False
    return relative.parts[0] in PRODUCT_FOLDERS


def parse(profile, root, function):
    """(instructions in product files, calls of `function`) from an
    uncompressed callgrind profile; a call's own line (its inclusive cost)
    is not the caller's."""
    files, calls, current, fn_file, callee, skip = Counter(), 0, "", "", "", False
    for line in Path(profile).read_text(errors="replace").splitlines():
        key, _, value = line.partition("=")
        if key in ("fl", "fi", "fe"):
            current = value
            fn_file = value if key == "fl" else fn_file
        elif key == "fn":
            current = fn_file
        elif key == "cfn":
            callee = value
        elif key == "calls":
            skip = True
            if callee.startswith(function):
                calls += int(value.split()[0])
        elif COST.match(line):
            if not skip:
                files[current] += int(COST.match(line)[1])
            skip = False
    own = sum(n for path, n in files.items() if product_file(path, root))
    return own, calls


def measure(bench, root, pattern, function, workdir, env):
    profile = Path(workdir) / "callgrind.out"
    command = ["valgrind", "--tool=callgrind", "--collect-atstart=no", f"--toggle-collect={function}*",
               "--compress-strings=no", "--compress-pos=no", f"--callgrind-out-file={profile}", str(bench),
               f"--benchmark_filter={pattern}", "--benchmark_repetitions=1", "--benchmark_format=json"]
    run = subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, env=env)
    if run.returncode != 0 or not profile.is_file():
        raise RuntimeError(f"callgrind run of {pattern} failed: {run.stderr[-800:]}")
    own, calls = parse(profile, root, function)
    if calls == 0:
        raise RuntimeError(f"callgrind saw no call of {function} in {pattern}")
    return own / calls, calls


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("bench", type=Path)
    parser.add_argument("results", type=Path)
    parser.add_argument("--source", type=Path, default=Path(__file__).resolve().parents[1])
    options = parser.parse_args(argv)
    root = options.source.resolve()
    rows, goals = [], []
    with tempfile.TemporaryDirectory(prefix="vorn-callgrind-") as workdir:
        env = dict(os.environ, WINSIM_ROOT=workdir)
        for name, pattern, function, limit in MEASURES:
            try:
                per_call, calls = measure(options.bench, root, pattern, function, workdir, env)
            except RuntimeError as error:
                print(f"instructions: {error}", file=sys.stderr)
                return 1
            label = f"winsim: product instructions per {name}"
            rows.append({"benchmark": label, "count": round(per_call), "calls": calls})
            goals.append(results_file.goal(label, f"<= {limit}", per_call, limit, f"mean of {calls} calls"))
    try:
        results_file.merge(options.results, "instructions", {"rows": rows}, goals)
    except results_file.ResultsError as error:
        print(f"instructions: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
