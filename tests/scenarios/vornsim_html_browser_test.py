#!/usr/bin/env python3
"""vornsim's timeline page in a real browser, driven over WebDriver.

Writes the demo's page and a short soak's page, loads each in headless
Chromium (Debian's chromium with its own chromedriver, never a downloaded
one) and drives it as a person would: the state bands must match the printed
timeline, pointing at a mark shows its line, a click pins it, wheel and drag
zoom with an axis that relabels, the legend counts a push once, crowded marks
draw as bars that hold them all and open into marks as one zooms in, red is
only for a failed check, and a page with a failing check opens on it.
Screenshots and the pages stay in OUTDIR for people to look at.

usage: vornsim_html_browser_test.py VORNSIM OUTDIR
       vornsim_html_browser_test.py --measure PAGE   (prints the page's drawing time)
Exit status: 0 passed, 1 failed (a missing browser or driver is a failure:
scripts/setup installs chromium, chromium-driver and python3-selenium).
"""
import json
import os
import re
import subprocess
import sys
import tempfile

CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"
# Headless Chromium as root in a closed network: no sandbox, no background
# connections (refused here, they would only slow it down), a fresh profile.
CHROMIUM_FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-background-networking",
                  "--disable-component-update", "--disable-sync", "--no-first-run", "--disable-dev-shm-usage",
                  "--window-size=1400,900"]
CHECK_FAILED = 9
FAILED_RED = "#e03131"


class Failure(Exception):
    pass


def expect(condition, message):
    if not condition:
        raise Failure(message)


def browser(profile):
    try:
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
    except ImportError:
        raise Failure("python3-selenium is missing (scripts/setup installs it)")
    for path in (CHROMIUM, CHROMEDRIVER):
        expect(os.access(path, os.X_OK), "%s is missing (scripts/setup installs chromium and chromium-driver)" % path)
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for flag in CHROMIUM_FLAGS + ["--user-data-dir=" + profile]:
        options.add_argument(flag)
    return webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)


def vornsim(tool, args, work, script=None):
    env = dict(os.environ, WINSIM_ROOT=os.path.join(work, "machine-%d" % len(os.listdir(work))))
    env.pop("WINSIM_TIME_SCALE", None)
    run = subprocess.run([tool] + args, env=env, input=script, capture_output=True, text=True, timeout=600)
    expect(run.returncode == 0, "vornsim %s exited with %d:\n%s%s" % (args, run.returncode, run.stdout[-2000:], run.stderr))
    return [line for line in run.stdout.splitlines() if re.match(r"^\d+\.\d{3} \S+", line)]


def ms(line):
    return int(line.split(" ", 1)[0].replace(".", ""))


def segments(driver, band):
    return driver.execute_script(
        "return Array.from(document.querySelectorAll('#view rect.seg[data-band=\"' + arguments[0] + '\"]'))"
        ".map(r => [+r.dataset.from, +r.dataset.to, r.dataset.value]);", band)


def changes(segs):
    """The times at which a band's value changes, with the new value."""
    out = []
    for start, _, value in segs:
        if out and out[-1][0] == start:
            out.pop()
        if not out or out[-1][1] != value:
            out.append((start, value))
    return out


def check_band(driver, band, lines, pattern, initial):
    """The band changes exactly where the printed lines say it does."""
    want, last = [(0, initial)], initial
    for line in lines:
        found = re.match(pattern, line.split(" ", 1)[1])
        if found and found.group(1) != last:
            last = found.group(1)
            if want[-1][0] == ms(line):
                want.pop()
            want.append((ms(line), last))
    got = changes(segments(driver, band))
    expect(got == want, "band %s changes %s, the timeline says %s" % (band, got, want))


def view_window(driver):
    return driver.execute_script("return document.getElementById('window-label').textContent")


def axis_labels(driver):
    return driver.execute_script("return Array.from(document.querySelectorAll('#axis .tick-label')).map(t => t.textContent)")


def seconds(label):
    parts = label.split(":")
    return int(parts[0]) * 3600 + int(parts[1]) * 60 + float(parts[2])


def window_seconds(driver):
    begin, end = view_window(driver).split(" (")[0].split(" \u2013 ")
    return seconds(begin), seconds(end)


def check_hover_and_pin(driver, lines):
    from selenium.webdriver.common.action_chains import ActionChains
    marks = driver.find_elements("css selector", '#view .mark[data-kind="0"]')
    expect(marks, "no mark of a push that enabled")
    ActionChains(driver).move_to_element(marks[0]).perform()
    hovered = driver.find_element("id", "hover-line").text
    expect(hovered in lines and re.search(r"(Enable Wake-on-touch|wake-on-touch on|02 00 01 \.\.\.)$", hovered),
           "pointing at an enabling push shows %r" % hovered)
    failure = driver.find_elements("css selector", '#view .mark[data-kind="2"]')[0]
    ActionChains(driver).move_to_element(failure).click().move_by_offset(0, 200).perform()
    pinned = driver.find_element("id", "hover-line").text
    expect(pinned in lines and re.search(r"fail|not delivered", pinned, re.I), "a clicked failure mark pins %r" % pinned)
    drawn = driver.execute_script("return Array.from(document.querySelectorAll('#view .mark')).length")
    return drawn


def check_zoom(driver):
    from selenium.webdriver.common.action_chains import ActionChains
    from selenium.webdriver.common.actions.wheel_input import ScrollOrigin
    view = driver.find_element("id", "view")
    whole, labels = window_seconds(driver), axis_labels(driver)
    ActionChains(driver).scroll_from_origin(ScrollOrigin.from_element(view, 100, 0), 0, -600).perform()
    wheel = window_seconds(driver)
    expect(wheel[1] - wheel[0] < (whole[1] - whole[0]) / 2, "the wheel did not zoom in: %s -> %s" % (whole, wheel))
    expect(axis_labels(driver) != labels, "the axis kept its labels %s after zooming" % labels)
    driver.find_element("id", "whole").click()
    width = view.size["width"]
    ActionChains(driver).move_to_element_with_offset(view, int(width * 0.1), 0).click_and_hold() \
        .move_by_offset(int(width * 0.2), 0).release().perform()
    dragged = window_seconds(driver)
    expect(dragged[1] - dragged[0] < (whole[1] - whole[0]) / 2, "a drag did not zoom in: %s" % (dragged,))
    for label in axis_labels(driver):
        expect(dragged[0] - 1 <= seconds(label) <= dragged[1] + 1, "axis label %s outside the view %s" % (label, dragged))
    ActionChains(driver).double_click(view).perform()
    expect(window_seconds(driver) == whole, "a double-click did not show the whole run again")


def check_demo(driver, tool, work, out):
    page = os.path.join(out, "vornsim-demo.html")
    lines = vornsim(tool, ["--html", page], work)
    source = open(page, encoding="utf-8").read()
    outside = re.findall(r"""(?:src|href)\s*=|@import|url\(|https?:""", source)
    expect(not outside, "the page refers to something outside itself: %s" % outside[:5])
    driver.get("file://" + page)
    check_band(driver, "wake-on-touch", [l for l in lines if " ctl " in l], r"ctl wake-on-touch (on|off)$", "off")
    check_band(driver, "display", [l for l in lines if " sim " in l], r"sim display (on|off)$", "on")
    service = {"START_PENDING": "start pending", "RUNNING": "running", "STOP_PENDING": "stop pending", "STOPPED": "stopped"}
    scm = [l.split(" scm ")[0] + " scm " + service[l.rsplit(" ", 1)[1]] for l in lines if " scm " in l]
    check_band(driver, "service", scm, r"scm (.*)$", "stopped")
    enabled = driver.execute_script("return document.querySelector('#legend span[data-kind=\"0\"]').textContent")
    pushes = len([l for l in lines if l.endswith(" ctl wake-on-touch on")])
    expect(enabled == "push that enabled (%d)" % pushes, "the legend says %r for %d pushes" % (enabled, pushes))
    drawn = check_hover_and_pin(driver, lines)
    texts = driver.execute_script(
        "var d = JSON.parse(document.getElementById('vornsim-data').textContent);"
        "return Array.from(document.querySelectorAll('#view .mark')).map(m => d.texts[d.marks[4 * m.dataset.i + 3]]);")
    expect(not [t for t in texts if t.startswith("wait ")], "the sim lane draws the script's waits")
    driver.save_screenshot(os.path.join(out, "vornsim-demo.png"))
    check_zoom(driver)
    return "demo: %d lines, %d marks drawn" % (len(lines), drawn)


BARS = """
var d = JSON.parse(document.getElementById('vornsim-data').textContent), n = d.marks.length / 4;
return Array.from(document.querySelectorAll('#view .agg')).map(function (bar) {
  var lane = +bar.dataset.lane, from = +bar.dataset.from, to = +bar.dataset.to, held = 0;
  for (var i = 0; i < n; i++)
    if (d.marks[4 * i + 1] === lane && d.marks[4 * i + 2] !== 7 && d.marks[4 * i] >= from && d.marks[4 * i] <= to) held++;
  return [lane, +bar.dataset.count, held];
});"""


def check_bars(driver):
    """The whole run draws crowded marks as bars, each counting every line it
    stands for; clicking the event lane's bars opens them into marks."""
    from selenium.webdriver.common.action_chains import ActionChains
    bars = driver.execute_script(BARS)
    expect(any(lane == 1 for lane, _, _ in bars), "no bar in the event lane of an hour's soak: %s" % bars)
    expect(all(count == held for _, count, held in bars), "bars that do not count their lines: %s" %
           [b for b in bars if b[1] != b[2]])
    event_bars = '#view .agg[data-lane="1"]'
    for _ in range(8):
        inside = [b for b in driver.find_elements("css selector", event_bars)]
        if not inside:
            break
        ActionChains(driver).move_to_element(inside[0]).perform()
        expect(" lines: " in driver.find_element("id", "hover-line").text, "pointing at a bar does not say what it holds")
        ActionChains(driver).click(inside[0]).perform()
    expect(not driver.find_elements("css selector", event_bars), "the event lane's bars did not open: %s" % view_window(driver))
    expect(driver.execute_script("return document.querySelectorAll('#view .mark').length"), "no marks after opening a bar")
    driver.find_element("id", "whole").click()


def check_soak(driver, tool, work, out):
    page = os.path.join(out, "vornsim-soak.html")
    vornsim(tool, ["--soak", "1", "--seed", "3", "--html", page], work)
    driver.get("file://" + page)
    summary = driver.find_element("id", "summary").text
    expect("passed" in summary, "the summary at the top says %r" % summary[:200])
    checks = driver.find_elements("css selector", '#view .mark[data-kind="8"], #view .mark[data-kind="10"]')
    expect(len(checks) >= 10, "the page shows %d checks of an hour's soak" % len(checks))
    from selenium.webdriver.common.action_chains import ActionChains
    ActionChains(driver).move_to_element(checks[-1]).perform()
    expect(" checks #" in driver.find_element("id", "hover-line").text, "a check's mark shows its line")
    expect(not driver.find_elements("css selector", '[fill="%s"], #summary.failed' % FAILED_RED),
           "a passed soak shows red")
    check_bars(driver)
    driver.save_screenshot(os.path.join(out, "vornsim-soak.png"))

    # The same page with one check failed: it opens on that check's window.
    source = open(page, encoding="utf-8").read()
    block = re.search(r'(<script id="vornsim-data" type="application/json">)(.*?)(</script>)', source, re.S)
    data = json.loads(block.group(2))
    target = [i for i in range(0, len(data["marks"]), 4) if data["marks"][i + 2] == 8][5]
    data["marks"][target + 2] = CHECK_FAILED
    failed = os.path.join(out, "vornsim-soak-failed.html")
    with open(failed, "w", encoding="utf-8") as f:
        f.write(source[:block.start(2)] + json.dumps(data).replace("<", "\\u003c") + source[block.end(2):])
    driver.get("file://" + failed)
    begin, end = window_seconds(driver)
    at = data["marks"][target] / 1000
    expect(begin < at < end and end - begin <= 8 * 60, "the failing check at %s s is not opened: %s" % (at, (begin, end)))
    expect(driver.find_element("id", "hover-line").text.endswith(data["texts"][data["marks"][target + 3]]),
           "the failing check's line is not shown on load")
    return "soak: %d checks drawn" % len(checks)


def measure(page):
    with tempfile.TemporaryDirectory(prefix="vornsim-measure-") as work:
        driver = browser(os.path.join(work, "profile"))
        try:
            for _ in range(3):
                driver.get("file://" + os.path.abspath(page))
                drawn = driver.execute_script("return +document.documentElement.getAttribute('data-drawn-ms')")
                print("%s: %.1f MB, drawn %d ms after the navigation began" % (page, os.path.getsize(page) / 1e6, drawn))
        finally:
            driver.quit()
    return 0


def main():
    if len(sys.argv) == 3 and sys.argv[1] == "--measure":
        return measure(sys.argv[2])
    if len(sys.argv) != 3:
        print(__doc__)
        return 2
    tool, out = sys.argv[1], sys.argv[2]
    os.makedirs(out, exist_ok=True)
    with tempfile.TemporaryDirectory(prefix="vornsim-browser-") as work:
        driver = None
        try:
            os.mkdir(os.path.join(work, "runs"))
            driver = browser(os.path.join(work, "profile"))
            results = [check_demo(driver, tool, os.path.join(work, "runs"), out),
                       check_soak(driver, tool, os.path.join(work, "runs"), out)]
        except Failure as failure:
            print("FAIL: %s" % failure)
            return 1
        finally:
            if driver:
                driver.quit()
    print("PASS: %s; screenshots in %s" % ("; ".join(results), out))
    return 0


if __name__ == "__main__":
    sys.exit(main())
