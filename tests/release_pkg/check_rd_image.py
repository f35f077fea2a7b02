#!/usr/bin/env python3
"""Independent reader of a reliable-data image: prints its fields as JSON.

Reads the image from a file, or from a release package with "zip:ENTRY"
as the second argument. Every derived value (header checks, checksum, used
length, fill) is recomputed here from the raw bytes and reported beside the
stored one.
"""
import json
import struct
import sys
import zipfile
import zlib

SIZE = 65536
END = 0xDADADADA


def word(b, at):
    return struct.unpack_from("<I", b, at)[0]


def parse(b):
    out = {"length": len(b)}
    if len(b) != SIZE:
        return out
    out["magic"], out["checksum"], out["format"], out["used"], out["counter"] = struct.unpack_from("<5I", b, 0)
    records = []
    at = 20
    used = 20
    while word(b, at) != END:
        rid, size = struct.unpack_from("<II", b, at)
        rounded, pad = size & 0xFFFFFF, (size >> 24) & 3
        x = 0
        for i in range(33):
            x = ((x ^ word(b, at + 4 * i)) + 1) & 0xFFFFFFFF
        name_field = b[at + 8:at + 124]
        name = name_field.split(b"\0", 1)[0]
        data = b[at + 136:at + 136 + rounded - pad]
        records.append({
            "offset": at,
            "id": rid,
            "size_word": size,
            "name": name.decode("latin-1"),
            "name_zero_filled": all(c == 0 for c in name_field[len(name):]),
            "reserved_zero": all(c == 0 for c in b[at + 124:at + 132]),
            "check": word(b, at + 132),
            "check_ok": word(b, at + 132) == x,
            "data": data.hex(),
            "pad_ff": all(c == 0xFF for c in b[at + 136 + rounded - pad:at + 136 + rounded]),
            "high_bits_zero": size >> 26 == 0,
        })
        used = at + 136 + rounded - pad
        at += 136 + rounded
        if at + 4 > SIZE:
            out["broken"] = True
            break
    out["records"] = records
    out["marker"] = at
    out["used_ok"] = out["used"] == (used if records else 0)
    out["fill_ff"] = all(c == 0xFF for c in b[at + 4:])
    # The sum runs from offset 8 to the first aligned end-marker word at 12 or more.
    end = 12
    while end + 4 <= SIZE and word(b, end) != END:
        end += 4
    out["sum_end"] = end
    out["checksum_ok"] = out["checksum"] == (zlib.adler32(b[8:end]) if records else 0)
    return out


def main(argv):
    if len(argv) > 2 and argv[2].startswith("zip:"):
        with zipfile.ZipFile(argv[1]) as z:
            b = z.read(argv[2][4:])
    else:
        with open(argv[1], "rb") as f:
            b = f.read()
    json.dump(parse(b), sys.stdout)


if __name__ == "__main__":
    main(sys.argv)
