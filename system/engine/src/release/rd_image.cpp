#include "release/rd_image.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <zlib.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/full_path.h"
#include "platform/unique_fd.h"
#include "release/config_dir.h"
#include "release/generators.h"
#include "release/image_factory.h"
#include "release/ptable_image.h"

namespace {

constexpr size_t kCheckOffset = 132;
constexpr uint32_t kLengthMask = 0x00FFFFFF;

uint32_t get32(const ReliableDataImage& image, size_t at) {
    const uint8_t* p = image.bytes + at;
    return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24;
}

void put32(ReliableDataImage& image, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) image.bytes[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

// Offset of the end marker, found by stepping over the record headers, or 0
// when the steps leave the image.
size_t end_marker(const ReliableDataImage& image) {
    size_t at = kReldataHeaderSize;
    while (get32(image, at) != kReldataEndMarker) {
        if (at + kReldataRecordHeaderSize > kReldataImageSize) return 0;
        at += kReldataRecordHeaderSize + (get32(image, at + 4) & kLengthMask);
        if (at + 4 > kReldataImageSize) return 0;
    }
    return at;
}

uint32_t header_check(const ReliableDataImage& image, size_t record) {
    uint32_t x = 0;
    for (size_t at = record; at < record + kCheckOffset; at += 4) x = (x ^ get32(image, at)) + 1;
    return x;
}

// Just past the last record's data, without its pad bytes.
uint32_t used_length(const ReliableDataImage& image, size_t marker) {
    uint32_t used = kReldataHeaderSize;
    for (size_t at = kReldataHeaderSize; at < marker;) {
        uint32_t size = get32(image, at + 4);
        uint32_t rounded = size & kLengthMask;
        used = static_cast<uint32_t>(at + kReldataRecordHeaderSize + rounded - ((size >> 24) & 3));
        at += kReldataRecordHeaderSize + rounded;
    }
    return used;
}

// Adler-32 from the format word up to the first aligned end-marker word; a
// record whose data holds that word ends the sum early, as the device does.
uint32_t checksum(const ReliableDataImage& image) {
    size_t end = 12;
    while (end + 4 <= kReldataImageSize && get32(image, end) != kReldataEndMarker) end += 4;
    uLong sum = adler32(0L, Z_NULL, 0);
    return static_cast<uint32_t>(adler32(sum, image.bytes + 8, static_cast<uInt>(end - 8)));
}

// The whole of a regular file, or false (not openable: `opened` false).
bool read_record_file(const std::string& path, std::vector<uint8_t>& data, bool& opened) {
    // Non-blocking so that a FIFO in the tree cannot stall the job.
    UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat st;
    opened = fd.valid() && fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode);
    if (!opened) return false;
    // Larger files cannot fit: fail before reading them in.
    if (st.st_size < 0 || static_cast<uint64_t>(st.st_size) > kReldataMaxData) return false;
    data.resize(static_cast<size_t>(st.st_size));
    size_t got = 0;
    while (got < data.size()) {
        ssize_t n = read(fd.get(), data.data() + got, data.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;  // shrank while being read
        got += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

std::unique_ptr<ReliableDataImage> reldata_image_create() {
    auto image = std::make_unique<ReliableDataImage>();
    memset(image->bytes, 0xFF, sizeof image->bytes);
    put32(*image, 0, kReldataMagic);
    put32(*image, 4, 0);
    put32(*image, 8, kReldataFormat);
    put32(*image, 12, 0);
    put32(*image, 16, 1);
    put32(*image, kReldataHeaderSize, kReldataEndMarker);
    return image;
}

int reldata_image_add_record(ReliableDataImage& image, uint32_t id, const char* name, const uint8_t* data,
                             size_t length) {
    size_t name_length = strlen(name);
    if (name_length + 1 > kReldataNameSize) return -1;
    size_t at = end_marker(image);
    if (at == 0) return -1;
    if (length > kReldataMaxData) return -1;
    size_t rounded = (length + 3) & ~size_t(3);
    size_t pad = rounded - length;
    if (at + kReldataRecordHeaderSize + rounded + 4 > kReldataImageSize) return -1;

    uint8_t* record = image.bytes + at;
    if (length) memcpy(record + kReldataRecordHeaderSize, data, length);
    memset(record + kReldataRecordHeaderSize + length, 0xFF, pad);
    memset(record + 8, 0, kReldataRecordHeaderSize - 8);
    put32(image, at, id);
    put32(image, at + 4, static_cast<uint32_t>(((pad << 24) & 0x03000000) | (rounded & kLengthMask)));
    memcpy(record + 8, name, name_length);
    put32(image, at + kCheckOffset, header_check(image, at));
    size_t marker = at + kReldataRecordHeaderSize + rounded;
    put32(image, marker, kReldataEndMarker);

    put32(image, 12, used_length(image, marker));
    put32(image, 16, get32(image, 16) + 1);
    put32(image, 4, 0);
    put32(image, 4, checksum(image));
    return static_cast<int>(length);
}

uint32_t reldata_record_id(const char* id) {
    if (strcmp(id, "IMEI") == 0) return kReldataIdImei;
    if (strcmp(id, "MEP") == 0) return kReldataIdMep;
    return kReldataIdOther;
}

int image_generate_rd(Json::Value& set, int fd, int depth) {
    const Json::Value& cs = set;
    std::unique_ptr<ReliableDataImage> image = reldata_image_create();
    const std::string dir = release_config_root() + "/reliabledata/" + cs["path"].asString() + "/";
    if (release_is_list(cs["images"], "images")) {
        for (const Json::Value& element : cs["images"]) {
            const std::string name = element["image"].asString();
            std::string path = dir + name;
            std::string absolute;
            bool formed = full_path_lexical(path, absolute);
            if (formed) path = absolute;
            release_print_indent(depth + 1);
            printf("Reading image from \"%s\" ...\n", path.c_str());
            std::vector<uint8_t> data;
            bool opened = false;
            bool read = formed && read_record_file(path, data, opened);
            if (!opened) {
                printf("error: open raw image \"%s\" failed.\n", path.c_str());
                return -1;
            }
            uint32_t id = reldata_record_id(element["id"].asString().c_str());
            if (!read || reldata_image_add_record(*image, id, name.c_str(), data.data(), data.size()) <= 0) {
                // No line end: the factory's failure line follows on the same line.
                printf("error: reading image file \"%s\" failed.", path.c_str());
                return -1;
            }
            release_print_indent(depth + 1);
            fputs("Done.\n", stdout);
        }
    }
    // A failed write must not leave a short image recorded as generated.
    return release_write_fully(fd, image->bytes, kReldataImageSize) ? 0 : -1;
}
