#!/usr/bin/env python3
"""The results file of scripts/bench and its one table.

    bench/results.py RESULTS.json

prints one table of the run: each benchmark, its median, the goal it is held
to and the outcome. The file holds Google Benchmark's own output (the context,
every repetition and the aggregates of vorn_bench), the goals under "goals",
and the sections the later steps add with merge(): the product's instruction
counts ("instructions") and the Wine run ("wine"). Their rows carry the name
the table shows ("benchmark"), which their goals name too."""

import json
import sys
from pathlib import Path

UNITS = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}


class ResultsError(RuntimeError):
    pass


def load(path):
    try:
        results = json.loads(Path(path).read_text())
    except FileNotFoundError:
        return {}
    except (OSError, ValueError) as error:
        raise ResultsError(f"cannot read {path}: {error}") from None
    if not isinstance(results, dict):
        raise ResultsError(f"{path} holds no results")
    return results


def merge(path, section, value, goals):
    """Writes `value` under `section` and replaces that section's goals,
    keeping what the other steps wrote."""
    results = load(path)
    results[section] = value
    kept = [g for g in results.get("goals", []) if g.get("section") != section]
    results["goals"] = kept + [dict(g, section=section) for g in goals]
    Path(path).parent.mkdir(parents=True, exist_ok=True)
    Path(path).write_text(json.dumps(results, indent=2) + "\n")


def goal(benchmark, text, value, limit, detail):
    return {"benchmark": benchmark, "goal": text, "outcome": "PASS" if value <= limit else "MISS", "detail": detail}


def time_text(seconds):
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("us", 1e-6)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds / 1e-9:.3g} ns"


def count_text(count):
    return f"{count:,.0f}".replace(",", " ") if count >= 100 else f"{count:.3g}"


def library_rows(results):
    """(benchmark, median) of vorn_bench's runs, in the order they were registered:
    the median over the repetitions, or the one run of a benchmark not repeated."""
    medians, singles = {}, {}
    for run in results.get("benchmarks", []):
        name = run.get("run_name", run.get("name", "?"))
        if run.get("aggregate_name") == "median":
            medians[name] = run
        elif run.get("run_type") == "iteration":
            singles[name] = run
    runs = {**singles, **medians}
    rows = []
    for name, run in sorted(runs.items(), key=lambda item: (item[1].get("family_index", 0),
                                                             item[1].get("per_family_instance_index", 0))):
        if run.get("error_occurred"):
            rows.append((name, "error: " + run.get("error_message", "?")))
        else:
            rows.append((name, time_text(run["real_time"] * UNITS.get(run.get("time_unit", "ns"), 1e-9))))
    return rows


def section_rows(section):
    """(benchmark, median) of a section's rows: times in microseconds or counts."""
    rows = []
    for row in section.get("rows", []):
        if "median_us" in row:
            rows.append((row["benchmark"], time_text(row["median_us"] * 1e-6)))
        else:
            rows.append((row["benchmark"], count_text(row["count"])))
    return rows


def table(results):
    """The lines of the table."""
    rows = library_rows(results)
    for section in ("instructions", "wine"):
        rows += section_rows(results.get(section, {}))
    goals = {}
    for g in results.get("goals", []):
        g = {"benchmark": "?", "goal": "?", "outcome": "?", "detail": "", **g}  # a file of an older run
        goals.setdefault(g["benchmark"], []).append(g)
    named = {name for name, _ in rows}
    rows += [(name, "-") for name in goals if name not in named]  # a goal whose benchmark did not run
    lines = []
    for name, median in rows:
        held = goals.get(name) or [{"goal": "", "outcome": "", "detail": ""}]
        for i, g in enumerate(held):
            text = f"{g['goal']}: {g['detail']}" if g["detail"] else g["goal"]
            lines.append((name if i == 0 else "", median if i == 0 else "", text, g["outcome"]))
    widths = [max(len(line[i]) for line in lines + [("benchmark", "median", "goal", "outcome")]) for i in range(3)]
    out = [f"{'benchmark':<{widths[0]}}  {'median':>{widths[1]}}  {'goal':<{widths[2]}}  outcome"]
    out += [f"{n:<{widths[0]}}  {m:>{widths[1]}}  {t:<{widths[2]}}  {o}".rstrip() for n, m, t, o in lines]
    return out


def notes(results):
    """What the reader of the figures must know about this run."""
    context = results.get("context", {})
    found = []
    if context.get("library_build_type") == "debug":
        found.append("Google Benchmark is Debian's build, made without NDEBUG (its \"Library was built as DEBUG\"): "
                     "its checks run around the timed loops, not in them; the figures stand (README, Performance).")
    if context.get("load_avg"):
        found.append(f"load average when vorn_bench started: {', '.join(f'{x:.2f}' for x in context['load_avg'])}")
    if results.get("wine", {}).get("version"):
        found.append(f"Wine: {results['wine']['version']}")
    return found


def main(argv):
    if len(argv) != 1 or argv[0].startswith("-"):
        print("usage: bench/results.py RESULTS.json", file=sys.stderr)
        return 2
    try:
        results = load(argv[0])
    except ResultsError as error:
        print(f"results: {error}", file=sys.stderr)
        return 1
    if not results:
        print(f"results: {argv[0]} does not exist", file=sys.stderr)
        return 1
    print("\n".join(table(results)))
    for note in notes(results):
        print(note)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
