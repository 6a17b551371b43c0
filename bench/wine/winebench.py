#!/usr/bin/env python3
"""The service's benchmarks on a real Win32 stack, under Wine: boots a prefix
as the Wine stage does, installs the virtual controller's driver and the
service, runs vorn_winbench.exe (HID round trip and discovery with the service
stopped, pushes with the log off and on, log lines against raw appends), and
adds the medians and the goals, each PASS or MISS, to the results file under
"wine" (beside the winsim benchmarks' results; bench/results.py prints them).

Exit status 1 when something could not be measured: a missing build, a
driver that did not install, a controller that did not answer."""

import argparse
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
from pathlib import Path

sys.dont_write_bytecode = True
sys.path[:0] = [str(Path(__file__).resolve().parents[2] / "tests" / "wine"), str(Path(__file__).resolve().parents[1])]

import results as results_file  # noqa: E402

from winestage import controller, product  # noqa: E402
from winestage.scenario import INSTALL_DIR, LOG_DIR, SERVICE, SETTING_KEY  # noqa: E402
from winestage.session import Prefix, Session, WineError  # noqa: E402
from winestage.stage import wine_version  # noqa: E402

BENCH_EXE = Path("bench") / "wine" / "vorn_winbench.exe"
BENCH_DIR = "C:\\VORN\\bench"
# A log line may cost the product a fifth more than its raw open-append-flush-close.
LOG_OVER_RAW = 1.2
# A push with the log off: one enumeration, at most ten HID round trips' worth
# of I/O (the command and the collections opened and closed), and 2 ms of the
# service's own work.
PUSH_ROUND_TRIPS = 10
PUSH_OWN_US = 2000
BENCH_LIMIT_S = 900


class BenchError(RuntimeError):
    """Something the benchmarks need did not work: the run fails."""


# The table's rows: (name, key of the medians).
ROWS = (("Wine: log line (DbgLogTrace)", "log_line_us"),
        ("Wine: raw line (open, checks, append, flush, close)", "raw_line_us"),
        ("Wine: push, log off", "push_log_off_us"), ("Wine: push, log on", "push_log_on_us"),
        ("Wine: raw line, between the pushes with the log on", "push_raw_line_us"),
        ("Wine: HID round trip (write + read)", "round_trip_us"), ("Wine: Connect (discovery, opening)", "connect_us"),
        ("Wine: bare enumeration of the HID class", "enumeration_us"))
LINES_ROW = "Wine: log lines per push (log on)"


def label(key):
    return next(name for name, k in ROWS if k == key)


def wine_goals(m):
    """The goals of one run's medians (microseconds)."""
    log_limit = LOG_OVER_RAW * m["raw_line_us"]
    push0_limit = m["enumeration_us"] + PUSH_ROUND_TRIPS * m["round_trip_us"] + PUSH_OWN_US
    push1_limit = m["push_log_off_us"] + m["log_lines"] * LOG_OVER_RAW * m["push_raw_line_us"]
    return [
        results_file.goal(label("log_line_us"), "<= 1.2 x raw line", m["log_line_us"], log_limit,
                          f"{m['log_line_us']:.0f} us vs {log_limit:.0f} us ({m['log_line_us'] / m['raw_line_us']:.2f} x)"),
        results_file.goal(label("push_log_off_us"), "<= enumeration + 10 round trips + 2 ms", m["push_log_off_us"],
                          push0_limit, f"{m['push_log_off_us']:.0f} us vs {push0_limit:.0f} us"),
        results_file.goal(label("push_log_on_us"), "<= push log off + lines x 1.2 x raw line beside it",
                          m["push_log_on_us"], push1_limit,
                          f"{m['push_log_on_us']:.0f} us vs {push1_limit:.0f} us ({m['log_lines']:.1f} lines)"),
    ]


def merge_results(path, medians, goals):
    """Adds the Wine run to the results file, keeping what the winsim run wrote."""
    rows = [{"benchmark": name, "median_us": medians[key]} for name, key in ROWS]
    rows.append({"benchmark": LINES_ROW, "count": medians["log_lines"]})
    results_file.merge(path, "wine", {"version": wine_version(), "medians_us": medians, "rows": rows}, goals)


# The processes a push runs through, profiled with software events under
# BENCH_WINE_PERF=1 (virtual machines often have no hardware counters).
PERF_PROCESSES = ("VornPalmixSvc.exe", "winedevice.exe", "services.exe", "explorer.exe")
PERF_EVENTS = "task-clock,context-switches,cpu-migrations"


class PerfStat:
    """`perf stat` with software events on the session's Wine processes and
    its server, one file per process in the artefacts folder."""

    def __init__(self, session, tag):
        self.session, self.tag, self.runs = session, tag, []

    def targets(self):
        found = {name: self.session.windows_processes(name) for name in PERF_PROCESSES}
        wanted = ("WINEPREFIX=" + str(self.session.prefix.path)).encode()
        for entry in Path("/proc").iterdir():
            try:
                if entry.name.isdigit() and (entry / "comm").read_text().startswith("wineserver") and \
                        wanted in (entry / "environ").read_bytes().split(b"\0"):
                    found["wineserver"] = [int(entry.name)]
            except OSError:
                continue
        return {name: pids for name, pids in found.items() if pids}

    def __enter__(self):
        for name, pids in self.targets().items():
            out = self.session.out_dir / f"perf-{self.tag}-{name}.txt"
            self.runs.append((name, out, subprocess.Popen(
                ["perf", "stat", "-e", PERF_EVENTS, "-p", ",".join(map(str, pids)), "-o", str(out)],
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)))
        return self

    def __exit__(self, *_):
        for _, _, proc in self.runs:
            proc.send_signal(signal.SIGINT)
        for _, _, proc in self.runs:
            proc.wait(timeout=30)

    def summary(self, pushes):
        """Per push: each process's CPU milliseconds and context switches."""
        lines = []
        for name, out, _ in self.runs:
            text = out.read_text() if out.is_file() else ""
            cpu = re.search(r"([\d.,]+) msec task-clock", text)
            switches = re.search(r"([\d.,]+)\s+context-switches", text)
            if cpu and switches:
                lines.append(f"{name}: {float(cpu[1].replace(',', '')) / pushes:.2f} ms CPU, "
                             f"{float(switches[1].replace(',', '')) / pushes:.0f} context switches a push")
        return lines


class Bench:
    """The product, the driver and the benchmark program in one Wine session."""

    def __init__(self, session, build_dir):
        self.session, self.build_dir = session, build_dir
        self.poll_ms = os.environ.get("BENCH_WINE_POLL_MS", "2")
        drive_c = session.prefix.drive_c
        self.log_dir = drive_c.joinpath(*LOG_DIR)
        self.exe = "C:\\" + "\\".join(INSTALL_DIR) + "\\" + product.EXE_NAME
        for source, folder in ((product.find_executable(build_dir), drive_c.joinpath(*INSTALL_DIR)),
                               (build_dir / BENCH_EXE, drive_c / "VORN" / "bench")):
            folder.mkdir(parents=True, exist_ok=True)
            shutil.copy2(source, folder / source.name)

    def run(self, args, tag, limit_s=120):
        result = self.session.run(args, tag, limit_s)
        if result.returncode != 0:
            raise BenchError(f"{result.describe()}: {result.stderr.strip()[-600:]}")
        return result

    def install(self):
        self.run(["reg", "add", "HKCU\\" + SETTING_KEY, "/v", "Touch", "/t", "REG_DWORD", "/d", "1", "/f"], "touch-1")
        self.run([controller.TOOL, "install"], "vorndev-install")
        self.run([self.exe, "-install"], "service-install")

    def measure(self, *args):
        result = self.run([BENCH_DIR + "\\vorn_winbench.exe", *args], "bench-" + args[0], BENCH_LIMIT_S)
        try:
            return json.loads(result.stdout.strip().splitlines()[-1])
        except (ValueError, IndexError):
            raise BenchError(f"vorn_winbench {args[0]} printed no result: {result.stdout!r}") from None

    def pushes(self, log, count):
        """Pushes with the service started afresh; the log folder decides at its start."""
        if log:
            self.log_dir.mkdir(parents=True, exist_ok=True)
        self.run(["net", "start", SERVICE], "net-start")
        try:
            if os.environ.get("BENCH_WINE_PERF") != "1":
                return self.measure("push", "--pushes", str(count), "--poll-ms", self.poll_ms, *(["--log"] if log else []))
            with PerfStat(self.session, f"log{int(log)}") as perf:
                result = self.measure("push", "--pushes", str(count), "--poll-ms", self.poll_ms, *(["--log"] if log else []))
            for line in perf.summary(count):
                print(f"    perf, push log {'on' if log else 'off'}: {line}")
            return result
        finally:
            self.session.run(["net", "stop", SERVICE], "net-stop", 60)


def run_all(bench, pushes, lines):
    bench.install()
    hid = bench.measure("hid")
    off = bench.pushes(False, pushes)
    on = bench.pushes(True, pushes)
    log = bench.measure("log", "--lines", str(lines))
    return {"log_line_us": log["log_line_us"], "raw_line_us": log["raw_line_us"],
            "push_log_off_us": off["push_us"], "push_log_on_us": on["push_us"], "log_lines": on["log_lines"],
            "push_raw_line_us": on["raw_line_us"],
            "pushes": off["pushes"], "round_trip_us": hid["round_trip_us"], "connect_us": hid["connect_us"],
            "enumeration_us": hid["enumeration_us"], "hid_interfaces": hid["hid_interfaces"]}


def check_build(build_dir):
    lacking = [] if product.find_executable(build_dir) else [product.EXE_NAME]
    if not (build_dir / BENCH_EXE).is_file():
        lacking.append(str(build_dir / BENCH_EXE))
    if controller.vdev_dir(build_dir) is None:
        lacking.append(controller.describe_missing())
    if lacking:
        raise BenchError("not built: " + "; ".join(lacking))


def wine_stage_running():
    own = os.getpid()
    found = subprocess.run(["pgrep", "-f", "tests/wine"], capture_output=True, text=True).stdout.split()
    return [pid for pid in found if int(pid) != own]


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("build_dir", type=Path, help="the windows preset's build folder")
    parser.add_argument("results", type=Path, help="the results file to add the Wine run to")
    parser.add_argument("--pushes", type=int, default=int(os.environ.get("BENCH_WINE_PUSHES", "20")))
    parser.add_argument("--lines", type=int, default=int(os.environ.get("BENCH_WINE_LINES", "200")))
    options = parser.parse_args(argv)
    build_dir = options.build_dir.resolve()
    artefacts = build_dir / "wine-bench"
    shutil.rmtree(artefacts, ignore_errors=True)
    artefacts.mkdir(parents=True)
    print(f"=== Wine benchmarks: {wine_version()}; files in {artefacts}")
    if wine_stage_running():
        print("    a Wine stage is running on this machine: the numbers are skewed by it")
    root = Path(tempfile.mkdtemp(prefix="vorn-winebench-", dir="/tmp"))
    prefix = session = None
    try:
        check_build(build_dir)
        prefix = Prefix(root / "prefix", root / "tmp")
        prefix.boot(artefacts)
        why = controller.install_driver(prefix, build_dir, artefacts)
        if why:
            raise BenchError("the virtual controller's driver did not install: " + why)
        session = Session(prefix, artefacts, "bench")
        session.start()
        medians = run_all(Bench(session, build_dir), options.pushes, options.lines)
    except (BenchError, WineError, OSError) as error:
        print(f"FAIL  Wine benchmarks: {error}")
        return 1
    finally:
        if session:
            session.close()
        elif prefix:
            prefix.stop_server()
        shutil.rmtree(root, ignore_errors=True)
    try:
        merge_results(options.results, medians, wine_goals(medians))
    except results_file.ResultsError as error:
        print(f"FAIL  Wine benchmarks: {error}")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
