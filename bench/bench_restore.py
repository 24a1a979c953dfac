#!/usr/bin/env python3
"""Restore benchmark: `quilletctl restore` of an archived folder of 10,000 small files back to
the place it was trashed from, against `cp -a` of the same folder to the same file system in
the same run.
The comparison runs twice, as the recovery one does: in the scratch folder, on whatever file
system holds it, and on a fresh ext4 on a loop-mounted image file (root only), which nothing
else on the machine touches.

The archived folder is the recovery benchmark's (100 folders of 100 files of 512 to 4096 bytes,
hidden names at every depth) in a date folder of the home cache of a scratch home, with its
trash information in the date folder's store, as quilletd leaves it: Path= the folder's
original place, HOME/restored/project. The real quilletctl (HOME, XDG_CONFIG_HOME and
QUILLET_VOLUME_ROOTS pointing into the scratch home, so that its cache is the only one) is
timed as a whole process, `quilletctl restore ITEM`, against `cp -a SOURCE DEST`. A warm-up
cp -a comes first and is not counted; then the two alternate, each timed run after `sync` and a
pause of a few seconds (bench_throughput.QUIET_SECONDS). After each restore the restored folder
is renamed aside (no copy is deleted before the comparison is over, see bench_recovery), so
that the next restore finds its original place free again. Every restored copy is checked: the
10,000 files under their visible names, each of its original's size, and one file in a hundred
byte for byte.

In the same rounds, the application's Put Back of the same folder (quillet-bench-putback: the main
window on the same scratch home, its browser tab in the flat view, the row selected and the Put
Back button clicked two seconds after the row is listed, once the window's start-up work is
done, timed from the click to the end of the put-back) is compared with
`quilletctl restore`; its copies are renamed aside and checked the same way. Target: at most 1.1
times quilletctl restore.

Standalone:  bench/bench_restore.py [BUILD_DIR] [--quick] [--keep]
prints a Markdown table; bench/run calls run(ctx) and gets benchlib rows."""

import os
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.parse

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from bench_recovery import (DATE_FOLDER, FILES_PER_FOLDER, FOLDERS, HIDDEN_PREFIX, file_sizes,  # noqa: E402
                            make_archived_folder, measure_places, quiet)

RATIO_TARGET = 1.10
ROUNDS = 7
STORE_NAME = ".quillet-trashinfo"


def log(message):
    print(f"[bench restore] {message}", file=sys.stderr, flush=True)


def quilletctl_path(build):
    return os.path.join(build, "bin", "quilletctl")


def environment(home, root):
    env = {key: value for key, value in os.environ.items() if key in ("PATH", "LANG", "LC_ALL", "TMPDIR")}
    env.update({"HOME": home, "XDG_CONFIG_HOME": os.path.join(root, "config"),
                "XDG_DATA_HOME": os.path.join(home, ".local", "share"),
                "QUILLET_VOLUME_ROOTS": os.path.join(root, "no-volumes"), "TZ": "UTC"})
    for folder in (env["XDG_CONFIG_HOME"], env["QUILLET_VOLUME_ROOTS"]):
        os.makedirs(folder, exist_ok=True)
    return env


def record_origin(source, original):
    """The date folder's store entry for the archived folder, as quilletd writes it."""
    stored = os.path.basename(source)
    path = urllib.parse.quote(original, safe="/")
    with open(os.path.join(os.path.dirname(source), STORE_NAME), "w") as f:
        f.write(f"[{stored}]\nPath={path}\nDeletionDate=2026-12-07T15:42:00\n")


def timed(argv, env=None):
    quiet()
    started = time.perf_counter()
    subprocess.run(argv, check=True, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, env=env)
    return time.perf_counter() - started


def same_samples(source, copy, expected):
    """One file in a hundred of the copy holds exactly its archived original's bytes."""
    for number, relative in enumerate(sorted(expected)):
        if number % 100:
            continue
        hidden = os.path.join(*(HIDDEN_PREFIX + part for part in relative.split(os.sep)))
        with open(os.path.join(source, hidden), "rb") as a, open(os.path.join(copy, relative), "rb") as b:
            if a.read() != b.read():
                return False
    return True


def putback_path(build):
    return os.path.join(build, "bench", "quillet-bench-putback")


def window_putback(tool, daemons, source, env):
    """The window's Put Back of source: the milliseconds from the click to its end."""
    quiet()
    result = subprocess.run([tool, daemons, source], check=True, stdin=subprocess.DEVNULL, capture_output=True,
                            text=True, env=env, timeout=900)
    elapsed, failures = result.stdout.split()
    if int(failures) != 0:
        raise RuntimeError(f"the window's Put Back failed for {failures} items: {result.stderr.strip()}")
    return float(elapsed) / 1000


def compare(programs, root, rounds):
    """cp -a against quilletctl restore on an archived folder made under root, and the window's
    Put Back against quilletctl restore when its tool is built."""
    quilletctl, putback, daemons = programs
    home = os.path.join(root, "home")
    cache = os.path.join(home, ".TrashCacheFolder")
    copies = os.path.join(root, "copies")
    original = os.path.join(home, "restored", "project")
    os.makedirs(copies)
    os.makedirs(os.path.dirname(original))
    source, expected = make_archived_folder(cache)
    os.chmod(cache, 0o700)
    os.chmod(os.path.join(cache, DATE_FOLDER), 0o700)
    record_origin(source, original)
    env = environment(home, root)
    window_env = dict(env, XDG_RUNTIME_DIR=os.path.join(root, "runtime"))
    os.makedirs(window_env["XDG_RUNTIME_DIR"], mode=0o700, exist_ok=True)
    timed(["cp", "-a", source, os.path.join(copies, "warm-up")])  # not counted
    cp_times, ours_times, window_times, restored = [], [], [], []
    for number in range(rounds):
        cp_times.append(timed(["cp", "-a", source, os.path.join(copies, f"cp-{number}")]))
        ours_times.append(timed([quilletctl, "restore", source], env))
        restored.append(os.path.join(copies, f"restored-{number}"))
        os.rename(original, restored[-1])
        line = f"cp -a {cp_times[-1] * 1000:.0f} ms, quilletctl restore {ours_times[-1] * 1000:.0f} ms"
        if putback:
            window_times.append(window_putback(putback, daemons, source, window_env))
            restored.append(os.path.join(copies, f"put-back-{number}"))
            os.rename(original, restored[-1])
            line += f", the window's Put Back {window_times[-1] * 1000:.0f} ms"
        log(line)
    checked = [file_sizes(path) == expected and same_samples(source, path, expected) for path in restored]
    return {"ours": ours_times, "cp": cp_times, "window": window_times, "files": len(expected), "checked": checked}


def measure(build, workdir, quick):
    """Results by place: the scratch folder, then a fresh ext4 image (or why there is none)."""
    quilletctl = quilletctl_path(build)
    if not os.access(quilletctl, os.X_OK):
        raise RuntimeError(f"{quilletctl} is missing; build first")
    putback = putback_path(build)
    programs = (quilletctl, putback if os.access(putback, os.X_OK) else None,
                os.path.join(build, "libexec", "quillet"))
    return measure_places(programs, workdir, 3 if quick else ROUNDS, compare, "restore", log)


def figure(where, result):
    """(figure, measured, reference, ratio, target, ok, notes); result is the reason when the
    comparison could not be made."""
    name = f"Restore of a folder of 10,000 small files to its original place, {where}"
    target = f"≤ {RATIO_TARGET:.2f}×"
    if isinstance(result, str):
        return (name, "–", "–", None, target, None, [result])
    ours, cp = statistics.median(result["ours"]), statistics.median(result["cp"])
    ratio = ours / cp
    complete = all(result["checked"])
    notes = [f"{FOLDERS} folders × {FILES_PER_FOLDER} files of 512–4096 bytes, archived under hidden names with "
             f"its trash information; `quilletctl restore ITEM` as a whole process",
             f"every restored copy holds the {result['files']} files with their sizes, sampled files byte for "
             "byte: " + ("yes" if complete else f"NO ({result['checked'].count(False)} of {len(result['checked'])} not)"),
             "cp -a (ms): " + ", ".join(f"{t * 1000:.0f}" for t in result["cp"]),
             "quilletctl restore (ms): " + ", ".join(f"{t * 1000:.0f}" for t in result["ours"])]
    return (name, f"{ours * 1000:.1f} ms", f"cp -a: {cp * 1000:.1f} ms", ratio, target,
            ratio <= RATIO_TARGET and complete, notes)


def run(ctx):
    """Entry point for bench/run: rows of benchlib.Row."""
    from benchlib import Row, verdict

    # The copies stay in ctx.workdir, which the caller removes (or keeps, with --keep).
    workdir = tempfile.mkdtemp(prefix="restore-", dir=ctx.workdir)
    rows = []
    for where, result in measure(ctx.build, workdir, ctx.quick):
        name, measured, reference, ratio, target, ok, notes = figure(where, result)
        rows.append(Row(name, measured, reference, ratio, target, "skipped" if ok is None else verdict(ok), notes))
        if not isinstance(result, str) and result["window"]:
            window, ours = statistics.median(result["window"]), statistics.median(result["ours"])
            ratio = window / ours
            rows.append(Row(f"Put Back of the same folder from the window, {where}", f"{window * 1000:.1f} ms",
                            f"quilletctl restore: {ours * 1000:.1f} ms", ratio, f"≤ {RATIO_TARGET:.2f}×",
                            verdict(ratio <= RATIO_TARGET and all(result["checked"])),
                            ["the browser tab's row selected, Put Back clicked, timed to the end of the put-back",
                             "the window's Put Back (ms): " + ", ".join(f"{t * 1000:.0f}" for t in result["window"])]))
    return rows


def main():
    from benchlib import standalone

    return standalone(run, __doc__, "restore")


if __name__ == "__main__":
    sys.exit(main())
