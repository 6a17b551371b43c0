"""The exported trace-information class: the export table holds exactly its
public members, under this compiler's names and under Microsoft's, and a
caller built as Microsoft's compiler builds it gets the host suite's results
from every one of them."""

import re
import shutil
import subprocess

from .scenario import Scenario, INSTALL_DIR

OBJDUMP = "x86_64-w64-mingw32-objdump"
CALLER_EXE = "tests/wine/msvc/tpinfo_caller.exe"
# Microsoft's decorated names of the seven members, then MinGW's (the
# constructor twice: complete and base object).
MSVC_EXPORTS = {
    "??0CTPInfo@@QEAA@XZ",
    "??4CTPInfo@@QEAAAEAV0@AEBV0@@Z",
    "??4CTPInfo@@QEAAAEAV0@$$QEAV0@@Z",
    "?GetXTrace@CTPInfo@@QEAAHXZ",
    "?GetYTrace@CTPInfo@@QEAAHXZ",
    "?GetTraceInfo@CTPInfo@@QEAAXPEAU_TRACE_INFORMATION@@@Z",
    "?SetTraceInfo@CTPInfo@@QEAAXPEAU_TRACE_INFORMATION@@@Z",
}
MINGW_EXPORTS = {
    "_ZN7CTPInfoC1Ev",
    "_ZN7CTPInfoC2Ev",
    "_ZN7CTPInfoaSERKS_",
    "_ZN7CTPInfoaSEOS_",
    "_ZN7CTPInfo9GetXTraceEv",
    "_ZN7CTPInfo9GetYTraceEv",
    "_ZN7CTPInfo12GetTraceInfoEP18_TRACE_INFORMATION",
    "_ZN7CTPInfo12SetTraceInfoEP18_TRACE_INFORMATION",
}
TABLE = "the export table is exactly the public members, under MinGW's and Microsoft's names"
CALLER = "a Microsoft-ABI caller gets the expected results from every exported member"
CALLER_LIMIT_S = 60


def export_names(objdump_text):
    """Names of the '[Ordinal/Name Pointer] Table' in `objdump -p` output."""
    names, inside = [], False
    for line in objdump_text.splitlines():
        if line.startswith("[Ordinal/Name Pointer] Table"):
            inside = True
        elif inside:
            m = re.match(r"^\s*\[\s*\d+\]\s+(\S+)\s*$", line)
            if not m:
                break
            names.append(m[1])
    return names


def table_problem(names):
    want = MSVC_EXPORTS | MINGW_EXPORTS
    missing, extra = sorted(want - set(names)), sorted(set(names) - want)
    if not names:
        return "the executable exports nothing"
    parts = ([f"missing {', '.join(missing)}"] if missing else []) + \
            ([f"unexpected {', '.join(extra)}"] if extra else [])
    return "; ".join(parts)


class Exports(Scenario):
    title = "exported trace-information class"

    def declare(self):
        return {TABLE: ("exe",), CALLER: ("exe",)}

    def body(self):
        self.check_table()
        self.run_caller()

    def check_table(self):
        tool = shutil.which(OBJDUMP)
        if not tool:
            self.plan.record(TABLE, False, f"{OBJDUMP} not found")
            return
        proc = subprocess.run([tool, "-p", str(self.stage.exe)], stdin=subprocess.DEVNULL,
                              capture_output=True, text=True, errors="replace", timeout=60)
        problem = table_problem(export_names(proc.stdout))
        self.plan.record(TABLE, not problem, problem)

    def run_caller(self):
        caller = self.stage.build_dir / CALLER_EXE
        if not caller.is_file():
            self.plan.record(CALLER, False, f"{caller} is not built (clang, lld and llvm are needed)")
            return
        self.install_files(with_log_dir=False)
        target = self.drive_c.joinpath(*INSTALL_DIR)
        shutil.copy2(caller, target / caller.name)
        result = self.wine("C:\\" + "\\".join(INSTALL_DIR) + "\\" + caller.name, tag="msvc-caller",
                           limit_s=CALLER_LIMIT_S)
        last = result.stdout.strip().splitlines()[-1:] or ["<no output>"]
        failed = [line for line in result.stdout.splitlines() if line.startswith("FAIL")]
        ok = result.returncode == 0 and not result.timed_out and last[0].endswith(" 0 failed")
        self.plan.record(CALLER, ok, f"{result.describe()}; {'; '.join(failed) or last[0]}")
