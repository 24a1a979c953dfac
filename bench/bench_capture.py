"""Capture latency: from trash-put returning to the archived copy being complete in the cache.

Files of a few KB are trashed one at a time with trash-put into a scratch home (HOME and
XDG_DATA_HOME point there), with a random pause before each so that arrivals fall anywhere in
the daemon's one-second poll. The copy is complete when ".x_<name>" exists in a date folder with
the full size: quilletd writes it unnamed and gives it its name last, so the name alone would
do, and the size is checked as well. While trash-put runs (in a thread that notes when it
returns), the trash folder and the cache are looked at every millisecond; the time from the
entry's arrival in the trash folder to the complete copy is reported beside the figure."""

import os
import random
import shutil
import subprocess
import threading
import time

from benchlib import Daemon, Home, Row, log, median, ms, skipped, verdict

MEDIAN_TARGET = 0.100
MAX_TARGET = 1.1
TIMEOUT = 5.0


def put_and_watch(home, env, path, name, size):
    """Runs trash-put on path while looking every millisecond at the trash folder and the
    cache. Returns the times trash-put returned, the entry was first seen in the trash, the
    archived copy was first seen complete, and how long trash-put ran; None when no complete
    copy appeared."""
    in_trash = os.path.join(home.trash, name)
    times = {}

    def put():
        subprocess.run(["trash-put", path], env=env, check=True)
        times["returned"] = time.perf_counter()

    def complete():
        cached = home.cached_path(name)
        try:
            return cached is not None and os.stat(cached).st_size == size
        except FileNotFoundError:
            return False

    thread = threading.Thread(target=put)
    started = time.perf_counter()
    thread.start()
    renamed = done = None
    deadline = started + TIMEOUT
    while done is None or thread.is_alive():
        if renamed is None and os.path.lexists(in_trash):
            renamed = time.perf_counter()
        if done is None and complete():
            done = time.perf_counter()
        if time.perf_counter() > deadline:
            break
        time.sleep(0.001)
    thread.join()
    if done is None or "returned" not in times:
        return None
    return times["returned"], renamed, done, times["returned"] - started


def run(ctx):
    figure = "Capture latency after trash-put"
    if shutil.which("trash-put") is None:
        return [skipped(figure, "median < 100 ms", "trash-put not installed (Debian package trash-cli)")]
    count = 10 if ctx.quick else 30
    rng = random.Random(2)
    home = Home(os.path.join(ctx.workdir, "capture"))
    source = os.path.join(ctx.workdir, "capture", "documents")
    os.makedirs(source)
    env = home.env()
    latencies, trash_put_times, from_rename = [], [], []
    missed = 0
    log(f"capture: {count} files through trash-put")
    with Daemon(ctx, home) as daemon:
        daemon.wait_idle()
        for number in range(count):
            name = f"note-{number:02d}.txt"
            path = os.path.join(source, name)
            size = rng.randint(2048, 8192)
            with open(path, "wb") as f:
                f.write(rng.randbytes(size))
            time.sleep(rng.uniform(0.2, 1.3))
            outcome = put_and_watch(home, env, path, name, size)
            if outcome is None:
                missed += 1
                latencies.append(TIMEOUT)
                continue
            returned, renamed, complete, trash_put_time = outcome
            trash_put_times.append(trash_put_time)
            # A copy already complete when trash-put returns has kept nobody waiting.
            latencies.append(max(0.0, complete - returned))
            if renamed is not None:
                from_rename.append(complete - renamed)
        daemon.stop()

    mid, worst = median(latencies), max(latencies)
    notes = [f"{count} files of 2–8 KB, random pause 0.2–1.3 s before each",
             f"trash-put itself took {ms(median(trash_put_times))} (median)",
             f"from the entry's arrival in the trash folder to the complete copy: median "
             f"{ms(median(from_rename))}, max {ms(max(from_rename))}" if from_rename else "",
             "samples (ms): " + ", ".join(f"{value * 1000:.1f}" for value in latencies)]
    notes = [note for note in notes if note]
    if missed:
        notes.append(f"{missed} file(s) not archived within {TIMEOUT:.0f} s")
    return [
        Row("Capture latency, median", ms(mid), "target 100 ms", mid / MEDIAN_TARGET, "< 100 ms",
            verdict(mid < MEDIAN_TARGET and missed == 0), notes),
        Row("Capture latency, max", ms(worst), "target 1.1 s (polling period)", worst / MAX_TARGET,
            "≤ 1.1 s", verdict(worst <= MAX_TARGET and missed == 0), []),
    ]
