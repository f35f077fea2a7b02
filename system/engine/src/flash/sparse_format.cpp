#include "flash/sparse_format.h"

#include <algorithm>
#include <cstring>

#include <zlib.h>

namespace sparse_format {

uint32_t crc_of_pattern(uint32_t crc, const uint8_t pattern[4], uint64_t length) {
    uint8_t buf[4096];
    for (size_t i = 0; i < sizeof buf; i += 4) memcpy(buf + i, pattern, 4);
    for (uint64_t n; length > 0; length -= n) {
        n = std::min<uint64_t>(length, sizeof buf);
        crc = static_cast<uint32_t>(crc32_z(crc, buf, static_cast<size_t>(n)));
    }
    return crc;
}

}  // namespace sparse_format
