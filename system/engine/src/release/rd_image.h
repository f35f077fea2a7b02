// The reliable-data image: a 64 KiB block of tagged records (IMEI, MEP and
// other per-device data files), little-endian throughout:
//   0 magic, 4 Adler-32, 8 format word, 12 used length, 16 record counter,
//   20 records back to back, then the end marker; the rest is 0xFF.
// A record is a 136-byte header (id, size word, 116-byte name, 8 reserved,
// header check) followed by its data padded with 0xFF to a multiple of 4.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

constexpr size_t kReldataImageSize = 65536;
constexpr uint32_t kReldataMagic = 0xCAFECAFE;
constexpr uint32_t kReldataFormat = 0x00001019;
constexpr uint32_t kReldataEndMarker = 0xDADADADA;
constexpr size_t kReldataHeaderSize = 20;
constexpr size_t kReldataRecordHeaderSize = 136;
constexpr size_t kReldataNameSize = 116;
// One record alone, with the end marker after it.
constexpr size_t kReldataMaxData = kReldataImageSize - kReldataHeaderSize - kReldataRecordHeaderSize - 4;

constexpr uint32_t kReldataIdImei = 0xCAFE0010;
constexpr uint32_t kReldataIdMep = 0xCAFE0015;
constexpr uint32_t kReldataIdOther = 0xCAFE0020;

struct ReliableDataImage {
    uint8_t bytes[kReldataImageSize];
};

// All 0xFF, the five header words (no records) and the end marker at 20.
std::unique_ptr<ReliableDataImage> reldata_image_create();

// Appends a record and refreshes used length, counter and checksum. Returns
// `length`, or -1 when the name (with its NUL) exceeds 116 bytes or the
// record and a new end marker do not fit.
int reldata_image_add_record(ReliableDataImage& image, uint32_t id, const char* name, const uint8_t* data,
                             size_t length);

// The record id of an "id" text: IMEI, MEP, anything else.
uint32_t reldata_record_id(const char* id);
