#include "flash/package.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <vector>

#include <ziparchive/zip_archive.h>

#include "base/json_text.h"
#include "base/text.h"
#include "flash/command_check.h"
#include "flash/partition_json.h"
#include "flash/thread_state.h"

namespace {

struct ArchiveCloser {
    void operator()(ZipArchive* archive) const { CloseArchive(archive); }
};
using ArchivePtr = std::unique_ptr<ZipArchive, ArchiveCloser>;

// One per engine. Written only by the init and start jobs, which the host
// issues one at a time and never while a download runs.
struct PackageState {
    std::string path;
    uintptr_t address = 0;
    uint32_t size = 0;
    ArchivePtr archive;
    Json::Value commands{Json::arrayValue};
    std::vector<PartitionRow> table;  // partition.bin of the opened package
    void (*cacheRelease)() = nullptr;
};

// Partition geometry is 32-bit: no flash of a device holds more.
constexpr uint64_t kFlashCeiling = uint64_t(1) << 32;

// Set from a successful download start until the images are released: the
// devices of that download read the package and the command list.
std::atomic<bool> g_in_use{false};

PackageState& state() {
    static PackageState* s = new PackageState();  // outlives threads still ending at exit
    return *s;
}

std::string acp(const std::string& utf8) { return text_narrow_acp(text_widen_utf8(utf8)); }

ArchivePtr open_archive(const PackageState& s) {
    ZipArchiveHandle handle = nullptr;
    int32_t rc;
    if (!s.path.empty()) {
        // The UTF-8 path is the wide-character interface here: plain open().
        int fd = open(s.path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            int err = errno;
            printf("Unable to open '%s': %s\n", acp(s.path).c_str(), strerror(err));
            return nullptr;
        }
        rc = OpenArchiveFd(fd, s.path.c_str(), &handle, true);  // the archive owns fd
    } else if (s.address == 0) {
        // No block at all: let the library refuse an empty one rather than
        // read through a null pointer.
        static const uint8_t kNothing = 0;
        rc = OpenArchiveFromMemory(&kNothing, 0, s.path.c_str(), &handle);
    } else {
        rc = OpenArchiveFromMemory(reinterpret_cast<const void*>(s.address), s.size, s.path.c_str(),
                                   &handle);
    }
    ArchivePtr archive(handle);
    if (rc != 0) {
        archive.reset();
        printf("failed to open zip file '%s': address(%p), size(%d), %s\n", s.path.c_str(),
               reinterpret_cast<void*>(s.address), static_cast<int>(s.size), ErrorCodeString(rc));
        return nullptr;
    }
    return archive;
}

// The image checks of one command: entry present, "imageSize" set.
bool annotate_command(ZipArchiveHandle archive, Json::Value& cmd) {
    std::string image = cmd["image"].asString();
    if (image.empty() || cmd["command"].asString() == "upload") return true;
    std::string entryName = image;
    const Json::Value& version = cmd["version-bootrom"];
    if (!version.isNull()) entryName = version.asString() + "/" + image;
    ZipEntry entry{};
    if (FindEntry(archive, entryName, &entry) != 0) {
        printf("archive does not contain '%s'\n", entryName.c_str());
        return false;
    }
    cmd["imageSize"] = Json::UInt(entry.uncompressed_length);
    return true;
}

bool load_commands(PackageState& s) {
    uint64_t length = 0;
    std::unique_ptr<uint8_t[]> bytes = package_read_entry(s.archive.get(), "download.json", length);
    if (!bytes) {
        printf("release package '%s' has no download.json\n", s.path.c_str());
        return false;
    }
    std::string text(reinterpret_cast<const char*>(bytes.get()), static_cast<size_t>(length));
    bytes.reset();
    std::string error;
    s.commands = Json::Value(Json::arrayValue);
    Json::Value parsed;
    if (!json_parse(text, parsed, error)) {
        printf("Failed to parse download.json configuration: %s\n", error.c_str());
        return false;
    }
    // The list comes from the package: shapes the readers cannot take are
    // refused here rather than thrown later.
    if (!commands_check_shape(parsed) || !commands_check_upload_names(parsed)) return false;
    s.commands = std::move(parsed);
    for (Json::Value& cmd : s.commands)
        if (!annotate_command(s.archive.get(), cmd)) return false;
    return true;
}

}  // namespace

bool package_load() {
    PackageState& s = state();
    s.archive.reset();
    s.archive = open_archive(s);
    if (!s.archive) return false;
    bool ok = false;
    try {
        ok = load_commands(s);
    } catch (const std::exception& e) {
        printf("Failed to read download.json: %s\n", e.what());
        ok = false;
    }
    if (!ok) s.archive.reset();
    return ok;
}

std::unique_ptr<uint8_t[]> package_read_entry(ZipArchiveHandle archive, const std::string& name,
                                              uint64_t& size) {
    size = 0;
    ZipEntry entry{};
    if (archive == nullptr || FindEntry(archive, name, &entry) != 0) {
        fprintf(stderr, "archive does not contain '%s'\n", name.c_str());
        return nullptr;
    }
    uint32_t length = entry.uncompressed_length;
    size = length;
    package_log_extracting(name, length);
    std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[length ? length : 1]);
    if (!buffer) {
        fprintf(stderr, "failed to allocate %lld bytes for '%s'\n", static_cast<long long>(size),
                name.c_str());
        return nullptr;
    }
    int32_t rc = ExtractToMemory(archive, &entry, buffer.get(), length);
    if (rc != 0) {
        fprintf(stderr, "failed to extract '%s': %s\n", name.c_str(), ErrorCodeString(rc));
        return nullptr;
    }
    return buffer;
}

void package_log_extracting(const std::string& name, uint32_t length) {
    if (length < 1024)
        fprintf(stderr, "extracting %s (%u Bytes)...\n", name.c_str(), length);
    else if (length < 1048576)
        fprintf(stderr, "extracting %s (%u KB)...\n", name.c_str(), length >> 10);
    else
        fprintf(stderr, "extracting %s (%u MB)...\n", name.c_str(), length >> 20);
}

bool package_open(const std::string& path, uintptr_t address, uint32_t size, Json::Value& result) {
    download_thread_state().connection = 0;
    if (package_in_use()) {
        printf("download engine is running, release package not opened\n");
        return false;
    }
    PackageState& s = state();
    s.table.clear();
    s.path = path;
    s.address = address;
    s.size = size;
    if (!package_load()) return false;

    uint64_t length = 0;
    std::unique_ptr<uint8_t[]> table = package_read_entry(s.archive.get(), "partition.bin", length);
    s.archive.reset();  // the download start opens it again
    if (!table) {
        printf("release package '%s' has no partition.bin\n", s.path.c_str());
        return false;
    }
    std::string text;
    int rc = partition_table_to_json(table.get(), static_cast<size_t>(length), text);
    if (rc == 0) partition_table_rows(table.get(), static_cast<size_t>(length), s.table);
    table.reset();
    if (rc != 0) {
        printf("Failed to parse partition.bin\n");
        return false;
    }
    Json::Value partitions;
    std::string error;
    if (!json_parse(text, partitions, error)) {
        printf("Failed to parse partition.bin configuration: %s\n", error.c_str());
        return false;
    }
    result["commands"] = s.commands;
    result["partitions"] = partitions;
    return true;
}

void package_release_images() {
    PackageState& s = state();
    if (s.cacheRelease) s.cacheRelease();
    s.commands = Json::Value(Json::arrayValue);
    s.archive.reset();
    g_in_use.store(false, std::memory_order_release);
}

void package_mark_in_use() { g_in_use.store(true, std::memory_order_release); }

bool package_in_use() { return g_in_use.load(std::memory_order_acquire); }

ZipArchiveHandle package_archive() { return state().archive.get(); }

const Json::Value& package_commands() { return state().commands; }

Json::Value& package_commands_mutable() { return state().commands; }

uint64_t package_partition_capacity(const std::string& partition) {
    const std::vector<PartitionRow>& rows = state().table;
    for (const PartitionRow& row : rows)
        if (!partition.empty() && row.name == partition && row.size > 0) return row.size;
    uint64_t flashes = 0;
    for (const PartitionRow& row : rows) {
        if (row.type == "group" && row.size > 0) return row.size;
        if (row.type == "flash") flashes += row.size;
    }
    return flashes > 0 ? flashes : kFlashCeiling;
}

void package_set_cache_release(void (*release)()) { state().cacheRelease = release; }
