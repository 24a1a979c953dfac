#!/usr/bin/env python3
"""Writes the seed files of the settings reader fuzzer into fuzz/corpus/settingsReader/.

Run it again after changing it; the seeds are kept in the source tree so that the fuzz test
needs nothing but the build.
"""
import datetime
import os
import plistlib
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "corpus", "settingsReader")
PROLOG = ('<?xml version="1.0" encoding="UTF-8"?>\n'
          '<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" '
          '"http://www.apple.com/DTDs/PropertyList-1.0.dtd">\n<plist version="1.0">\n')

DEFAULTS = {
    "Survey home Trash only": 1, "Keep data for days": 1, "How many days to keep data": 7,
    "Keep data for size max": 1, "Size max for cache": 4096, "Percentage of free disk space": 10,
    "Mode of cache file handling": 0, "Time of last daemon launch": 0, "Daemons are running": 0,
    "App_Prefs_checkUpdates": 1, "App_Prefs": {}, "Display menu extra": 1,
}


def binary_with_objects(objects, top=0):
    """A binary plist of raw objects (bytes each), 1-byte references, 2-byte offsets."""
    data = b"bplist00"
    offsets = []
    for obj in objects:
        offsets.append(len(data))
        data += obj
    table = len(data)
    data += b"".join(struct.pack(">H", o) for o in offsets)
    data += b"\0" * 6 + bytes([2, 1]) + struct.pack(">QQQ", len(objects), top, table)
    return data


def ascii_string(text):
    raw = text.encode("latin-1")
    assert len(raw) < 15
    return bytes([0x50 | len(raw)]) + raw


def utf16_string(text):
    units = text.encode("utf-16-be")
    assert len(units) // 2 < 15
    return bytes([0x60 | len(units) // 2]) + units


def write(name, data):
    if isinstance(data, str):
        data = data.encode("utf-8")
    with open(os.path.join(OUT, name), "wb") as f:
        f.write(data)


def main():
    os.makedirs(OUT, exist_ok=True)
    write("defaults.xml", plistlib.dumps(DEFAULTS, fmt=plistlib.FMT_XML))
    write("defaults.bplist", plistlib.dumps(DEFAULTS, fmt=plistlib.FMT_BINARY))

    kinds = dict(DEFAULTS)
    kinds.update({
        "App_Prefs": {"inner": 3, "list": [1, "two", 3.5, True, {"deep": [[]]}]},
        "when": datetime.datetime(2009, 3, 14, 12, 0, 0),
        "blob": b"\x00\x01\x02\xff",
        "text": "Gr\u00f6\u00dfe <&> \U0001F600",
        "ratio": 0.25,
        "negative": -5,
        "huge": 2**64 - 1,
    })
    write("all-kinds.xml", plistlib.dumps(kinds, fmt=plistlib.FMT_XML))
    write("all-kinds.bplist", plistlib.dumps(kinds, fmt=plistlib.FMT_BINARY))

    # Every setting out of range or of the wrong type: the mirror must use the defaults.
    write("bad-values.xml", PROLOG + "<dict>"
          "<key>How many days to keep data</key><integer>-1</integer>"
          "<key>Size max for cache</key><real>1e308</real>"
          "<key>Percentage of free disk space</key><integer>150</integer>"
          "<key>Mode of cache file handling</key><string>5</string>"
          "<key>Survey home Trash only</key><string>yes</string>"
          "<key>Keep data for days</key><array/>"
          "<key>Time of last daemon launch</key><integer>99999999999999999999</integer>"
          "<key>App_Prefs</key><integer>3</integer>"
          "<key>Keep data for size max</key><real>0.5</real>"
          "<key>Daemons are running</key><true/>"
          "</dict></plist>\n")

    # Markup that must not count as nesting, and markup that must.
    write("markup.xml", '<?xml version="1.0"?><?other "?>"<array>?>\n'
          '<!DOCTYPE plist [ <!ENTITY x "<array>"> ]>\n'
          '<plist version="1.0"><!-- <array><array> --><dict attr="a>b">'
          '<key>c<![CDATA[<array>]]>d</key><string>x<!-- </string> -->y</string>'
          '<key>e</key><array><dict/><array/><true/></array></dict></plist>')

    depth = 32
    write("nested-at-limit.xml", PROLOG + "<dict><key>a</key>" + "<array>" * depth + "</array>" * depth +
          "</dict></plist>\n")
    write("nested-too-deep.xml", PROLOG + "<dict><key>a</key>" + "<array>" * (depth + 1) +
          "</array>" * (depth + 1) + "</dict></plist>\n")
    nested = []
    for _ in range(depth - 1):
        nested = [nested]
    write("nested-at-limit.bplist", plistlib.dumps({"a": nested}, fmt=plistlib.FMT_BINARY))

    # Strings with NUL: UTF-16 keeps them, ASCII ones stop at NUL in libplist.
    write("nul-utf16.bplist", binary_with_objects(
        [b"\xd2\x01\x02\x03\x04", ascii_string("k"), ascii_string("m"), utf16_string("a\0\u00e9"),
         utf16_string("\0")]))
    write("nul-ascii.bplist", binary_with_objects([b"\xd1\x01\x02", ascii_string("k"), ascii_string("a\0b")]))
    write("nul.xml", PROLOG.encode() + b"<dict><key>k</key><string>a\0b</string></dict></plist>\n")

    # Odd kinds and types: a UID, a fractional date, a 16-byte integer, a float, an empty
    # dictionary at the top.
    write("odd-kinds.bplist", binary_with_objects(
        [b"\xd5\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a", ascii_string("u"), ascii_string("d"),
         ascii_string("i"), ascii_string("f"), ascii_string("s"),
         b"\x80\x07", b"\x33" + struct.pack(">d", 1.5), b"\x14" + b"\x00" * 8 + b"\xff" * 8,
         b"\x22" + struct.pack(">f", 2.5), ascii_string("\xe9\xff")]))
    write("empty.xml", PROLOG + "<dict/></plist>\n")
    write("empty-dict.bplist", binary_with_objects([b"\xd0"]))


if __name__ == "__main__":
    main()
