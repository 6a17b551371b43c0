"""What every end-to-end group shares: the product installed in a prefix,
calls of the executable, waits on evidence, and checks recorded in a plan."""

import re
import shutil
import time
import traceback

from . import evidence
from .report import Plan
from .session import QUIET, WineError

SERVICE = "VornPalmixSvc"
DISPLAY_NAME = "VORN Palmix Service"
# Wine gives the Unix user this SID, and HKEY_CURRENT_USER is its hive under
# HKEY_USERS, so the service finds the setting of the user running the test.
WINE_USER_SID = "S-1-5-21-0-0-0-1000"
SETTING_KEY = r"Software\Microsoft\Input\WakeableInputTypes"
USER_KEY_PATH = WINE_USER_SID + "\\" + SETTING_KEY
SERVICES_KEY = "HKLM\\System\\CurrentControlSet\\Services\\" + SERVICE
INSTALL_DIR = ("VORN", "Palmix")  # below drive C:
LOG_DIR = ("VornPalmix", "VrnDbgLog")
BANNER_RULE = "-" * 64
BANNER_TITLE = " " * 25 + "Logging Start" + " " * 26
POLL_S = 0.25


class Abort(Exception):
    """A step the rest of the group depends on went wrong."""


def wait_until(predicate, limit_s):
    deadline = time.monotonic() + limit_s
    while True:
        value = predicate()
        if value or time.monotonic() > deadline:
            return value
        time.sleep(POLL_S)


def texts(entries):
    return [e.text.rstrip() for e in entries]


def first_index(entries, predicate):
    return next((i for i, e in enumerate(entries) if predicate(e.text.rstrip())), -1)


def banner_problem(entries, exe_path, version):
    """Why the first entries of a process are not the banner, or ''."""
    got = [e.text for e in entries[:6]]
    want = [BANNER_RULE, BANNER_TITLE, BANNER_RULE, "FilePath:", exe_path]
    want.append(f"File Version: {version}" if version else None)
    for i, expected in enumerate(want):
        if expected is None:
            continue
        actual = got[i] if i < len(got) else "<missing>"
        same = actual.lower() == expected.lower() if i == 4 else actual == expected
        if not same:
            return f"banner item {i + 1}: expected {expected!r}, got {actual!r}"
    return ""


def reg_entries(text):
    """`reg query` output as {key: {value: (type, data)}}."""
    keys, current = {}, None
    for line in text.replace("\r", "").splitlines():
        if line.startswith("HKEY_"):
            current = keys.setdefault(line.strip(), {})
            continue
        m = re.match(r"^\s+(\S+)\s+(REG_\w+)\s*(.*?)\s*$", line)
        if m and current is not None:
            current[m[1]] = (m[2], m[3])
    return keys


def reg_values(text):
    """`reg query` output as {key: {value: data}}."""
    return {key: {name: data for name, (_, data) in values.items()} for key, values in reg_entries(text).items()}


class Scenario:
    """One group of checks on a session of its own."""

    title = ""
    # Wine's debug channels of the session's services (see Session).
    channels = "+eventlog"

    def __init__(self, stage, session_factory):
        self.stage = stage
        self.session_factory = session_factory
        self.session = None
        self.plan = Plan(self.title, self.declare(), missing=set(stage.missing), broken=dict(stage.broken))

    def declare(self):
        raise NotImplementedError

    def body(self):
        raise NotImplementedError

    def execute(self):
        if not any(self.plan.needs_met(name) for name in self.plan.checks):
            return self.plan.finish(self.stage.describe_missing)
        try:
            self.session = self.session_factory(self.title)
            self.session.start(channels=self.channels)
            self.body()
        except (Abort, WineError) as stop:
            self.plan.aborted = str(stop)
        except Exception as error:  # a fault of the harness: report, never hang
            self.plan.aborted = f"harness error: {error!r}"
            traceback.print_exc()
        finally:
            if self.session:
                self.keep_debug_log()
                self.session.close()
        return self.plan.finish(self.stage.describe_missing)

    def keep_debug_log(self):
        """A copy beside the session's other output, for whoever reads a failure."""
        if self.log_dir.is_dir():
            shutil.copytree(self.log_dir, self.session.out_dir / "VrnDbgLog", dirs_exist_ok=True)

    # --- the product in the prefix

    @property
    def drive_c(self):
        return self.session.prefix.drive_c

    def install_files(self, with_log_dir=True):
        target = self.drive_c.joinpath(*INSTALL_DIR)
        target.mkdir(parents=True, exist_ok=True)
        shutil.copy2(self.stage.exe, target / self.stage.exe.name)
        if with_log_dir:
            self.log_dir.mkdir(parents=True, exist_ok=True)

    @property
    def log_dir(self):
        return self.drive_c.joinpath(*LOG_DIR)

    @property
    def exe_path(self):
        return "C:\\" + "\\".join(INSTALL_DIR) + "\\" + self.stage.exe.name

    @property
    def log(self):
        return evidence.DebugLog(self.log_dir)

    def exe(self, *args, tag, limit_s=60, debug=QUIET):
        return self.session.run([self.exe_path, *args], tag, limit_s, debug)

    def wine(self, *args, tag, limit_s=60):
        return self.session.run(list(args), tag, limit_s)

    def events(self, path=None):
        return evidence.event_entries(path or self.session.first_stderr, SERVICE)

    # --- the service database

    def service_values(self):
        """Values of the service's registry key, or None when it has none."""
        result = self.wine("reg", "query", SERVICES_KEY, tag="reg-query-service")
        if result.returncode != 0:
            return None
        return next(iter(reg_values(result.stdout).values()), {})

    def service_state(self):
        result = self.wine("sc", "query", SERVICE, tag="sc-query")
        m = re.search(r"STATE\s*:\s*\d+\s+(\w+)", result.stdout)
        return m[1] if m else None

    def registration_problem(self, values):
        if values is None:
            return "the service has no key in the service database"
        want = {"Type": "0x10", "Start": "0x2", "ErrorControl": "0x1", "DisplayName": DISPLAY_NAME}
        for name, expected in want.items():
            if values.get(name, "").lower() != expected.lower():
                return f"{name}: expected {expected!r}, got {values.get(name)!r}"
        image = values.get("ImagePath", "").strip('"')
        if image.lower() != self.exe_path.lower():
            return f"ImagePath: expected {self.exe_path!r}, got {values.get('ImagePath')!r}"
        if values.get("ObjectName", "LocalSystem") != "LocalSystem":
            return f"ObjectName: expected LocalSystem, got {values.get('ObjectName')!r}"
        return ""

    def set_setting(self, setting):
        """1 or 0: the "Touch" value; "no-value": the key without it;
        "no-key": no key at all."""
        self.wine("reg", "delete", "HKCU\\" + SETTING_KEY, "/f", tag="reg-delete-setting")
        if setting == "no-key":
            return
        name, data = ("Touch", str(setting)) if isinstance(setting, int) else ("Pen", "1")
        result = self.wine("reg", "add", "HKCU\\" + SETTING_KEY, "/v", name, "/t", "REG_DWORD",
                           "/d", data, "/f", tag="reg-add-setting")
        if result.returncode != 0:
            raise Abort(f"cannot write the user's setting: {result.describe()}")
