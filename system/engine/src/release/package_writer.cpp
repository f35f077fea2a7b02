#include "release/package_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <android-base/unique_fd.h>
#include <ziparchive/zip_writer.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <set>

#include "base/json_text.h"
#include "release/image_factory.h"
#include "release/ptable_image.h"

namespace {

using File = std::unique_ptr<FILE, int (*)(FILE*)>;

// Entry table: descriptor -> entry name, in ascending descriptor order.
using EntryTable = std::map<int, std::string>;

bool opened(const Json::Value& entry, const std::string& name) {
    return entry.isObject() && entry["image"].asString() == name && entry["fd"].isInt() && entry["fd"].asInt() >= 0;
}

// Whether two open images hold the same bytes (read by position: the
// descriptors' offsets are left alone).
bool same_bytes(int a, int b) {
    char x[4096], y[4096];
    for (off_t at = 0;; at += static_cast<off_t>(sizeof x)) {
        ssize_t n = pread(a, x, sizeof x, at);
        ssize_t m = pread(b, y, sizeof y, at);
        if (n < 0 || m < 0 || n != m || memcmp(x, y, static_cast<size_t>(n)) != 0) return false;
        if (n == 0) return true;
    }
}

// Images are found only through entries the factory actually opened, so a
// descriptor the pass does not own is never packed. One entry name carries
// one image: two images of different bytes under one file name would flash
// the first into both partitions, so they fail the package.
bool add_images(const Json::Value& release, const Json::Value& list, EntryTable& table) {
    if (!list.isArray()) return true;
    const Json::Value& images = release["images"];
    if (!images.isArray()) return true;
    for (const Json::Value& item : list) {
        if (!item.isObject() || item["image"].isNull()) continue;
        const std::string name = item["image"].asString();
        const Json::Value* first = nullptr;
        for (const Json::Value& entry : images) {
            if (!opened(entry, name)) continue;
            if (!first) {
                first = &entry;
                continue;
            }
            if (!same_bytes((*first)["fd"].asInt(), entry["fd"].asInt())) {
                printf("error: images \"%s\" and \"%s\" differ but share the package entry \"%s\".\n",
                       (*first)["name"].asString().c_str(), entry["name"].asString().c_str(), name.c_str());
                return false;
            }
        }
        if (!first) continue;
        int fd = (*first)["fd"].asInt();
        lseek(fd, 0, SEEK_SET);
        table[fd] = name;
    }
    return true;
}

int json_scratch(const Json::Value& value, android::base::unique_fd& out) {
    out.reset(release_open_scratch_fd());
    if (out.get() < 0) return -1;
    const std::string text = json_styled(value);
    if (!release_write_fully(out.get(), text.data(), text.size())) return -1;
    return lseek(out.get(), 0, SEEK_SET) == 0 ? 0 : -1;
}

mode_t creation_mode() {
    mode_t mask = 022;
    if (FILE* f = fopen("/proc/self/status", "r")) {
        char line[128];
        while (fgets(line, sizeof line, f))
            if (sscanf(line, "Umask: %o", &mask) == 1) break;
        fclose(f);
    }
    return 0666 & ~mask;
}

// Removes the temporary archive unless it was renamed over the output.
struct TempArchive {
    std::string path;
    bool kept = false;
    ~TempArchive() {
        if (!path.empty() && !kept) unlink(path.c_str());
    }
};

bool zip_ok(int32_t result, const char* what, const std::string& name) {
    if (result >= 0) return true;
    fprintf(stderr, "%s \"%s\" failed: %s\n", what, name.c_str(), ZipWriter::ErrorCodeString(result));
    return false;
}

// Copies one open image into a new archive entry.
int pack_entry(ZipWriter& writer, int fd, const std::string& name) {
    lseek(fd, 0, SEEK_SET);
    int copy = dup(fd);
    File in(copy >= 0 ? fdopen(copy, "rb") : nullptr, fclose);
    if (!in) {
        if (copy >= 0) close(copy);
        fprintf(stderr, "open file \"%s\" failed\n", name.c_str());
        return -1;
    }
    struct stat st;
    time_t mtime = fstat(fd, &st) == 0 ? st.st_mtime : 0;
    if (!zip_ok(writer.StartEntryWithTime(name, ZipWriter::kCompress | ZipWriter::kAlign32, mtime),
                "start entry", name))
        return -1;
    char buffer[1024];
    for (;;) {
        size_t n = fread(buffer, 1, sizeof buffer, in.get());
        if (n > 0 && !zip_ok(writer.WriteBytes(buffer, n), "write entry", name)) return -1;
        if (n < sizeof buffer) {
            if (ferror(in.get())) {
                fprintf(stderr, "read file with errors\n");
                return -1;
            }
            break;
        }
    }
    return zip_ok(writer.FinishEntry(), "finish entry", name) ? 0 : -1;
}

int write_archive(const EntryTable& table, const std::string& output) {
    TempArchive temp;
    std::string pattern = output + ".XXXXXX";
    android::base::unique_fd fd(mkostemp(&pattern[0], O_CLOEXEC));
    if (fd.get() < 0) {
        fprintf(stderr, "create file \"%s\" failed\n", output.c_str());
        return -1;
    }
    temp.path = pattern;
    fchmod(fd.get(), creation_mode());
    File out(fdopen(fd.get(), "wb"), fclose);
    if (!out) {
        fprintf(stderr, "create file \"%s\" failed\n", output.c_str());
        return -1;
    }
    [[maybe_unused]] int owned_by_stream = fd.release();

    {
        ZipWriter writer(out.get());
        for (const auto& [descriptor, name] : table)
            if (pack_entry(writer, descriptor, name) != 0) return -1;
        if (!zip_ok(writer.Finish(), "finish archive", output)) return -1;
    }
    if (fflush(out.get()) != 0 || fsync(fileno(out.get())) != 0 || fclose(out.release()) != 0) {
        fprintf(stderr, "write file \"%s\" failed\n", output.c_str());
        return -1;
    }
    if (rename(temp.path.c_str(), output.c_str()) != 0) {
        fprintf(stderr, "create file \"%s\" failed\n", output.c_str());
        return -1;
    }
    temp.kept = true;
    return 0;
}

}  // namespace

bool release_entry_name_ok(const std::string& name) {
    return !name.empty() && name[0] != '/' && name.find("..") == std::string::npos &&
           name.find('\\') == std::string::npos && name.find('\0') == std::string::npos;
}

int release_write_package(const Json::Value& release, const std::string& output) {
    printf("Generating target release package ...\n");
    EntryTable table;
    int result = -1;
    android::base::unique_fd download, fota;
    if (!add_images(release, release["downloadJson"], table) || !add_images(release, release["fota"], table)) {
        printf("error: the package cannot carry its images.\n");
    } else if (json_scratch(release["downloadJson"], download) != 0 || json_scratch(release["fota"], fota) != 0) {
        fprintf(stderr, "error: writing the package scripts failed.\n");
    } else {
        table[download.get()] = "download.json";
        table[fota.get()] = "fota.json";
        // The zip library takes any name: refuse what a reader could not
        // extract safely, and names that would appear twice.
        std::set<std::string> seen;
        bool names_ok = true;
        for (const auto& entry : table) {
            const std::string& name = entry.second;
            if (!release_entry_name_ok(name)) {
                printf("error: package entry name \"%s\" refused.\n", name.c_str());
                names_ok = false;
                break;
            }
            if (!seen.insert(name).second) {
                printf("error: package entry \"%s\" named twice.\n", name.c_str());
                names_ok = false;
                break;
            }
        }
        if (names_ok) result = write_archive(table, output);
    }
    printf("Done.\n");
    return result;
}
