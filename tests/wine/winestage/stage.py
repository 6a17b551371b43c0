"""The Wine stage: one booted prefix, cloned into one session per group, the
groups run side by side, their checks printed group by group, and everything
Wine started ended and removed on every way out."""

import argparse
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import traceback
from dataclasses import dataclass, field
from pathlib import Path

from . import conformance, controller, product, winsim_story
from .exports import Exports
from .installer import Package
from .cmdline import CommandLine
from .controller_commands import ControllerCommands
from .controller_service import ControllerService
from .report import FAIL, PASS, SKIP, Outcome, Report
from .service_road import ServiceRoad
from .session import Prefix, Session, WineError, find_tool

# The whole stage must stay under five minutes; groups still running at this
# point are failed and ended.
STAGE_LIMIT_S = 270
STOP_SIGNALS = (signal.SIGTERM, signal.SIGINT, signal.SIGHUP)
GAPS_FILE = Path(__file__).resolve().parent.parent / "conformance-wine-gaps.txt"


@dataclass
class Stage:
    build_dir: Path
    exe: Path
    version: str
    missing: set
    note: str
    vornsim: Path = None  # a host build's vornsim, for the story told to both controllers
    broken: dict = field(default_factory=dict)  # feature -> why it was built but does not work

    @staticmethod
    def describe_missing(lacking):
        if winsim_story.NEED in lacking:
            return winsim_story.MISSING
        return product.describe_missing(lacking)


class ConformanceGroup:
    title = "winsim conformance under Wine"

    def __init__(self, stage, session_factory):
        self.stage, self.session_factory = stage, session_factory

    def execute(self):
        suite = self.stage.build_dir / product.CONFORMANCE_EXE
        if not suite.is_file():
            return [Outcome("suite built", FAIL, f"{suite} is missing")]
        session = None
        try:
            session = self.session_factory(self.title)
            session.start()
            outcomes = self.plug_controller(session)
            return outcomes + conformance.run_suite(session, suite, conformance.load_gaps(GAPS_FILE))
        except (WineError, OSError, ValueError) as error:
            return [Outcome("run the suite", FAIL, str(error))]
        finally:
            if session:
                session.close()


    def plug_controller(self, session):
        """The suite's controller tests need one attached."""
        if controller.DRIVER in self.stage.broken:
            return [Outcome("plug in the virtual controller", FAIL, self.stage.broken[controller.DRIVER])]
        if controller.DRIVER in self.stage.missing:
            return [Outcome("plug in the virtual controller", SKIP, product.DRIVER_MISSING)]
        result = session.run([controller.TOOL, "install"], "vorndev-install", controller.TOOL_LIMIT_S)
        ok = result.returncode == 0
        return [Outcome("plug in the virtual controller", PASS if ok else FAIL,
                        "" if ok else f"{result.describe()}: {result.stderr.strip()}")]


def make_groups(stage, factory):
    return [ConformanceGroup(stage, factory), CommandLine(stage, factory), Exports(stage, factory),
            ControllerCommands(stage, factory), ControllerService(stage, factory),
            ServiceRoad(stage, factory, 1, "net stop"),
            ServiceRoad(stage, factory, 0, "-remove"),
            ServiceRoad(stage, factory, "no-value", "net stop"),
            ServiceRoad(stage, factory, "no-key", "-remove"),
            Package(stage, factory)]


class Sessions:
    """Clones of the booted prefix, each with its session; all of them are
    ended and removed by close(), whatever state they are in."""

    def __init__(self, template, root, artefacts):
        self.template, self.root, self.artefacts = template, root, artefacts
        self.made = []
        self.closed = False
        self.lock = threading.Lock()

    def __call__(self, title):
        slug = re.sub(r"[^a-z0-9]+", "-", title.lower()).strip("-")
        with self.lock:
            if self.closed:
                raise WineError("the stage is ending")
            session = Session(self.template.clone(self.root / slug), self.artefacts / slug, title)
            self.made.append(session)
        return session

    def close(self):
        with self.lock:
            self.closed = True
            made = list(self.made)
        def end(session):
            session.close()
            session.prefix.remove()
        enders = [threading.Thread(target=end, args=(s,), daemon=True) for s in made]
        for ender in enders:
            ender.start()
        for ender in enders:
            ender.join(timeout=120)


def wine_version():
    try:
        proc = subprocess.run([find_tool("wine64"), "--version"], stdin=subprocess.DEVNULL,
                              capture_output=True, text=True, timeout=30)
        return proc.stdout.strip() or "unknown"
    except (WineError, OSError, subprocess.TimeoutExpired):
        return "unknown"


def describe_stage(stage, report):
    exe = stage.exe or f"{product.EXE_NAME} (not built)"
    report.line(f"=== Wine stage: {wine_version()}; executable {exe}, version {stage.version}")
    lacking = sorted(m for m in stage.missing if m in product.FEATURES)
    if stage.exe and lacking:
        report.line("    not yet in the executable: " + stage.describe_missing(lacking))
    if stage.vornsim is None:
        report.line("    " + winsim_story.MISSING)
    if stage.exe and stage.note:
        report.line("    " + stage.note)


def start_groups(groups):
    results = [None] * len(groups)

    def work(index, group):
        try:
            results[index] = group.execute()
        except Exception as error:  # a fault of the harness must not hang the stage
            traceback.print_exc()
            results[index] = [Outcome("group", FAIL, f"harness error: {error!r}")]

    threads = [threading.Thread(target=work, args=(i, g), daemon=True) for i, g in enumerate(groups)]
    for thread in threads:
        thread.start()
    return threads, results


def report_groups(groups, threads, results, report, deadline):
    for index, (thread, group) in enumerate(zip(threads, groups)):
        while thread.is_alive() and time.monotonic() < deadline:
            thread.join(timeout=0.5)
        outcomes = results[index] if not thread.is_alive() else [
            Outcome("group", FAIL, f"did not finish within the stage's {STAGE_LIMIT_S} s")]
        report.group(group.title, outcomes)


def end_everything(template, sessions, threads, root):
    """Runs on every way out. A group may be cloning or starting a session
    while the first sweep runs; it then fails, and the second sweep ends
    whatever it had started. Further signals wait until the sweep is done."""
    for signum in STOP_SIGNALS:
        signal.signal(signum, signal.SIG_IGN)
    if sessions:
        sessions.close()
        deadline = time.monotonic() + 20
        for thread in threads:
            thread.join(timeout=max(0.0, deadline - time.monotonic()))
        sessions.close()
    if template:
        template.stop_server()
    shutil.rmtree(root, ignore_errors=True)


def raise_exit(signum, _frame):
    raise SystemExit(128 + signum)


def main(argv):
    parser = argparse.ArgumentParser(description="End-to-end checks of the Windows build under Wine")
    parser.add_argument("build_dir", type=Path)
    parser.add_argument("--only", help="run only groups whose title contains this text")
    options = parser.parse_args(argv)
    for signum in STOP_SIGNALS:
        signal.signal(signum, raise_exit)

    started = time.monotonic()
    report = Report(sys.stdout)
    build_dir = options.build_dir.resolve()
    exe = product.find_executable(build_dir)
    missing, note = product.missing_features(exe)
    stage = Stage(build_dir, exe, product.project_version(build_dir), missing, note,
                  winsim_story.find_vornsim(build_dir))
    if stage.vornsim is None:
        stage.missing.add(winsim_story.NEED)
    describe_stage(stage, report)

    artefacts = build_dir / "wine-stage"
    shutil.rmtree(artefacts, ignore_errors=True)
    artefacts.mkdir(parents=True)
    root = Path(tempfile.mkdtemp(prefix="vorn-wine-", dir="/tmp"))
    template = sessions = None
    threads = []
    try:
        template = Prefix(root / "template", root / "tmp")
        sessions = Sessions(template, root, artefacts)
        template.boot(artefacts)
        why = controller.install_driver(template, build_dir, artefacts)
        if why:
            controller.mark_driver(stage, why, built=controller.vdev_dir(build_dir) is not None)
            report.line("    virtual controller not installed: " + why)
        groups = [g for g in make_groups(stage, sessions)
                  if not options.only or options.only.lower() in g.title.lower()]
        threads, results = start_groups(groups)
        report_groups(groups, threads, results, report, started + STAGE_LIMIT_S)
    except WineError as error:
        report.group("Wine", [Outcome("boot a prefix", FAIL, str(error))])
    finally:
        end_everything(template, sessions, threads, root)
    report.line(f"Wine stage took {time.monotonic() - started:.0f} s; its files are in {artefacts}")
    return report.close()
