#!/usr/bin/env python3
"""Recovery benchmark: taking an archived folder of 10,000 small files out of the cache, as
`quilletctl recover` does it, against `cp -a` of the same folder to the same file system in the
same run.
The comparison runs twice, as the copy-mode throughput one does: in the scratch folder, on
whatever file system holds it, and on a fresh ext4 on a loop-mounted image file (root only),
which nothing else on the machine touches.

The archived folder sits in a date folder of a scratch cache under its hidden name, with hidden
names at every depth: 100 folders of 100 files of 512 to 4096 bytes. The helper
quillet-bench-recover runs the copy worker (CopyFileUtil, Copy job, visible names), its progress
reported as a front end sees it, and exits as soon as the worker has ended;
it is timed as a whole process, like `cp -a SOURCE DEST`. As in the copy-mode throughput
benchmark, a warm-up cp -a comes first and is not counted; then cp -a and the helper alternate,
and before every timed run, of either, `sync` flushes what is dirty and a pause of a few seconds
follows (bench_throughput.QUIET_SECONDS). No copy is deleted before the comparison is over:
creating thousands of files right after deleting thousands costs far more than creating them on
a quiet file system, and it would weigh on whichever run came next. Every recovered copy is
checked: 10,000 files under their visible names, each of its original's size.

Standalone:  bench/bench_recovery.py [BUILD_DIR] [--quick] [--keep]
prints a Markdown table; bench/run calls run(ctx) and gets benchlib rows."""

import os
import random
import statistics
import subprocess
import sys
import tempfile
import time
import types

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from bench_throughput import QUIET_SECONDS, VolumeUnavailable, loop_volume  # noqa: E402

FOLDERS = 100
FILES_PER_FOLDER = 100
RATIO_TARGET = 1.10
ROUNDS = 7
HIDDEN_PREFIX = ".x_"
DATE_FOLDER = "2026-12-07 15_42 +0000"


def log(message):
    print(f"[bench recovery] {message}", file=sys.stderr, flush=True)


def helper_path(build):
    return os.path.join(build, "bench", "quillet-bench-recover")


def make_archived_folder(cache):
    """The archived folder in a date folder of cache; returns its path and the size of each of
    its files by the path the recovered copy gives it (visible names, relative)."""
    rng = random.Random(11)
    source = os.path.join(cache, DATE_FOLDER, HIDDEN_PREFIX + "project")
    sizes = {}
    for folder_number in range(FOLDERS):
        folder = f"folder-{folder_number:02d}"
        os.makedirs(os.path.join(source, HIDDEN_PREFIX + folder))
        for file_number in range(FILES_PER_FOLDER):
            name = f"file-{file_number:03d}.dat"
            size = rng.randint(512, 4096)
            with open(os.path.join(source, HIDDEN_PREFIX + folder, HIDDEN_PREFIX + name), "wb") as f:
                f.write(rng.randbytes(size))
            sizes[os.path.join(folder, name)] = size
    return source, sizes


def file_sizes(root):
    sizes = {}
    for folder, _, files in os.walk(root):
        for name in files:
            path = os.path.join(folder, name)
            sizes[os.path.relpath(path, root)] = os.lstat(path).st_size
    return sizes


def quiet():
    subprocess.run(["sync"], check=True)
    time.sleep(QUIET_SECONDS)


def time_process(argv):
    quiet()
    started = time.perf_counter()
    subprocess.run(argv, check=True, stdin=subprocess.DEVNULL)
    return time.perf_counter() - started


def compare(helper, root, rounds):
    """cp -a against the helper on an archived folder made under root, rounds times each."""
    cache = os.path.join(root, "home", ".TrashCacheFolder")
    copies = os.path.join(root, "copies")
    os.makedirs(copies)
    source, expected = make_archived_folder(cache)
    time_process(["cp", "-a", source, os.path.join(copies, "warm-up")])  # not counted
    cp_times, ours_times, recovered = [], [], []
    for number in range(rounds):
        cp_times.append(time_process(["cp", "-a", source, os.path.join(copies, f"cp-{number}")]))
        recovered.append(os.path.join(copies, f"recovered-{number}"))
        ours_times.append(time_process([helper, source, recovered[-1]]))
        log(f"cp -a {cp_times[-1] * 1000:.0f} ms, quillet-bench-recover {ours_times[-1] * 1000:.0f} ms")
    checked = [file_sizes(path) == expected for path in recovered]
    return {"ours": ours_times, "cp": cp_times, "files": len(expected), "checked": checked}


def filesystem_of(path):
    return subprocess.run(["findmnt", "-n", "-o", "FSTYPE", "-T", path], capture_output=True,
                          text=True).stdout.strip() or "?"


def measure_places(program, workdir, rounds, compare, scratch_name, say=None):
    """compare(program, root, rounds) in the scratch folder (under scratch_name), then on a
    fresh ext4 image: results by place, or the reason there is no image."""
    say = say or log
    results = []
    where = f"scratch folder ({filesystem_of(workdir)})"
    say(f"{where}: making an archived folder of {FOLDERS * FILES_PER_FOLDER} files")
    results.append((where, compare(program, os.path.join(workdir, scratch_name), rounds)))
    where = "fresh ext4 image"
    try:
        # 4 GiB, sparse: room for the inodes of every copy at mkfs.ext4's default ratio.
        with loop_volume(types.SimpleNamespace(workdir=workdir), "ext4", 4 << 30) as mountpoint:
            say(f"{where}: making an archived folder of {FOLDERS * FILES_PER_FOLDER} files")
            results.append((where, compare(program, mountpoint, rounds)))
    except VolumeUnavailable as reason:
        results.append((where, str(reason)))
    return results


def measure(build, workdir, quick):
    """Results by place: the scratch folder, then a fresh ext4 image (or why there is none)."""
    helper = helper_path(build)
    if not os.access(helper, os.X_OK):
        raise RuntimeError(f"{helper} is missing; build first")
    return measure_places(helper, workdir, 3 if quick else ROUNDS, compare, "recovery")


def figure(where, result):
    """(figure, measured, reference, ratio, target, ok, notes); result is the reason when the
    comparison could not be made."""
    name = f"Recovery of a folder of 10,000 small files, {where}"
    target = f"≤ {RATIO_TARGET:.2f}×"
    if isinstance(result, str):
        return (name, "–", "–", None, target, None, [result])
    ours, cp = statistics.median(result["ours"]), statistics.median(result["cp"])
    ratio = ours / cp
    complete = all(result["checked"])
    notes = [f"{FOLDERS} folders × {FILES_PER_FOLDER} files of 512–4096 bytes, archived under hidden names, "
             f"recovered under visible names by CopyFileUtil (Copy job), waited for",
             f"every recovered copy holds the {result['files']} files with their sizes: "
             + ("yes" if complete else f"NO ({result['checked'].count(False)} of {len(result['checked'])} not)"),
             "cp -a (ms): " + ", ".join(f"{t * 1000:.0f}" for t in result["cp"]),
             "quillet-bench-recover (ms): " + ", ".join(f"{t * 1000:.0f}" for t in result["ours"])]
    return (name, f"{ours * 1000:.1f} ms", f"cp -a: {cp * 1000:.1f} ms", ratio, target,
            ratio <= RATIO_TARGET and complete, notes)


def run(ctx):
    """Entry point for bench/run: rows of benchlib.Row."""
    from benchlib import Row, verdict

    # The copies stay in ctx.workdir, which the caller removes (or keeps, with --keep).
    workdir = tempfile.mkdtemp(prefix="recovery-", dir=ctx.workdir)
    results = measure(ctx.build, workdir, ctx.quick)
    rows = []
    for where, result in results:
        name, measured, reference, ratio, target, ok, notes = figure(where, result)
        rows.append(Row(name, measured, reference, ratio, target, "skipped" if ok is None else verdict(ok), notes))
    return rows


def main():
    from benchlib import standalone

    return standalone(run, __doc__, "recovery")


if __name__ == "__main__":
    sys.exit(main())
