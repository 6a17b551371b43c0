"""The service's story told to winsim's controller: vornsim, from a host build
beside the Windows build, plays it on a simulated machine, and its wire
channel is what the virtual controller under Wine must have seen too."""

import os
import subprocess
import tempfile
from pathlib import Path

VORNSIM = Path("tools") / "vornsim" / "vornsim"
# Host builds the stage looks in, beside the Windows build, in this order.
HOST_PRESETS = ("asan", "default", "release", "tsan")
NEED = "vornsim"
MISSING = "waits for a host build of vornsim beside the Windows build (build/asan or build/default)"
# The service starts with the user's Touch=1, pushes it after its start
# delay, then follows a change of the value to 0. The service's work takes
# real time while the waits are simulated: a low scale leaves it room.
SCRIPT = "start\nwait 12\ntouch 0\nwait 6\nstop\n"
SCALE = "4"
LIMIT_S = 120


def find_vornsim(build_dir):
    for preset in HOST_PRESETS:
        candidate = Path(build_dir).parent / preset / VORNSIM
        if candidate.is_file() and os.access(candidate, os.X_OK):
            return candidate
    return None


def wire_of(output):
    """The wire channel of vornsim's timeline: '<seconds> wire <text>'."""
    found = []
    for line in output.splitlines():
        parts = line.split(" ", 2)
        if len(parts) == 3 and parts[1] == "wire":
            found.append(parts[2].strip())
    return found


def play(vornsim, log_dir):
    """The story's wire record on winsim, or None with why it could not be played."""
    env = {k: v for k, v in os.environ.items() if not k.startswith("WINSIM_")}
    with tempfile.TemporaryDirectory(prefix="vorn-story-") as machine:
        env["WINSIM_ROOT"] = machine
        try:
            proc = subprocess.run([str(vornsim), "--scale", SCALE, "-"], input=SCRIPT, capture_output=True,
                                  text=True, timeout=LIMIT_S, env=env)
        except (OSError, subprocess.TimeoutExpired) as error:
            return None, f"vornsim: {error}"
    (Path(log_dir) / "vornsim-story.out").write_text(proc.stdout)
    if proc.returncode != 0:
        return None, f"vornsim exit {proc.returncode}: {proc.stderr.strip()[-200:]}"
    return wire_of(proc.stdout), ""
