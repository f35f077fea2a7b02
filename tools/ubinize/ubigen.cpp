#include "tools/ubinize/ubigen.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>

#include "tools/ubinize/ubi_common.h"

namespace {

const char kProg[] = "libubigen";

void put_be16(uint8_t* at, uint32_t v) {
    at[0] = static_cast<uint8_t>(v >> 8);
    at[1] = static_cast<uint8_t>(v);
}
void put_be32(uint8_t* at, uint32_t v) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}
void put_be64(uint8_t* at, uint64_t v) {
    for (int i = 0; i < 8; ++i) at[i] = static_cast<uint8_t>(v >> (56 - 8 * i));
}

struct CrcTable {
    uint32_t entry[256];
    CrcTable() {
        for (uint32_t n = 0; n < 256; ++n) {
            uint32_t c = n;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            entry[n] = c;
        }
    }
};

int round_up(int value, int unit) { return (value + unit - 1) / unit * unit; }

// Both writers refuse a volume the geometry cannot describe.
bool volume_fits(const UbiGeometry& geo, const UbiVolumeSpec& vol) {
    if (vol.id < 0 || vol.id >= geo.max_volumes) {
        ubi_errmsg(kProg, "too high volume id %d, max. volumes is %d\n", vol.id, geo.max_volumes);
        errno = EINVAL;
        return false;
    }
    if (vol.alignment < 1) {
        ubi_errmsg(kProg, "bad alignment %d, has to be at least 1\n", vol.alignment);
        errno = EINVAL;
        return false;
    }
    if (vol.alignment >= geo.leb_size) {
        ubi_errmsg(kProg, "too large alignment %d, max is %d (LEB size)\n", vol.alignment, geo.leb_size);
        errno = EINVAL;
        return false;
    }
    return true;
}

std::unique_ptr<uint8_t[]> allocate(size_t size) { return std::unique_ptr<uint8_t[]>(new (std::nothrow) uint8_t[size]); }

}  // namespace

uint32_t ubi_crc32(uint32_t init, const void* data, int length) {
    static const CrcTable table;
    const uint8_t* p = static_cast<const uint8_t*>(data);
    uint32_t crc = init;
    for (int i = 0; i < length; ++i) crc = table.entry[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
    return crc;
}

UbiGeometry ubigen_derive_geometry(int peb, int min_io, int subpage, int vid_offset, int ubi_version,
                                   uint32_t image_seq) {
    UbiGeometry g;
    g.peb_size = peb;
    g.min_io_size = min_io;
    g.subpage_size = subpage;
    g.vid_hdr_offset = vid_offset ? vid_offset : round_up(kUbiHeaderSize, subpage);
    g.data_offset = round_up(g.vid_hdr_offset + kUbiHeaderSize, min_io);
    g.leb_size = peb - g.data_offset;
    g.max_volumes = g.leb_size / kUbiVtblRecordSize;
    if (g.max_volumes > kUbiMaxVolumes) g.max_volumes = kUbiMaxVolumes;
    if (g.max_volumes < 0) g.max_volumes = 0;
    g.vtbl_size = g.max_volumes * kUbiVtblRecordSize;
    g.ubi_version = ubi_version;
    g.image_seq = image_seq;
    return g;
}

std::vector<uint8_t> ubigen_blank_volume_table(const UbiGeometry& geo) {
    std::vector<uint8_t> table(static_cast<size_t>(geo.vtbl_size), 0);
    for (int i = 0; i < geo.max_volumes; ++i) {
        uint8_t* record = &table[static_cast<size_t>(i) * kUbiVtblRecordSize];
        put_be32(record + 168, ubi_crc32(kUbiCrcInit, record, 168));
    }
    return table;
}

int ubigen_store_volume_record(const UbiGeometry& geo, const UbiVolumeSpec& vol, std::vector<uint8_t>& table) {
    if (!volume_fits(geo, vol)) return -1;
    uint8_t* record = &table[static_cast<size_t>(vol.id) * kUbiVtblRecordSize];
    memset(record, 0, kUbiVtblRecordSize);
    // Counted in usable LEBs, like the blocks written: with a data pad a
    // whole LEB holds less than the LEB size.
    long long usable = vol.usable_leb_size > 0 ? vol.usable_leb_size : geo.leb_size;
    put_be32(record, static_cast<uint32_t>((vol.bytes + usable - 1) / usable));
    put_be32(record + 4, static_cast<uint32_t>(vol.alignment));
    put_be32(record + 8, static_cast<uint32_t>(geo.leb_size % vol.alignment));
    record[12] = static_cast<uint8_t>(vol.type);
    size_t name_length = std::min<size_t>(vol.name.size(), kUbiVolumeNameMax);
    put_be16(record + 14, static_cast<uint32_t>(name_length));
    memcpy(record + 16, vol.name.data(), name_length);
    record[144] = static_cast<uint8_t>(vol.flags);
    put_be32(record + 168, ubi_crc32(kUbiCrcInit, record, 168));
    return 0;
}

void ubigen_make_block_header(const UbiGeometry& geo, uint8_t* header, long long erase_counter) {
    memset(header, 0, kUbiHeaderSize);
    put_be32(header, kUbiEcMagic);
    header[4] = static_cast<uint8_t>(geo.ubi_version);
    put_be64(header + 8, static_cast<uint64_t>(erase_counter));
    put_be32(header + 16, static_cast<uint32_t>(geo.vid_hdr_offset));
    put_be32(header + 20, static_cast<uint32_t>(geo.data_offset));
    put_be32(header + 24, geo.image_seq);
    put_be32(header + 60, ubi_crc32(kUbiCrcInit, header, 60));
}

void ubigen_make_volume_header(const UbiGeometry& geo, const UbiVolumeSpec& vol, uint8_t* header, int lnum,
                               const uint8_t* data, int data_size) {
    memset(header, 0, kUbiHeaderSize);
    put_be32(header, kUbiVidMagic);
    header[4] = static_cast<uint8_t>(geo.ubi_version);
    header[5] = static_cast<uint8_t>(vol.type);
    header[7] = static_cast<uint8_t>(vol.compat);
    put_be32(header + 8, static_cast<uint32_t>(vol.id));
    put_be32(header + 12, static_cast<uint32_t>(lnum));
    if (vol.type == kUbiStaticVolume) {
        put_be32(header + 20, static_cast<uint32_t>(data_size));
        put_be32(header + 24, static_cast<uint32_t>(vol.used_blocks));
        put_be32(header + 32, ubi_crc32(kUbiCrcInit, data, data_size));
    }
    put_be32(header + 28, static_cast<uint32_t>(vol.data_pad));
    put_be32(header + 60, ubi_crc32(kUbiCrcInit, header, 60));
}

int ubigen_emit_volume_blocks(const UbiGeometry& geo, const UbiVolumeSpec& vol, long long erase_counter,
                              long long bytes, int in, int out) {
    if (!volume_fits(geo, vol)) return -1;
    auto input = allocate(static_cast<size_t>(geo.leb_size));
    auto block = allocate(static_cast<size_t>(geo.peb_size));
    if (!input || !block) {
        errno = ENOMEM;
        ubi_sys_errmsg(kProg, "cannot allocate %d bytes of memory\n", input ? geo.peb_size : geo.leb_size);
        return -1;
    }
    memset(block.get(), 0xFF, static_cast<size_t>(geo.data_offset));
    ubigen_make_block_header(geo, block.get(), erase_counter);

    for (int lnum = 0; bytes > 0; ++lnum) {
        int len = bytes < vol.usable_leb_size ? static_cast<int>(bytes) : vol.usable_leb_size;
        // Descriptors may deliver less than asked: read on until len bytes are in.
        for (int have = 0; have < len;) {
            ssize_t rd = read(in, input.get() + have, static_cast<size_t>(len - have));
            if (rd < 0 && errno == EINTR) continue;
            if (rd <= 0) {
                if (rd < 0) ubi_sys_errmsg(kProg, "rd=%d,cannot read %d bytes from the input file\n", int(rd), len - have);
                else ubi_errmsg(kProg, "rd=%d,cannot read %d bytes from the input file\n", int(rd), len - have);
                return -1;
            }
            have += static_cast<int>(rd);
        }
        ubigen_make_volume_header(geo, vol, block.get() + geo.vid_hdr_offset, lnum, input.get(), len);
        memcpy(block.get() + geo.data_offset, input.get(), static_cast<size_t>(len));
        memset(block.get() + geo.data_offset + len, 0xFF, static_cast<size_t>(geo.peb_size - geo.data_offset - len));
        if (!ubi_write_all(out, block.get(), static_cast<size_t>(geo.peb_size))) {
            ubi_sys_errmsg(kProg, "cannot write %d bytes to the output file\n", geo.peb_size);
            return -1;
        }
        bytes -= len;
    }
    return 0;
}

int ubigen_emit_layout_blocks(const UbiGeometry& geo, int peb0, int peb1, long long ec0, long long ec1,
                              const std::vector<uint8_t>& table, int out) {
    UbiVolumeSpec layout;
    layout.id = static_cast<int>(kUbiLayoutVolumeId);
    layout.type = kUbiDynamicVolume;
    layout.alignment = 1;
    layout.data_pad = 0;
    layout.usable_leb_size = geo.leb_size;
    layout.name = "layout volume";
    layout.compat = kUbiLayoutCompat;
    layout.bytes = 2LL * geo.leb_size;

    auto block = allocate(static_cast<size_t>(geo.peb_size));
    if (!block) {
        errno = ENOMEM;
        ubi_sys_errmsg(kProg, "failed to allocate %d bytes\n", geo.peb_size);
        return -1;
    }
    size_t table_size = std::min(table.size(), static_cast<size_t>(geo.leb_size));
    memset(block.get(), 0xFF, static_cast<size_t>(geo.peb_size));
    memcpy(block.get() + geo.data_offset, table.data(), table_size);

    const int pebs[2] = {peb0, peb1};
    const long long ecs[2] = {ec0, ec1};
    for (int lnum = 0; lnum < 2; ++lnum) {
        off_t at = static_cast<off_t>(pebs[lnum]) * geo.peb_size;
        if (lseek(out, at, SEEK_SET) != at) {
            ubi_sys_errmsg(kProg, "cannot seek output file\n");
            return -1;
        }
        ubigen_make_block_header(geo, block.get(), ecs[lnum]);
        ubigen_make_volume_header(geo, layout, block.get() + geo.vid_hdr_offset, lnum, nullptr, 0);
        if (!ubi_write_all(out, block.get(), static_cast<size_t>(geo.peb_size))) {
            ubi_sys_errmsg(kProg, "cannot write %d bytes\n", geo.peb_size);
            return -1;
        }
    }
    return 0;
}
