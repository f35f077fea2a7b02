// Sparse containers made byte by byte, well formed or deliberately not.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sparse_test {

constexpr uint16_t kRaw = 0xCAC1, kFill = 0xCAC2, kDontCare = 0xCAC3, kCrc = 0xCAC4;

struct Header {
    uint32_t magic = 0xed26ff3a;
    uint16_t major = 1, minor = 0, fileHeader = 28, chunkHeader = 12;
    uint32_t blockSize = 4096;
    uint32_t totalBlocks = 0;  // 0: the chunks' blocks together
    int64_t totalChunks = -1;  // -1: the number of chunks
};

struct Chunk {
    uint16_t type;
    uint32_t blocks;
    std::string data;    // raw bytes, the 4 fill bytes, or the 4 CRC bytes
    int64_t total = -1;  // -1: header plus data
};

inline void put16(std::string& s, uint16_t v) {
    s += char(v & 0xFF);
    s += char(v >> 8);
}
inline void put32(std::string& s, uint32_t v) {
    for (int i = 0; i < 4; ++i) s += char((v >> (8 * i)) & 0xFF);
}
inline std::string le32(uint32_t v) {
    std::string s;
    put32(s, v);
    return s;
}

// The CRC-32 the container's checksum chunk holds, running from 0.
inline uint32_t crc32_update(uint32_t crc, const std::string& bytes) {
    crc = ~crc;
    for (unsigned char b : bytes) {
        crc ^= b;
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

inline std::string container(Header h, const std::vector<Chunk>& chunks) {
    uint32_t blocks = 0;
    for (const auto& c : chunks) blocks += c.blocks;
    if (h.totalBlocks == 0) h.totalBlocks = blocks;
    std::string s;
    put32(s, h.magic);
    put16(s, h.major);
    put16(s, h.minor);
    put16(s, h.fileHeader);
    put16(s, h.chunkHeader);
    put32(s, h.blockSize);
    put32(s, h.totalBlocks);
    put32(s, uint32_t(h.totalChunks < 0 ? chunks.size() : size_t(h.totalChunks)));
    put32(s, 0);
    s.resize(h.fileHeader < 28 ? 28 : h.fileHeader, '\0');
    for (const auto& c : chunks) {
        put16(s, c.type);
        put16(s, 0);
        put32(s, c.blocks);
        put32(s, uint32_t(c.total < 0 ? int64_t(h.chunkHeader) + int64_t(c.data.size()) : c.total));
        s.append(size_t(h.chunkHeader > 12 ? h.chunkHeader - 12 : 0), '\0');
        s += c.data;
    }
    return s;
}

// `blocks` blocks of 4096 bytes of a pattern.
inline std::string pattern_blocks(uint32_t blocks, unsigned seed) {
    std::string s(size_t(blocks) * 4096, '\0');
    for (size_t i = 0; i < s.size(); ++i) s[i] = char((i * 13 + seed * 7) % 251 + 1);
    return s;
}

// A well-formed image: two raw blocks, a filled block, a don't-care block and
// the checksum of the whole expanded image. `expanded` gets its bytes.
inline std::string good_image(std::string& expanded) {
    std::string raw = pattern_blocks(2, 3);
    std::string fill;
    for (int i = 0; i < 1024; ++i) fill += "\x11\x22\x33\x44";
    expanded = raw + fill + std::string(4096, '\0');
    uint32_t crc = crc32_update(0, expanded);
    return container({}, {{kRaw, 2, raw}, {kFill, 1, "\x11\x22\x33\x44"}, {kDontCare, 1, ""}, {kCrc, 0, le32(crc)}});
}

}  // namespace sparse_test
