"""The cross-built winsim conformance suite, run under Wine: one check per
GoogleTest test. Tests that Wine alone fails are listed, each with its reason,
in a gaps file and are skipped here; their expectations stay in the suite."""

import fnmatch
import shutil
import xml.etree.ElementTree as ET
from pathlib import Path

from .report import FAIL, PASS, SKIP, Outcome

SUITE_LIMIT_S = 180


def load_gaps(path):
    """Pattern -> reason. Every pattern must carry a reason."""
    gaps = {}
    for number, raw in enumerate(Path(path).read_text().splitlines(), 1):
        line = raw.strip()
        if not line or line.startswith("#"):
            continue
        pattern, _, reason = line.partition(" ")
        if not reason.strip():
            raise ValueError(f"{path}:{number}: {pattern} has no reason")
        gaps[pattern] = reason.strip()
    return gaps


def parse_test_list(text):
    """Full names from --gtest_list_tests: suites flush left, tests indented."""
    names, suite = [], ""
    for line in text.splitlines():
        if not line.strip() or line.startswith("Running main"):
            continue
        if not line.startswith(" "):
            suite = line.split("#")[0].strip()
        else:
            names.append(suite + line.split("#")[0].strip())
    return names


def gap_reason(name, gaps):
    for pattern, reason in gaps.items():
        if fnmatch.fnmatchcase(name, pattern):
            return reason
    return None


def parse_results(xml_text):
    """Full name -> (status, first line of the first failure)."""
    results = {}
    root = ET.fromstring(xml_text)
    for case in root.iter("testcase"):
        name = f"{case.get('classname')}.{case.get('name')}"
        failure = case.find("failure")
        if failure is not None:
            message = (failure.get("message") or "").strip().splitlines()
            results[name] = (FAIL, message[0] if message else "failed")
        elif case.get("result") == "skipped" or case.find("skipped") is not None:
            results[name] = (SKIP, "skipped under Wine by the test: " + _skip_reason(case))
        elif case.get("status", "run") == "run":
            results[name] = (PASS, "")
    return results


def _skip_reason(case):
    """GoogleTest writes GTEST_SKIP()'s message after a "Skipped" line."""
    skipped = case.find("skipped")
    text = (skipped.get("message") or skipped.text or "") if skipped is not None else ""
    lines = [ln.strip() for ln in text.splitlines() if ln.strip()]
    reason = [ln for ln in lines if not ln.endswith(("Skipped", "Skipped:")) and ".cpp:" not in ln]
    return reason[0] if reason else (lines[-1] if lines else "no reason given")


def run_suite(session, suite_exe, gaps):
    """Outcomes of every test of the suite, in list order."""
    work = session.prefix.drive_c / "conformance"
    work.mkdir(parents=True, exist_ok=True)
    shutil.copy2(suite_exe, work / "winsim_conformance.exe")
    exe = session.prefix.windows_path(work / "winsim_conformance.exe")
    listed = session.run([exe, "--gtest_list_tests"], "conformance-list", limit_s=60)
    names = parse_test_list(listed.stdout)
    if listed.returncode != 0 or not names:
        return [Outcome("list the tests", FAIL, listed.describe())]
    skipped = {n: gap_reason(n, gaps) for n in names if gap_reason(n, gaps)}
    args = [exe, "--gtest_output=xml:" + session.prefix.windows_path(work / "results.xml")]
    if skipped:
        args.append("--gtest_filter=-" + ":".join(skipped))
    run = session.run(args, "conformance", limit_s=SUITE_LIMIT_S)
    if (work / "results.xml").is_file():
        shutil.copy2(work / "results.xml", session.out_dir / "conformance-results.xml")
    return _outcomes(names, skipped, work / "results.xml", run)


def _outcomes(names, skipped, xml_path, run):
    try:
        results = parse_results(xml_path.read_text(errors="replace"))
    except (OSError, ET.ParseError):
        results = {}
    outcomes = []
    for name in names:
        if name in skipped:
            outcomes.append(Outcome(name, SKIP, "Wine-only gap: " + skipped[name]))
        elif name in results:
            status, detail = results[name]
            outcomes.append(Outcome(name, status, detail))
        else:
            outcomes.append(Outcome(name, FAIL, f"no result ({run.describe()})"))
    failed_cleanly = run.returncode == 0 or any(o.status == FAIL for o in outcomes)
    if not failed_cleanly:
        outcomes.append(Outcome("suite exit status", FAIL, run.describe()))
    return outcomes
