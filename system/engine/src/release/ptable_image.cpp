#include "release/ptable_image.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <android-base/unique_fd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "release/generators.h"
#include "release/key_set.h"
#include "release/partition_layout.h"
#include "release/virtual_extents.h"

namespace {

void put32(uint8_t* at, uint32_t v) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(v >> (8 * i));
}

// The table keeps 32-bit fields: a value that does not fit must not be cut.
bool fits32(const Json::Value& row, const char* key, uint32_t& out) {
    uint64_t v = row[key].asUInt64();
    if (v > 0xFFFFFFFFu) {
        printf("error: %s of partition \"%s\" does not fit in 32 bits.\n", key, row["name"].asString().c_str());
        return false;
    }
    out = static_cast<uint32_t>(v);
    return true;
}

}  // namespace

bool release_write_fully(int fd, const void* data, size_t size) {
    const uint8_t* p = static_cast<const uint8_t*>(data);
    while (size > 0) {
        ssize_t n = write(fd, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

int image_generate_aptb(Json::Value& release, int fd) {
    Json::Value* list = ptable_flat_list(release, "generating the partition table");
    if (!list) return -1;
    ptable_compute_vsizes(*list, release);

    uint8_t table[kPartitionTableSize] = {};
    put32(table, kPartitionTableMagic);
    put32(table + 4, list->size());
    if (list->size() > kPartitionTableRows) {
        printf("error: too many partition tables defined.\n");
        return -1;
    }
    uint8_t* row = table + 8;
    for (const Json::Value& p : *list) {
        strncpy(reinterpret_cast<char*>(row), p["name"].asString().c_str(), 32);
        strncpy(reinterpret_cast<char*>(row + 32), p["format"].asString().c_str(), 16);
        uint32_t start, size, vstart = 0xFFFFFFFFu, vsize;
        if (!fits32(p, "start", start) || !fits32(p, "size", size) || !fits32(p, "vsize", vsize)) return -1;
        if (p["vstart"].asUInt64() != ~uint64_t(0) && !fits32(p, "vstart", vstart)) return -1;
        put32(row + 48, start);
        put32(row + 52, size);
        put32(row + 56, vstart);
        put32(row + 60, vsize);
        put32(row + 64, p["depth"].asUInt());
        row += kPartitionRowSize;
    }
    return release_write_fully(fd, table, sizeof table) ? 0 : -1;
}

int image_generate_fuse(Json::Value& release, int fd) {
    const std::string path = release["security"]["rootPkHash"].asString();
    android::base::unique_fd hash(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (hash.get() < 0) {
        printf("error: open raw image \"%s\" failed.\n", path.c_str());
        return -1;
    }
    // The hash is burnt into one-time fuses: never pad a missing part with zeros.
    struct stat st;
    if (fstat(hash.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        printf("error: root key hash \"%s\" is not a regular file.\n", path.c_str());
        return -1;
    }
    uint8_t image[kFuseImageSize] = {};
    size_t got = 0;
    while (got < 32) {
        ssize_t n = read(hash.get(), image + 64 + got, 32 - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    if (got < 32) {
        printf("error: root key hash \"%s\" is shorter than 32 bytes.\n", path.c_str());
        return -1;
    }
    // Fusing a hash that is not the signing root key's bricks every device.
    if (key_set_check_root_hash(release, image + 64) != 0) return -1;
    return release_write_fully(fd, image, sizeof image) ? 0 : -1;
}
