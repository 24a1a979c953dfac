"""The main application: launch to the first painted window with a cache of 100,000 archived
items, its idle cost with protection running and the window open on the status tab, and the
cost of its one-second change test when nothing changed.

Launch runs from the exec of bin/Quillet to the line "first paint" it writes once its window has
painted (QUILLET_REPORT_FIRST_PAINT); the reference is the smallest Qt Widgets program with a
window of the same size, measured the same way in the same run. The display is a private Xvfb
server when there is one (else Qt's offscreen platform). Idle CPU is the on-CPU time of the
process's main thread over 60 s (/proc/PID/schedstat), from 35 s after the first paint (and that
of the whole process, from /proc/PID/stat), with protection
started by quilletctl in the same private home; resident memory is VmRSS at the end. The tick
is timed in-process by quillet-bench-tick over 20,000 calls."""

import os
import shutil
import signal
import subprocess
import time

from benchlib import Home, Row, cpu_times, kib, log, median, proc_status, run_index_tool, skipped, verdict

ITEMS = 100_000
FOLDERS = 1_000
LAUNCH_TARGET_S = 0.5
IDLE_CPU_TARGET_MS = 20.0
RSS_TARGET_KIB = 60 * 1024
TICK_TARGET_US = 200.0


def make_cache(ctx, home):
    base = int(time.time()) - 86400
    per_folder = ITEMS // FOLDERS
    for number in range(FOLDERS):
        name = time.strftime("%Y-%m-%d %H_%M +0000", time.gmtime(base + 60 * number))
        folder = os.path.join(home.cache, name)
        os.makedirs(folder, mode=0o700, exist_ok=True)
        for item in range(per_folder):
            path = os.path.join(folder, f".x_document-{number:04d}-{item:03d}.txt")
            with open(path, "wb") as f:
                f.write(b"quillet benchmark\n")
    records = run_index_tool(ctx, "write", home.cache)
    if records != ITEMS:
        raise RuntimeError(f"index holds {records} records, expected {ITEMS}")


class Display:
    """A private X server, or the offscreen platform when Xvfb is missing."""

    def __init__(self):
        self.process = None
        self.env = {}

    def __enter__(self):
        if shutil.which("Xvfb"):
            for number in range(91, 120):
                if not os.path.exists(f"/tmp/.X11-unix/X{number}") and not os.path.exists(f"/tmp/.X{number}-lock"):
                    break
            self.process = subprocess.Popen(["Xvfb", f":{number}", "-screen", "0", "1280x1024x24", "-nolisten", "tcp", "-noreset"],
                                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            deadline = time.time() + 10
            while not os.path.exists(f"/tmp/.X11-unix/X{number}") and time.time() < deadline:
                time.sleep(0.05)
            self.env = {"DISPLAY": f":{number}", "QT_QPA_PLATFORM": "xcb"}
            self.name = f"Xvfb :{number}"
        else:
            self.env = {"QT_QPA_PLATFORM": "offscreen"}
            self.name = "offscreen"
        return self

    def __exit__(self, *exc):
        if self.process:
            self.process.terminate()
            self.process.wait()


def launch(program, env):
    """Starts program and answers (process, seconds until it wrote "first paint")."""
    start = time.perf_counter()
    process = subprocess.Popen([program], env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    line = process.stdout.readline()
    elapsed = time.perf_counter() - start
    if line.strip() != "first paint":
        process.kill()
        process.wait()
        raise RuntimeError(f"{program} ended before its first paint")
    return process, elapsed


def stop(process):
    process.send_signal(signal.SIGTERM)
    try:
        process.wait(timeout=10)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()


IDLE_SETTLE_SECONDS = 35.0


def idle_figures(process, window):
    """(on-CPU ms of the main thread, utime+stime ms of the whole process with the threads
    that came and went, VmRSS kB). Measured from 35 s after the first paint: past the start-up
    work, and past the first 30 s refresh, which walks once more the folders the daemons'
    start had just changed."""
    time.sleep(IDLE_SETTLE_SECONDS)
    all_before, before = cpu_times(process.pid)
    time.sleep(window)
    all_after, after = cpu_times(process.pid)
    return after - before, all_after - all_before, kib(proc_status(process.pid)["VmRSS"])


def run(ctx):
    quillet = os.path.join(ctx.build, "bin", "Quillet")
    bare = os.path.join(ctx.build, "bench", "quillet-bench-barewindow")
    tick_tool = os.path.join(ctx.build, "bench", "quillet-bench-tick")
    quilletctl = os.path.join(ctx.build, "bin", "quilletctl")
    if not all(os.path.exists(p) for p in (quillet, bare, tick_tool)):
        return [skipped("Application launch", "< 0.5 s", "bin/Quillet or the bench tools are not built")]

    home = Home(os.path.join(ctx.workdir, "app"))
    log(f"app: building a cache of {ITEMS} archived items")
    make_cache(ctx, home)
    # No update check: the figures are the window's own.
    env = home.qt_env({"QUILLET_REPORT_FIRST_PAINT": "1"})

    rows = []
    runs = 3 if ctx.quick else 7
    window = 20.0 if ctx.quick else 60.0
    with Display() as display:
        env.update(display.env)
        quillet_times, bare_times = [], []
        for _ in range(runs):
            for program, times in ((bare, bare_times), (quillet, quillet_times)):
                process, elapsed = launch(program, env)
                times.append(elapsed)
                stop(process)
        q, b = median(quillet_times), median(bare_times)
        rows.append(Row(f"Launch to first paint, {ITEMS:,} archived items ({display.name})",
                        f"{q * 1000:.0f} ms", f"bare Qt window {b * 1000:.0f} ms", q / b, "< 0.5 s",
                        verdict(q < LAUNCH_TARGET_S),
                        [f"median of {runs} launches each; Quillet's range {min(quillet_times) * 1000:.0f}–"
                         f"{max(quillet_times) * 1000:.0f} ms"]))

        log(f"app: idle with protection running, {window:.0f} s")
        subprocess.run([quilletctl, "start"], env=env, capture_output=True, check=False)
        try:
            process, _ = launch(quillet, env)
            try:
                cpu_ms, process_ms, rss = idle_figures(process, window)
            finally:
                stop(process)
            reference, _ = launch(bare, env)
            try:
                bare_cpu_ms, _, bare_rss = idle_figures(reference, window)
            finally:
                stop(reference)
        finally:
            subprocess.run([quilletctl, "stop"], env=env, capture_output=True, check=False)
        scale = 60.0 / window
        rows.append(Row("Idle application, protection running, status tab: CPU per minute",
                        f"{cpu_ms * scale:.1f} ms", f"bare Qt window {bare_cpu_ms * scale:.1f} ms",
                        (cpu_ms / bare_cpu_ms) if bare_cpu_ms > 0 else None, "< 20 ms",
                        verdict(cpu_ms * scale < IDLE_CPU_TARGET_MS),
                        [f"on-CPU time of the main thread (the event loop) over {window:.0f} s from "
                         f"/proc/PID/schedstat, scaled to a minute; the whole process with its jobs' "
                         f"threads (utime+stime, 10 ms ticks): {process_ms * scale:.0f} ms"]))
        rows.append(Row("Idle application: resident memory (VmRSS)", f"{rss / 1024:.1f} MB",
                        f"bare Qt window {bare_rss / 1024:.1f} MB", rss / bare_rss, "< 60 MB",
                        verdict(rss < RSS_TARGET_KIB)))

    result = subprocess.run([tick_tool, home.home, ctx.build, "20000"], env=env, capture_output=True, text=True)
    if result.returncode != 0:
        raise RuntimeError(f"quillet-bench-tick failed: {result.stderr.strip()}")
    tick_us, listing_us = (float(v) for v in result.stdout.split())
    rows.append(Row("One-second change test, nothing changed", f"{tick_us:.1f} µs per tick",
                    f"one listing of the trash {listing_us:.1f} µs", tick_us / listing_us, "< 0.2 ms",
                    verdict(tick_us < TICK_TARGET_US), ["20,000 ticks in a row, in-process"]))
    return rows
