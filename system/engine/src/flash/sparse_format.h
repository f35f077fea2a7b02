// The sparse container as the sparse library writes and reads it: its header
// and chunk layout, and the CRC-32 it keeps over the expanded image.
#pragma once

#include <cstdint>

namespace sparse_format {

constexpr uint32_t kMagic = 0xed26ff3a;
constexpr uint16_t kMajorVersion = 1;
constexpr uint16_t kFileHeaderSize = 28;
constexpr uint16_t kChunkHeaderSize = 12;
constexpr uint16_t kChunkRaw = 0xCAC1;
constexpr uint16_t kChunkFill = 0xCAC2;
constexpr uint16_t kChunkDontCare = 0xCAC3;
constexpr uint16_t kChunkCrc32 = 0xCAC4;

inline uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
inline uint32_t le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}
inline void put_le32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// `crc` continued over `length` bytes of the 4-byte `pattern` repeated: a
// fill chunk's value, or zeros for a hole.
uint32_t crc_of_pattern(uint32_t crc, const uint8_t pattern[4], uint64_t length);

}  // namespace sparse_format
