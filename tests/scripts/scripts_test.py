#!/usr/bin/env python3
"""The command lines of the scripts under scripts/: each answers --help with
status 0 and refuses an argument it does not take, or a bad value, with status
2 and a message naming it; neither builds nor installs anything (cmake and
apt-get are stand-ins here that leave a mark when called).

usage: scripts_test.py SCRIPTS_DIR
"""
import os
import stat
import subprocess
import sys
import tempfile
from pathlib import Path

LIMIT_S = 60
STAND_INS = ("cmake", "apt-get")

# (script, arguments, environment, text expected in stderr) beyond each
# script's --help and unknown argument.
REFUSALS = [
    ("test", ["asan", "nope"], {}, "'nope'"),
    ("demo", ["--wine", "--keep"], {}, "'--keep'"),
    ("demo", [], {"DEMO_SCALE": "fast"}, "DEMO_SCALE='fast'"),
    ("demo", [], {"DEMO_SCALE": "0"}, "DEMO_SCALE='0'"),
    ("demo", [], {"DEMO_KEEP": "yes"}, "DEMO_KEEP='yes'"),
    ("fuzz", ["0"], {}, "at least 1"),
    ("fuzz", ["5", "no_such_target"], {}, "no target 'no_such_target'"),
    ("bench", ["--benchmark_filter"], {}, "'--benchmark_filter'"),
    ("bench", [], {"BENCH_REPETITIONS": "0"}, "BENCH_REPETITIONS='0'"),
    ("package", ["--sign", "cert.pfx"], {}, "--timestamp URL"),
    ("package", ["--sign", "cert.pfx", "--timestamp", "http://ts", "--no-timestamp"], {}, "exclude each other"),
    ("package", ["--exe", "a.exe"], {}, "--exe"),
]


def stand_ins(folder):
    """cmake and apt-get that only leave a mark."""
    for name in STAND_INS:
        path = folder / name
        path.write_text(f"#!/bin/sh\necho {name} >> {folder}/called\nexit 99\n")
        path.chmod(path.stat().st_mode | stat.S_IXUSR)
    return folder / "called"


def run(script, args, env, bin_dir):
    full = dict(os.environ, PATH=f"{bin_dir}:{os.environ['PATH']}", **env)
    for name in ("DEMO_SCALE", "DEMO_KEEP", "BENCH_REPETITIONS", "WINSIM_ROOT"):
        if name not in env:
            full.pop(name, None)
    return subprocess.run([str(script), *args], stdin=subprocess.DEVNULL, capture_output=True, text=True,
                          env=full, timeout=LIMIT_S)


def main(argv):
    scripts_dir = Path(argv[0])
    scripts = sorted(p for p in scripts_dir.iterdir() if p.is_file() and os.access(p, os.X_OK))
    cases = [(p.name, ["--help"], {}, None) for p in scripts]
    cases += [(p.name, ["--no-such-option"], {}, "'--no-such-option'") for p in scripts]
    cases += REFUSALS
    failures, failed = [], 0
    with tempfile.TemporaryDirectory(prefix="vorn-scripts-") as folder:
        bin_dir = Path(folder)
        marks = stand_ins(bin_dir)
        for name, args, env, expected in cases:
            result = run(scripts_dir / name, args, env, bin_dir)
            what = f"scripts/{name} {' '.join(args)} {env or ''}".strip()
            if expected is None:
                ok = result.returncode == 0 and "usage" not in result.stderr.lower() and result.stdout.strip()
            else:
                ok = result.returncode == 2 and expected in result.stderr and "--help" in result.stderr
            problems = [] if ok else [f"status {result.returncode}\n  stdout: {result.stdout[-300:]!r}\n"
                                      f"  stderr: {result.stderr[-300:]!r}"]
            if marks.exists():
                problems.append(f"called {marks.read_text().split()}")
                marks.unlink()
            failures += [f"{what}: {problem}" for problem in problems]
            failed += bool(problems)
    for failure in failures:
        print("FAIL " + failure)
    print(f"{len(cases) - failed} of {len(cases)} command lines as expected")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
