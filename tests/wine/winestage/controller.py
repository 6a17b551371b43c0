"""The virtual touch controller under Wine: vdev's driver installed once into
the booted prefix, plugged into a session with `vorndev install`, and read
back with `vorndev wire` and `vorndev state`."""

import re
import shutil
from pathlib import Path

from .scenario import Abort, Scenario
from .session import Process, WineError

VDEV_FILES = ("vorndev.exe", "vornvdev.sys", "vornvdev.inf")
VDEV_DIR = "vdev"  # below drive C:, in the template and so in every clone
TOOL = "C:\\vdev\\vorndev.exe"
TOOL_LIMIT_S = 60
DRIVER = "driver"  # the need of a check that plays against the controller
# vdev_probe.exe, beside the driver in the Windows build's tree.
PROBE = Path("tests") / "wine" / "probe" / "vdev_probe.exe"
# A line of `vorndev wire [--times]`: [microseconds] text [N bytes].
WIRE_LINE = re.compile(r"^(?:(\d+) )?(.*) \[(\d+) bytes\]$")


def vdev_dir(build_dir):
    """The build's vdev folder when it holds the driver, its INF and the tool."""
    folder = Path(build_dir) / VDEV_DIR
    return folder if all((folder / name).is_file() for name in VDEV_FILES) else None


def describe_missing():
    return "waits for the virtual controller (vdev/vornvdev.sys, vornvdev.inf, vorndev.exe) in the build"


def install_driver(prefix, build_dir, log_dir):
    """Installs the driver package (its service and files) into the booted,
    stopped prefix and removes the devices again: a clone starts without a
    controller, and a group plugs one in with `vorndev install`.
    Returns '' or why the driver could not be installed."""
    source = vdev_dir(build_dir)
    if source is None:
        return describe_missing()
    target = prefix.drive_c / VDEV_DIR
    target.mkdir(parents=True, exist_ok=True)
    for name in VDEV_FILES:
        shutil.copy2(source / name, target / name)
    prefix.start_server()
    try:
        for step in ("install", "remove"):
            result = Process([prefix.wine64, TOOL, step], prefix.env(), Path(log_dir) / f"vorndev-{step}.out",
                             Path(log_dir) / f"vorndev-{step}.err", TOOL_LIMIT_S).wait()
            if result.returncode != 0:
                return f"vorndev {step} in the template: {result.describe()}: {result.stderr.strip()}"
        return ""
    except WineError as error:
        return str(error)
    finally:
        prefix.stop_server()


def mark_driver(stage, why, built):
    """A driver that was not built leaves its checks waiting (skipped); one
    that was built but did not install or load fails them, with `why`."""
    if built:
        stage.broken[DRIVER] = why
    else:
        stage.missing.add(DRIVER)


def parse_state(text):
    """`vorndev state` lines as a dict: {'wake-on-touch': 'on', 'power': 'awake', 'resets': '0'}."""
    state = {}
    for line in text.replace("\r", "").splitlines():
        key, _, value = line.strip().rpartition(" ")
        if key:
            state[key] = value
    return state


def wire_entries(text):
    """`vorndev wire [--times]` output as (microseconds or None, text, length)
    per report; a line of another shape (the note of dropped entries) is kept
    whole with length None."""
    entries = []
    for line in (ln.strip() for ln in text.replace("\r", "").splitlines()):
        m = WIRE_LINE.match(line)
        if m:
            entries.append((int(m[1]) if m[1] else None, m[2], int(m[3])))
        elif line:
            entries.append((None, line, None))
    return entries


def wire_lines(text):
    """The reports' texts, as vornsim prints them."""
    return [text for _, text, _ in wire_entries(text)]


class Device:
    """vorndev in one session."""

    def __init__(self, session):
        self.session = session

    def run(self, *args, check=True):
        result = self.session.run([TOOL, *args], "vorndev-" + "-".join(a.split("=")[0] for a in args),
                                  TOOL_LIMIT_S)
        if check and result.returncode != 0:
            raise Abort(f"vorndev {' '.join(args)}: {result.describe()}: {result.stderr.strip()}")
        return result

    def wire(self):
        return wire_lines(self.run("wire").stdout)

    def wire_entries(self, *flags):
        return wire_entries(self.run("wire", *flags).stdout)

    def state(self):
        return parse_state(self.run("state").stdout)


class ControllerScenario(Scenario):
    """A group whose checks play against the virtual controller."""

    def __init__(self, stage, session_factory):
        super().__init__(stage, session_factory)
        self.device = None

    def plug(self, *ids):
        self.device = Device(self.session)
        result = self.device.run("install", *ids)
        self.device.wire()  # what the install itself put on the wire is not the checks' business
        return result
