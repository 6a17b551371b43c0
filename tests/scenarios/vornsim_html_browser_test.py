#!/usr/bin/env python3
"""vornsim --html in a real browser.

Plays a script (default: the built-in demo) with `vornsim --html`, loads the
page in headless Chromium, and compares what the browser drew with the
timeline vornsim printed: the number of marks per lane (which the page's
script writes into <pre id="mark-counts">), and the hover text (<title>) of
every mark against the printed lines. Also checks that the page refers to
nothing outside itself.

usage: vornsim_html_browser_test.py VORNSIM [SCRIPT]
Exit status: 0 passed, 1 failed, 77 skipped (no chromium; scripts/setup
installs it). CHROMIUM names the browser when it is not `chromium` on PATH.
"""
import collections
import html
import os
import re
import shutil
import subprocess
import sys
import tempfile

SKIP = 77
LANES = ["scm", "event", "wire", "ctl", "sim"]
# Chromium in a closed network, as root: no sandbox, and no background
# connections (they are refused here and would only slow it down).
CHROMIUM_FLAGS = [
    "--headless",
    "--no-sandbox",
    "--disable-gpu",
    "--disable-quic",
    "--no-first-run",
    "--disable-background-networking",
    "--disable-component-update",
    "--disable-sync",
    "--disable-dev-shm-usage",
    "--virtual-time-budget=5000",
]


def fail(message):
    print("FAIL: " + message)
    sys.exit(1)


def timeline_lines(stdout):
    lines = []
    for line in stdout.splitlines():
        if re.match(r"^\d+\.\d{3} \S+( |$)", line):
            lines.append(line)
    return lines


def main():
    if len(sys.argv) < 2:
        print(__doc__)
        return 2
    vornsim = sys.argv[1]
    script = sys.argv[2:3]
    browser = os.environ.get("CHROMIUM") or shutil.which("chromium")
    if not browser:
        print("SKIP: chromium is not installed (scripts/setup installs it); the page was not tested in a browser")
        return SKIP

    with tempfile.TemporaryDirectory(prefix="vornsim-html-") as work:
        page = os.path.join(work, "timeline.html")
        env = dict(os.environ, WINSIM_ROOT=os.path.join(work, "machine"))
        run = subprocess.run([vornsim, "--html", page] + script, env=env, capture_output=True, text=True,
                             timeout=240)
        if run.returncode != 0:
            fail("vornsim exited with %d:\n%s%s" % (run.returncode, run.stdout, run.stderr))
        lines = timeline_lines(run.stdout)
        if not lines:
            fail("vornsim printed no timeline")
        printed = collections.Counter(line.split(" ", 2)[1] for line in lines)

        with open(page, encoding="utf-8") as f:
            source = f.read()
        outside = re.findall(r"""(?:src|href)\s*=\s*["']?[^"'\s>]+|@import|url\(|https?://""", source)
        if outside:
            fail("the page refers to something outside itself: %s" % outside[:5])

        profile = os.path.join(work, "profile")
        command = [browser] + CHROMIUM_FLAGS + ["--user-data-dir=" + profile, "--dump-dom", "file://" + page]
        try:
            dump = subprocess.run(command, capture_output=True, text=True, timeout=180)
        except subprocess.TimeoutExpired:
            fail("chromium did not finish within 180 s")
        if dump.returncode != 0 or "</html>" not in dump.stdout:
            fail("chromium exited with %d and no page:\n%s" % (dump.returncode, dump.stderr[-3000:]))
        dom = dump.stdout

        found = re.search(r'<pre id="mark-counts">(.*?)</pre>', dom, re.S)
        if not found or not found.group(1).strip():
            fail("the page's script wrote no mark counts into the DOM")
        drawn = {}
        for row in html.unescape(found.group(1)).strip().splitlines():
            lane, count = row.rsplit(" ", 1)
            drawn[lane] = int(count)

        for lane in LANES:
            if lane not in drawn:
                fail("the page has no lane '%s' (lanes: %s)" % (lane, ", ".join(drawn)))
        expected = {lane: printed.get(lane, 0) for lane in set(LANES) | set(printed)}
        if drawn != expected:
            fail("marks per lane in the browser %s, lines per channel in the timeline %s" % (drawn, expected))

        titles = collections.Counter(html.unescape(t) for t in re.findall(r'<rect class="mark"[^>]*><title>(.*?)</title>',
                                                                            dom, re.S))
        if titles != collections.Counter(lines):
            missing = list((collections.Counter(lines) - titles).elements())[:5]
            extra = list((titles - collections.Counter(lines)).elements())[:5]
            fail("hover texts differ from the timeline; missing %s, extra %s" % (missing, extra))

        print("PASS: %d marks in %d lanes, each with its line as hover text: %s" %
              (sum(drawn.values()), len(drawn), ", ".join("%s %d" % (k, drawn[k]) for k in LANES)))
        return 0


if __name__ == "__main__":
    sys.exit(main())
