#include "flash/sparse_crc_stream.h"

#include <algorithm>
#include <cstring>

#include <sparse/sparse.h>
#include <zlib.h>

namespace {

constexpr size_t kFileHeader = 28;  // what the library writes
constexpr size_t kChunkHeader = 12;
constexpr size_t kTotalChunksAt = 20;
constexpr uint16_t kChunkRaw = 0xCAC1;
constexpr uint16_t kChunkFill = 0xCAC2;
constexpr uint16_t kChunkCrc32 = 0xCAC4;
constexpr uint32_t kCrcChunkSize = kChunkHeader + 4;

uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}
void put_le32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint32_t crc_of(uint32_t crc, const void* data, size_t length) {
    static const uint8_t zeros[4096] = {};
    if (data) return static_cast<uint32_t>(crc32_z(crc, static_cast<const Bytef*>(data), length));
    for (size_t n; length > 0; length -= n) {
        n = std::min(length, sizeof zeros);
        crc = static_cast<uint32_t>(crc32_z(crc, zeros, n));
    }
    return crc;
}

// Follows the library's stream without its CRC option: counts the CRC chunk
// in the header, sums the chunks' data as the library's CRC option would,
// and passes every piece on as it came.
struct CrcStream {
    int (*sink)(void*, const void*, size_t);
    void* priv;
    uint8_t header[kFileHeader];
    size_t headerFill = 0;
    uint32_t blockSize = 0;
    uint8_t chunk[kChunkHeader];
    size_t chunkFill = 0;
    uint16_t type = 0;
    uint64_t chunkLeft = 0;  // data bytes of the current chunk not yet seen
    uint8_t fill[4];
    size_t fillFill = 0;
    uint32_t crc = 0;

    // The library sums a fill chunk's value over one block, however many
    // blocks the chunk covers.
    void sum_fill_block() {
        uint8_t pattern[4096];
        for (size_t i = 0; i < sizeof pattern; i += 4) memcpy(pattern + i, fill, 4);
        for (uint32_t left = blockSize, n; left > 0; left -= n) {
            n = std::min<uint32_t>(left, sizeof pattern);
            crc = crc_of(crc, pattern, n);
        }
    }

    int take(const uint8_t* data, size_t length) {
        while (length > 0) {
            size_t n;
            if (headerFill < kFileHeader) {
                n = std::min(length, kFileHeader - headerFill);
                memcpy(header + headerFill, data, n);
                headerFill += n;
                if (headerFill == kFileHeader) {
                    // The library writes headers of these sizes only; any
                    // other stream is not followed.
                    if (le16(header + 8) != kFileHeader || le16(header + 10) != kChunkHeader) return -1;
                    blockSize = le32(header + 12);
                    put_le32(header + kTotalChunksAt, le32(header + kTotalChunksAt) + 1);
                    if (sink(priv, header, kFileHeader) < 0) return -1;
                }
            } else if (chunkFill < kChunkHeader) {
                n = std::min(length, kChunkHeader - chunkFill);
                memcpy(chunk + chunkFill, data, n);
                chunkFill += n;
                if (chunkFill == kChunkHeader) {
                    type = le16(chunk);
                    uint32_t total = le32(chunk + 8);
                    if (total < kChunkHeader) return -1;
                    chunkLeft = total - kChunkHeader;
                    fillFill = 0;
                    if (sink(priv, chunk, kChunkHeader) < 0) return -1;
                    if (chunkLeft == 0) chunkFill = 0;
                }
            } else {
                n = static_cast<size_t>(std::min<uint64_t>(length, chunkLeft));
                if (type == kChunkRaw) crc = crc_of(crc, data, n);
                if (type == kChunkFill) {
                    size_t f = std::min(n, sizeof fill - fillFill);
                    memcpy(fill + fillFill, data, f);
                    fillFill += f;
                    if (fillFill == sizeof fill && f > 0) sum_fill_block();
                }
                if (sink(priv, data, n) < 0) return -1;
                chunkLeft -= n;
                if (chunkLeft == 0) chunkFill = 0;
            }
            if (data) data += n;
            length -= n;
        }
        return 0;
    }

    static int write(void* self, const void* data, size_t length) {
        return static_cast<CrcStream*>(self)->take(static_cast<const uint8_t*>(data), length);
    }
};

}  // namespace

int64_t sparse_crc_length(sparse_file* s) {
    int64_t length = sparse_file_len(s, true, false);
    return length < 0 ? length : length + kCrcChunkSize;
}

int sparse_crc_write(sparse_file* s, int (*sink)(void*, const void*, size_t), void* priv) {
    CrcStream stream;
    stream.sink = sink;
    stream.priv = priv;
    int rc = sparse_file_callback(s, true, false, &CrcStream::write, &stream);
    if (rc < 0) return rc;
    if (stream.headerFill < kFileHeader || stream.chunkFill != 0) return -1;
    uint8_t end[kCrcChunkSize] = {};
    end[0] = kChunkCrc32 & 0xFF;
    end[1] = kChunkCrc32 >> 8;
    put_le32(end + 8, kCrcChunkSize);
    put_le32(end + kChunkHeader, stream.crc);
    if (sink(priv, end, kChunkHeader) < 0 || sink(priv, end + kChunkHeader, 4) < 0) return -1;
    return 0;
}
