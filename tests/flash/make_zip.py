#!/usr/bin/env python3
"""Writes a release package with Python's zip writer: stored and deflated
entries, a directory entry and streamed entries with data descriptors."""
import io
import json
import struct
import sys
import zipfile

out = sys.argv[1]
commands = [
    {"command": "boot", "group": "", "image": "boot.img", "version-bootrom": "2.1"},
    {"command": "flash", "group": "ap", "image": "ap.img", "partition": "system", "weight": 10},
    {"command": "progress", "group": "", "name": "weight", "value": 10},
]
table = struct.pack("<II", 0x41505442, 1) + b"sys".ljust(32, b"\0") + b"raw".ljust(16, b"\0")
table += struct.pack("<5I", 1, 2, 3, 4, 5)
# A non-seekable target makes the writer stream entries with data descriptors.
class Stream(io.RawIOBase):
    def __init__(self, f):
        self.f = f
    def writable(self):
        return True
    def write(self, b):
        return self.f.write(b)
with open(out, "wb") as f:
    with zipfile.ZipFile(Stream(f), "w") as z:
        z.writestr("download.json", json.dumps(commands), compress_type=zipfile.ZIP_DEFLATED)
        z.writestr("partition.bin", table, compress_type=zipfile.ZIP_STORED)
        z.writestr(zipfile.ZipInfo("2.1/"), b"")
        z.writestr("2.1/boot.img", b"B" * 3000, compress_type=zipfile.ZIP_DEFLATED)
        with z.open("ap.img", "w") as e:
            e.write(b"A" * 5000)
