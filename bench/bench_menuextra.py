"""The tray companion: its idle cost with protection running (CPU per minute and resident
memory) and the cost of its one-second refresh.

The companion runs from the build tree (libexec/quillet/QuilletMenuExtra) in a private home on
the offscreen platform (it has no tray there and says so; its refresh runs all the same), with
protection started by quilletctl in the same home and no update check. Idle CPU is the on-CPU
time of all the process's threads over 60 s (/proc/PID/task/*/schedstat), from 10 s after its
start; resident memory is VmRSS at the end. The references are the bare Qt program of the
application's benchmark, measured the same way, idle and with an empty one-second timer (the
least a refresh on the event loop costs). The
tick is timed in-process by quillet-bench-menuextra-tick over 20,000 calls, next to one read of
the whole process table."""

import os
import signal
import subprocess
import time

from benchlib import Home, Row, kib, log, proc_status, process_cpu_ms, skipped, verdict

IDLE_CPU_TARGET_MS = 15.0
RSS_TARGET_KIB = 40 * 1024
TICK_TARGET_US = 200.0
SETTLE_SECONDS = 10.0


def start(program, env, *args):
    return subprocess.Popen([program, *args], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def stop(process):
    process.send_signal(signal.SIGTERM)
    try:
        process.wait(timeout=10)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()


def idle_figures(process, window):
    time.sleep(SETTLE_SECONDS)
    if process.poll() is not None:
        raise RuntimeError(f"the program ended with {process.returncode} before its idle figures were taken")
    before = process_cpu_ms(process.pid)
    time.sleep(window)
    after = process_cpu_ms(process.pid)
    return after - before, kib(proc_status(process.pid)["VmRSS"])


def run(ctx):
    companion = os.path.join(ctx.build, "libexec", "quillet", "QuilletMenuExtra")
    bare = os.path.join(ctx.build, "bench", "quillet-bench-barewindow")
    tick_tool = os.path.join(ctx.build, "bench", "quillet-bench-menuextra-tick")
    quilletctl = os.path.join(ctx.build, "bin", "quilletctl")
    if not all(os.path.exists(p) for p in (companion, bare, tick_tool, quilletctl)):
        return [skipped("Tray companion idle", "< 15 ms per minute",
                        "QuilletMenuExtra, quilletctl or the bench tools are not built")]

    home = Home(os.path.join(ctx.workdir, "menuextra"))
    # No update check: the figures are the refresh's own.
    env = home.qt_env({"QT_QPA_PLATFORM": "offscreen"})

    rows = []
    window = 20.0 if ctx.quick else 60.0
    log(f"menuextra: idle with protection running, {window:.0f} s")
    subprocess.run([quilletctl, "start"], env=env, capture_output=True, check=False)
    try:
        process = start(companion, env)
        try:
            cpu_ms, rss = idle_figures(process, window)
        finally:
            stop(process)
        reference = start(bare, env)
        try:
            bare_cpu_ms, bare_rss = idle_figures(reference, window)
        finally:
            stop(reference)
        ticking = start(bare, env, "--tick-every-second")
        try:
            tick_cpu_ms, _ = idle_figures(ticking, window)
        finally:
            stop(ticking)
    finally:
        subprocess.run([quilletctl, "stop"], env=env, capture_output=True, check=False)
    scale = 60.0 / window
    rows.append(Row("Idle tray companion, protection running: CPU per minute", f"{cpu_ms * scale:.1f} ms",
                    f"bare Qt window with an empty one-second timer {tick_cpu_ms * scale:.1f} ms",
                    (cpu_ms / tick_cpu_ms) if tick_cpu_ms > 0 else None, "< 15 ms",
                    verdict(cpu_ms * scale < IDLE_CPU_TARGET_MS),
                    [f"on-CPU time of all its threads over {window:.0f} s from /proc/PID/task/*/schedstat, "
                     f"scaled to a minute; the bare Qt window without a timer: {bare_cpu_ms * scale:.1f} ms"]))
    rows.append(Row("Idle tray companion: resident memory (VmRSS)", f"{rss / 1024:.1f} MB",
                    f"bare Qt window {bare_rss / 1024:.1f} MB", rss / bare_rss, "< 40 MB",
                    verdict(rss < RSS_TARGET_KIB)))

    result = subprocess.run([tick_tool, home.home, ctx.build, "20000"], env=env, capture_output=True, text=True)
    if result.returncode != 0:
        raise RuntimeError(f"quillet-bench-menuextra-tick failed: {result.stderr.strip()}")
    tick_us, table_us, processes = result.stdout.split()
    tick_us, table_us = float(tick_us), float(table_us)
    rows.append(Row("Tray companion's one-second refresh", f"{tick_us:.1f} µs per tick",
                    f"one read of the whole process table {table_us:.1f} µs", tick_us / table_us, "< 0.2 ms",
                    verdict(tick_us < TICK_TARGET_US),
                    [f"20,000 ticks in a row, in-process, {processes} processes of this user in the table"]))
    return rows
