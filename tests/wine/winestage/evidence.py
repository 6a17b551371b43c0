"""What the product leaves behind under Wine, read back: the hourly debug-log
files, the event-log entries that Wine prints as debug lines, console output."""

import re
from dataclasses import dataclass
from datetime import datetime
from pathlib import Path

LOG_FILE = re.compile(r"^(\d{4})(\d{2})(\d{2})-(\d{2})\.log$")
LOG_LINE = re.compile(r"^\[(\d{2})(\d{2})-(\d{2}):(\d{2}):(\d{2})\.(\d{3})\]\[PID=(\d+)\] (.*)$")


@dataclass
class LogEntry:
    file: str
    when: datetime
    pid: int
    text: str

    def in_file_of_its_hour(self):
        m = LOG_FILE.match(self.file)
        return bool(m) and (int(m[2]), int(m[3]), int(m[4])) == (
            self.when.month, self.when.day, self.when.hour)


def parse_log_file(name, data):
    """Entries of one hourly file. Only lines ended by a line feed count, so a
    line that another process is still writing is left for the next read.
    Texts that carry their own line break leave empty lines, which are skipped;
    a text broken inside continues on the lines that follow its stamp."""
    m = LOG_FILE.match(name)
    year = int(m[1]) if m else datetime.now().year
    complete = data[:data.rfind(b"\n") + 1].decode("utf-8", errors="replace")
    entries = []
    for raw in complete.split("\n"):
        line = raw.rstrip("\r")
        stamped = LOG_LINE.match(line)
        if stamped:
            entries.append(_entry(name, year, stamped))
        elif line and entries:
            entries[-1].text += "\n" + line
    return entries


def _entry(name, year, m):
    month, day, hour, minute, second, ms = (int(m[i]) for i in range(1, 7))
    try:
        when = datetime(year, month, day, hour, minute, second, ms * 1000)
    except ValueError:
        when = datetime(year, 1, 1)
    return LogEntry(name, when, int(m[7]), m[8])


class DebugLog:
    """The debug-log directory of a prefix. A mark taken before a step lets a
    check look only at what came after it."""

    def __init__(self, directory):
        self.directory = Path(directory)

    def entries(self):
        found = []
        if not self.directory.is_dir():
            return found
        for path in sorted(self.directory.iterdir()):
            if LOG_FILE.match(path.name):
                found.extend(parse_log_file(path.name, path.read_bytes()))
        return found

    def files(self):
        if not self.directory.is_dir():
            return []
        return sorted(p.name for p in self.directory.iterdir())

    def mark(self):
        counts = {}
        for entry in self.entries():
            counts[entry.file] = counts.get(entry.file, 0) + 1
        return counts

    def since(self, mark):
        seen = dict(mark)
        fresh = []
        for entry in self.entries():
            if seen.get(entry.file, 0) > 0:
                seen[entry.file] -= 1
            else:
                fresh.append(entry)
        return fresh


def banner_pids(entries):
    """Process ids in the order their processes started logging."""
    pids = []
    for entry in entries:
        if "Logging Start" in entry.text and entry.pid not in pids:
            pids.append(entry.pid)
    return pids


def of_pid(entries, pid):
    return [e for e in entries if e.pid == pid]


@dataclass
class EventEntry:
    thread: str
    event_type: int  # -1 when Wine did not print the call's arguments
    strings: list
    expected: int = 2  # insertion strings the call announced

    @property
    def source(self):
        return self.strings[0] if self.strings else ""

    @property
    def text(self):
        return self.strings[1] if len(self.strings) > 1 else ""


# Wine 8 has no event log: ReportEventW prints its arguments on the fixme
# channel and each insertion string on the eventlog trace channel.
EVENT_CALL = re.compile(r"^(?:[0-9a-f]+:)?([0-9a-f]+):fixme:advapi:ReportEventW "
                        r"\([^,]*,0x([0-9a-f]+),0x[0-9a-f]+,0x[0-9a-f]+,[^,]*,0x([0-9a-f]+),")
EVENT_STRING = re.compile(r'^(?:[0-9a-f]+:)?([0-9a-f]+):trace:eventlog:ReportEventW L"(.*)"\s*$')


def unescape_debugstr(text):
    """Inverse of Wine's debugstr_w quoting: \\n \\r \\t \\\\ \\" and \\xxxx."""
    out, i = [], 0
    while i < len(text):
        c = text[i]
        if c != "\\" or i + 1 >= len(text):
            out.append(c)
            i += 1
            continue
        nxt = text[i + 1]
        simple = {"n": "\n", "r": "\r", "t": "\t", "\\": "\\", '"': '"'}
        if nxt in simple:
            out.append(simple[nxt])
            i += 2
        elif re.match(r"[0-9a-fA-F]{4}", text[i + 1:i + 5]):
            out.append(chr(int(text[i + 1:i + 5], 16)))
            i += 5
        else:
            out.append(c)
            i += 1
    return "".join(out)


def parse_event_lines(text):
    """Event entries from Wine's debug output; threads may interleave, so the
    strings of one call are gathered per thread."""
    entries, pending = [], {}
    for line in text.splitlines():
        call = EVENT_CALL.match(line)
        if call:
            pending[call[1]] = EventEntry(call[1], int(call[2], 16), [], int(call[3], 16))
            continue
        string = EVENT_STRING.match(line)
        if not string:
            continue
        entry = pending.get(string[1])
        if entry is None:
            entry = pending[string[1]] = EventEntry(string[1], -1, [])
        entry.strings.append(unescape_debugstr(string[2]))
        if len(entry.strings) >= entry.expected:
            entries.append(pending.pop(string[1]))
    return entries


# Wine's trace of a status report (channel +service): the status handle, then
# the type, the state and the controls accepted (then exit codes, check point
# and wait hint), each as %#lx: "0" for zero, else 0x and hex digits.
STATUS_TRACE = re.compile(r"^[0-9a-f]+:trace:service:SetServiceStatus \S+ (0x[0-9a-f]+|0) (0x[0-9a-f]+|0) (0x[0-9a-f]+|0)\b")


def status_reports(path):
    """(type, state, controls accepted) of each status report Wine traced in
    a file: the product's and those of Wine's own services."""
    try:
        text = Path(path).read_bytes().decode("utf-8", errors="replace")
    except FileNotFoundError:
        return []
    return [tuple(int(m[i], 16) for i in (1, 2, 3)) for m in map(STATUS_TRACE.match, text.splitlines()) if m]


def event_entries(path, source):
    try:
        text = Path(path).read_bytes().decode("utf-8", errors="replace")
    except FileNotFoundError:
        return []
    return [e for e in parse_event_lines(text) if e.source == source]


def console_lines(text):
    """Console output as lines: the C runtime turns "\\n" into "\\r\\n" in a
    file, so carriage returns carry no meaning here; empty lines are dropped."""
    return [line for line in text.replace("\r", "").split("\n") if line.strip()]
