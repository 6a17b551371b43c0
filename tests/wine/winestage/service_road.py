"""The service's whole start road without a touch controller: installed with
-install, started with `net start`, it reads the user's setting, fails its 15
pushes two seconds apart, gives up, and stops cleanly."""

from . import evidence
from .scenario import (SERVICE, USER_KEY_PATH, Abort, Scenario, banner_problem, first_index,
                       texts, wait_until)

PUSHES = 15
PUSH_PAUSE_S = 2.0
# Slack for timer granularity below the pause, and an upper bound that only a
# hung or mis-timed retry loop exceeds on a loaded machine.
PAUSE_SLACK_S = 0.05
PAUSE_CEILING_S = 8.0
START_DELAY_S = 5.0
ROAD_LIMIT_S = 150
START_LIMIT_S = 30
STOP_LIMIT_S = 60
NOT_CONNECTED = "Device is not connected."
# Messages written to the debug log only; the event log must not carry them.
# (Their information-level relatives differ by a final dot or a word.)
DEBUG_ONLY = ("---> VORNAPI::Connect", "<--- VORNAPI::Disconnect", "Init HidDevWoTCtrl fail",
              "ImpersonateLoggedOnUser", "Start to OpenProcessToken", "ReadWoTsetting fail.",
              "Service Destroy", "m_fDevExist is FALSE. Can't detect device.")
DEBUG_ONLY_PREFIXES = ("Reg Key Path = ", "User Name : ")

INSTALLED = "-install prints 'VornPalmixSvc is installed.'"
REGISTERED = "registered as own process, automatic start, LocalSystem, with display name and path"
STARTED = "net start succeeds and the service runs"
BANNER = "the service's debug log starts with the banner, FilePath and File Version"
ON_START = "'CppWindowsService in OnStart' in the debug log and the event log"
KEY_PATH = ("the user at the console is found by the prefix's explorer.exe: the key path is built from the SID "
            + USER_KEY_PATH.split("\\")[0])
ACCEPTS = "the service reports RUNNING with controls accepted 0x85 (stop, shutdown, session changes)"
DEVICE_REGISTRATION = ("the registration for HID arrivals is made at the start and undone before STOPPED "
                       "(no 'RegisterDeviceNotification fail' or 'UnregisterDeviceNotification fail')")
SESSION_PUSHES = "a logon, a user switch and a logoff push the setting of the user at the console"
CONSOLE_SESSION = "among several sessions, the explorer.exe of the console's session decides"
WINE_GAPS = {
    SESSION_PUSHES: "Wine 8's services.exe sends services no session changes",
    CONSOLE_SESSION: "Wine 8 has one session: WTSGetActiveConsoleSessionId and ProcessIdToSessionId answer the "
                     "caller's own session for every process, WTSQuerySessionInformationW the Wine user for every "
                     "session",
}
ACCEPTED_CONTROLS = 0x85
RUNNING = 0x4
# The type the service reports (own process, interactive); Wine's own services share a process.
OWN_TYPE = 0x110
FIRST_PUSH = "the first push comes no earlier than 5 s after OnStart"
PUSHES_FAIL = "15 pushes, each connecting, failing with 'Device is not connected.', disconnecting"
PUSH_SPACING = "the failed pushes are 2 s apart"
PUSH_EVENTS = "15 'Connect fail.' entries in the event log"
GIVES_UP = "then 'Init HidDevWoTCtrl fail.', 'RetryHidDevWoTCtrl fail.' and no registry watching"
DEBUG_ONLY_KEPT = "debug-only messages stay out of the event log"
EVENT_FORM = "every event-log entry is an information entry of source VornPalmixSvc, in order"
HOURLY = "every debug-log line is in the file of its hour"
STOP_MESSAGES = "'CppWindowsService in OnStop' and 'OnStop OK.' (debug and event log), then 'Service Destroy'"
EXITS = "the service process exits after the stop"
GONE = "the service is gone from the service database"


def in_order(lines, wanted):
    """Whether `wanted` appear in `lines` in this order, others between allowed."""
    rest = iter(lines)
    return all(any(line == w for line in rest) for w in wanted)


class ServiceRoad(Scenario):
    """`setting`: 1 or 0 (the "Touch" value), "no-value" or "no-key".
    `stop`: "net stop", or "-remove" while the service runs."""

    def __init__(self, stage, session_factory, setting, stop):
        self.setting, self.stop = setting, stop
        # One road also reads the service's status reports from Wine's trace.
        self.reads_status = setting == 1
        if self.reads_status:
            self.channels = "+eventlog,+service"
        self.title = f"service start, {self.describe_setting()}, {stop}"
        super().__init__(stage, session_factory)
        self.pid = None
        self.start_mark = None

    def describe_setting(self):
        return {"no-value": "key without 'Touch'", "no-key": "no setting key"}.get(
            self.setting, f"Touch={self.setting}")

    def read_check(self):
        if isinstance(self.setting, int):
            return f"'read <key> is {self.setting:x}' in the debug log and the event log"
        if self.setting == "no-value":
            return "'RegQueryValueEx, Code' (both logs) and 'ReadWoTsetting fail.' (debug log)"
        return "'Open Register Key, Code' (both logs) and 'ReadWoTsetting fail.' (debug log)"

    def stop_check(self):
        if self.stop == "net stop":
            return "net stop succeeds and the service reports STOPPED"
        return "-remove prints 'Stopping VornPalmixSvc.', 'VornPalmixSvc is stopped.', 'VornPalmixSvc is removed.'"

    def remove_check(self):
        return "-remove after the stop prints only 'VornPalmixSvc is removed.'"

    def declare(self):
        logged = ("exe", "log", "service")
        road = logged + ("controller", "watcher")
        checks = {INSTALLED: ("exe",), REGISTERED: ("exe",), STARTED: ("exe", "service"),
                  BANNER: logged, ON_START: logged, KEY_PATH: road, self.read_check(): road,
                  FIRST_PUSH: road, PUSHES_FAIL: road, PUSH_SPACING: road, PUSH_EVENTS: road,
                  GIVES_UP: road, DEBUG_ONLY_KEPT: road, EVENT_FORM: road, HOURLY: road,
                  self.stop_check(): ("exe", "service"), STOP_MESSAGES: logged,
                  EXITS: ("exe", "service")}
        if self.stop == "net stop":
            checks[self.remove_check()] = ("exe",)
        checks[GONE] = ("exe",)
        if self.reads_status:
            checks[ACCEPTS] = checks[DEVICE_REGISTRATION] = ("exe", "service")
            checks.update({gap: road for gap in WINE_GAPS})
        return checks

    def body(self):
        for gap, reason in WINE_GAPS.items():
            if gap in self.plan.checks:
                self.plan.skip(gap, "Wine gap: " + reason)
        self.install_files()
        self.set_setting(self.setting)
        self.install()
        running = self.plan.can(STARTED)
        if running:
            self.start_service()
            if self.plan.can(ON_START):
                self.check_start()
            if self.plan.can(PUSHES_FAIL):
                self.check_road()
            if self.stop == "net stop":
                self.stop_with_net()
            else:
                self.remove_running()
        if self.stop == "net stop" or not running:
            self.remove_stopped()
        self.check_gone()

    # --- install and start

    def install(self):
        result = self.exe("-install", tag="install")
        self.plan.record(INSTALLED, evidence.console_lines(result.stdout) == [f"{SERVICE} is installed."],
                         f"{result.describe()}, output {result.stdout!r}")
        problem = self.registration_problem(self.service_values())
        self.plan.record(REGISTERED, not problem, problem)
        if problem:
            raise Abort("the service was not installed")

    def start_service(self):
        self.start_mark = self.log.mark()
        result = self.wine("net", "start", SERVICE, tag="net-start", limit_s=90)
        state = self.service_state()
        ok = result.returncode == 0 and state == "RUNNING"
        self.plan.record(STARTED, ok, f"{result.describe()}, state {state}")
        if not ok:
            raise Abort("the service did not start")
        if self.reads_status:
            self.check_accepted_controls()

    def check_accepted_controls(self):
        def running_reports():
            reports = evidence.status_reports(self.session.first_stderr)
            return [accepted for kind, state, accepted in reports if kind == OWN_TYPE and state == RUNNING]
        accepted = wait_until(running_reports, START_LIMIT_S) or []
        self.plan.record(ACCEPTS, accepted == [ACCEPTED_CONTROLS],
                         "controls accepted in the RUNNING reports: " + ", ".join(hex(a) for a in accepted))

    def service_entries(self):
        fresh = self.log.since(self.start_mark)
        if self.pid is None:
            at = first_index(fresh, lambda t: t == "CppWindowsService in OnStart")
            if at < 0:
                return []
            self.pid = fresh[at].pid
        return evidence.of_pid(fresh, self.pid)

    # --- the road

    def road_finished(self):
        entries = self.service_entries()
        return any(t.startswith("m_fDevExist is FALSE") for t in texts(entries)) and entries

    def check_road(self):
        entries = wait_until(self.road_finished, ROAD_LIMIT_S)
        if not entries:
            got = texts(self.service_entries())
            raise Abort(f"the road did not end within {ROAD_LIMIT_S} s; last lines {got[-3:]!r}")
        events = self.events()
        self.check_read(entries, events)
        self.check_pushes(entries, events)
        self.check_event_log(events)
        bad = [f"{e.file}: {e.when}" for e in self.log.entries() if not e.in_file_of_its_hour()]
        self.plan.record(HOURLY, not bad, f"misplaced: {bad[:3]}")

    def check_start(self):
        entries = wait_until(self.service_entries, START_LIMIT_S)
        if not entries:
            raise Abort(f"no 'CppWindowsService in OnStart' within {START_LIMIT_S} s")
        problem = banner_problem(entries, self.exe_path, self.stage.version)
        self.plan.record(BANNER, not problem, problem)
        in_events = wait_until(lambda: any(e.text == "CppWindowsService in OnStart"
                                           for e in self.events()), START_LIMIT_S)
        self.plan.record(ON_START, in_events, "no OnStart entry in the event log")

    def check_read(self, entries, events):
        lines, event_texts = texts(entries), [e.text for e in events]
        key_lines = [t for t in lines if t.startswith("Reg Key Path = ")]
        self.plan.record(KEY_PATH, key_lines == [f"Reg Key Path = {USER_KEY_PATH}"],
                         f"got {key_lines!r}")
        if isinstance(self.setting, int):
            wanted = f"read {USER_KEY_PATH} is {self.setting:x}"
            ok = wanted in lines and wanted in event_texts
            detail = f"expected {wanted!r} in both logs"
        else:
            prefix = "RegQueryValueEx, Code : " if self.setting == "no-value" else "Open Register Key, Code : "
            ok = (any(t.startswith(prefix) for t in lines) and "ReadWoTsetting fail." in lines
                  and any(t.startswith(prefix) for t in event_texts)
                  and not any(t.startswith("read ") for t in lines))
            detail = f"expected {prefix!r} in both logs and 'ReadWoTsetting fail.' in the debug log"
        self.plan.record(self.read_check(), ok, detail)

    def check_pushes(self, entries, events):
        lines = texts(entries)
        fails = [e for e in entries if e.text.startswith("Connect fail.")]
        ok = (len(fails) == PUSHES and all(NOT_CONNECTED in e.text for e in fails)
              and lines.count("---> VORNAPI::Connect") == PUSHES
              and lines.count("<--- VORNAPI::Disconnect") == PUSHES)
        self.plan.record(PUSHES_FAIL, ok, f"{len(fails)} 'Connect fail.', "
                         f"{lines.count('---> VORNAPI::Connect')} connects, "
                         f"{lines.count('<--- VORNAPI::Disconnect')} disconnects")
        self.check_timing(entries, fails)
        push_events = [e for e in events if e.text.startswith("Connect fail.")]
        self.plan.record(PUSH_EVENTS, len(push_events) == PUSHES
                         and all(NOT_CONNECTED in e.text for e in push_events),
                         f"{len(push_events)} entries")
        self.check_gives_up(entries, events)

    def check_timing(self, entries, fails):
        on_start = next(e for e in entries if e.text == "CppWindowsService in OnStart")
        first = next((e for e in entries if e.text == "---> VORNAPI::Connect"), None)
        delay = (first.when - on_start.when).total_seconds() if first else -1
        self.plan.record(FIRST_PUSH, delay >= START_DELAY_S - PAUSE_SLACK_S, f"{delay:.3f} s")
        final = next((e for e in entries if e.text == "Init HidDevWoTCtrl fail."), None)
        stamps = [e.when for e in fails] + ([final.when] if final else [])
        gaps = [(b - a).total_seconds() for a, b in zip(stamps, stamps[1:])]
        ok = len(gaps) == PUSHES and all(PUSH_PAUSE_S - PAUSE_SLACK_S <= g <= PAUSE_CEILING_S
                                          for g in gaps)
        self.plan.record(PUSH_SPACING, ok, "gaps " + ", ".join(f"{g:.2f}" for g in gaps))

    def check_gives_up(self, entries, events):
        lines, event_texts = texts(entries), [e.text for e in events]
        order = [first_index(entries, lambda t, m=m: t == m) for m in (
            "Init HidDevWoTCtrl fail.", "RetryHidDevWoTCtrl fail.",
            "m_fDevExist is FALSE. Can't detect device.")]
        last_push = max(i for i, e in enumerate(entries) if e.text.startswith("Connect fail."))
        watching = [t for t in lines if t.startswith(("RegSetNotify", "RegNotifyChangeKeyValue",
                                                      "RegOpenKeyEx", "fRegExist"))]
        ok = (order == sorted(order) and order[0] > last_push and not watching
              and "Init HidDevWoTCtrl fail." in event_texts
              and "RetryHidDevWoTCtrl fail." in event_texts)
        self.plan.record(GIVES_UP, ok, f"positions {order} after push {last_push}; watching {watching}")

    def check_event_log(self, events):
        leaked = [e.text for e in events
                  if e.text.rstrip() in DEBUG_ONLY or e.text.startswith(DEBUG_ONLY_PREFIXES)]
        self.plan.record(DEBUG_ONLY_KEPT, not leaked, f"in the event log: {leaked[:3]!r}")
        wrong = [e for e in events if e.event_type not in (4, -1) or len(e.strings) != 2]
        order = [e.text for e in events]
        marks = ["CppWindowsService in OnStart", "Connect fail.", "RetryHidDevWoTCtrl fail."]
        positions = [next((i for i, t in enumerate(order) if t.startswith(m)), -1) for m in marks]
        ok = not wrong and -1 not in positions and positions == sorted(positions)
        self.plan.record(EVENT_FORM, ok, f"{len(wrong)} malformed entries; order {positions}")

    # --- stop and removal

    def stop_with_net(self):
        mark = self.log.mark()
        result = self.wine("net", "stop", SERVICE, tag="net-stop", limit_s=STOP_LIMIT_S)
        state = self.service_state()
        self.plan.record(self.stop_check(), result.returncode == 0 and state == "STOPPED",
                         f"{result.describe()}, state {state}")
        self.check_stopped(mark)

    def remove_running(self):
        mark = self.log.mark()
        result = self.exe("-remove", tag="remove-running", limit_s=STOP_LIMIT_S)
        lines = evidence.console_lines(result.stdout)
        ok = (len(lines) == 3 and lines[0].startswith(f"Stopping {SERVICE}.")
              and set(lines[0][len(f"Stopping {SERVICE}."):]) <= {"."}
              and lines[1:] == [f"{SERVICE} is stopped.", f"{SERVICE} is removed."])
        self.plan.record(self.stop_check(), ok, f"{result.describe()}, output {lines!r}")
        self.check_stopped(mark)

    def check_stopped(self, mark):
        def stop_lines():
            got = texts(evidence.of_pid(self.log.since(mark), self.pid))
            return got if "Service Destroy" in got else None
        if self.pid is not None:
            lines = wait_until(stop_lines, STOP_LIMIT_S) or []
            stop_events = [e.text for e in self.events()]
            ok = (in_order(lines, ["CppWindowsService in OnStop", "OnStop OK.", "Service Destroy"])
                  and in_order(stop_events, ["CppWindowsService in OnStop", "OnStop OK."]))
            self.plan.record(STOP_MESSAGES, ok, f"debug log after the stop: {lines[:4]!r}")
            if self.reads_status:
                failed = [t for t in texts(evidence.of_pid(self.log.entries(), self.pid))
                          if t.startswith(("RegisterDeviceNotification fail", "UnregisterDeviceNotification fail"))]
                self.plan.record(DEVICE_REGISTRATION, not failed, f"{failed!r}")
        gone = wait_until(lambda: not self.session.windows_processes(self.stage.exe.name), STOP_LIMIT_S)
        self.plan.record(EXITS, gone, f"still running {STOP_LIMIT_S} s after the stop")

    def remove_stopped(self):
        result = self.exe("-remove", tag="remove")
        lines = evidence.console_lines(result.stdout)
        if self.remove_check() in self.plan.checks:
            self.plan.record(self.remove_check(), lines == [f"{SERVICE} is removed."],
                             f"{result.describe()}, output {lines!r}")

    def check_gone(self):
        gone = wait_until(lambda: self.service_values() is None, 20)
        self.plan.record(GONE, gone, "the service key is still there")
