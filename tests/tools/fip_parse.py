#!/usr/bin/env python3
"""Independent reader of a firmware image package: prints its ToC and checks
that every byte outside the ToC and the payloads is zero."""
import struct
import sys
import uuid

data = open(sys.argv[1], "rb").read()
name, serial, flags = struct.unpack_from("<IIQ", data, 0)
print("header %08X %08X %016X" % (name, serial, flags))
pos = 16
covered = [False] * len(data)
for i in range(pos):
    covered[i] = True
while True:
    raw = data[pos:pos + 40]
    u, offset, size, eflags = struct.unpack("<16sQQQ", raw)
    for i in range(pos, pos + 40):
        covered[i] = True
    pos += 40
    if u == b"\0" * 16:
        print("end %d" % offset)
        break
    print("entry %s %d %d %d" % (str(uuid.UUID(bytes=u)).upper(), offset, size, eflags))
    for i in range(offset, min(offset + size, len(data))):
        covered[i] = True
print("length %d" % len(data))
stray = [i for i in range(len(data)) if not covered[i] and data[i] != 0]
print("padding %s" % ("zero" if not stray else "nonzero at %d" % stray[0]))
