// The UBI block layer of ubinize: flash geometry, the on-flash headers, the
// volume table and the writing of volume and layout blocks. All fields on
// flash are big-endian.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

constexpr uint32_t kUbiEcMagic = 0x55424923;   // "UBI#"
constexpr uint32_t kUbiVidMagic = 0x55424921;  // "UBI!"
constexpr int kUbiHeaderSize = 64;
constexpr int kUbiVtblRecordSize = 172;
constexpr int kUbiMaxVolumes = 128;
constexpr int kUbiVolumeNameMax = 127;
constexpr uint32_t kUbiLayoutVolumeId = 0x7FFFEFFF;
constexpr int kUbiLayoutCompat = 5;
constexpr int kUbiDynamicVolume = 1;
constexpr int kUbiStaticVolume = 2;
constexpr int kUbiFlagAutoresize = 0x01;
constexpr int kUbiFlagSkipCheck = 0x02;
constexpr uint32_t kUbiCrcInit = 0xFFFFFFFFu;

struct UbiGeometry {
    int peb_size = 0;
    int min_io_size = 0;
    int subpage_size = 0;
    int vid_hdr_offset = 0;
    int data_offset = 0;
    int leb_size = 0;
    int max_volumes = 0;
    int vtbl_size = 0;
    int ubi_version = 1;
    uint32_t image_seq = 0;
};

struct UbiVolumeSpec {
    int id = 0;
    int type = kUbiDynamicVolume;
    int alignment = 1;
    int data_pad = 0;
    int usable_leb_size = 0;
    std::string name;
    int compat = 0;
    int used_blocks = 0;
    long long bytes = 0;
    int flags = 0;
};

// CRC-32 of the reflected polynomial 0xEDB88320 from `init`, without the
// final inversion (the complement of the common CRC-32 when init is all ones).
uint32_t ubi_crc32(uint32_t init, const void* data, int length);

// The geometry for PEB size `peb`, minimum I/O unit `min_io`, sub-page
// `subpage` and VID header offset `vid_offset` (0: right after the EC header).
UbiGeometry ubigen_derive_geometry(int peb, int min_io, int subpage, int vid_offset, int ubi_version,
                                   uint32_t image_seq);

// A volume table of `max_volumes` unused records, each with its CRC.
std::vector<uint8_t> ubigen_blank_volume_table(const UbiGeometry& geo);

// Fills the table record of `vol`; -1 (errno EINVAL, message printed) for an
// id or alignment the geometry cannot hold.
int ubigen_store_volume_record(const UbiGeometry& geo, const UbiVolumeSpec& vol, std::vector<uint8_t>& table);

// The 64-byte erase-counter header.
void ubigen_make_block_header(const UbiGeometry& geo, uint8_t* header, long long erase_counter);
// The 64-byte VID header of logical block `lnum`; `data`/`data_size` are the
// block's contents, checked only for static volumes.
void ubigen_make_volume_header(const UbiGeometry& geo, const UbiVolumeSpec& vol, uint8_t* header, int lnum,
                               const uint8_t* data, int data_size);

// Writes the blocks holding `bytes` bytes read from `in` (at its position) at
// the position of `out`. 0, or -1 after a message.
int ubigen_emit_volume_blocks(const UbiGeometry& geo, const UbiVolumeSpec& vol, long long erase_counter,
                              long long bytes, int in, int out);

// Writes the two layout-volume blocks carrying `table` at PEBs `peb0` and
// `peb1`. 0, or -1 after a message.
int ubigen_emit_layout_blocks(const UbiGeometry& geo, int peb0, int peb1, long long ec0, long long ec1,
                              const std::vector<uint8_t>& table, int out);
