"""Named checks with PASS, FAIL or SKIP, and the closing count."""

import threading
from dataclasses import dataclass, field

PASS, FAIL, SKIP = "PASS", "FAIL", "SKIP"


@dataclass
class Outcome:
    name: str
    status: str
    detail: str = ""


@dataclass
class Plan:
    """The checks of one group, declared before it runs, so that a check the
    run never reached is a failure and not a silent gap."""

    group: str
    checks: dict  # name -> features the check needs
    outcomes: dict = field(default_factory=dict)
    missing: set = field(default_factory=set)  # features the product lacks
    broken: dict = field(default_factory=dict)  # feature -> why it was built but does not work
    aborted: str = ""

    def needs_met(self, name):
        needs = set(self.checks[name])
        return not (needs & self.missing or needs & set(self.broken))

    def can(self, *names):
        return all(self.needs_met(n) for n in names)

    def record(self, name, ok, detail=""):
        if name not in self.checks:
            raise KeyError(f"{self.group}: undeclared check {name!r}")
        if not self.needs_met(name) or name in self.outcomes:
            return ok
        self.outcomes[name] = Outcome(name, PASS if ok else FAIL, "" if ok else detail)
        return ok

    def skip(self, name, reason):
        self.outcomes.setdefault(name, Outcome(name, SKIP, reason))

    def finish(self, describe_missing):
        """Outcomes in declaration order; needs not yet built skip, needs built
        but broken fail, the rest must have run."""
        result = []
        for name, needs in self.checks.items():
            lacking = sorted(set(needs) & self.missing)
            broken = sorted(set(needs) & set(self.broken))
            if broken:
                result.append(Outcome(name, FAIL, "; ".join(self.broken[b] for b in broken)))
            elif lacking:
                result.append(Outcome(name, SKIP, describe_missing(lacking)))
            elif name in self.outcomes:
                result.append(self.outcomes[name])
            else:
                why = f"not reached: {self.aborted}" if self.aborted else "not reached"
                result.append(Outcome(name, FAIL, why))
        return result


class Report:
    def __init__(self, out):
        self.out = out
        self.counts = {PASS: 0, FAIL: 0, SKIP: 0}
        self.lock = threading.Lock()

    def line(self, text=""):
        with self.lock:
            print(text, file=self.out, flush=True)

    def group(self, title, outcomes):
        with self.lock:
            print(f"--- {title}", file=self.out)
            for outcome in outcomes:
                self.counts[outcome.status] += 1
                tail = f" -- {outcome.detail}" if outcome.detail else ""
                print(f"{outcome.status} {title}: {outcome.name}{tail}", file=self.out)
            self.out.flush()

    def close(self):
        with self.lock:
            if self.counts[SKIP]:
                print(f"{self.counts[SKIP]} checks skipped (reasons above)", file=self.out)
            print(f"{self.counts[PASS]} passed, {self.counts[FAIL]} failed", file=self.out, flush=True)
        return 1 if self.counts[FAIL] else 0
