"""The diagnostics of the command line against the virtual controller: the
firmware version set with fw=, the exact bytes of each command on the wire
and the controller's state after it, the faults ending in the product's
texts, the bridge products, a detach and attach, what the control device does
with requests it does not serve, and the single layout."""

import shutil

from . import controller, evidence
from .controller import DRIVER, ControllerScenario
from .scenario import wait_until

NEEDS = ("exe", "controller", DRIVER)
FIRMWARE = "1204"
VERSION_QUERY = "out 03 00 04 53 00 00 01 ..."
# [2, 4, 0x52, version bits 15-12, bits 11-4, bits 3-0 in the high nibble]
VERSION_ANSWER = "in 02 04 52 01 20 40 ..."
# switch -> (its report on the wire, the state line it leaves)
COMMANDS = {
    "-sleep": ("out 03 00 04 54 50 00 01 ...", ("power", "sleep")),
    "-wake": ("out 03 00 04 54 58 00 01 ...", ("power", "awake")),
    "-reset": ("out 03 00 04 77 77 77 77 ...", ("resets", "1")),
    "-woton": ("out 03 00 04 F0 02 00 01 ...", ("wake-on-touch", "on")),
    "-wotoff": ("out 03 00 04 F0 02 ...", ("wake-on-touch", "off")),
}
WOT_ON = COMMANDS["-woton"][0]
# fault -> the text -fwchk ends in
FAULTS = {
    "mute": "Read Data Wait timeout.",
    "late": "Read Data Wait timeout.",
    "fail-write": "GetOverlappedResult is failure.",
    "wrong-report": "Got Wrong Report.",
}
LATE_LIMIT_S = 10
STUCK_TEXT = "Write Data Wait timeout."
STUCK_KEPT_TEXT = "its report buffer is kept until it does."
STUCK_HOLD_S = 5.0
# The driver holds the write 5 s and ignores its cancel: the transport gives
# it up 1 s after the cancel (the 1 s write time-out before it), keeps its
# buffer (a line says so), and -fwchk ends without waiting for the driver.
STUCK_GIVE_UP_S = 2.0
# The product's own time-outs and a Wine process start on a busy machine;
# only a write held for ever or failed at once misses this.
STUCK_CEILING_S = 10.0
# The bridge that must power the controller: supply levels, the two
# parameters, the command, then the power-off steps and the power state.
POWERED_BRIDGE = ["out 03 12 00 00 00 80 ...", "out 03 12 00 00 00 82 ...", "out 03 02 20 ...",
                  "out 03 01 3F ...", WOT_ON, "out 03 12 00 00 00 A0 ...", "out 03 12 00 00 00 20 ...",
                  "out 03 12 ...", "out 03 11 ..."]
NOT_CONNECTED = "Device is not connected."
READ_TIMEOUT = "Read Data Wait timeout."
REPORT_BYTES = 64
SHORT_BYTES = 16  # the short-report fault's answer
# Wine 8 gives a device of the whole controller one path, with the usage of
# its first collection and report lengths taken over the whole descriptor.
SINGLE_COLLECTION = ("\\\\?\\hid#vorn0101#0000#{4d1e55b2-f16f-11cf-88cb-001111000030} "
                     "usage 000D:0004 input 64 output 64 feature 2")

INSTALLED = f"vorndev install fw={FIRMWARE} plugs in the three collections"
PAIRED = "the collections' paths carry one Windows-shaped pair number: hid#vorn0101&col0N#1&2c1a0101&0&000M"
FWCHK = f"-fwchk prints 'Device(0) FWVer = {FIRMWARE}', the firmware set with fw="
FWCHK_WIRE = f"-fwchk: '{VERSION_QUERY}' out, '{VERSION_ANSWER}' in"
WOTCHK = f"-wotchk with Touch=1 puts '{WOT_ON}' on the wire and switches wake-on-touch on"
STUCK = (f"fault stuck-write: the driver holds the write {STUCK_HOLD_S:.0f} s and ignores its cancel; -fwchk gives it"
         f" up with its buffer kept and ends in '{STUCK_TEXT}' ({STUCK_GIVE_UP_S:.0f} s to {STUCK_CEILING_S:.0f} s)")
POWERED = "pid=0007: -woton is framed by the bridge's power-on and power-off frames"
NO_IDS = f"pid=000B: -woton reaches the controller: '{WOT_ON}'"
DETACHED = f"after vorndev detach -fwchk says 'Connect fail.' and '{NOT_CONNECTED}'"
ATTACHED = "after vorndev attach -fwchk reads the firmware version again"
REFUSES = "vorndev refuses an unknown fault, an unknown command and an attach of an attached controller: exit 1, a reason"
TIMES = "vorndev wire --times: each report with the driver's clock in microseconds, the query before its answer"
SHORT = (f"fault short-report: the answer goes out {SHORT_BYTES} bytes long ({REPORT_BYTES} asked), the class "
         f"driver drops it, -fwchk ends in '{READ_TIMEOUT}'")
UNPLUG = (f"fault unplug: the query goes out, the controller leaves the bus (its devices stay under Wine), -fwchk "
          f"ends in '{READ_TIMEOUT}', state 'controller detached', the next -fwchk's write is 'not connected'")
UNPLUG_BACK = f"after the unplug fault, vorndev fault none brings the controller back: -fwchk reads {FIRMWARE}"
PROBED = ("ReadFile, WriteFile, an unknown and a HID class control code on \\\\.\\VornVdev fail at once with "
          "ERROR_INVALID_FUNCTION; vorndev state and -fwchk work after them")
SINGLE = "vorndev install layout=single: one device, shown by Wine as one path, the touch collection's"


def command_check(switch):
    report, (key, value) = COMMANDS[switch]
    return f"{switch} puts '{report}' on the wire; state '{key} {value}'"


def fault_check(fault):
    return f"fault {fault}: -fwchk ends in '{FAULTS[fault]}'"


class ControllerCommands(ControllerScenario):
    title = "controller: command line"

    def declare(self):
        names = [INSTALLED, PAIRED, FWCHK, FWCHK_WIRE, TIMES, *map(command_check, COMMANDS), WOTCHK,
                 *map(fault_check, FAULTS), STUCK, SHORT, UNPLUG, UNPLUG_BACK, POWERED, NO_IDS, DETACHED,
                 ATTACHED, REFUSES, PROBED, SINGLE]
        return {name: NEEDS for name in names}

    def body(self):
        self.install_files()
        self.set_setting(1)
        result = self.plug(f"fw={FIRMWARE}")
        self.plan.record(INSTALLED, "3 collections" in result.stdout, f"output {result.stdout!r}")
        self.firmware()
        for switch in COMMANDS:
            self.command(switch)
        self.wotchk()
        for fault in FAULTS:
            self.fault(fault)
        self.stuck_write()
        self.short_report()
        self.unplug()
        self.detach_and_attach()
        self.refusals()
        self.probe_control()
        self.bridges()
        self.single_layout()

    def diagnose(self, switch):
        """One call of the executable: its console lines and what it put on the wire."""
        result = self.exe(switch, tag="diag-" + switch.strip("-"))
        return result, evidence.console_lines(result.stdout), self.device.wire()

    def firmware(self):
        mark = self.log.mark()
        result = self.exe("-fwchk", tag="diag-fwchk")
        lines = evidence.console_lines(result.stdout)
        entries = self.device.wire_entries("--times")
        wire = [text for _, text, _ in entries]
        stamps = [us for us, _, _ in entries]
        self.plan.record(FWCHK, f"Device(0) FWVer = {FIRMWARE}" in lines, f"output {lines[-4:]!r}")
        self.plan.record(FWCHK_WIRE, wire == [VERSION_QUERY, VERSION_ANSWER], f"wire {wire!r}")
        self.plan.record(TIMES, None not in stamps and len(stamps) == 2 and stamps[0] <= stamps[1],
                         f"wire {entries!r}")
        texts = [e.text for e in self.log.since(mark)]
        paths = {t[t.find("\\\\?\\"):].strip() for t in texts if "\\\\?\\hid#vorn" in t}
        wanted = {f"\\\\?\\hid#vorn0101&col0{n}#1&2c1a0101&0&000{n - 1}#{{4d1e55b2-f16f-11cf-88cb-001111000030}}"
                  for n in (1, 2, 3)}
        paired = "Supported Device Count. = 1." in " ".join(texts)
        self.plan.record(PAIRED, wanted <= paths and paired, f"paths {sorted(paths)!r}, paired {paired}")

    def command(self, switch):
        report, (key, value) = COMMANDS[switch]
        _, _, wire = self.diagnose(switch)
        state = self.device.state()
        self.plan.record(command_check(switch), wire == [report] and state.get(key) == value,
                         f"wire {wire!r}, state {state!r}")

    def wotchk(self):
        self.exe("-wotoff", tag="diag-wotoff")
        self.device.wire()
        _, _, wire = self.diagnose("-wotchk")
        state = self.device.state()
        self.plan.record(WOTCHK, wire == [WOT_ON] and state.get("wake-on-touch") == "on",
                         f"wire {wire!r}, state {state!r}")

    def fault(self, fault):
        self.device.run("fault", fault)
        _, lines, wire = self.diagnose("-fwchk")
        self.device.run("fault", "none")
        ended = [ln for ln in lines if ln.startswith("GetFwVerEx fail.")]
        self.plan.record(fault_check(fault), any(FAULTS[fault] in ln for ln in ended),
                         f"output {lines[-3:]!r}, wire {wire!r}")
        if fault == "late":  # its answer lands after the product gave up, before the next check
            wait_until(lambda: any(ln.startswith("in ") for ln in self.device.wire()), LATE_LIMIT_S)

    def stuck_write(self):
        self.device.run("fault", "stuck-write")
        result, lines, wire = self.diagnose("-fwchk")
        self.device.run("fault", "none")
        ok = (any(STUCK_TEXT in ln for ln in lines) and any(STUCK_KEPT_TEXT in ln for ln in lines)
              and STUCK_GIVE_UP_S <= result.elapsed_s <= STUCK_CEILING_S and wire == [VERSION_QUERY + " (write failed)"])
        self.plan.record(STUCK, ok, f"{result.describe()}, output {lines[-3:]!r}, wire {wire!r}")

    def fwchk_ended_in(self, tag, text):
        """-fwchk's last words: whether they say `text`, and the lines."""
        lines = evidence.console_lines(self.exe("-fwchk", tag=tag).stdout)
        return any(ln.startswith("GetFwVerEx fail.") and text in ln for ln in lines), lines

    def short_report(self):
        self.device.run("fault", "short-report")
        ended, lines = self.fwchk_ended_in("diag-short", READ_TIMEOUT)
        wire = [(text, length) for _, text, length in self.device.wire_entries()]
        self.device.run("fault", "none")
        sent = [(VERSION_QUERY, REPORT_BYTES), (VERSION_ANSWER, SHORT_BYTES)]
        self.plan.record(SHORT, ended and wire == sent, f"output {lines[-3:]!r}, wire {wire!r}")

    def unplug(self):
        self.device.run("fault", "unplug")
        timed_out, first = self.fwchk_ended_in("diag-unplug", READ_TIMEOUT)
        wire = self.device.wire()
        state = self.device.state()
        refused, second = self.fwchk_ended_in("diag-unplugged", "not connected")
        self.plan.record(UNPLUG, timed_out and wire == [VERSION_QUERY] and state.get("controller") == "detached"
                         and refused, f"output {first[-2:]!r} then {second[-2:]!r}, wire {wire!r}, state {state!r}")
        self.device.run("fault", "none")
        _, lines, _ = self.diagnose("-fwchk")
        self.plan.record(UNPLUG_BACK, f"Device(0) FWVer = {FIRMWARE}" in lines, f"output {lines[-3:]!r}")

    def probe(self, what):
        """vdev_probe.exe, copied into the prefix, run with `what`."""
        built = self.stage.build_dir / controller.PROBE
        if not built.is_file():
            return None
        shutil.copy2(built, self.drive_c / controller.VDEV_DIR / built.name)
        return self.wine(f"C:\\{controller.VDEV_DIR}\\{built.name}", what, tag="vdev-probe-" + what)

    def probe_control(self):
        result = self.probe("control")
        state = self.device.state()
        _, lines, _ = self.diagnose("-fwchk")
        ok = (result is not None and result.returncode == 0 and state.get("controller") == "attached"
              and f"Device(0) FWVer = {FIRMWARE}" in lines)
        self.plan.record(PROBED, ok, f"{result.describe() if result else 'vdev_probe.exe not built'}: "
                                     f"{result.stdout.strip() if result else ''!r}, state {state!r}, "
                                     f"output {lines[-2:]!r}")

    def single_layout(self):
        result = self.plug("layout=single")
        probe = self.probe("collections")
        shown = [ln.strip() for ln in probe.stdout.splitlines() if ln.strip()] if probe else []
        self.plan.record(SINGLE, "layout single: 1 collection" in result.stdout and shown == [SINGLE_COLLECTION],
                         f"output {result.stdout.strip()!r}, collections {shown!r}")

    def detach_and_attach(self):
        self.device.run("detach")
        _, lines, _ = self.diagnose("-fwchk")
        self.plan.record(DETACHED, any(ln.startswith("Connect fail.") and NOT_CONNECTED in ln for ln in lines),
                         f"output {lines[-3:]!r}")
        self.device.run("attach")
        _, lines, wire = self.diagnose("-fwchk")
        self.plan.record(ATTACHED, f"Device(0) FWVer = {FIRMWARE}" in lines and wire == [VERSION_QUERY, VERSION_ANSWER],
                         f"output {lines[-3:]!r}, wire {wire!r}")

    def refusals(self):
        calls = [("fault", "stuck"), ("unplug",), ("attach",)]
        results = [self.device.run(*args, check=False) for args in calls]
        bad = [f"{' '.join(args)}: exit {r.returncode}, {r.stderr.strip()!r}" for args, r in zip(calls, results)
               if r.returncode != 1 or not r.stderr.strip().startswith("vorndev:") or r.stdout.strip()]
        self.plan.record(REFUSES, not bad, "; ".join(bad))

    def bridges(self):
        self.plug("pid=0007")
        _, _, wire = self.diagnose("-woton")
        self.plan.record(POWERED, wire == POWERED_BRIDGE, f"wire {wire!r}")
        self.plug("pid=000B")
        _, _, wire = self.diagnose("-woton")
        self.plan.record(NO_IDS, wire == [WOT_ON], f"wire {wire!r}")
