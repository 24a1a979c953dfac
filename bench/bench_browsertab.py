#!/usr/bin/env python3
"""The application's browser tab on a cache of 100,000 archived items (1,000 date folders of 100
items): from showing the tab to its first rows, to the whole list read (every job ended), the
longest the event loop went without turning meanwhile, and the resident memory then, in the day
view and in the flat view (quillet-bench-browsertab, Qt's offscreen platform). Each figure is the
median of several runs of a fresh process.

Then the search field on the browser benchmark's cache of 1,000,000 entries (bench_browser.py):
the tab shows the day view, the text is typed, and the time is taken until the first results are
on screen and until the search has ended with its results shown, against
`find CACHE -iname '*TEXT*'` run alternately in the same rounds. Targets: first results < 0.1 s,
the whole search at most 1.2 times find. The hits shown must be find's.

Standalone:  bench/bench_browsertab.py [BUILD_DIR] [--quick] [--keep]"""

import os
import subprocess

import time

from bench_app import ITEMS, make_cache
from bench_browser import SEARCH_TEXT, Scratch, make_search_cache
from benchlib import Home, Row, log, median, skipped, standalone, verdict

FIRST_ROWS_TARGET_MS = 200.0
STALL_TARGET_MS = 50.0
RSS_TARGET_KIB = 150 * 1024
FIRST_RESULTS_TARGET_MS = 100.0
SEARCH_RATIO_TARGET = 1.2


def run_tool(tool, cache, view, *extra):
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
    result = subprocess.run([tool, cache, view, *extra], env=env, capture_output=True, text=True, timeout=900)
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
    rows += search_rows(ctx, tool, runs)
    return rows


def search_rows(ctx, tool, runs):
    scratch = Scratch(os.path.join(ctx.workdir, "browsertab-search"))
    log("browser tab: building a cache of 1,000,000 entries for the search")
    entries, hits = make_search_cache(scratch)
    subprocess.run(["sync"], check=True)
    reference = ["find", scratch.cache, "-iname", f"*{SEARCH_TEXT}*"]
    found = sorted(subprocess.run(reference, check=True, capture_output=True, text=True).stdout.splitlines())
    if found != hits:
        raise RuntimeError(f"find reports {len(found)} hits, expected {len(hits)}")
    run_tool(tool, scratch.cache, "search", SEARCH_TEXT)  # warm-up, not counted
    ours, theirs, firsts = [], [], []
    for _ in range(runs):
        started = time.perf_counter()
        subprocess.run(reference, check=True, stdout=subprocess.DEVNULL)
        theirs.append((time.perf_counter() - started) * 1000)
        first, total, shown, _, _ = run_tool(tool, scratch.cache, "search", SEARCH_TEXT)
        if shown != len(hits):
            raise RuntimeError(f"the search shows {shown} rows, find {len(hits)}")
        firsts.append(first)
        ours.append(total)
    first, total, reference_ms = median(firsts), median(ours), median(theirs)
    ratio = total / reference_ms
    return [
        Row(f"Browser tab search, {entries:,} entries: typed to first results on screen", f"{first:.0f} ms", "–",
            None, "< 0.1 s", verdict(first < FIRST_RESULTS_TARGET_MS), [f"median of {runs} fresh processes"]),
        Row(f"Browser tab search, {entries:,} entries: typed to the end, results shown", f"{total:.0f} ms",
            f"find -iname: {reference_ms:.0f} ms", ratio, f"≤ {SEARCH_RATIO_TARGET:.1f}×",
            verdict(ratio <= SEARCH_RATIO_TARGET), [f"{len(hits)} hits, the same as find's"]),
    ]


if __name__ == "__main__":
    raise SystemExit(standalone(run, __doc__, "browsertab"))
