"""A burst of trashed files: how long quilletd takes to archive 10,000 small files trashed one
after another as separate entries, against `cp -a` of the same files followed by one `sync`,
on a fresh ext4 file system of its own (a loop-mounted image) in the same run.

quilletd's time runs from the first rename into the trash folder (what trash-put does for each
file) to the moment every file has its archived copy and the scan that archived the last ones
has flushed the volume (the UPD_FLAG marker appears after that flush); the trash is empty before
each burst, as after the user emptied it. The reference is
`cp -a` of the 10,000 files into an empty folder, then `sync`. Each round uses files of its own
and keeps every copy until the end, so that no round creates files where another just deleted
thousands (see bench_throughput.compare_with_cp). cp and quilletd alternate; medians compared."""

import os
import random
import subprocess
import time

from benchlib import Daemon, Home, Row, log, median, ms, skipped, sync, verdict, wait_for
from bench_throughput import VolumeUnavailable, loop_volume, quiet

FILES = 10_000
RATIO_TARGET = 1.10
GIB = 1 << 30


def make_files(folder, rng, prefix):
    os.makedirs(folder)
    names = []
    for number in range(FILES):
        name = f"{prefix}-{number:05d}.txt"
        with open(os.path.join(folder, name), "wb") as f:
            f.write(rng.randbytes(rng.randint(512, 4096)))
        names.append(name)
    return names


def time_cp_and_sync(source, destination):
    quiet()
    started = time.perf_counter()
    subprocess.run(["cp", "-a", source + "/.", destination], check=True)
    sync()
    return time.perf_counter() - started


def archived_names(home):
    names = set()
    for folder in home.date_folders():
        with os.scandir(folder) as entries:
            names.update(entry.name for entry in entries)
    return names


def time_burst(home, daemon, stage, names, timeout=180.0):
    wanted = {".x_" + name for name in names}
    if os.path.exists(home.update_flag):
        os.remove(home.update_flag)
    quiet()
    started = time.perf_counter()
    for name in names:
        os.rename(os.path.join(stage, name), os.path.join(home.trash, name))
    renamed = time.perf_counter()
    deadline = started + timeout
    # Each scan that archived something ends with a flush and then the marker: look at the
    # copies only when a marker says a scan is complete.
    while True:
        seen = wait_for(lambda: os.path.exists(home.update_flag), deadline - time.perf_counter(), pause=0.001)
        if seen is None:
            raise RuntimeError(f"burst: not every file archived within {timeout:.0f} s: {daemon.log_tail()}")
        os.remove(home.update_flag)
        missing = wanted - archived_names(home)
        if not missing:
            return seen - started, renamed - started


def burst_rows(ctx, root, where):
    rng = random.Random(5)
    home = Home(root)
    copies = os.path.join(root, "cp-copies")
    os.makedirs(copies)
    rounds = 3 if ctx.quick else 5
    cp_times, daemon_times, rename_times = [], [], []
    with Daemon(ctx, home) as daemon:
        daemon.wait_idle()
        warm = os.path.join(root, "warm")
        make_files(warm, rng, "warm")
        os.makedirs(os.path.join(copies, "warm"))
        time_cp_and_sync(warm, os.path.join(copies, "warm"))  # not counted
        for number in range(rounds):
            stage = os.path.join(root, f"stage-{number}")
            names = make_files(stage, rng, f"cp{number}")
            destination = os.path.join(copies, f"round-{number}")
            os.makedirs(destination)
            cp_times.append(time_cp_and_sync(stage, destination))
            stage = os.path.join(root, f"burst-{number}")
            names = make_files(stage, rng, f"burst{number}")
            seconds, renaming = time_burst(home, daemon, stage, names)
            daemon_times.append(seconds)
            rename_times.append(renaming)
            log(f"burst {where}: cp -a + sync {ms(cp_times[-1])}, quilletd {ms(seconds)} "
                f"(of which the renames {ms(renaming)})")
            # The user empties the trash: every round starts from an empty one. The files are
            # moved aside rather than deleted (see compare_with_cp on creating after deleting).
            emptied = os.path.join(root, f"emptied-{number}")
            os.makedirs(emptied)
            for name in names:
                os.rename(os.path.join(home.trash, name), os.path.join(emptied, name))
            daemon.settle()
        log_text = daemon.log_tail()
    cp_median, daemon_median = median(cp_times), median(daemon_times)
    ratio = daemon_median / cp_median
    notes = ["10,000 files of 512–4096 bytes, renamed into the trash one by one as separate entries",
             "cp -a + sync (ms): " + ", ".join(f"{t * 1000:.0f}" for t in cp_times),
             "quilletd (ms): " + ", ".join(f"{t * 1000:.0f}" for t in daemon_times),
             "of which renaming into the trash (ms): " + ", ".join(f"{t * 1000:.0f}" for t in rename_times)]
    if "not archived" in log_text:
        notes.append("quilletd refused some files: " + log_text[-300:])
    return Row(f"Burst of 10,000 trashed files, {where}", ms(daemon_median), f"cp -a + sync: {ms(cp_median)}",
               ratio, "≤ 1.10×", verdict(ratio <= RATIO_TARGET), notes)


def run(ctx):
    where = "fresh ext4 image"
    try:
        # Every round leaves 40,000 files (its two sets, their cp copy and the archive): the
        # image must have inodes for them all (ext4 gives one per 16 KiB).
        with loop_volume(ctx, "ext4", 8 * GIB) as mountpoint:
            return [burst_rows(ctx, mountpoint, where)]
    except VolumeUnavailable as reason:
        return [skipped(f"Burst of 10,000 trashed files, {where}", "≤ 1.10×", str(reason))]
