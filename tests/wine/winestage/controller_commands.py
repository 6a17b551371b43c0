"""The diagnostics of the command line against the virtual controller: the
firmware version set with fw=, the exact bytes of each command on the wire
and the controller's state after it, the faults ending in the product's
texts, the bridge products, and a detach and attach."""

from . import evidence
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
STUCK_HOLD_S = 5.0
# The held write, the product's own time-outs and a Wine process start on a
# busy machine; only a write held for ever or failed at once misses this.
STUCK_CEILING_S = 10.0
# The bridge that must power the controller: supply levels, the two
# parameters, the command, then the power-off steps and the power state.
POWERED_BRIDGE = ["out 03 12 00 00 00 80 ...", "out 03 12 00 00 00 82 ...", "out 03 02 20 ...",
                  "out 03 01 3F ...", WOT_ON, "out 03 12 00 00 00 A0 ...", "out 03 12 00 00 00 20 ...",
                  "out 03 12 ...", "out 03 11 ..."]
NOT_CONNECTED = "Device is not connected."

INSTALLED = f"vorndev install fw={FIRMWARE} plugs in the three collections"
PAIRED = "the collections' paths carry one Windows-shaped pair number: hid#vorn0101&col0N#1&2c1a0101&0&000M"
FWCHK = f"-fwchk prints 'Device(0) FWVer = {FIRMWARE}', the firmware set with fw="
FWCHK_WIRE = f"-fwchk: '{VERSION_QUERY}' out, '{VERSION_ANSWER}' in"
WOTCHK = f"-wotchk with Touch=1 puts '{WOT_ON}' on the wire and switches wake-on-touch on"
STUCK = (f"fault stuck-write: the write is held {STUCK_HOLD_S:.0f} s, then -fwchk ends in '{STUCK_TEXT}'"
         f" (within {STUCK_CEILING_S:.0f} s)")
POWERED = "pid=0007: -woton is framed by the bridge's power-on and power-off frames"
NO_IDS = f"pid=000B: -woton reaches the controller: '{WOT_ON}'"
DETACHED = f"after vorndev detach -fwchk says 'Connect fail.' and '{NOT_CONNECTED}'"
ATTACHED = "after vorndev attach -fwchk reads the firmware version again"
REFUSES = "vorndev refuses an unknown fault, an unknown command and an attach of an attached controller: exit 1, a reason"


def command_check(switch):
    report, (key, value) = COMMANDS[switch]
    return f"{switch} puts '{report}' on the wire; state '{key} {value}'"


def fault_check(fault):
    return f"fault {fault}: -fwchk ends in '{FAULTS[fault]}'"


class ControllerCommands(ControllerScenario):
    title = "controller: command line"

    def declare(self):
        names = [INSTALLED, PAIRED, FWCHK, FWCHK_WIRE, *map(command_check, COMMANDS), WOTCHK,
                 *map(fault_check, FAULTS), STUCK, POWERED, NO_IDS, DETACHED, ATTACHED, REFUSES]
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
        self.detach_and_attach()
        self.refusals()
        self.bridges()

    def diagnose(self, switch):
        """One call of the executable: its console lines and what it put on the wire."""
        result = self.exe(switch, tag="diag-" + switch.strip("-"))
        return result, evidence.console_lines(result.stdout), self.device.wire()

    def firmware(self):
        mark = self.log.mark()
        _, lines, wire = self.diagnose("-fwchk")
        self.plan.record(FWCHK, f"Device(0) FWVer = {FIRMWARE}" in lines, f"output {lines[-4:]!r}")
        self.plan.record(FWCHK_WIRE, wire == [VERSION_QUERY, VERSION_ANSWER], f"wire {wire!r}")
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
        ok = (any(STUCK_TEXT in ln for ln in lines) and STUCK_HOLD_S <= result.elapsed_s <= STUCK_CEILING_S
              and wire == [VERSION_QUERY + " (write failed)"])
        self.plan.record(STUCK, ok, f"{result.describe()}, output {lines[-3:]!r}, wire {wire!r}")

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
