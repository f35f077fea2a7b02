#include "flash/image_cache.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include <sparse/sparse.h>
#include <utils/FileMap.h>
#include <ziparchive/zip_archive.h>

#include "flash/client_util.h"
#include "flash/fastboot.h"
#include "flash/package.h"
#include "flash/partition_json.h"
#include "flash/sparse_image.h"
#include "platform/temp_file.h"
#include "platform/unique_fd.h"

namespace {

constexpr int64_t kSmallestLimit = 4200;  // room for the smallest sparse file
constexpr uint64_t kPieceCeiling = 1073741824;
constexpr off_t kSparseBlock = 4096;  // the block size of plain images the library wraps

struct SparseDeleter {
    void operator()(sparse_file* s) const { sparse_file_destroy(s); }
};
using SparsePtr = std::unique_ptr<sparse_file, SparseDeleter>;

// What one cache entry owns; LoadedImage only points into it.
struct CacheEntry {
    UniqueFd fd;
    std::vector<sparse_file*> pieces;  // null-terminated when kind 1
    std::unique_ptr<uint8_t[]> bytes;
    LoadedImage image;

    CacheEntry() = default;
    CacheEntry(const CacheEntry&) = delete;
    CacheEntry& operator=(const CacheEntry&) = delete;
    ~CacheEntry() {
        for (sparse_file* s : pieces)
            if (s) sparse_file_destroy(s);
    }
};

// One per command, image and limit. Its lock is held while it is filled, so
// the devices that want the same image wait for that one extraction and
// nobody else does.
struct Slot {
    std::mutex lock;
    std::unique_ptr<CacheEntry> entry;
};

struct Cache {
    std::mutex lock;  // the map only, never across an extraction
    std::map<std::string, std::shared_ptr<Slot>> slots;
    std::atomic<size_t> filled{0};
    std::mutex archive;  // reads of the package, one at a time
};

Cache& cache() {
    static Cache* c = new Cache();  // outlives download threads still ending at exit
    return *c;
}

// The package empties the cache when the engine stops.
const bool g_registered = (package_set_cache_release(&image_cache_release), true);

void print_load_failure(const std::string& image, int err) {
    printf("cannot load %s from flash: %s\n", image.c_str(), strerror(err));
}

// The table of a "partition" command comes from the package: it goes to
// the device only if it reads as the init reads the package's own table.
// False after the line saying so.
bool partition_table_parses(int fd, const std::string& image, int64_t size) {
    std::vector<uint8_t> head(static_cast<size_t>(std::min<int64_t>(size, partition_table_most_bytes())));
    std::vector<PartitionRow> rows;
    if (pread(fd, head.data(), head.size(), 0) == static_cast<ssize_t>(head.size()) &&
        partition_table_rows(head.data(), head.size(), rows) == 0)
        return true;
    fprintf(stderr, "partition table '%s' refused: it is not a valid table\n", image.c_str());
    return false;
}

// Step by command on the extracted file; false after its own message.
bool prepare_descriptor(CacheEntry& e, const std::string& image, const std::string& command,
                        int64_t size, int64_t limit) {
    if (size > limit) {
        fprintf(stderr, "No enough download area to hold image for command '%s'\n", command.c_str());
        print_load_failure(image, EFBIG);
        errno = EFBIG;
        return false;
    }
    if (command == "partition" && !partition_table_parses(e.fd.get(), image, size)) {
        errno = EINVAL;
        return false;
    }
    e.image.kind = kImageDescriptor;
    e.image.size = size;
    return true;
}

off_t whole_blocks(off_t size) { return (size + kSparseBlock - 1) / kSparseBlock * kSparseBlock; }

// A plain image whose length is not a whole number of blocks is padded with
// zeros to the next block: the sparse form covers whole blocks anyway (same
// bytes on the device), and the library otherwise cuts it into pieces that
// declare one chunk more than they hold.
bool pad_plain_image(int fd) {
    off_t size = lseek(fd, 0, SEEK_END);
    if (size < 0) return false;
    off_t padded = whole_blocks(size);
    return padded == size || ftruncate(fd, padded) == 0;
}

// A plain image is bounded like a container: what it takes on the device
// must fit its target, or the device is not sent a byte of it. False after
// the line saying so.
bool plain_image_fits(int fd, const std::string& image, uint64_t capacity) {
    off_t size = lseek(fd, 0, SEEK_END);
    if (size < 0) return true;  // the pad reports it
    off_t takes = whole_blocks(size);
    if (static_cast<uint64_t>(takes) <= capacity) return true;
    fprintf(stderr, "image '%s' refused: it takes %lld bytes, more than the %llu its target holds\n",
            image.c_str(), static_cast<long long>(takes), static_cast<unsigned long long>(capacity));
    return false;
}

// A file with the sparse magic is read as a container or not at all: it is
// checked first, so the library never sees what it cannot take, and imported
// with its checksums verified. Only a file without the magic is plain.
SparsePtr import_image(int fd, bool container) {
    return SparsePtr(container ? sparse_image_import(fd) : sparse_image_wrap_plain(fd));
}

bool prepare_sparse(CacheEntry& e, const std::string& image, int64_t limit, uint64_t capacity) {
    unsigned pieceLimit = static_cast<unsigned>(std::min<uint64_t>(limit, kPieceCeiling));
    int fd = e.fd.get();
    bool container = sparse_image_has_magic(fd);
    if (container) {
        std::string why;
        if (!sparse_image_check(fd, capacity, why)) {
            fprintf(stderr, "sparse image '%s' refused: %s\n", image.c_str(), why.c_str());
            fatal_error("cannot sparse read file\n");
        }
    } else if (!plain_image_fits(fd, image, capacity)) {
        errno = EFBIG;
        return false;
    } else if (!pad_plain_image(fd)) {
        fatal_error("cannot sparse read file\n");
    }
    // The pieces are counted on an import of their own: a counting pass
    // leaves the library's chunk list in a state whose later pieces it
    // cannot write (their length comes out as -1).
    SparsePtr counted = import_image(fd, container);
    if (!counted) fatal_error("cannot sparse read file\n");
    int count = sparse_file_resparse(counted.get(), pieceLimit, nullptr, 0);
    counted.reset();
    if (count < 0) fatal_error("Failed to resparse\n");
    SparsePtr imported = import_image(fd, container);
    if (!imported) fatal_error("cannot sparse read file\n");
    e.pieces.assign(static_cast<size_t>(count) + 1, nullptr);
    if (sparse_file_resparse(imported.get(), pieceLimit, e.pieces.data(), count) < 0)
        fatal_error("Failed to resparse\n");
    // Every piece must be writable; its length without the checksum says so
    // without reading its data (the checksum is computed when it is sent).
    for (int i = 0; i < count; ++i)
        if (!e.pieces[i] || sparse_file_len(e.pieces[i], true, false) <= 0) fatal_error("Failed to resparse\n");
    e.image.kind = kImageSparse;
    e.image.pieces = e.pieces.data();
    return true;
}

bool prepare_memory(CacheEntry& e, int64_t size) {
    e.bytes.reset(new (std::nothrow) uint8_t[size > 0 ? size : 1]);
    if (!e.bytes) {
        errno = ENOMEM;
        return false;
    }
    if (size > 0) {
        android::FileMap map;
        if (!map.create(nullptr, e.fd.get(), 0, static_cast<size_t>(size), true)) return false;
        memcpy(e.bytes.get(), map.getDataPtr(), static_cast<size_t>(size));
    }
    e.image.kind = kImageMemory;
    e.image.bytes = e.bytes.get();
    e.image.size = size;
    return true;
}

// Extracts `image` into a new temporary file and prepares it; null after
// the failure's message.
std::unique_ptr<CacheEntry> extract(const std::string& image, const std::string& command,
                                    int64_t limit, uint64_t capacity) {
    std::string dir = temp_dir_path();
    if (dir.empty()) {
        fprintf(stderr, "GetTempPath failed, error %ld\n", static_cast<long>(ENOENT));
        errno = ENOENT;
        return nullptr;
    }
    auto e = std::make_unique<CacheEntry>();
    e->fd.reset(temp_file_open_anonymous(dir, "libkelvo"));
    if (!e->fd.valid()) {
        int err = errno;
        fprintf(stderr, "failed to create temporary file for '%s': %s\n", image.c_str(), strerror(err));
        errno = err;
        return nullptr;
    }
    e->image.fd = e->fd.get();

    int32_t rc;
    {
        std::lock_guard<std::mutex> reading(cache().archive);
        ZipArchiveHandle archive = package_archive();
        ZipEntry entry{};
        if (archive == nullptr || FindEntry(archive, image, &entry) != 0) {
            fprintf(stderr, "archive does not contain '%s'\n", image.c_str());
            errno = ENOENT;
            return nullptr;
        }
        package_log_extracting(image, entry.uncompressed_length);
        rc = ExtractEntryToFile(archive, &entry, e->fd.get());
    }
    if (rc != 0) {
        fprintf(stderr, "failed to extract '%s': %s\n", image.c_str(), ErrorCodeString(rc));
        errno = EIO;
        return nullptr;
    }
    off_t size = lseek(e->fd.get(), 0, SEEK_END);
    if (size < 0 || lseek(e->fd.get(), 0, SEEK_SET) < 0) {
        int err = errno;
        print_load_failure(image, err);
        errno = err;
        return nullptr;
    }

    bool ok;
    if (command == "boot" || command == "call" || command == "partition")
        ok = prepare_descriptor(*e, image, command, size, limit);
    else if (command == "flash")
        ok = prepare_sparse(*e, image, limit, capacity);
    else if (command == "fuse")
        ok = prepare_memory(*e, size);
    else {
        errno = EINVAL;
        ok = false;
    }
    if (!ok) return nullptr;
    return e;
}

// Asks the device how much one download may carry; -1 after the message.
int64_t device_download_limit(Transport& transport) {
    std::string answer;
    if (!fastboot_read_variable(transport, "max-download-size", answer) || answer.empty()) {
        fprintf(stderr, "target didn't report max-download-size\n");
        errno = EIO;
        return -1;
    }
    std::vector<char> buffer(answer.begin(), answer.end());
    buffer.push_back('\0');
    std::string trimmed = trim_in_place(buffer.data());
    uint64_t value = 0;
    if (!parse_download_limit(trimmed, value)) {
        fprintf(stderr, "couldn't parse max-download-size '%s'\n", trimmed.c_str());
        errno = EINVAL;
        return -1;
    }
    if (value != 0)
        fprintf(stderr, "target reported max download size of %lld bytes\n",
                static_cast<long long>(value));
    int64_t limit = static_cast<int64_t>(value);
    if (limit < kSmallestLimit) {
        printf("target max download size is too small to hold the minimum sparse file\n");
        errno = EINVAL;
        return -1;
    }
    return limit;
}

}  // namespace

bool parse_download_limit(const std::string& text, uint64_t& value) {
    size_t at = 0;
    unsigned base = 10;
    if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        at = 2;
    }
    if (at == text.size()) return false;
    uint64_t v = 0;
    for (; at < text.size(); ++at) {
        char c = text[at];
        unsigned digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else
            return false;
        if (v > (UINT64_MAX - digit) / base) return false;
        v = v * base + digit;
    }
    value = v;
    return true;
}

bool load_command_image(Transport& transport, const std::string& image, const std::string& command,
                        LoadedImage& out, const std::string& partition) {
    (void)g_registered;
    int64_t limit = device_download_limit(transport);
    if (limit < 0) return false;
    std::string key = command + "_" + image + "_" + std::to_string(limit);
    uint64_t capacity = 0;
    if (command == "flash") {
        capacity = package_partition_capacity(partition);
        key += "_" + std::to_string(capacity);
    }

    Cache& c = cache();
    std::shared_ptr<Slot> slot;
    {
        std::lock_guard<std::mutex> hold(c.lock);
        std::shared_ptr<Slot>& found = c.slots[key];
        if (!found) found = std::make_shared<Slot>();
        slot = found;
    }
    // A fatal sparse error unwinds through this lock; the slot stays empty
    // and the next device tries again.
    std::lock_guard<std::mutex> filling(slot->lock);
    if (!slot->entry) {
        std::unique_ptr<CacheEntry> entry = extract(image, command, limit, capacity);
        if (!entry) return false;
        slot->entry = std::move(entry);
        ++c.filled;
    }
    out = slot->entry->image;
    return true;
}

void image_cache_release() {
    Cache& c = cache();
    std::lock_guard<std::mutex> hold(c.lock);
    c.slots.clear();
    c.filled = 0;
}

size_t image_cache_size() { return cache().filled.load(); }
