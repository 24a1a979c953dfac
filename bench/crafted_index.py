#!/usr/bin/env python3
"""Crafted archive index files that cost a reader far more memory than their size, and the
peak memory of reading each.

    bench/crafted_index.py write FOLDER [--small]   one file per shape, named after it
    bench/crafted_index.py measure BUILD_DIR        reads each shape with quillet-bench-index
                                                    and prints size, peak RSS and their ratio

Every shape passes the structural check in front of the parser; what it costs comes from what
a reader builds from it: shared objects copied at every reference, one parse per record
mention, one tree node per tiny object. --small writes versions under 8 KB, the seeds of
fuzz/corpus/indexReader. A reader that keeps to its budget rejects every full-size shape here,
allocating little, and reads `legit-10000`, a well-formed index of 10,000 records. (The small
long-list names its record 20 times, within the margin the budget leaves: it reads.)

Peak RSS is "Maximum resident set size" of /usr/bin/time -v, under a 6 GB address-space limit
so that an unbounded reader fails rather than taking the machine down."""

import argparse
import os
import plistlib
import shutil
import struct
import subprocess
import sys
import tempfile

sys.dont_write_bytecode = True

UID = plistlib.UID


def binary(value):
    return plistlib.dumps(value, fmt=plistlib.FMT_BINARY, sort_keys=False)


def keyed(top, objects):
    """A keyed archive as NSKeyedArchiver lays it out; objects follow "$null"."""
    return binary({"$version": 100000, "$archiver": "NSKeyedArchiver", "$top": top,
                   "$objects": ["$null"] + objects})


def record(name, size=1234, seconds=1700000000):
    date = struct.pack("<II", seconds, 42)
    return keyed({"Struct length": len(name.encode("utf-8", "surrogateescape")) + 25,
                  "Modification date": date, "Item size": size, "Item name": UID(1)}, [name])


def index(elements, count=None, uids=None, extra_objects=()):
    """An index whose list holds elements (record archives); uids, when given, replaces the
    list's UIDs (they name "$objects" entries: the array is 1, the elements start at 2)."""
    if uids is None:
        uids = [UID(2 + i) for i in range(len(elements))]
    array_class = {"$classname": "NSArray", "$classes": ["NSArray", "NSObject"]}
    objects = [{"NS.objects": uids, "$class": UID(2 + len(elements))}] + list(elements) + [array_class]
    objects += list(extra_objects)
    return keyed({"Struct length": 20, "Number of items": len(uids) if count is None else count,
                  "List of items recorded": UID(1)}, objects)


def with_list(elements_list, count):
    """An index of one record whose list ("NS.objects") is elements_list instead of UIDs."""
    return index([record(".x_a")], count=count, uids=elements_list)


def shapes(small):
    """(name, what, bytes) for every shape; small keeps each under 8 KB. Each is a file the
    reader must refuse: malformed where it is read, or naming more records than it holds."""
    scale = (lambda big, little: little if small else big)
    out = []

    # One three-character string behind every slot of a long list: with at most 256 objects a
    # reference is one byte, and every one of them is a node (and a copy of the string) in a tree.
    n = scale(4_000_000, 6000)
    out.append(("shared-string", "a list of one short string, mentioned in every slot",
                with_list(["abc"] * n, n)))

    # Distinct tiny objects: an integer each, no sharing at all.
    n = scale(400_000, 500)
    out.append(("tiny-objects", "a list of distinct small integers, one object each",
                with_list(list(range(n)), n)))

    # One record with a long name, listed again and again: each mention is a parse of the whole
    # record and a copy of its name.
    name_length, n = scale((65_000, 16_384), (2_000, 3_000))
    out.append(("shared-record", "one record with a long name, its UID mentioned again and again",
                index([record(".x_" + "n" * name_length)], uids=[UID(2)] * n)))

    # The same with UIDs that are distinct objects, all naming the one record.
    n = scale(40_000, 20)
    out.append(("long-list", "a long list of distinct UID objects, all naming the same record",
                index([record(".x_a")], uids=[UID(2) for _ in range(n)])))

    # A record archive whose name is a long array of one shared string, inside an index.
    n = scale(1_000_000, 5000)
    bomb = keyed({"Struct length": 29, "Modification date": struct.pack("<II", 1, 2), "Item size": 1,
                  "Item name": UID(1)}, [["abc"] * n])
    out.append(("record-bomb", "a record whose name is a long array of one shared string",
                index([bomb])))

    # A long string that is not ASCII: stored as UTF-16, turned into UTF-8 by a parser.
    n = scale(2_000_000, 3000)
    out.append(("large-string", "a long UTF-16 string where the list belongs",
                with_list("\u00e9" * n, 1)))

    # Collections nested as deep as allowed, each level holding many references to one string.
    n = scale(120_000, 180)
    nested = ["abc"] * n
    for _ in range(29):
        nested = [nested] + ["abc"] * n
    out.append(("deep-wide", "29 nested arrays, each with many mentions of one string, as the list",
                with_list(nested, n + 1)))

    # A dictionary of many distinct keys where the list belongs.
    n = scale(200_000, 450)
    out.append(("many-keys", "a dictionary of many distinct short keys where the list belongs",
                with_list({"k%d" % i: i for i in range(n)}, 1)))
    return out


def legit(n):
    return index([record(".x_file%05d" % i, size=i, seconds=1700000000 + i) for i in range(n)])


def write(folder, small):
    os.makedirs(folder, exist_ok=True)
    for name, what, data in shapes(small):
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)
        print(f"{name}: {len(data)} bytes ({what})")
    if not small:
        data = legit(10000)
        with open(os.path.join(folder, "legit-10000"), "wb") as f:
            f.write(data)
        print(f"legit-10000: {len(data)} bytes")


def peak_rss_kb(command):
    """Peak RSS in KB of command, and its exit status, under a 6 GB address-space limit."""
    limited = ["bash", "-c", 'ulimit -v 6291456; exec /usr/bin/time -v "$@"', "time"] + command
    result = subprocess.run(limited, capture_output=True, text=True)
    for line in result.stderr.splitlines():
        if "Maximum resident set size" in line:
            return int(line.split(":")[1]), result.returncode, result.stdout.strip()
    return None, result.returncode, result.stderr.strip()[-200:]


def measure(build):
    tool = os.path.join(build, "bench", "quillet-bench-index")
    entries = [(name, data) for name, _, data in shapes(False)] + [("legit-10000", legit(10000))]
    print("| shape | file bytes | peak RSS (KB) | above the bare process (KB) | records read | (peak - bare) / file |")
    print("|---|---:|---:|---:|---|---:|")
    with tempfile.TemporaryDirectory() as scratch:
        empty = os.path.join(scratch, "empty") + "/"
        os.makedirs(empty)
        base, _, _ = peak_rss_kb([tool, "count", empty])
        print(f"| (no index: the bare process) | 0 | {base} | 0 | | |")
        for name, data in entries:
            folder = os.path.join(scratch, name) + "/"
            os.makedirs(folder)
            with open(folder + "ArchivedFileData", "wb") as f:
                f.write(data)
            rss, status, out = peak_rss_kb([tool, "count", folder])
            read = out if status in (0, 1) else f"failed ({status})"
            above = rss - base if rss else None
            ratio = f"{above * 1024 / len(data):.1f}" if rss else "?"
            print(f"| {name} | {len(data)} | {rss} | {above} | {read} | {ratio} |", flush=True)
            shutil.rmtree(folder)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = parser.add_subparsers(dest="command", required=True)
    w = sub.add_parser("write")
    w.add_argument("folder")
    w.add_argument("--small", action="store_true")
    m = sub.add_parser("measure")
    m.add_argument("build")
    args = parser.parse_args()
    if args.command == "write":
        write(args.folder, args.small)
    else:
        measure(args.build)


if __name__ == "__main__":
    main()
