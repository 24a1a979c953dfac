#!/usr/bin/env python3
"""Folder-size benchmark: ZRAppUtils' getFolderSize on a tree of 200,000 files against
`du -sb` on the same tree in the same run, with the same (warm) cache state.

The tree: 400 folders of 500 files (0 to 8 KiB) spread over three levels, plus a few
symbolic links, some to a folder outside the tree that must not be entered. Both programs are
timed as whole processes, alternately, after one warm-up run of each; the figure is the ratio
of the medians. The total must also equal the sum that
`find TREE \\( -type f -o -type l \\) -printf '%s\\n'` gives.

Standalone:  bench/bench_foldersize.py [BUILD_DIR] [--quick]"""

import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.dont_write_bytecode = True

FILES = 200_000
FILES_PER_FOLDER = 500
ROUNDS = 7


def log(message):
    print(f"[bench foldersize] {message}", file=sys.stderr, flush=True)


def helper_path(build):
    return os.path.join(build, "bench", "quillet-bench-foldersize")


def make_tree(root, files):
    rng = random.Random(7)
    outside = os.path.join(os.path.dirname(root), "outside")
    os.makedirs(outside, exist_ok=True)
    with open(os.path.join(outside, "big"), "wb") as out:
        out.write(b"o" * 1_000_000)
    made = 0
    folder_index = 0
    while made < files:
        folder = os.path.join(root, f"a{folder_index % 10}", f"b{folder_index % 7}", f"c{folder_index}")
        os.makedirs(folder, exist_ok=True)
        for i in range(min(FILES_PER_FOLDER, files - made)):
            with open(os.path.join(folder, f"f{i}"), "wb") as out:
                out.write(b"x" * rng.randrange(0, 8192))
            made += 1
        os.symlink(outside, os.path.join(folder, "link-outside"))
        folder_index += 1
    return made


def time_process(argv):
    start = time.perf_counter()
    out = subprocess.run(argv, check=True, capture_output=True, text=True).stdout
    return time.perf_counter() - start, out


def find_total(tree):
    out = subprocess.run(["find", tree, "(", "-type", "f", "-o", "-type", "l", ")", "-printf", "%s\n"],
                         check=True, capture_output=True, text=True).stdout
    return sum(int(line) for line in out.split())


def measure(build, workdir, quick):
    helper = helper_path(build)
    if not os.access(helper, os.X_OK):
        raise RuntimeError(f"{helper} is missing: build the project first")
    files = FILES // 10 if quick else FILES
    tree = os.path.join(workdir, "tree")
    log(f"making a tree of {files} files")
    make_tree(tree, files)
    subprocess.run(["sync"], check=True)
    rounds = 3 if quick else ROUNDS
    time_process(["du", "-sb", tree])
    time_process([helper, tree])
    ours, du = [], []
    size = 0
    for _ in range(rounds):
        seconds, out = time_process(["du", "-sb", tree])
        du.append(seconds)
        seconds, out = time_process([helper, tree])
        ours.append(seconds)
        size = int(out.strip())
    expected = find_total(tree)
    return files, statistics.median(ours), statistics.median(du), size, expected, ours, du


def run(ctx):
    from benchlib import Row
    figure = "getFolderSize, tree of 200,000 files"
    workdir = tempfile.mkdtemp(prefix="quillet-bench-foldersize-", dir=ctx.workdir)
    try:
        files, ours, du, size, expected, all_ours, all_du = measure(ctx.build, workdir, ctx.quick)
    finally:
        shutil.rmtree(workdir, ignore_errors=True)
    ratio = ours / du
    ok = ratio <= 1.0 and size == expected
    notes = [f"{files} files; getFolderSize (ms): {', '.join(f'{t * 1000:.0f}' for t in all_ours)}; "
             f"du -sb (ms): {', '.join(f'{t * 1000:.0f}' for t in all_du)}; "
             f"total {size} bytes, find's sum {expected} bytes ({'equal' if size == expected else 'DIFFERENT'})"]
    return [Row(figure, f"{ours * 1000:.1f} ms", f"du -sb: {du * 1000:.1f} ms", ratio, "≤ 1.00×",
                "pass" if ok else "MISS", notes)]


def main():
    args = [a for a in sys.argv[1:] if not a.startswith("--")]
    build = os.path.abspath(args[0] if args else "build")
    workdir = tempfile.mkdtemp(prefix="quillet-bench-foldersize-")
    try:
        files, ours, du, size, expected, _, _ = measure(build, workdir, "--quick" in sys.argv)
    finally:
        shutil.rmtree(workdir, ignore_errors=True)
    print("| Figure | Measured | Reference | Ratio | Same total as find |")
    print("| --- | --- | --- | --- | --- |")
    print(f"| getFolderSize, {files} files | {ours * 1000:.1f} ms | du -sb: {du * 1000:.1f} ms | "
          f"{ours / du:.2f}× | {'yes' if size == expected else 'NO'} |")


if __name__ == "__main__":
    main()
