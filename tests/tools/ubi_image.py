#!/usr/bin/env python3
"""Independent reader of a UBI image: prints its blocks and volume table as JSON.

Usage: ubi_image.py IMAGE PEB_SIZE
UBI checksums are the bitwise complement of the common CRC-32.
"""
import json
import struct
import sys
import zlib

EC_MAGIC = b"UBI#"
VID_MAGIC = b"UBI!"
LAYOUT_ID = 0x7FFFEFFF
RECORD = 172


def ubi_crc(data):
    return ~zlib.crc32(data) & 0xFFFFFFFF


def all_ff(data):
    return data == b"\xff" * len(data)


def parse_ec(b):
    magic, version, ec, vid_off, data_off, seq = struct.unpack_from(">4sB3xQIII", b, 0)
    (crc,) = struct.unpack_from(">I", b, 60)
    return {
        "magic_ok": magic == EC_MAGIC,
        "version": version,
        "ec": ec,
        "vid_hdr_offset": vid_off,
        "data_offset": data_off,
        "image_seq": seq,
        "pad_zero": b[5:8] == b"\0" * 3 and b[28:60] == b"\0" * 32,
        "crc_ok": crc == ubi_crc(b[:60]),
    }


def parse_vid(b):
    (magic, version, vol_type, copy_flag, compat, vol_id, lnum, data_size, used_ebs, data_pad, data_crc,
     sqnum) = struct.unpack_from(">4sBBBBII4xIIII4xQ", b, 0)
    (crc,) = struct.unpack_from(">I", b, 60)
    return {
        "magic_ok": magic == VID_MAGIC,
        "version": version,
        "vol_type": vol_type,
        "copy_flag": copy_flag,
        "compat": compat,
        "vol_id": vol_id,
        "lnum": lnum,
        "data_size": data_size,
        "used_ebs": used_ebs,
        "data_pad": data_pad,
        "data_crc": data_crc,
        "sqnum": sqnum,
        "pad_zero": b[16:20] == b"\0" * 4 and b[36:40] == b"\0" * 4 and b[48:60] == b"\0" * 12,
        "crc_ok": crc == ubi_crc(b[:60]),
    }


def parse_table(data):
    records, unused_ok = [], True
    for i in range(len(data) // RECORD):
        r = data[i * RECORD:(i + 1) * RECORD]
        (crc,) = struct.unpack_from(">I", r, 168)
        if r[:168] == b"\0" * 168:
            unused_ok = unused_ok and crc == 0xF116C36B
            continue
        reserved, align, pad, vtype, upd, name_len = struct.unpack_from(">IIIBBH", r, 0)
        name = r[16:144]
        records.append({
            "index": i,
            "reserved_pebs": reserved,
            "alignment": align,
            "data_pad": pad,
            "vol_type": vtype,
            "upd_marker": upd,
            "name_len": name_len,
            "name": name[:name_len].decode("latin-1"),
            "name_zero_filled": name[name_len:] == b"\0" * (128 - name_len),
            "flags": r[144],
            "pad_zero": r[145:168] == b"\0" * 23,
            "crc_ok": crc == ubi_crc(r[:168]),
        })
    return records, unused_ok


def main(path, peb):
    raw = open(path, "rb").read()
    out = {"size": len(raw), "blocks": []}
    tables = []
    for n in range(len(raw) // peb):
        b = raw[n * peb:(n + 1) * peb]
        ec = parse_ec(b)
        vo, do = ec["vid_hdr_offset"], ec["data_offset"]
        vid = parse_vid(b[vo:vo + 64])
        data = b[do:]
        block = {"ec": ec, "vid": vid, "headers_ff": all_ff(b[64:vo]) and all_ff(b[vo + 64:do])}
        if vid["vol_id"] == LAYOUT_ID:
            table_size = min(128, (peb - do) // RECORD) * RECORD
            records, unused_ok = parse_table(data[:table_size])
            tables.append(data[:table_size])
            block["records"] = records
            block["unused_ok"] = unused_ok
            block["tail_ff"] = all_ff(data[table_size:])
        elif vid["vol_type"] == 2:
            size = vid["data_size"]
            block["data_crc_ok"] = vid["data_crc"] == ubi_crc(data[:size])
            block["tail_ff"] = all_ff(data[size:])
        out["blocks"].append(block)
    out["tables_equal"] = len(tables) == 2 and tables[0] == tables[1]
    json.dump(out, sys.stdout)


if __name__ == "__main__":
    main(sys.argv[1], int(sys.argv[2]))
