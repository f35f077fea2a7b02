#!/usr/bin/env python3
"""Independent reader of a release package: prints its entries as JSON."""
import json
import struct
import sys
import zipfile


def main(path):
    out = {"entries": [], "files": {}}
    with zipfile.ZipFile(path) as z:
        bad = z.testzip()
        out["crc_ok"] = bad is None
        raw = open(path, "rb").read()
        for info in z.infolist():
            # Data starts after the local header, its name and extra field.
            name_len, extra_len = struct.unpack_from("<HH", raw, info.header_offset + 26)
            data = info.header_offset + 30 + name_len + extra_len
            out["entries"].append({
                "name": info.filename,
                "method": info.compress_type,
                "aligned": data % 4 == 0,
                "size": info.file_size,
            })
            body = z.read(info)
            if info.filename.endswith(".json"):
                out["files"][info.filename] = body.decode("utf-8")
            else:
                out["files"][info.filename] = body.hex()
    json.dump(out, sys.stdout)


if __name__ == "__main__":
    main(sys.argv[1])
