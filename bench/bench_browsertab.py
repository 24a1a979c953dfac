#!/usr/bin/env python3
"""The application's browser tab on a cache of 100,000 archived items (1,000 date folders of 100
items): from showing the tab to its first rows, to the whole list read (every job ended), the
longest the event loop went without turning meanwhile, and the resident memory then, in the day
view and in the flat view (quillet-bench-browsertab, Qt's offscreen platform). Each figure is the
median of several runs of a fresh process.

Standalone:  bench/bench_browsertab.py [BUILD_DIR] [--quick] [--keep]"""

import os
import subprocess

from bench_app import ITEMS, make_cache
from benchlib import Home, Row, log, median, skipped, standalone, verdict

FIRST_ROWS_TARGET_MS = 200.0
STALL_TARGET_MS = 50.0
RSS_TARGET_KIB = 150 * 1024


def run_tool(tool, cache, view):
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
    result = subprocess.run([tool, cache, view], env=env, capture_output=True, text=True, timeout=900)
    if result.returncode != 0:
        raise RuntimeError(f"quillet-bench-browsertab failed: {result.stderr.strip()}")
    first, total, rows, stall, rss = (int(v) for v in result.stdout.split())
    return first, total, rows, stall, rss


def run(ctx):
    tool = os.path.join(ctx.build, "bench", "quillet-bench-browsertab")
    if not os.path.exists(tool):
        return [skipped("Browser tab, first rows", "< 0.2 s", "bench/quillet-bench-browsertab is not built")]
    home = Home(os.path.join(ctx.workdir, "browsertab"))
    log(f"browser tab: building a cache of {ITEMS} archived items")
    make_cache(ctx, home)
    runs = 3 if ctx.quick else 5
    rows = []
    for view, expected in (("day", None), ("flat", ITEMS)):
        figures = [run_tool(tool, home.cache, view) for _ in range(runs)]
        first = median([f[0] for f in figures])
        total = median([f[1] for f in figures])
        shown = figures[0][2]
        stall = max(f[3] for f in figures)
        rss = median([f[4] for f in figures])
        if expected is not None and shown != expected:
            raise RuntimeError(f"the {view} view shows {shown} rows, expected {expected}")
        rows.append(Row(f"Browser tab, {view} view, {ITEMS:,} items: shown to first rows", f"{first:.0f} ms",
                        f"whole list read {total:.0f} ms", None, "< 0.2 s", verdict(first < FIRST_ROWS_TARGET_MS),
                        [f"median of {runs} fresh processes; {shown:,} root rows"]))
        rows.append(Row(f"Browser tab, {view} view: longest event-loop stall while reading", f"{stall} ms", "–", None,
                        "< 50 ms", verdict(stall < STALL_TARGET_MS), [f"the worst of {runs} runs"]))
        rows.append(Row(f"Browser tab, {view} view: resident memory with the list shown", f"{rss / 1024:.1f} MB", "–",
                        None, "< 150 MB", verdict(rss < RSS_TARGET_KIB)))
    return rows


if __name__ == "__main__":
    raise SystemExit(standalone(run, __doc__, "browsertab"))
