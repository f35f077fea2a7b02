#include "release/image_factory.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <set>
#include <vector>

#include "base/never_destroyed.h"
#include "platform/full_path.h"
#include "platform/temp_file.h"
#include "release/config_dir.h"
#include "release/generators.h"

namespace {

// Ids being opened right now, to stop an image that needs itself.
std::set<std::string>& g_in_progress = never_destroyed<std::set<std::string>>();

struct InProgress {
    std::string id;
    explicit InProgress(const std::string& i) : id(i) { g_in_progress.insert(id); }
    ~InProgress() { g_in_progress.erase(id); }
};

// A descriptor owned until it is recorded in its entry.
struct OwnedFd {
    int fd = -1;
    explicit OwnedFd(int f) : fd(f) {}
    ~OwnedFd() {
        if (fd >= 0) close(fd);
    }
    int release() {
        int f = fd;
        fd = -1;
        return f;
    }
    OwnedFd(const OwnedFd&) = delete;
    OwnedFd& operator=(const OwnedFd&) = delete;
};

bool exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

void progress(int depth, const char* text) {
    release_print_indent(depth);
    fputs(text, stdout);
}

void record(Json::Value& entry, OwnedFd& fd, int depth) {
    struct stat st;
    uint64_t size = fstat(fd.fd, &st) == 0 ? static_cast<uint64_t>(static_cast<int64_t>(st.st_size)) : 0;
    entry["fd"] = fd.release();
    entry["size"] = Json::UInt64(size);
    progress(depth, "Done.\n");
}

// The file of an "in" image: its "path" as given, or found below the
// configuration's images directory (the version-bootrom copy first).
bool input_path(const Json::Value& entry, const Json::Value& release, std::string& path) {
    if (!entry["path"].isNull()) {
        path = entry["path"].asString();
        return true;
    }
    std::string version = release["values"]["version-bootrom"].asString();
    std::string image = entry["image"].asString();
    for (const std::string* name : {&version, &image})
        if (!release_config_name_safe(*name)) {
            printf("error: config path \"%s\" refused.\n", name->c_str());
            return false;
        }
    std::string images = release_config_root() + "/images/";
    std::string versioned = images + version + "/" + image;
    path = exists(versioned) ? versioned : images + image;
    return true;
}

int open_input(const std::string& id, Json::Value& entry, const Json::Value& release, int depth) {
    const Json::Value& ce = entry;
    std::string path;
    if (!input_path(ce, release, path)) {
        printf("error: open raw image \"%s\" failed.\n", id.c_str());
        return -1;
    }
    std::string absolute;
    bool formed = full_path_lexical(path, absolute);
    release_print_indent(depth);
    printf("Opening image \"%s\" from \"%s\" ...\n", id.c_str(), formed ? absolute.c_str() : path.c_str());
    OwnedFd fd(formed ? open(absolute.c_str(), O_RDONLY | O_CLOEXEC) : -1);
    // Only a regular file is an image (a directory opens fine on Linux).
    struct stat st;
    if (fd.fd < 0 || fstat(fd.fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        printf("error: open raw image \"%s\" failed.\n", id.c_str());
        return -1;
    }
    record(entry, fd, depth);
    return 0;
}

// The record files of a set are read below root + "/reliabledata/" only.
bool reliable_data_names_safe(const Json::Value& set) {
    std::vector<std::string> names{set["path"].asString()};
    if (release_is_list(set["images"], "images"))
        for (const Json::Value& record : set["images"]) names.push_back(record["image"].asString());
    for (const auto& name : names)
        if (!release_config_name_safe(name)) {
            printf("error: config path \"%s\" refused.\n", name.c_str());
            return false;
        }
    return true;
}

int generate_output(const std::string& id, Json::Value& entry, Json::Value& release, int depth) {
    const Json::Value& ce = entry;
    std::string format = ce["format"].asString();
    release_print_indent(depth);
    printf("Generating %s image \"%s\" with id \"%s\" ...\n", format.c_str(), ce["image"].asString().c_str(),
           ce["name"].asString().c_str());
    OwnedFd fd(release_open_scratch_fd());
    if (fd.fd < 0) {
        printf("error: generate %s image \"%s\" failed.\n", format.c_str(), id.c_str());
        return -1;
    }
    int rc = 0;
    if (format == "finf") {
        lseek(fd.fd, 0, SEEK_SET);
        Json::Value& flashes = release["flashes"];
        Json::ArrayIndex n = release_is_list(flashes, "flashes") ? flashes.size() : 0;
        for (Json::ArrayIndex i = 0; i < n && rc == 0; ++i)
            rc = image_write_finf(flashes[i]["flash"], fd.fd, i + 1 < n ? 1 : 0);
    } else if (format == "aptb") {
        rc = image_generate_aptb(release, fd.fd);
    } else if (format == "fip") {
        if (ce["fip"]["certOnly"].asBool()) fip_compute_member_offsets(entry, release, id);
        rc = image_generate_fip(entry["fip"], release, fd.fd, depth);
    } else if (format == "ubi") {
        rc = image_generate_ubi(entry, id, release, fd.fd, depth);
    } else if (format == "lzma") {
        rc = image_generate_lzma(entry, release, fd.fd, depth);
    } else if (format == "fuse") {
        rc = image_generate_fuse(release, fd.fd);
    } else if (format == "rd") {
        std::string use = ce["use"].asString();
        Json::Value* set = nullptr;
        if (release_is_list(ce["rd"], "rd"))
            for (Json::ArrayIndex i = 0; i < ce["rd"].size() && !set; ++i)
                if (ce["rd"][i]["path"].asString() == use) set = &entry["rd"][i];
        if (!set) {
            printf("error: reliabledata config with path \"%s\" not found.\n", use.c_str());
            return -1;
        }
        if (!reliable_data_names_safe(*set)) return -1;
        rc = image_generate_rd(*set, fd.fd, depth);
    }
    if (rc != 0) {
        printf("error: generate %s image \"%s\" failed.\n", format.c_str(), id.c_str());
        return -1;
    }
    record(entry, fd, depth);
    return 0;
}

}  // namespace

void release_print_indent(int depth) {
    for (int i = 0; i < 2 * depth; ++i) fputc(' ', stdout);
}

Json::Value* release_find_image(Json::Value& release, const std::string& id) {
    const Json::Value& cr = release;
    if (!release_is_list(cr["images"], "images")) return nullptr;
    Json::Value& images = release["images"];
    for (Json::ArrayIndex i = 0; i < images.size(); ++i) {
        const Json::Value& e = images[i];
        if (e["name"].asString() == id) return &images[i];
    }
    return nullptr;
}

int image_open_or_generate(const std::string& id, Json::Value& release, int depth) {
    Json::Value* found = release_find_image(release, id);
    if (!found) return -1;
    Json::Value& entry = *found;
    const Json::Value& ce = entry;
    if (!ce["fd"].isNull()) {
        release_print_indent(depth);
        printf("Using already opened/generated image \"%s\" with id \"%s\" ...\n", ce["image"].asString().c_str(),
               ce["name"].asString().c_str());
        progress(depth, "Done.\n");
        return 0;
    }
    if (g_in_progress.count(id)) {
        printf("error: image \"%s\" refers to itself.\n", id.c_str());
        return -1;
    }
    InProgress guard(id);
    std::string io = ce["io"].asString();
    if (io == "in") return open_input(id, entry, release, depth);
    if (io == "out") return generate_output(id, entry, release, depth);
    printf("error: unknown io type \"%s\" configed when generate \"%s\".\n", io.c_str(), id.c_str());
    return -1;
}

FILE* release_open_scratch_file() {
    std::string dir = temp_dir_path();
    if (dir.empty() || dir.size() > 259) {
        fprintf(stderr, "GetTempPath failed, error %ld\n", static_cast<long>(errno));
        return nullptr;
    }
    int fd = temp_file_open_anonymous(dir, "kelvo_release");
    if (fd < 0) {
        fprintf(stderr, "GetTempFileName failed, error %ld\n", static_cast<long>(errno));
        return nullptr;
    }
    FILE* stream = fdopen(fd, "w+b");
    if (!stream) close(fd);
    return stream;
}

int release_open_scratch_fd() {
    FILE* stream = release_open_scratch_file();
    if (!stream) return -1;
    int fd = fcntl(fileno(stream), F_DUPFD_CLOEXEC, 0);
    fclose(stream);
    return fd;
}

void release_close_images(Json::Value& release) {
    Json::Value& images = release["images"];
    if (!images.isArray()) return;
    for (Json::ArrayIndex i = 0; i < images.size(); ++i) {
        Json::Value& entry = images[i];
        if (!entry.isObject() || !entry.isMember("fd")) continue;
        if (entry["fd"].isInt()) close(entry["fd"].asInt());
        entry.removeMember("fd");
    }
}
