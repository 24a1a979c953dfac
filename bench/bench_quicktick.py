#!/usr/bin/env python3
"""Change-test benchmark: one tick of the main window's one-second change test
(StatusController::quickStatRefresh) on its main thread, with a trash of 100 and of 100,000
entries that did not change for more than a second (what nearly every tick finds).

quillet-bench-quicktick sets up the window in a home of its own, awaits its first full refresh,
then times 2,000 ticks one by one; the figure is the 99th percentile of one tick against the
0.2 ms the event loop may give it. The median and the maximum (scheduling noise on a shared
machine shows there) are in the details.

Standalone:  bench/bench_quicktick.py [BUILD_DIR] [--quick]"""

import os
import subprocess
import sys
import tempfile

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from benchlib import Row, log, skipped, standalone  # noqa: E402

TARGET_MICROS = 200.0


def run(ctx):
    helper = os.path.join(ctx.build, "bench", "quillet-bench-quicktick")
    figure = "one-second change test, one tick"
    if not os.access(helper, os.X_OK):
        return [skipped(figure, "≤ 0.2 ms", "quillet-bench-quicktick is not built")]
    rows = []
    for entries in ((100, 10_000) if ctx.quick else (100, 100_000)):
        home = tempfile.mkdtemp(prefix="quicktick-", dir=ctx.workdir)
        log(f"[bench quicktick] {entries} trash entries")
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
        out = subprocess.run([helper, home, str(entries), "2000"], check=True, capture_output=True, text=True,
                             env=env).stdout.split()
        median, p99, worst = (float(value) for value in out[:3])
        rows.append(Row(f"{figure}, trash of {entries} entries", f"{p99:.1f} µs (99th percentile)",
                        "–", p99 / TARGET_MICROS, "≤ 200 µs", "pass" if p99 <= TARGET_MICROS else "MISS",
                        [f"median {median:.1f} µs, maximum {worst:.1f} µs over 2000 ticks"]))
    return rows


if __name__ == "__main__":
    sys.exit(standalone(run, __doc__, "quicktick"))
