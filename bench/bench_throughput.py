"""Copy-mode throughput: how long quilletd takes to archive a 1 GiB file and a folder of 10,000
small files, against `cp -a` of the same data on the same file system in the same run; and on
copy-on-write file systems (btrfs, xfs with reflink), how long it takes to archive a 1 GiB file
that it can clone.

The copy-mode comparison runs twice: in the scratch folder, on whatever file system holds it,
and on a fresh ext4 (default mkfs.ext4) on a loop-mounted image file, which nothing else on the
machine touches. The copy-on-write volumes are loop-mounted images as well.

quilletd's time runs from the rename of the item into the trash folder (what trash-put does)
to the appearance of the UPD_FLAG marker, which the daemon creates right after it finished
archiving an entry and which is deleted before each run. Before every timed run, of cp and of
quilletd alike, `sync` flushes what is dirty and a pause of a few seconds follows (see
QUIET_SECONDS), so that both start from the same state: the source is cached, nothing waits to
be written, memory freed before is as free as it will get. A warm-up cp -a comes first and is
not counted; then cp -a and quilletd alternate and the medians are compared."""

import contextlib
import os
import random
import shutil
import subprocess
import time

from benchlib import (Daemon, Home, Row, log, median, ms, remove, skipped, sync, verdict,
                      wait_for)

GIB = 1 << 30
CHUNK = 64 << 20
RATIO_TARGET = 1.10
REFLINK_TARGET = 0.050
TREE_FOLDERS = 100
TREE_FILES_PER_FOLDER = 100
# Pause between freeing the previous copy and a timed run. A virtual machine may hand memory
# that has been free for a couple of seconds back to its host (free page reporting does so
# after 2 s), and a copy into such memory costs several times a copy into memory just freed.
# Every timed run, of cp and of quilletd alike, starts after this pause, so they all start alike.
QUIET_SECONDS = 4.0


def make_big_file(path, rng, size=GIB):
    block = rng.randbytes(CHUNK)
    with open(path, "wb") as f:
        for number in range(size // CHUNK):
            # A different first byte per block: no two blocks of the file are alike.
            f.write(bytes([number & 0xFF]) + block[1:])


def make_tree(path, rng):
    for folder_number in range(TREE_FOLDERS):
        folder = os.path.join(path, f"folder-{folder_number:02d}")
        os.makedirs(folder)
        for file_number in range(TREE_FILES_PER_FOLDER):
            with open(os.path.join(folder, f"file-{file_number:03d}.dat"), "wb") as f:
                f.write(rng.randbytes(rng.randint(512, 4096)))


def count_files(path):
    return sum(len(files) for _, _, files in os.walk(path))


def quiet():
    sync()
    time.sleep(QUIET_SECONDS)


def time_cp(source, destination, extra=()):
    remove(destination)
    quiet()
    started = time.perf_counter()
    subprocess.run(["cp", "-a", *extra, source, destination], check=True)
    return time.perf_counter() - started


def time_capture(home, daemon, source, name, check, keep_copy=False, timeout=120.0):
    """Renames source into the trash as name and waits for the daemon to have archived it;
    puts it back afterwards and removes the archived copy unless keep_copy."""
    remove(home.update_flag)
    quiet()
    in_trash = os.path.join(home.trash, name)
    started = time.perf_counter()
    os.rename(source, in_trash)
    seen = wait_for(lambda: os.path.exists(home.update_flag), timeout, pause=0.0002)
    if seen is None:
        raise RuntimeError(f"throughput: {name} not archived within {timeout:.0f} s: {daemon.log_tail()}")
    cached = home.cached_path(name)
    if cached is None:
        raise RuntimeError(f"throughput: UPD_FLAG set but no archived copy of {name}")
    detail = check(cached)
    os.rename(in_trash, source)
    if not keep_copy:
        remove(cached)
    # The daemon sees the entry gone at its next poll and rewrites the index: let it, before
    # the next timed run.
    daemon.settle()
    return seen - started, detail


def compare_with_cp(ctx, home, daemon, source, label, check, rounds, keep_copies):
    """Alternates cp -a and quilletd on source, rounds times each, after a warm-up cp -a.

    With keep_copies, no copy is deleted before the comparison is over. Creating thousands of
    files right after deleting thousands costs far more than creating them on a quiet file
    system (ext4 without a journal, for one, skips every inode freed in the last minute when it
    allocates), and it would weigh on whichever run comes after a deletion."""
    copies = os.path.join(home.root, "cp-copies")
    os.makedirs(copies, exist_ok=True)
    made = []

    def destination(suffix):
        path = os.path.join(copies, f"{label}-{suffix}")
        made.append(path)
        return path

    time_cp(source, destination("warm-up"))  # not counted
    if not keep_copies:
        remove(made.pop())
    cp_times, daemon_times = [], []
    for number in range(rounds):
        cp_times.append(time_cp(source, destination(f"cp-{number}")))
        if not keep_copies:
            remove(made.pop())
        seconds, _ = time_capture(home, daemon, source, f"{label}-{number}", check, keep_copies)
        daemon_times.append(seconds)
        log(f"throughput {label}: cp -a {ms(cp_times[-1])}, quilletd {ms(seconds)}")
    for path in made:
        remove(path)
    for folder in home.date_folders():
        remove(folder)
    return cp_times, daemon_times


def ratio_row(figure, cp_times, daemon_times, notes):
    cp_median, daemon_median = median(cp_times), median(daemon_times)
    ratio = daemon_median / cp_median
    notes = notes + ["cp -a (ms): " + ", ".join(f"{t * 1000:.0f}" for t in cp_times),
                     "quilletd (ms): " + ", ".join(f"{t * 1000:.0f}" for t in daemon_times)]
    return Row(figure, ms(daemon_median), f"cp -a: {ms(cp_median)}", ratio, "≤ 1.10×",
               verdict(ratio <= RATIO_TARGET), notes)


class VolumeUnavailable(Exception):
    pass


@contextlib.contextmanager
def loop_volume(ctx, kind, size):
    """A fresh file system of the kind on a sparse image file in the scratch folder, mounted
    through a loop device for the duration; VolumeUnavailable says why there is none."""
    if os.geteuid() != 0:
        raise VolumeUnavailable("needs root to mount a loop image")
    if shutil.which(f"mkfs.{kind}") is None:
        raise VolumeUnavailable(f"mkfs.{kind} not installed")
    root = os.path.join(ctx.workdir, f"volume-{kind}")
    mountpoint = os.path.join(root, "mnt")
    os.makedirs(mountpoint)
    image = os.path.join(root, "volume.img")
    with open(image, "wb") as f:
        f.truncate(size)
    try:
        made = subprocess.run(MKFS[kind] + [image], capture_output=True, text=True)
        if made.returncode != 0:
            raise VolumeUnavailable(f"mkfs.{kind} failed: {made.stderr.strip()[:200]}")
        mounted = subprocess.run(["mount", "-o", "loop", image, mountpoint], capture_output=True, text=True)
        if mounted.returncode != 0:
            raise VolumeUnavailable(f"mount failed: {mounted.stderr.strip()[:200]}")
        try:
            yield mountpoint
        finally:
            subprocess.run(["umount", mountpoint], check=False)
    finally:
        remove(root)


MKFS = {
    "ext4": ["mkfs.ext4", "-q", "-F"],
    "btrfs": ["mkfs.btrfs", "-q", "-f"],
    "xfs": ["mkfs.xfs", "-q", "-f", "-m", "reflink=1"],
}


def copy_mode_rows(ctx, root, where):
    """cp -a against quilletd on the file system of root, for the 1 GiB file and the tree."""
    rng = random.Random(3)
    home = Home(root)
    stage = os.path.join(root, "stage")
    os.makedirs(stage)
    big = os.path.join(stage, "movie.bin")
    tree = os.path.join(stage, "project")
    log(f"throughput ({where}): writing the 1 GiB file and the 10,000-file tree")
    make_big_file(big, rng)
    make_tree(tree, rng)
    expected_files = TREE_FOLDERS * TREE_FILES_PER_FOLDER

    def check_big(cached):
        size = os.stat(cached).st_size
        if size != GIB:
            raise RuntimeError(f"throughput: archived copy holds {size} bytes, not {GIB}")

    def check_tree(cached):
        found = count_files(cached)
        if found != expected_files:
            raise RuntimeError(f"throughput: archived tree holds {found} files, not {expected_files}")

    rows = []
    with Daemon(ctx, home) as daemon:
        daemon.wait_idle()
        cp_times, daemon_times = compare_with_cp(ctx, home, daemon, big, "movie", check_big,
                                                 3 if ctx.quick else 7, keep_copies=False)
        rows.append(ratio_row(f"Copy mode, one 1 GiB file, {where}", cp_times, daemon_times,
                              ["time from the rename into the trash to UPD_FLAG"]))
        cp_times, daemon_times = compare_with_cp(ctx, home, daemon, tree, "project", check_tree,
                                                 3 if ctx.quick else 7, keep_copies=True)
        rows.append(ratio_row(f"Copy mode, folder of 10,000 small files, {where}", cp_times,
                              daemon_times, ["100 folders × 100 files of 512–4096 bytes, trashed as one entry"]))
    return rows


def run_copy_mode(ctx):
    filesystem = subprocess.run(["findmnt", "-n", "-o", "FSTYPE", "-T", ctx.workdir],
                                capture_output=True, text=True).stdout.strip() or "?"
    root = os.path.join(ctx.workdir, "throughput")
    rows = copy_mode_rows(ctx, root, f"scratch folder ({filesystem})")
    remove(root)
    where = "fresh ext4 image"
    try:
        with loop_volume(ctx, "ext4", 6 * GIB) as mountpoint:
            rows += copy_mode_rows(ctx, mountpoint, where)
    except VolumeUnavailable as reason:
        for figure in ("one 1 GiB file", "folder of 10,000 small files"):
            rows.append(skipped(f"Copy mode, {figure}, {where}", "≤ 1.10×", str(reason)))
    return rows


def shared_extents(path):
    """True when the file system reports the file's extents as shared (FIEMAP, via filefrag)."""
    result = subprocess.run(["filefrag", "-v", path], capture_output=True, text=True)
    return result.returncode == 0 and "shared" in result.stdout


def run_reflink(ctx, kind):
    figure = f"Copy mode, 1 GiB file on {kind} (reflink)"
    target = "< 50 ms"
    try:
        with loop_volume(ctx, kind, 3 * GIB) as mountpoint:
            return reflink_row(ctx, mountpoint, figure, target)
    except VolumeUnavailable as reason:
        return skipped(figure, target, str(reason))


def reflink_row(ctx, mountpoint, figure, target):
    home = Home(mountpoint)
    stage = os.path.join(mountpoint, "stage")
    os.makedirs(stage)
    big = os.path.join(stage, "disk-image.bin")
    make_big_file(big, random.Random(4))
    sync()
    clone = os.path.join(stage, "clone.bin")
    cp_times = []
    for _ in range(3):
        cp_times.append(time_cp(big, clone, ("--reflink=always",)))
        remove(clone)
    shared = []

    def check(cached):
        shared.append(shared_extents(cached))

    times = []
    with Daemon(ctx, home) as daemon:
        daemon.wait_idle()
        for number in range(3 if ctx.quick else 5):
            seconds, _ = time_capture(home, daemon, big, f"disk-image-{number}", check)
            times.append(seconds)
            log(f"{figure}: quilletd {ms(seconds)}")
    value = median(times)
    notes = ["quilletd (ms): " + ", ".join(f"{t * 1000:.1f}" for t in times),
             f"archived copy shares its extents with the original: {'yes' if all(shared) else 'NO'}",
             f"for comparison, cp -a --reflink=always: {ms(median(cp_times))} (median of 3)"]
    return Row(figure, ms(value), "target 50 ms", value / REFLINK_TARGET, target,
               verdict(value < REFLINK_TARGET and all(shared)), notes)


def run(ctx):
    rows = run_copy_mode(ctx)
    for kind in ("btrfs", "xfs"):
        rows.append(run_reflink(ctx, kind))
    return rows
