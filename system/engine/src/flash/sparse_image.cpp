#include "flash/sparse_image.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include <sparse/sparse.h>
#include <zlib.h>

#include "flash/sparse_format.h"

namespace {

using namespace sparse_format;

constexpr off_t kPlainBlock = 4096;

// The library reads through one buffer of its own for the whole process:
// reads of two images at once would mix their bytes.
std::mutex g_library_reads;

bool read_at(int fd, uint8_t* out, size_t length, uint64_t offset) {
    size_t done = 0;
    while (done < length) {
        ssize_t n = pread(fd, out + done, length - done, static_cast<off_t>(offset + done));
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

bool fail(std::string& why, const std::string& text) {
    why = text;
    return false;
}

std::string hex32(uint32_t v) {
    char text[16];
    snprintf(text, sizeof text, "%08x", v);
    return text;
}

struct Layout {
    uint64_t fileHeader;
    uint64_t chunkHeader;
    uint32_t blockSize;
    uint32_t lastCrc;  // index of the last checksum chunk
};

// Each checksum chunk must hold the CRC-32 of the image expanded up to it:
// data, fills and holes (as zeros), as the sparse library's import checks
// it with its checksums on. Runs on a container whose chunks the structural
// walk has already bounded.
bool verify_checksums(int fd, const Layout& l, std::string& why) {
    std::vector<uint8_t> buf(1 << 20);
    uint64_t at = l.fileHeader;
    uint32_t crc = 0;
    uint8_t c[kChunkHeaderSize];
    for (uint32_t i = 0; i <= l.lastCrc; ++i) {
        if (!read_at(fd, c, sizeof c, at)) return fail(why, "chunk " + std::to_string(i) + ": cannot be read");
        uint16_t type = le16(c);
        uint64_t data = uint64_t(le32(c + 4)) * l.blockSize;
        uint64_t total = le32(c + 8);
        uint64_t body = at + l.chunkHeader;
        uint8_t value[4] = {};
        if ((type == kChunkFill || type == kChunkCrc32) && !read_at(fd, value, sizeof value, body))
            return fail(why, "chunk " + std::to_string(i) + ": cannot be read");
        if (type == kChunkRaw) {
            for (uint64_t done = 0, n; done < data; done += n) {
                n = std::min<uint64_t>(data - done, buf.size());
                if (!read_at(fd, buf.data(), static_cast<size_t>(n), body + done))
                    return fail(why, "chunk " + std::to_string(i) + ": cannot be read");
                crc = static_cast<uint32_t>(crc32_z(crc, buf.data(), static_cast<size_t>(n)));
            }
        } else if (type == kChunkFill || type == kChunkDontCare) {
            crc = crc_of_pattern(crc, value, data);
        } else if (type == kChunkCrc32 && le32(value) != crc) {
            return fail(why, "chunk " + std::to_string(i) + ": checksum " + hex32(le32(value)) +
                                 " where the data gives " + hex32(crc));
        }
        at += total;
    }
    return true;
}

}  // namespace

bool sparse_image_has_magic(int fd) {
    uint8_t magic[4] = {};
    return read_at(fd, magic, sizeof magic, 0) && le32(magic) == kMagic;
}

bool sparse_image_check(int fd, uint64_t maxExpanded, std::string& why) {
    off_t end = lseek(fd, 0, SEEK_END);
    if (end < 0) return fail(why, std::string("cannot size the file: ") + strerror(errno));
    uint64_t fileSize = static_cast<uint64_t>(end);
    uint8_t h[kFileHeaderSize];
    if (fileSize < kFileHeaderSize || !read_at(fd, h, sizeof h, 0)) return fail(why, "header cut short");
    if (le32(h) != kMagic) return fail(why, "no sparse magic");
    uint16_t major = le16(h + 4);
    uint16_t fileHeader = le16(h + 8);
    uint16_t chunkHeader = le16(h + 10);
    uint32_t blockSize = le32(h + 12);
    uint32_t totalBlocks = le32(h + 16);
    uint32_t totalChunks = le32(h + 20);
    if (major != kMajorVersion) return fail(why, "version " + std::to_string(major));
    if (fileHeader < kFileHeaderSize || fileHeader > fileSize)
        return fail(why, "file header of " + std::to_string(fileHeader) + " bytes");
    if (chunkHeader < kChunkHeaderSize) return fail(why, "chunk header of " + std::to_string(chunkHeader) + " bytes");
    if (blockSize == 0 || blockSize % 4 != 0) return fail(why, "block size " + std::to_string(blockSize));
    uint64_t expanded = uint64_t(totalBlocks) * blockSize;
    if (expanded > maxExpanded)
        return fail(why, "expands to " + std::to_string(expanded) + " bytes, more than the " +
                             std::to_string(maxExpanded) + " its target holds");

    uint64_t at = fileHeader;
    uint64_t blocks = 0;
    uint8_t c[kChunkHeaderSize];
    bool checksummed = false;
    Layout layout{fileHeader, chunkHeader, blockSize, 0};
    for (uint32_t i = 0; i < totalChunks; ++i) {
        std::string which = "chunk " + std::to_string(i) + ": ";
        if (fileSize - at < chunkHeader || !read_at(fd, c, sizeof c, at))
            return fail(why, which + "header beyond the end of the file");
        uint16_t type = le16(c);
        uint32_t chunkBlocks = le32(c + 4);
        uint64_t total = le32(c + 8);
        uint64_t data = uint64_t(chunkBlocks) * blockSize;
        uint64_t want;
        switch (type) {
        case kChunkRaw:
            want = chunkHeader + data;
            break;
        case kChunkFill:
            want = chunkHeader + 4u;
            break;
        case kChunkDontCare:
            want = chunkHeader;
            break;
        case kChunkCrc32:
            if (chunkBlocks != 0) return fail(why, which + "checksum chunk covering blocks");
            want = chunkHeader + 4u;
            checksummed = true;
            layout.lastCrc = i;
            break;
        default:
            return fail(why, which + "unknown type " + std::to_string(type));
        }
        if (total != want)
            return fail(why, which + "size " + std::to_string(total) + " where its type needs " + std::to_string(want));
        if (fileSize - at < total) return fail(why, which + "data beyond the end of the file");
        if (totalBlocks - blocks < chunkBlocks) return fail(why, which + "blocks beyond the declared count");
        blocks += chunkBlocks;
        at += total;
    }
    if (at != fileSize) return fail(why, std::to_string(fileSize - at) + " bytes after the last chunk");
    // Without a checksum chunk there is nothing to compare a sum with.
    return !checksummed || verify_checksums(fd, layout, why);
}

sparse_file* sparse_image_import(int fd) {
    std::lock_guard<std::mutex> one(g_library_reads);
    if (lseek(fd, 0, SEEK_SET) < 0) return nullptr;
    return sparse_file_import(fd, false, false);
}

sparse_file* sparse_image_wrap_plain(int fd) {
    off_t size = lseek(fd, 0, SEEK_END);
    if (size < 0 || size % kPlainBlock != 0 || lseek(fd, 0, SEEK_SET) < 0) return nullptr;
    sparse_file* s = sparse_file_new(kPlainBlock, size);
    if (!s) return nullptr;
    std::lock_guard<std::mutex> one(g_library_reads);
    if (sparse_file_read(s, fd, false, false) < 0) {
        sparse_file_destroy(s);
        return nullptr;
    }
    return s;
}
