"""The service, started by Wine's service control manager, against the
virtual controller: it pushes the user's Touch=1 after its start delay,
follows a change of the value, gives up with its "Connect fail." pushes once
the controller is detached, and pushes again after an attach and a restart
(Wine delivers no arrival, which on Windows is a push of its own)."""

import time

from . import winsim_story
from .controller import DRIVER, ControllerScenario
from .scenario import SERVICE, SETTING_KEY, Abort, wait_until

NEEDS = ("exe", "controller", "service", "watcher", DRIVER)
PUSH_ON = "out 03 00 04 F0 02 00 01 ..."
PUSH_OFF = "out 03 00 04 F0 02 ..."
START_DELAY_S = 5.0
SLACK_S = 0.05
PUSH_LIMIT_S = 40
PUSHES = 15
# 15 pushes 2 s apart, each with its connect attempt, on a busy machine.
GIVE_UP_LIMIT_S = 120
NOT_CONNECTED = "Device is not connected."

STARTED = "net start succeeds with the controller attached"
FIRST_PUSH = f"the service pushes Touch=1: '{PUSH_ON}' on the wire, no earlier than {START_DELAY_S:.0f} s after net start"
STATE_ON = "the controller's wake-on-touch is on after the push"
FOLLOWS = f"a change of Touch to 0 is pushed: '{PUSH_OFF}', wake-on-touch off"
GAVE_UP = "Init HidDevWoTCtrl fail."
GIVES_UP = (f"after vorndev detach a change of Touch ends in {PUSHES} 'Connect fail.' pushes with "
            f"'{NOT_CONNECTED}' and '{GAVE_UP}', nothing on the wire")
SAME_AS_WINSIM = ("the same story on winsim's controller (vornsim: start, touch 0) leaves the same wire "
                  "record, byte for byte")
RECOVERS = f"after vorndev attach and a restart the service pushes Touch=1 again: '{PUSH_ON}', wake-on-touch on"
STOPPED = "net stop succeeds at the end"
REPLUG = "the controller plugged back is pushed at its arrival, without a restart"
REPLUG_GAP = ("Wine gap: Wine 8 accepts RegisterDeviceNotificationW on a service status handle but delivers "
              "no device events to the service")


class ControllerService(ControllerScenario):
    title = "controller: service"

    def declare(self):
        checks = {name: NEEDS for name in (STARTED, FIRST_PUSH, STATE_ON, FOLLOWS, GIVES_UP, RECOVERS, REPLUG,
                                           STOPPED)}
        checks[SAME_AS_WINSIM] = NEEDS + (winsim_story.NEED,)
        return checks

    def body(self):
        self.plan.skip(REPLUG, REPLUG_GAP)
        self.install_files()
        self.set_setting(1)
        self.plug()
        result = self.exe("-install", tag="install")
        if result.returncode != 0:
            raise Abort(f"-install: {result.describe()}")
        self.story = []  # the wire record of the story vornsim tells too
        self.first_push()
        self.follows_a_change()
        self.same_as_winsim()
        self.gives_up_when_detached()
        self.recovers()
        result = self.wine("net", "stop", SERVICE, tag="net-stop", limit_s=60)
        self.plan.record(STOPPED, result.returncode == 0, result.describe())

    def await_wire(self, wanted, limit_s):
        """Polls the wire record until `wanted` is on it; returns the lines seen
        and the seconds it took, or None when it never came."""
        seen, started = [], time.monotonic()

        def arrived():
            seen.extend(self.device.wire())
            return wanted in seen
        found = wait_until(arrived, limit_s)
        return seen, (time.monotonic() - started if found else None)

    def start(self, tag):
        started = time.monotonic()
        result = self.wine("net", "start", SERVICE, tag=tag, limit_s=90)
        return result, started

    def first_push(self):
        result, started = self.start("net-start")
        self.plan.record(STARTED, result.returncode == 0, result.describe())
        if result.returncode != 0:
            raise Abort("the service did not start")
        seen, _ = self.await_wire(PUSH_ON, PUSH_LIMIT_S)
        self.story += seen
        after = time.monotonic() - started
        self.plan.record(FIRST_PUSH, PUSH_ON in seen and after >= START_DELAY_S - SLACK_S,
                         f"wire {seen!r} {after:.1f} s after net start")
        state = self.device.state()
        self.plan.record(STATE_ON, state.get("wake-on-touch") == "on", f"state {state!r}")

    def set_touch(self, value, tag):
        result = self.wine("reg", "add", "HKCU\\" + SETTING_KEY, "/v", "Touch", "/t", "REG_DWORD", "/d",
                           str(value), "/f", tag=tag)
        if result.returncode != 0:
            raise Abort(f"cannot change the user's setting: {result.describe()}")

    def follows_a_change(self):
        self.set_touch(0, "touch-0")
        seen, _ = self.await_wire(PUSH_OFF, PUSH_LIMIT_S)
        self.story += seen
        state = self.device.state()
        self.plan.record(FOLLOWS, seen == [PUSH_OFF] and state.get("wake-on-touch") == "off",
                         f"wire {seen!r}, state {state!r}")

    def same_as_winsim(self):
        if not self.plan.can(SAME_AS_WINSIM):
            return
        winsim, why = winsim_story.play(self.stage.vornsim, self.session.out_dir)
        self.plan.record(SAME_AS_WINSIM, winsim is not None and winsim == self.story,
                         why or f"winsim {winsim!r}, driver {self.story!r}")

    def gives_up_when_detached(self):
        self.device.run("detach")
        before = len(self.events())
        mark = self.log.mark()
        self.set_touch(1, "touch-1")

        def gave_up():
            return GAVE_UP in [e.text.rstrip() for e in self.log.since(mark)]
        wait_until(gave_up, GIVE_UP_LIMIT_S)
        fails = [e.text for e in self.events()[before:] if e.text.startswith("Connect fail.")]
        wire = self.device.wire()
        self.plan.record(GIVES_UP, gave_up() and len(fails) == PUSHES and all(NOT_CONNECTED in t for t in fails)
                         and not wire, f"{len(fails)} 'Connect fail.' entries, gave up {gave_up()}, wire {wire!r}")

    def recovers(self):
        self.device.run("attach")
        self.wine("net", "stop", SERVICE, tag="net-stop-restart", limit_s=60)
        result, _ = self.start("net-restart")
        seen, _ = self.await_wire(PUSH_ON, PUSH_LIMIT_S) if result.returncode == 0 else ([], None)
        state = self.device.state()
        self.plan.record(RECOVERS, PUSH_ON in seen and state.get("wake-on-touch") == "on",
                         f"{result.describe()}, wire {seen!r}, state {state!r}")

