"""The executable as a command-line tool under Wine: installer switches, unknown
switches, the diagnostic actions and -wotchk without a controller, and the
start from a console, which the service control manager did not make."""

from . import evidence
from .scenario import SERVICE, Scenario, banner_problem, texts
from .session import QUIET

DIAGNOSTICS = ("-fwchk", "/SLEEP", "-Wake", "-reset", "/woton", "-WOTOFF")
UNKNOWN = ("-wotoffx", "-wot", "--install", "-")
VERSION_LINE = "Library Version Information  TouchIC Version : 0.0.0.2"
NOT_CONNECTED = "Device is not connected."
USAGE = ["Parameters:", " -install  to install the service.", " -remove   to remove the service."]
# The dispatcher gives up on a process the service control manager did not start.
DISPATCHER_FAILED = "Service failed to run w/err 0x00000427"
CONSOLE_LIMIT_S = 60

NO_LOG_DIR = "without the log directory nothing is logged and the directory is not created"
INSTALL = "/Install installs: 'VornPalmixSvc is installed.'"
INSTALL_AGAIN = "-INSTALL of an installed service: 'CreateService failed w/err 0x00000431'"
REMOVE = "-remove of a stopped service prints only 'VornPalmixSvc is removed.'"
REMOVE_MISSING = "-remove of a missing service: 'OpenService failed w/err 0x00000424'"
UNKNOWN_SILENT = "unrecognised switches " + ", ".join(UNKNOWN) + " print nothing and install nothing"
EXIT_ZERO = "every call exits with 0"
BANNERS = "every call starts its debug log with the banner and File Version"
DIAG_LOGGED = "the diagnostics log '[ERR]Device is not connected.' and no disconnect"
WOTCHK_SILENT = "-wotchk prints nothing"
WOTCHK_LOG = "-wotchk: 'Read WoT setting by wotchk', one push failing, no retries, no user lookup"
WOTCHK_EVENT = "-wotchk's push failure reaches the event log"
USAGE_LINES = "a console start prints the usage lines"
CONSOLE_FAILS = "then 'Service failed to run w/err 0x00000427' (also for a bare 'install')"
CONSOLE_LOG = "the console start leaves 'Service Destroy' in the debug log"


def diag_check(switch):
    return f"{switch} without a controller: version line, echoed 'Connect', 'Connect fail.'"


class CommandLine(Scenario):
    title = "command line"

    def declare(self):
        checks = {NO_LOG_DIR: ("exe", "log"), INSTALL: ("exe",), INSTALL_AGAIN: ("exe",),
                  REMOVE: ("exe",), REMOVE_MISSING: ("exe",), UNKNOWN_SILENT: ("exe",)}
        for switch in DIAGNOSTICS:
            checks[diag_check(switch)] = ("exe", "controller")
        checks.update({DIAG_LOGGED: ("exe", "log", "controller"),
                       WOTCHK_SILENT: ("exe", "service", "controller", "watcher"),
                       WOTCHK_LOG: ("exe", "log", "service", "controller", "watcher"),
                       WOTCHK_EVENT: ("exe", "service", "controller", "watcher"),
                       USAGE_LINES: ("exe",), CONSOLE_FAILS: ("exe", "service"),
                       CONSOLE_LOG: ("exe", "log", "service"),
                       EXIT_ZERO: ("exe",), BANNERS: ("exe", "log")})
        return checks

    def body(self):
        self.exit_codes, self.banner_faults = [], []
        self.install_files(with_log_dir=False)
        self.without_log_dir()
        self.log_dir.mkdir(parents=True, exist_ok=True)
        self.installer()
        self.unknown_switches()
        if self.plan.can(diag_check(DIAGNOSTICS[0])):
            self.diagnostics()
        if self.plan.can(WOTCHK_SILENT):
            self.wotchk()
        self.console_start()
        bad = [r for r in self.exit_codes if r.returncode != 0]
        self.plan.record(EXIT_ZERO, not bad, "; ".join(r.describe() for r in bad[:3]))
        self.plan.record(BANNERS, not self.banner_faults, "; ".join(self.banner_faults[:3]))

    def call(self, *args, tag, debug=QUIET):
        """One call of the executable; returns its result and the debug-log
        entries it wrote (calls run one at a time)."""
        mark = self.log.mark()
        result = self.exe(*args, tag=tag, debug=debug)
        self.exit_codes.append(result)
        entries = self.log.since(mark)
        if self.log_dir.is_dir():
            problem = banner_problem(entries, self.exe_path, self.stage.version)
            if problem:
                self.banner_faults.append(f"{' '.join(args)}: {problem}")
        return result, entries

    def without_log_dir(self):
        result = self.exe("-wotoffx", tag="no-log-dir")
        self.exit_codes.append(result)
        self.plan.record(NO_LOG_DIR, not self.log_dir.exists(), "the log directory was created")

    def installer(self):
        steps = [(INSTALL, "/Install", [f"{SERVICE} is installed."]),
                 (INSTALL_AGAIN, "-INSTALL", ["CreateService failed w/err 0x00000431"]),
                 (REMOVE, "-remove", [f"{SERVICE} is removed."]),
                 (REMOVE_MISSING, "-remove", ["OpenService failed w/err 0x00000424"])]
        for check, switch, expected in steps:
            result, _ = self.call(switch, tag=switch.strip("-/").lower())
            lines = evidence.console_lines(result.stdout)
            registered = self.service_values()
            problem = "" if lines == expected else f"output {lines!r}"
            if check == INSTALL:
                problem = problem or self.registration_problem(registered)
            if check == REMOVE and registered is not None:
                problem = problem or "the service is still registered"
            self.plan.record(check, not problem, problem)

    def unknown_switches(self):
        faults = []
        for switch in UNKNOWN:
            result, _ = self.call(switch, tag="unknown")
            if result.stdout.strip():
                faults.append(f"{switch} printed {result.stdout!r}")
        if self.service_values() is not None:
            faults.append("a service was installed")
        self.plan.record(UNKNOWN_SILENT, not faults, "; ".join(faults))

    def diagnostics(self):
        logged = []
        for switch in DIAGNOSTICS:
            result, entries = self.call(switch, tag="diag-" + switch.strip("-/").lower())
            lines = evidence.console_lines(result.stdout)
            # Traces of the controller's teardown at exit may still be echoed
            # after the failure line: the echo outlives the log.
            failure = next((i for i, ln in enumerate(lines) if ln.startswith("Connect fail.")), -1)
            ok = (lines[:1] == [VERSION_LINE] and "Connect" in lines[1:failure]
                  and failure > 0 and NOT_CONNECTED in lines[failure] and "Disconnect" not in lines)
            self.plan.record(diag_check(switch), ok, f"{result.describe()}, output {lines!r}")
            logged.append(any(t.startswith(("[ERR]", "[ERROR]")) and NOT_CONNECTED in t
                              for t in texts(entries))
                          and not any(t.rstrip().endswith("]Disconnect") for t in texts(entries)))
        self.plan.record(DIAG_LOGGED, all(logged), f"per switch: {logged}")

    def wotchk(self):
        result, entries = self.call("-wotchk", tag="wotchk", debug="+eventlog")
        self.plan.record(WOTCHK_SILENT, not result.stdout.strip(), f"printed {result.stdout!r}")
        lines = texts(entries)
        fails = [t for t in lines if t.startswith("Connect fail.")]
        ok = ("Read WoT setting by wotchk" in lines and len(fails) == 1 and NOT_CONNECTED in fails[0]
              and lines.count("---> VORNAPI::Connect") == 1
              and not any(t.startswith(("Init HidDevWoTCtrl", "Reg Key Path")) for t in lines))
        self.plan.record(WOTCHK_LOG, ok, f"debug log {lines[6:14]!r}")
        events = evidence.event_entries(result.err_path, SERVICE)
        pushed = [e.text for e in events if e.text.startswith("Connect fail.")]
        self.plan.record(WOTCHK_EVENT, len(pushed) == 1, f"event entries {[e.text for e in events]!r}")

    def console_start(self):
        mark = self.log.mark()
        runs = [self.session.spawn([self.exe_path], "console", CONSOLE_LIMIT_S),
                self.session.spawn([self.exe_path, "install"], "console-bare-install", CONSOLE_LIMIT_S)]
        results = [run.wait() for run in runs]
        self.exit_codes.extend(results)
        outputs = [evidence.console_lines(r.stdout) for r in results]
        self.plan.record(USAGE_LINES, all(out[:3] == USAGE for out in outputs), f"outputs {outputs!r}")
        self.plan.record(CONSOLE_FAILS, all(out[3:] == [DISPATCHER_FAILED] for out in outputs),
                         f"outputs {outputs!r}")
        entries = self.log.since(mark)
        pids = evidence.banner_pids(entries)
        destroyed = [pid for pid in pids if "Service Destroy" in texts(evidence.of_pid(entries, pid))]
        self.plan.record(CONSOLE_LOG, len(pids) == 2 and destroyed == pids,
                         f"processes {pids}, with 'Service Destroy': {destroyed}")

