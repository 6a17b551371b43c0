"""The Windows build under test: where its files are, which parts of the
product the executable already carries, and its version."""

import re
import shutil
import subprocess
from pathlib import Path

EXE_NAME = "VornPalmixSvc.exe"
CONFORMANCE_EXE = "tests/winsim/winsim_conformance.exe"

# A part of the product counts as built into the executable when its classes
# or functions are linked in. Checks that need a part not yet built are skipped
# and say which part they wait for.
FEATURES = {
    "log": ("debug log", ["DbgLogInit"]),
    "service": ("service frame and service object", ["CServiceBase", "CSampleService"]),
    "controller": ("touch controller layer and HID transport", ["CTouchIC", "CHIDWinGet"]),
    "watcher": ("user setting, watcher and push",
                ["CSampleService::ReadWoTsetting", "CSampleService::HidDevWoTCtrl"]),
}
NM = "x86_64-w64-mingw32-nm"


def find_executable(build_dir):
    build = Path(build_dir)
    direct = build / EXE_NAME
    if direct.is_file():
        return direct
    found = sorted(p for p in build.rglob(EXE_NAME) if "CMakeFiles" not in p.parts)
    return found[0] if found else None


def linked_symbols(exe):
    """Demangled names of the executable's symbols, or None when it has no
    symbol table (a stripped build, where presence cannot be told)."""
    nm = shutil.which(NM)
    if not nm:
        return None
    proc = subprocess.run([nm, "-C", str(exe)], stdin=subprocess.DEVNULL,
                          capture_output=True, text=True, errors="replace", timeout=60)
    if proc.returncode != 0 or not proc.stdout.strip():
        return None
    return proc.stdout


def missing_features(exe):
    """Features the product lacks: all of them without an executable."""
    if exe is None:
        return {"exe", *FEATURES}, f"{EXE_NAME} is not built yet"
    symbols = linked_symbols(exe)
    if symbols is None:
        return set(), "no symbol table: every check runs"
    missing = {key for key, (_, names) in FEATURES.items()
               if not all(re.search(rf"\b{re.escape(name)}\b", symbols) for name in names)}
    return missing, ""


# Checks that play against the virtual controller need its driver installed.
DRIVER_MISSING = "waits for the virtual controller driver (vdev/ in the build) to be built and installed"


def describe_missing(lacking):
    """Why a check waits: the executable itself, else the parts it lacks."""
    if "exe" in lacking:
        return f"waits for {EXE_NAME} to be built"
    if "driver" in lacking:
        return DRIVER_MISSING
    parts = [f"{FEATURES[key][0]} ({', '.join(FEATURES[key][1])})" for key in sorted(lacking)]
    return f"waits for {' and '.join(parts)} in {EXE_NAME}"


def project_version(build_dir):
    """The four-part version the build stamps into the version resource."""
    cache = Path(build_dir) / "CMakeCache.txt"
    try:
        text = cache.read_text(errors="replace")
    except OSError:
        return None
    m = re.search(r"^CMAKE_PROJECT_VERSION:\w+=(\d+\.\d+\.\d+\.\d+)$", text, re.M)
    return m[1] if m else None
