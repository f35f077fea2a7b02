#include "flash/sparse_crc_stream.h"

#include <algorithm>
#include <cstring>

#include <sparse/sparse.h>
#include <zlib.h>

#include "flash/sparse_format.h"

namespace {

using namespace sparse_format;

constexpr size_t kTotalChunksAt = 20;
constexpr uint32_t kCrcChunkSize = kChunkHeaderSize + 4;

// A piece without data (null) stands for zeros.
uint32_t crc_of(uint32_t crc, const void* data, size_t length) {
    static const uint8_t zero[4] = {};
    if (data) return static_cast<uint32_t>(crc32_z(crc, static_cast<const Bytef*>(data), length));
    return crc_of_pattern(crc, zero, length);
}

// Follows the library's stream without its CRC option: counts the CRC chunk
// in the header, sums the chunks' data as the library's CRC option would,
// and passes every piece on as it came.
struct CrcStream {
    int (*sink)(void*, const void*, size_t);
    void* priv;
    uint8_t header[kFileHeaderSize];
    size_t headerFill = 0;
    uint32_t blockSize = 0;
    uint8_t chunk[kChunkHeaderSize];
    size_t chunkFill = 0;
    uint16_t type = 0;
    uint64_t chunkLeft = 0;  // data bytes of the current chunk not yet seen
    uint8_t fill[4];
    size_t fillFill = 0;
    uint32_t crc = 0;

    // The library sums a fill chunk's value over one block, however many
    // blocks the chunk covers.
    void sum_fill_block() { crc = crc_of_pattern(crc, fill, blockSize); }

    int take(const uint8_t* data, size_t length) {
        while (length > 0) {
            size_t n;
            if (headerFill < kFileHeaderSize) {
                n = std::min(length, kFileHeaderSize - headerFill);
                memcpy(header + headerFill, data, n);
                headerFill += n;
                if (headerFill == kFileHeaderSize) {
                    // The library writes headers of these sizes only; any
                    // other stream is not followed.
                    if (le16(header + 8) != kFileHeaderSize || le16(header + 10) != kChunkHeaderSize) return -1;
                    blockSize = le32(header + 12);
                    put_le32(header + kTotalChunksAt, le32(header + kTotalChunksAt) + 1);
                    if (sink(priv, header, kFileHeaderSize) < 0) return -1;
                }
            } else if (chunkFill < kChunkHeaderSize) {
                n = std::min(length, kChunkHeaderSize - chunkFill);
                memcpy(chunk + chunkFill, data, n);
                chunkFill += n;
                if (chunkFill == kChunkHeaderSize) {
                    type = le16(chunk);
                    uint32_t total = le32(chunk + 8);
                    if (total < kChunkHeaderSize) return -1;
                    chunkLeft = total - kChunkHeaderSize;
                    fillFill = 0;
                    if (sink(priv, chunk, kChunkHeaderSize) < 0) return -1;
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
    if (stream.headerFill < kFileHeaderSize || stream.chunkFill != 0) return -1;
    uint8_t end[kCrcChunkSize] = {};
    end[0] = kChunkCrc32 & 0xFF;
    end[1] = kChunkCrc32 >> 8;
    put_le32(end + 8, kCrcChunkSize);
    put_le32(end + kChunkHeaderSize, stream.crc);
    if (sink(priv, end, kChunkHeaderSize) < 0 || sink(priv, end + kChunkHeaderSize, 4) < 0) return -1;
    return 0;
}
