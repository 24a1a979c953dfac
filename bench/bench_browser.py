#!/usr/bin/env python3
"""Cache browser benchmarks: quilletctl's list and search against find(1), and the child rows of
a large folder against ls(1), on the same cache, in the same run, with the same (warm) cache
state.

1. `quilletctl list --flat` over a home cache of 2,000 date folders (consecutive minutes) of 50
   small files each, 100,000 archived items, a few of them under hidden ".x_" names, against
   `find CACHE -mindepth 2 -maxdepth 2 -printf '%s %p\\n'`, which reads the same entries with
   their sizes. Target: at most 1.5 times find.
2. `quilletctl search TEXT` for a rare name over 1,000,000 cached entries (1,000 date folders,
   each holding one archived folder of 10 folders × 100 files), a few of which contain the
   text, against `find CACHE -iname '*TEXT*'`. Both must report the same hits. Target: at most
   1.2 times find.
3. The child rows of a folder of 10,000 files inside an archived folder of the cache, as the
   browser's model builds them when the row is expanded (`quillet-bench-children`:
   CacheTree::children, the folder's listing: all 10,000 rows with names, kinds and ids,
   visible names printed), against `ls -f` of that folder, which reads the names alone. Target:
   at most 1.5 times `ls -f`. The same rows given their sizes and dates as well
   (`quillet-bench-children --attributes`: CacheTree::childrenWithAttributes, one fstatat per
   entry) are timed against `ls -fl`, which reads the same attributes, in the same rounds; the
   helper's in-process build times (and that it read the folder once) are reported beside them.

Both programs run as whole processes with stdout to /dev/null, alternately, after one warm-up
run of each that is not counted; the figure is the ratio of the medians. quilletctl runs on a
scratch home (HOME, XDG_DATA_HOME, XDG_CONFIG_HOME) with QUILLET_VOLUME_ROOTS pointing to an
empty folder, so the home cache is the only one it looks at. One more run of each, writing to a
file, checks what they print.

Standalone:  bench/bench_browser.py [BUILD_DIR] [--quick] [--keep]
prints a Markdown table; bench/run calls run(ctx) and gets benchlib rows. The caches are left
in bench/run's scratch folder, which bench/run removes at the end: deleting a million files
right away would slow down whatever creates files next on the same file system."""

import os
import stat
import statistics
import subprocess
import sys
import tempfile
import time

sys.dont_write_bytecode = True  # no __pycache__ in the source tree

LIST_DATE_FOLDERS = 2000
LIST_ITEMS_PER_FOLDER = 50
LIST_HIDDEN_PER_FOLDER = 2  # items stored under ".x_" names
LIST_TARGET = 1.5
SEARCH_DATE_FOLDERS = 1000
SEARCH_FOLDERS = 10
SEARCH_FILES_PER_FOLDER = 100
SEARCH_TEXT = "zebrafish"
SEARCH_TARGET = 1.2
CHILDREN = 10000
CHILDREN_TARGET = 1.5
ROUNDS = 7
CACHE_FOLDER_NAME = ".TrashCacheFolder"
BASE_TIME = 1_796_658_120  # 2026-12-07 15:42 UTC: the names never depend on today


def log(message):
    print(f"[bench browser] {message}", file=sys.stderr, flush=True)


def quilletctl_path(build):
    return os.path.join(build, "bin", "quilletctl")


def children_tool_path(build):
    return os.path.join(build, "bench", "quillet-bench-children")


def date_folder_name(number):
    return time.strftime("%Y-%m-%d %H_%M +0000", time.gmtime(BASE_TIME + 60 * number))


class Scratch:
    """A home with an empty trash and a cache folder, and an empty volume root."""

    def __init__(self, root):
        self.root = root
        self.home = os.path.join(root, "home")
        self.data = os.path.join(root, "data")
        self.config = os.path.join(root, "config")
        self.volumes = os.path.join(root, "volumes")
        self.cache = os.path.join(self.home, CACHE_FOLDER_NAME)
        for folder in (os.path.join(self.data, "Trash", "files"), os.path.join(self.data, "Trash", "info"),
                       self.config, self.volumes, self.cache):
            os.makedirs(folder, mode=0o700, exist_ok=True)
        for name in ("ArchivedFileData", "UPD_FLAG"):
            open(os.path.join(self.cache, name), "wb").close()

    def env(self):
        env = dict(os.environ)
        env.update(HOME=self.home, XDG_DATA_HOME=self.data, XDG_CONFIG_HOME=self.config,
                   QUILLET_VOLUME_ROOTS=self.volumes)
        return env


def make_list_cache(scratch):
    """LIST_DATE_FOLDERS date folders of LIST_ITEMS_PER_FOLDER files of 20 to 2,000 bytes; the
    first LIST_HIDDEN_PER_FOLDER of each folder under hidden names."""
    payload = b"q" * 2000
    for number in range(LIST_DATE_FOLDERS):
        folder = os.path.join(scratch.cache, date_folder_name(number))
        os.mkdir(folder, 0o700)
        for index in range(LIST_ITEMS_PER_FOLDER):
            prefix = ".x_" if index < LIST_HIDDEN_PER_FOLDER else ""
            with open(os.path.join(folder, f"{prefix}Report {number:04d}-{index:02d}.txt"), "wb") as f:
                f.write(payload[:20 + (number * 37 + index * 101) % 1981])
    return LIST_DATE_FOLDERS * LIST_ITEMS_PER_FOLDER


def make_search_cache(scratch):
    """SEARCH_DATE_FOLDERS date folders, each with an archived folder of SEARCH_FOLDERS folders
    of SEARCH_FILES_PER_FOLDER empty files; a few names contain SEARCH_TEXT in mixed case, one
    of them a folder. Returns the number of entries below the date folders and the hits' paths."""
    regular = stat.S_IFREG | 0o600
    hits = []
    entries = 0
    for number in range(SEARCH_DATE_FOLDERS):
        date_folder = os.path.join(scratch.cache, date_folder_name(number))
        project = os.path.join(date_folder, f".x_project-{number:04d}")
        os.makedirs(project, 0o700)
        entries += 1
        for folder_number in range(SEARCH_FOLDERS):
            folder = os.path.join(project, f".x_module-{folder_number:02d}")
            if number == 500 and folder_number == 5:
                folder = os.path.join(project, ".x_Zebrafish photos")
                hits.append(folder)
            os.mkdir(folder, 0o700)
            entries += 1
            for file_number in range(SEARCH_FILES_PER_FOLDER):
                name = f".x_file-{file_number:03d}.txt"
                if file_number == 42 and folder_number == 3 and number % 150 == 7:
                    name = f".x_Quarterly ZebraFish report {number}.txt"
                path = os.path.join(folder, name)
                if name != f".x_file-{file_number:03d}.txt":
                    hits.append(path)
                os.mknod(path, regular)
                entries += 1
    return entries, sorted(hits)


def time_process(argv, env=None):
    started = time.perf_counter()
    subprocess.run(argv, check=True, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
    return time.perf_counter() - started


def output_of(argv, env=None):
    return subprocess.run(argv, check=True, env=env, stdin=subprocess.DEVNULL, capture_output=True,
                          text=True, errors="replace").stdout


def compare(ours, reference, env, rounds):
    """Times ours and reference alternately, rounds times each after a warm-up run of each."""
    time_process(reference)
    time_process(ours, env)
    ours_times, reference_times = [], []
    for _ in range(rounds):
        reference_times.append(time_process(reference))
        ours_times.append(time_process(ours, env))
    return ours_times, reference_times


def measure_list(build, scratch, rounds):
    log(f"making a cache of {LIST_DATE_FOLDERS} date folders and "
        f"{LIST_DATE_FOLDERS * LIST_ITEMS_PER_FOLDER} items")
    items = make_list_cache(scratch)
    subprocess.run(["sync"], check=True)
    ours = [quilletctl_path(build), "list", "--flat"]
    reference = ["find", scratch.cache, "-mindepth", "2", "-maxdepth", "2", "-printf", "%s %p\n"]
    ours_times, reference_times = compare(ours, reference, scratch.env(), rounds)
    # Every item is a row, shown under its visible name, with the size find reports.
    sizes = {}
    for line in output_of(reference).splitlines():
        size, path = line.split(" ", 1)
        sizes[path] = int(size)
    rows = [line.split("\t") for line in output_of(ours, scratch.env()).splitlines()]
    # Fields: name, date, size, the folder the item came from, its path in the cache.
    paths = sorted(row[4] for row in rows if len(row) == 5)
    # The items stored under hidden names are shown under their visible ones.
    unhidden = sum(1 for row in rows if len(row) == 5 and os.path.basename(row[4]) == ".x_" + row[0])
    return {"items": items, "ours": ours_times, "reference": reference_times, "rows": len(rows),
            "found": len(sizes), "unhidden": unhidden, "hidden": LIST_DATE_FOLDERS * LIST_HIDDEN_PER_FOLDER,
            "paths": paths == sorted(sizes)}


def measure_search(build, scratch, rounds):
    log(f"making a cache of {SEARCH_DATE_FOLDERS} date folders and about "
        f"{SEARCH_DATE_FOLDERS * SEARCH_FOLDERS * SEARCH_FILES_PER_FOLDER} entries")
    entries, hits = make_search_cache(scratch)
    subprocess.run(["sync"], check=True)
    ours = [quilletctl_path(build), "search", SEARCH_TEXT]
    reference = ["find", scratch.cache, "-iname", f"*{SEARCH_TEXT}*"]
    ours_times, reference_times = compare(ours, reference, scratch.env(), rounds)
    found_by_find = sorted(output_of(reference).splitlines())
    found_by_ours = sorted(line.split("\t")[4] for line in output_of(ours, scratch.env()).splitlines())
    return {"entries": entries, "ours": ours_times, "reference": reference_times, "hits": hits,
            "find": found_by_find, "quilletctl": found_by_ours}


def make_children_cache(scratch):
    """One date folder holding an archived folder whose sub-folder holds CHILDREN files of 0 to
    2,999 bytes under hidden names. Returns the path of that sub-folder."""
    folder = os.path.join(scratch.cache, date_folder_name(0), ".x_project", ".x_many")
    os.makedirs(folder, 0o700)
    payload = b"c" * 3000
    for index in range(CHILDREN):
        with open(os.path.join(folder, f".x_photo-{index:05d}.jpg"), "wb") as f:
            f.write(payload[:(index * 37) % 3000])
    return folder


def measure_children(build, scratch, rounds):
    log(f"making a folder of {CHILDREN} files inside an archived folder")
    folder = make_children_cache(scratch)
    subprocess.run(["sync"], check=True)
    ours = [children_tool_path(build), scratch.cache, folder]
    ours_attributes = ours + ["--attributes"]
    reference = ["ls", "-f", folder]
    attributes = ["ls", "-fl", folder]
    for program in (reference, attributes, ours, ours_attributes):
        time_process(program)
    ours_times, reference_times, attribute_times, ours_attribute_times = [], [], [], []
    for _ in range(rounds):
        reference_times.append(time_process(reference))
        ours_times.append(time_process(ours))
        attribute_times.append(time_process(attributes))
        ours_attribute_times.append(time_process(ours_attributes))
    listed = set(output_of(reference).splitlines()) - {".", ".."}
    shown = output_of(ours).splitlines()
    same = sorted(shown) == sorted(name[3:] if name.startswith(".x_") else name for name in listed)
    # With their attributes: the same names, each with the size the file has.
    sized = dict(line.split("\t") for line in output_of(ours_attributes).splitlines())
    sizes_right = sorted(sized) == sorted(shown) and all(
        int(size) == os.lstat(os.path.join(folder, ".x_" + name)).st_size for name, size in sized.items())
    phases = [line.split() for line in output_of(ours + ["--phases", str(rounds)]).splitlines()]
    attribute_phases = [line.split() for line in output_of(ours_attributes + ["--phases", str(rounds)]).splitlines()]
    return {"ours": ours_times, "reference": reference_times, "attributes": attribute_times,
            "ours_attributes": ours_attribute_times, "rows": len(shown), "listed": len(listed), "same": same,
            "sizes_right": sizes_right, "in_process": [float(fields[0]) / 1000 for fields in phases],
            "in_process_attributes": [float(fields[0]) / 1000 for fields in attribute_phases],
            "reads": sorted({int(fields[2]) for fields in phases + attribute_phases})}


def measure(build, workdir, quick):
    for program in (quilletctl_path(build), children_tool_path(build)):
        if not os.access(program, os.X_OK):
            raise RuntimeError(f"{program} is missing; build first")
    rounds = 3 if quick else ROUNDS
    listed = measure_list(build, Scratch(os.path.join(workdir, "list")), rounds)
    searched = measure_search(build, Scratch(os.path.join(workdir, "search")), rounds)
    children = measure_children(build, Scratch(os.path.join(workdir, "children")), rounds)
    return listed, searched, children


def times_ms(times):
    return ", ".join(f"{t * 1000:.0f}" for t in times)


def figures(listed, searched, children):
    """(figure, measured, reference, ratio, target, ok, notes) per figure."""
    list_ours, list_find = statistics.median(listed["ours"]), statistics.median(listed["reference"])
    list_ok = (listed["rows"] == listed["items"] == listed["found"] and listed["paths"]
               and listed["unhidden"] == listed["hidden"])
    search_ours, search_find = statistics.median(searched["ours"]), statistics.median(searched["reference"])
    same_hits = searched["find"] == searched["quilletctl"] == searched["hits"]
    children_ours, children_ls = statistics.median(children["ours"]), statistics.median(children["reference"])
    children_attributes = statistics.median(children["attributes"])
    children_full = statistics.median(children["ours_attributes"])
    children_ok = children["rows"] == children["listed"] == CHILDREN and children["same"] and children["reads"] == [1]
    return [
        ("quilletctl list --flat, 100,000 items in 2,000 date folders", f"{list_ours * 1000:.1f} ms",
         f"find -printf '%s %p': {list_find * 1000:.1f} ms", list_ours / list_find, f"≤ {LIST_TARGET:.1f}×",
         list_ours / list_find <= LIST_TARGET and list_ok,
         [f"{listed['rows']} rows, find {listed['found']} entries, same paths: {'yes' if listed['paths'] else 'NO'}; "
          f"{listed['unhidden']} of the {listed['hidden']} items stored under hidden names shown under visible ones",
          f"quilletctl (ms): {times_ms(listed['ours'])}", f"find (ms): {times_ms(listed['reference'])}"]),
        (f"quilletctl search, {searched['entries']:,} cached entries", f"{search_ours * 1000:.1f} ms",
         f"find -iname: {search_find * 1000:.1f} ms", search_ours / search_find, f"≤ {SEARCH_TARGET:.1f}×",
         search_ours / search_find <= SEARCH_TARGET and same_hits,
         [f"\"{SEARCH_TEXT}\": {len(searched['quilletctl'])} hits, find {len(searched['find'])}, "
          f"{len(searched['hits'])} made; same hits: {'yes' if same_hits else 'NO'}",
          f"quilletctl (ms): {times_ms(searched['ours'])}", f"find (ms): {times_ms(searched['reference'])}"]),
        (f"Child rows of a folder of {CHILDREN:,} files (the listing)", f"{children_ours * 1000:.1f} ms",
         f"ls -f: {children_ls * 1000:.1f} ms", children_ours / children_ls, f"≤ {CHILDREN_TARGET:.1f}×",
         children_ours / children_ls <= CHILDREN_TARGET and children_ok,
         [f"{children['rows']} rows, ls -f {children['listed']} entries, same names: "
          f"{'yes' if children['same'] else 'NO'}; folder reads per build: "
          f"{', '.join(str(r) for r in children['reads'])}",
          f"built in-process (ms): {times_ms(children['in_process'])}",
          f"quillet-bench-children (ms): {times_ms(children['ours'])}", f"ls -f (ms): {times_ms(children['reference'])}"]),
        (f"Child rows of a folder of {CHILDREN:,} files with sizes and dates", f"{children_full * 1000:.1f} ms",
         f"ls -fl: {children_attributes * 1000:.1f} ms", children_full / children_attributes, "≤ 1.0× (no target)",
         children_full <= children_attributes and children["sizes_right"],
         [f"sizes as the files have them: {'yes' if children['sizes_right'] else 'NO'}",
          f"built in-process (ms): {times_ms(children['in_process_attributes'])}",
          f"quillet-bench-children --attributes (ms): {times_ms(children['ours_attributes'])}",
          f"ls -fl (ms): {times_ms(children['attributes'])}"]),
    ]


def run(ctx):
    """Entry point for bench/run: rows of benchlib.Row. The caches stay in ctx.workdir."""
    from benchlib import Row, verdict

    workdir = tempfile.mkdtemp(prefix="browser-", dir=ctx.workdir)
    listed, searched, children = measure(ctx.build, workdir, ctx.quick)
    return [Row(figure, measured, reference, ratio, target, verdict(ok), notes)
            for figure, measured, reference, ratio, target, ok, notes in figures(listed, searched, children)]


def main():
    from benchlib import standalone

    return standalone(run, __doc__, "browser")


if __name__ == "__main__":
    sys.exit(main())
