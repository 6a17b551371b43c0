#!/usr/bin/env python3
"""The command lines of vornsim and hidcaps: every usage error is refused with
status 2, a message that says what is wrong and nothing played; --help answers
with status 0; vornsim's temporary machine folder goes unless --keep; a soak
writes the service's debug log only with --debug-log; --trace writes the run
as trace events, bands and marks where the timeline has them.

usage: tools_command_line_test.py VORNSIM HIDCAPS VORNPALMIXSVC
"""
import json
import os
import subprocess
import sys
import tempfile

DESCRIPTOR = "0600ff0901a1018502150026ff007508950709018102850309029102c0"

# (tool, arguments, environment, standard input, status, text expected in stderr, or in stdout for status 0)
CASES = [
    ("vornsim", ["--help"], {}, "", 0, "Usage: vornsim"),
    ("vornsim", ["--seed", "3"], {}, "", 2, "--seed requires --soak"),
    ("vornsim", ["--verbose", "-"], {}, "start\n", 2, "--verbose requires --soak"),
    ("vornsim", ["--debug-log"], {}, "", 2, "--debug-log requires --soak"),
    ("vornsim", ["--soak", "1", "story.txt"], {}, "", 2, "--soak excludes SCRIPT"),
    ("vornsim", ["--soak", "0"], {}, "", 2, "above 0"),
    ("vornsim", ["--soak", "1", "--seed", "-1"], {}, "", 2, "whole number"),
    ("vornsim", ["--scale", "abc"], {}, "", 2, "not 'abc'"),
    ("vornsim", ["--scale", "2", "--scale", "3"], {}, "", 2, "--scale"),
    ("vornsim", ["--jump"], {}, "", 2, "--jump"),
    ("vornsim", ["a.txt", "b.txt"], {}, "", 2, "b.txt"),
    ("vornsim", ["--keep"], {"WINSIM_ROOT": "{work}/machine"}, "", 2, "WINSIM_ROOT"),
    ("vornsim", ["--html", "{work}/no/such/folder/page.html"], {}, "", 2, "its folder does not exist"),
    ("vornsim", ["--html", "{work}"], {}, "", 2, "it is a folder"),
    ("vornsim", ["--soak", "1", "--trace", "{work}/no/t.json"], {}, "", 2, "t.json: cannot write there: its folder"),
    ("vornsim", ["--html", "{work}/run", "--trace", "{work}/tmp/../run"], {}, "", 2, "the same file as --html"),
    ("vornsim", [], {"WINSIM_TIME_SCALE": "abc"}, "", 2, "WINSIM_TIME_SCALE"),
    ("vornsim", ["--scale", "2"], {"WINSIM_TIME_SCALE": "0"}, "", 2, "WINSIM_TIME_SCALE"),
    ("vornsim", ["{work}/missing.txt"], {}, "", 2, "cannot read"),
    ("vornsim", ["{work}"], {}, "", 2, "cannot read"),
    ("vornsim", ["-"], {}, "start\nfly\nwait 1\ntouch x\n" + "jump\n" * 30, 2, "line 2: fly"),
    ("vornsim", ["-"], {}, "start\nfly\nwait 1\ntouch x\n" + "jump\n" * 30, 2, "line 4: touch x"),
    ("vornsim", ["-"], {}, "start\nfly\nwait 1\ntouch x\n" + "jump\n" * 30, 2, "12 more lines"),
    ("vornsim", ["--scale", "1e-7"], {}, "", 2, "from 0.001 to 1000000"),
    ("vornsim", [], {"WINSIM_CONTROLLER": "fw=xyz"}, "", 2, "WINSIM_CONTROLLER: bad value for fw: 'xyz'"),
    ("vornsim", ["-"], {"WINSIM_ROOT": "/dev/null/machine"}, "wait 1\n", 1, "cannot make /dev/null/machine/drive_c"),
    ("vornsim", ["-"], {"WINSIM_ROOT": "{work}/\udcff"}, "wait 1\n", 1, "its name is not UTF-8 text"),
    ("vornsim", ["-"], {}, "x" * 5000000 + "\n", 2, "x" * 80 + "...: unknown command\n"),
    ("VornPalmixSvc", ["-fwchk"], {"WINSIM_TIME_SCALE": "-1"}, "", 2, "WINSIM_TIME_SCALE"),
    ("VornPalmixSvc", ["-fwchk"], {"WINSIM_TIME_SCALE": "1e-7"}, "", 2, "WINSIM_TIME_SCALE must be a number from 0.001"),
    ("VornPalmixSvc", ["-fwchk"], {"WINSIM_TIME_SCALE": "1e-300"}, "", 2, "not '1e-300'"),
    ("VornPalmixSvc", ["-fwchk"], {"WINSIM_CONTROLLER": "fault=loud"}, "", 2, "WINSIM_CONTROLLER: bad value for fault"),
    ("VornPalmixSvc", ["-fwchk"], {"WINSIM_ROOT": "/dev/null/machine"}, "", 2, "WINSIM_ROOT: the machine folder"),
    ("VornPalmixSvc", ["-fwchk"], {"WINSIM_ROOT": "{work}/\udcff"}, "", 2, "its name is not UTF-8 text"),
    ("hidcaps", ["--help"], {}, "", 0, "Usage: hidcaps"),
    ("hidcaps", [], {}, "", 2, "no descriptor"),
    ("hidcaps", [""], {}, "", 2, "no descriptor"),
    ("hidcaps", ["0g"], {}, "", 2, "not a hexadecimal byte string"),
    ("hidcaps", ["050"], {}, "", 2, "not a hexadecimal byte string"),
    ("hidcaps", ["06 00", "ff"], {}, "", 2, "ff"),
    ("hidcaps", ["--binary", "0600"], {}, "", 2, "--binary requires --file"),
    ("hidcaps", ["0600", "--file", "-"], {}, "", 2, "excludes"),
    ("hidcaps", ["--file", "{work}/missing.hex"], {}, "", 2, "cannot read"),
    ("hidcaps", ["--file", "/dev/zero", "--binary"], {}, "", 2, "larger than"),
    ("hidcaps", ["a101"], {}, "", 1, "cannot parse the descriptor"),
    ("hidcaps", ["--file", "-"], {}, DESCRIPTOR[:20] + "\n" + DESCRIPTOR[20:] + "\n", 0, "caps collection=0"),
    ("hidcaps", ["--file", "-", "--binary"], {}, bytes.fromhex(DESCRIPTOR).decode("latin-1"), 0, "report_id=3"),
]


def run(tool, args, env, stdin, work):
    full_env = dict(os.environ, TMPDIR=os.path.join(work, "tmp"))
    full_env.pop("WINSIM_TIME_SCALE", None)
    full_env.pop("WINSIM_ROOT", None)
    full_env.update({k: v.format(work=work) for k, v in env.items()})
    command = [tool] + [a.format(work=work) for a in args]
    return subprocess.run(command, env=full_env, input=stdin.encode("latin-1"), capture_output=True, timeout=120)


def check_cases(tools, work):
    """Each case's status and message; a refusal prints nothing else, names a
    script line once and briefly, and makes no machine folder."""
    failures = []
    for tool, args, env, stdin, status, text in CASES:
        root = env.get("WINSIM_ROOT", "").format(work=work)
        made_before = bool(root) and os.path.exists(root)
        result = run(tools[tool], args, env, stdin, work)
        out, err = result.stdout.decode(errors="replace"), result.stderr.decode(errors="replace")
        where = out if status == 0 else err
        if (result.returncode != status or text not in where or (status == 2 and out) or len(err) > 4000
                or (status == 2 and root and not made_before and os.path.exists(root))):
            failures.append("%s %s %s: status %d (want %d), stdout %r, stderr %r (want %r)" %
                            (env, tool, args[:3], result.returncode, status, out[:200], err[:300], text))
    return failures


def check_machine_folder(tools, work):
    """A script plays, the service is stopped at its end, and its temporary
    machine folder goes; --keep keeps it and names it."""
    temp = os.path.join(work, "tmp")
    failures = []
    result = run(tools["vornsim"], ["-"], {}, "display off\nstart\nwait 1\n", work)
    out = result.stdout.decode()
    played = all(line in out for line in (" sim machine folder ", " scm VornPalmixSvc RUNNING",
                                          " sim stop (end of script)", " scm VornPalmixSvc STOPPED"))
    if result.returncode != 0 or not played or os.listdir(temp):
        failures.append("after a run: status %d, left behind %s, output %r" % (result.returncode, os.listdir(temp), out))
    result = run(tools["vornsim"], ["--keep", "-"], {}, "start\nwait 1\n", work)
    kept = os.listdir(temp)
    if result.returncode != 0 or len(kept) != 1 or kept[0] not in result.stderr.decode():
        failures.append("with --keep: status %d, folders %s, stderr %r" % (result.returncode, kept, result.stderr))
    return failures


def check_soak_debug_log(tools, work):
    failures = []
    for flags, want in (([], False), (["--debug-log", "--trace", "{work}/soak.json"], True)):
        root = os.path.join(work, "soak" + "".join(flags[:1]))
        result = run(tools["vornsim"], ["--soak", "0.05", "--seed", "2"] + flags, {"WINSIM_ROOT": root}, "", work)
        folder = os.path.join(root, "drive_c", "VornPalmix", "VrnDbgLog")
        logs = [f for f in os.listdir(folder) if f.endswith(".log")] if os.path.isdir(folder) else []
        if result.returncode != 0 or bool(logs) != want:
            failures.append("soak %s: status %d, debug log files %s" % (flags, result.returncode, logs))
    tracks, events = read_trace(os.path.join(work, "soak.json"))
    if "checks" not in tracks or not [e for e in events if e["tid"] == tracks["checks"] and e["ph"] == "i"]:
        failures.append("the soak's trace has no checks: tracks %s" % sorted(tracks))
    return failures


def read_trace(path):
    """Its tracks by name (each named once) and its events on them."""
    with open(path, encoding="utf-8") as f:
        events = json.load(f)["traceEvents"]
    names = [(e["args"]["name"], e["tid"]) for e in events if e["ph"] == "M" and e["name"] == "thread_name"]
    tracks = dict(names)
    assert len(tracks) == len(names) == len(set(tracks.values())), "tracks named twice: %s" % names
    return tracks, [e for e in events if e["ph"] in "Xi"]


def check_trace(tools, work):
    """The service band runs from RUNNING to STOP_PENDING as the timeline
    prints them, and the push is a mark of its kind on the wire's track."""
    result = run(tools["vornsim"], ["--trace", "{work}/run.json", "-"], {}, "start\nwait 7\n", work)
    lines = result.stdout.decode().splitlines()
    tracks, events = read_trace(os.path.join(work, "run.json"))
    def at(text):
        return [int(line.split(" ")[0].replace(".", "")) * 1000 for line in lines if line.endswith(text)][0]
    running = [(e["ts"], e["ts"] + e["dur"]) for e in events if e["tid"] == tracks["service"] and e["name"] == "running"]
    pushes = [e["ts"] for e in events if e["tid"] == tracks["wire"] and e["cat"] == "push that enabled"]
    if result.returncode != 0 or running != [(at(" RUNNING"), at(" STOP_PENDING"))] or pushes != [at("02 00 01 ...")]:
        return ["--trace: status %d, service running %s, pushes on the wire %s, timeline %s" %
                (result.returncode, running, pushes, lines)]
    return []


def main():
    if len(sys.argv) != 4:
        print(__doc__)
        return 2
    tools = {"vornsim": sys.argv[1], "hidcaps": sys.argv[2], "VornPalmixSvc": sys.argv[3]}
    with tempfile.TemporaryDirectory(prefix="tools-cli-") as work:
        os.mkdir(os.path.join(work, "tmp"))
        failures = (check_cases(tools, work) + check_machine_folder(tools, work) + check_soak_debug_log(tools, work) +
                    check_trace(tools, work))
    for failure in failures:
        print("FAIL: " + failure)
    print("%d passed, %d failed" % (len(CASES) + 5 - len(failures), len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
