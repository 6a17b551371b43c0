"""Wine prefixes and sessions: boot once, clone per session, run every command
with a time limit and its output in files.

Wine's helper processes (services.exe, winedevice.exe, ...) inherit the standard
handles of the first process of a session and keep them open for the session's
whole life, so a pipe given to a Wine process may never reach end-of-file: every
Wine process here writes to files.
"""

import functools
import os
import shutil
import signal
import subprocess
import threading
import time
from dataclasses import dataclass
from pathlib import Path

# Wine's own prompts to download Mono and Gecko would block a headless run.
DLL_OVERRIDES = "mscoree,mshtml=;winemenubuilder.exe=d"
# Wine's debug channels for ordinary calls: errors only, in the call's stderr file.
QUIET = "fixme-all"
# Grace after `timeout` sends SIGTERM before it sends SIGKILL.
KILL_GRACE_S = 5
# Bound of the calls that manage the server itself.
SERVER_CALL_S = 30
CONTROL_KEY = "HKLM\\System\\CurrentControlSet\\Control"
SERVICE_START_MS = 60000
# Directories of a booted prefix that hold only Wine's DLLs and programs,
# which nothing writes to at run time: clones share their files by hard link.
SHARED_TREES = ("drive_c/windows/system32", "drive_c/windows/winsxs")
# ... except the drivers folder: installing a driver in a session rewrites its
# file there, in place, and a driver another session runs from the same file
# then finds its import table undone (its host crashes).
OWN_TREES = ("drive_c/windows/system32/drivers",)


class WineError(RuntimeError):
    """A step of the harness itself failed (not a check of the product)."""


def find_tool(name):
    """Debian's wine64 package puts its loader and server outside the PATH."""
    for folder in ("/usr/lib/wine", "/usr/lib/x86_64-linux-gnu/wine", "/opt/wine-stable/bin"):
        candidate = Path(folder) / name
        if candidate.is_file() and os.access(candidate, os.X_OK):
            return str(candidate)
    found = shutil.which(name)
    if not found:
        raise WineError(f"{name} not found (is the wine64 package installed?)")
    return found


@dataclass
class Result:
    """What one finished Wine process left behind."""

    args: list
    returncode: int
    stdout: str
    stderr: str
    elapsed_s: float
    timed_out: bool
    err_path: Path

    def describe(self):
        status = "timed out" if self.timed_out else f"exit {self.returncode}"
        return f"{' '.join(self.args)}: {status} after {self.elapsed_s:.1f} s"


def read_text(path):
    try:
        return Path(path).read_bytes().decode("utf-8", errors="replace")
    except FileNotFoundError:
        return ""


@functools.cache
def fixed_layout():
    """The prefix that starts a process without address-space randomisation,
    or nothing where the machine refuses it. Wine maps the shared user data at
    a fixed address at start; Debian's wine64 has no preloader to keep that
    address free, so with randomisation a library mapped there now and then
    ends a start with "failed to map the shared user data" (c0000018). The
    setting is inherited, so wineserver and every process Wine starts get it."""
    setarch = shutil.which("setarch")
    if not setarch:
        return []
    probe = subprocess.run([setarch, "x86_64", "-R", "true"], stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return [setarch, "x86_64", "-R"] if probe.returncode == 0 else []


class Process:
    """A Wine process started in the background, its output in two files."""

    def __init__(self, argv, env, out_path, err_path, limit_s):
        self.args = [Path(argv[0]).name] + list(argv[1:])
        self.out_path, self.err_path = Path(out_path), Path(err_path)
        self.limit_s = limit_s
        self.started = time.monotonic()
        with open(out_path, "wb") as out, open(err_path, "wb") as err:
            self.popen = subprocess.Popen(
                ["timeout", "-k", str(KILL_GRACE_S), str(limit_s)] + fixed_layout() + argv,
                stdin=subprocess.DEVNULL, stdout=out, stderr=err, env=env,
                start_new_session=True)

    def running(self):
        return self.popen.poll() is None

    def wait(self):
        try:
            rc = self.popen.wait(timeout=self.limit_s + KILL_GRACE_S + 10)
        except subprocess.TimeoutExpired:
            self.kill()
            rc = self.popen.wait(timeout=10)
        elapsed = time.monotonic() - self.started
        return Result(self.args, rc, read_text(self.out_path), read_text(self.err_path),
                      elapsed, rc in (124, 137), self.err_path)

    def kill(self):
        if self.popen.poll() is None:
            try:
                os.killpg(self.popen.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass


class Prefix:
    """One Wine prefix (a Windows installation in a folder) and its server.

    Debian's wineserver keeps its socket in a folder under TMPDIR named in the
    prefix's `wineserver` file; `tmp_dir` is that TMPDIR, owned by the caller."""

    def __init__(self, path, tmp_dir):
        self.path = Path(path)
        self.tmp_dir = Path(tmp_dir)
        self.tmp_dir.mkdir(parents=True, exist_ok=True)

    @functools.cached_property
    def wine64(self):
        return find_tool("wine64")

    @functools.cached_property
    def wineserver(self):
        return find_tool("wineserver")

    @property
    def drive_c(self):
        return self.path / "drive_c"

    def env(self, debug=QUIET):
        env = dict(os.environ)
        for name in ("DISPLAY", "WAYLAND_DISPLAY", "WINEARCH", "WINELOADER", "WINESERVER"):
            env.pop(name, None)
        env.update(WINEPREFIX=str(self.path), WINEDLLOVERRIDES=DLL_OVERRIDES, WINEDEBUG=debug,
                   TMPDIR=str(self.tmp_dir))
        return env

    def server_call(self, *flags):
        return subprocess.run(["timeout", "-k", str(KILL_GRACE_S), str(SERVER_CALL_S),
                               *fixed_layout(), self.wineserver, *flags],
                              stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL, env=self.env()).returncode

    def boot(self, log_dir, limit_s=120):
        """Creates the prefix; wineboot leaves a session behind, which is ended."""
        self.path.mkdir(parents=True, exist_ok=True)
        proc = Process([self.wine64, "wineboot", "-i"], self.env(),
                       Path(log_dir) / "wineboot.out", Path(log_dir) / "wineboot.err", limit_s)
        result = proc.wait()
        if result.returncode == 0:
            self._lengthen_service_start(log_dir)
        self.stop_server()
        if result.returncode != 0 or not (self.path / "system.reg").exists():
            raise WineError(f"wineboot failed ({result.describe()}); see {log_dir}/wineboot.err")
        return result

    def _lengthen_service_start(self, log_dir):
        """services.exe gives a starting service 10 s by default; on a busy
        machine Wine's own HID bus driver can miss that and the session then
        has no HID devices at all."""
        proc = Process([self.wine64, "reg", "add", CONTROL_KEY, "/v", "ServicesPipeTimeout",
                        "/t", "REG_DWORD", "/d", str(SERVICE_START_MS), "/f"], self.env(),
                       Path(log_dir) / "timeout.out", Path(log_dir) / "timeout.err", SERVER_CALL_S)
        result = proc.wait()
        if result.returncode != 0:
            raise WineError(f"cannot set the service start timeout ({result.describe()})")

    def clone(self, path):
        """A copy of this (stopped) prefix that gets a server of its own."""
        target = Path(path)
        shutil.copytree(self.path, target, symlinks=True, copy_function=self._copier())
        return Prefix(target, self.tmp_dir)

    def _copier(self):
        shared = [str(self.path / tree) + os.sep for tree in SHARED_TREES]
        own = [str(self.path / tree) + os.sep for tree in OWN_TREES]

        def copy(src, dst):
            if any(src.startswith(root) for root in shared) and not any(src.startswith(root) for root in own):
                os.link(src, dst)
            else:
                shutil.copy2(src, dst)
        return copy

    def start_server(self):
        """A persistent server: without it Wine ends the services (ours too)
        as soon as the last ordinary process of the session exits."""
        if self.server_call("-p") != 0:
            raise WineError(f"wineserver -p failed for {self.path}")

    def stop_server(self):
        self.server_call("-k")
        if self.server_call("-w") != 0:
            self._kill_server_by_lock()
        self._remove_server_dir()

    def server_dir(self):
        st = self.path.stat()
        try:
            folder = self.tmp_dir / (self.path / "wineserver").read_text().strip()
        except OSError:
            folder = Path(f"/tmp/.wine-{os.getuid()}")
        return folder / f"server-{st.st_dev:x}-{st.st_ino:x}"

    def _kill_server_by_lock(self):
        """Last resort when `wineserver -k` did not end our server: its lock
        file names its process id."""
        try:
            pid = int((self.server_dir() / "lock").read_text().split()[0])
            os.kill(pid, signal.SIGKILL)
        except (OSError, ValueError, IndexError):
            pass

    def _remove_server_dir(self):
        try:
            shutil.rmtree(self.server_dir())
        except OSError:
            pass

    def remove(self):
        shutil.rmtree(self.path, ignore_errors=True)

    def windows_path(self, unix_path):
        relative = Path(unix_path).relative_to(self.drive_c)
        return "C:\\" + "\\".join(relative.parts)


class Session:
    """A running Wine session on one prefix.

    Its first process, `explorer`, gets WINEDEBUG=+eventlog (or the channels
    given) and files for its output: services.exe and every service it starts
    inherit both, so the event-log entries of the service appear in that
    standard error file.
    explorer.exe is also the process whose token names the interactive user.
    """

    FIRST_PROCESS_LIMIT_S = 600

    def __init__(self, prefix, out_dir, name):
        self.prefix = prefix
        self.name = name
        self.out_dir = Path(out_dir)
        self.out_dir.mkdir(parents=True, exist_ok=True)
        self.first = None
        self.background = []
        self.counter = 0
        self.closed = False
        self.lock = threading.Lock()

    @property
    def first_stderr(self):
        return self.out_dir / "00-explorer.err"

    def start(self, ready_limit_s=60, channels="+eventlog"):
        with self.lock:
            self._refuse_if_closed()
            self.prefix.start_server()
            self.first = Process([self.prefix.wine64, "explorer"], self.prefix.env(channels),
                                 self.out_dir / "00-explorer.out", self.first_stderr,
                                 self.FIRST_PROCESS_LIMIT_S)
        deadline = time.monotonic() + ready_limit_s
        while not self.windows_processes("explorer.exe"):
            if time.monotonic() > deadline or not self.first.running():
                raise WineError(f"{self.name}: explorer.exe did not start")
            time.sleep(0.2)

    def _files(self, tag):
        self.counter += 1
        stem = f"{self.counter:02d}-{tag}"
        return self.out_dir / f"{stem}.out", self.out_dir / f"{stem}.err"

    def _refuse_if_closed(self):
        # Wine would quietly create a new prefix where a removed one was.
        if self.closed or not self.prefix.path.is_dir():
            raise WineError(f"{self.name}: the session has ended")

    def spawn(self, args, tag, limit_s=60, debug=QUIET):
        with self.lock:
            self._refuse_if_closed()
            out, err = self._files(tag)
            proc = Process([self.prefix.wine64, *args], self.prefix.env(debug), out, err, limit_s)
            self.background.append(proc)
        return proc

    def run(self, args, tag, limit_s=60, debug=QUIET):
        return self.spawn(args, tag, limit_s, debug).wait()

    def windows_processes(self, exe_name):
        """Unix pids of this session's Windows processes running `exe_name`."""
        found = []
        wanted = ("WINEPREFIX=" + str(self.prefix.path)).encode()
        for entry in Path("/proc").iterdir():
            if not entry.name.isdigit():
                continue
            try:
                argv0 = (entry / "cmdline").read_bytes().split(b"\0")[0].decode(errors="replace")
                if not argv0.lower().endswith("\\" + exe_name.lower()):
                    continue
                if wanted in (entry / "environ").read_bytes().split(b"\0"):
                    found.append(int(entry.name))
            except OSError:
                continue
        return found

    def close(self):
        """Ends everything of the session: its processes, then its server.
        Once closed, a session starts nothing more."""
        with self.lock:
            already, self.closed = self.closed, True
            procs = self.background + ([self.first] if self.first else [])
        if already:
            return
        for proc in procs:
            proc.kill()
        self.prefix.stop_server()
        for proc in procs:
            try:
                proc.popen.wait(timeout=10)
            except subprocess.TimeoutExpired:
                pass
