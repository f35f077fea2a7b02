#include "release/generation_pass.h"

#include <unistd.h>

#include <android-base/unique_fd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <vector>

#include "release/download_commands.h"
#include "release/image_factory.h"
#include "release/package_writer.h"
#include "release/partition_layout.h"
#include "release/ptable_image.h"

namespace {

constexpr size_t kBlock = 4096;

void print_using(const Json::Value& image, const char* indent) {
    printf("%sUsing already opened/generated image \"%s\" with id \"%s\" ...\n", indent,
           image["image"].asString().c_str(), image["name"].asString().c_str());
}

// The image of a group child: the first flash command into the partition
// whose image id has an entry.
const Json::Value* child_image(const Json::Value& release, const std::string& partition) {
    const Json::Value& commands = release["commands"];
    if (!commands.isArray()) return nullptr;
    for (const Json::Value& c : commands) {
        if (!c.isObject() || c["command"].asString() != "flash" || c["partition"].asString() != partition) continue;
        if (const Json::Value* image = ptable_find_by(release["images"], "name", c["name"].asString())) return image;
    }
    return nullptr;
}

bool write_repeated(int fd, uint8_t value, uint64_t count) {
    std::vector<uint8_t> block(kBlock, value);
    while (count > 0) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(count, kBlock));
        if (!release_write_fully(fd, block.data(), n)) return false;
        count -= n;
    }
    return true;
}

bool copy_image(int from, int to, uint64_t size) {
    std::vector<uint8_t> buffer(64 * 1024);
    uint64_t offset = 0;
    while (offset < size) {
        size_t want = static_cast<size_t>(std::min<uint64_t>(size - offset, buffer.size()));
        ssize_t n = pread(from, buffer.data(), want, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        if (!release_write_fully(to, buffer.data(), static_cast<size_t>(n))) return false;
        offset += static_cast<uint64_t>(n);
    }
    return true;
}

// One group image of a fota entry being assembled. Every child lands at its
// partition's offset within the group, so the file is written in place.
struct Group {
    android::base::unique_fd fd;
    std::string name;
    uint64_t start = 0, size = 0;  // the group partition's start and size in its flash
    uint64_t end = 0;              // end of the last child's bytes and zero padding
};

// Registers the finished group image as an image entry of its own. The file
// ends with the last child's zero padding: nothing of the erased fill after it.
int complete_group(Json::Value& release, Json::Value& entry, Group& group) {
    if (ftruncate(group.fd.get(), static_cast<off_t>(group.end)) != 0) return -1;
    const std::string name = entry["partition"].asString();
    Json::Value image(Json::objectValue);
    image["name"] = name;
    image["image"] = name + ".img";
    image["format"] = "raw";
    image["io"] = "out";
    image["fd"] = group.fd.release();
    image["size"] = Json::UInt64(group.end);
    release["images"].append(image);
    printf("    Done.\n");
    return 0;
}

// Puts one child's image at its partition's offset, erased-value fill before
// it back to the previous child and zero padding to a 4096-byte boundary
// after it (never past the child's partition).
int add_child(const Json::Value& part, const Json::Value& image, uint8_t erased, Group& group) {
    print_using(image, "      ");
    const std::string child = part["name"].asString();
    if (!image["fd"].isInt()) {
        printf("error: image \"%s\" is not open.\n", image["name"].asString().c_str());
        return -1;
    }
    const uint64_t start = part["start"].asUInt64(), size = part["size"].asUInt64();
    const uint64_t n = image["size"].asUInt64();
    if (start < group.start || size > group.size || start - group.start > group.size - size) {
        printf("error: partition \"%s\" lies outside its group \"%s\".\n", child.c_str(), group.name.c_str());
        return -1;
    }
    const uint64_t offset = start - group.start;
    if (offset < group.end) {
        printf("error: partition \"%s\" overlaps an earlier image of group \"%s\".\n", child.c_str(),
               group.name.c_str());
        return -1;
    }
    if (n > size) {
        printf("error: image \"%s\" (%llu bytes) does not fit partition \"%s\" (%llu bytes) of group \"%s\".\n",
               image["name"].asString().c_str(), static_cast<unsigned long long>(n), child.c_str(),
               static_cast<unsigned long long>(size), group.name.c_str());
        return -1;
    }
    const uint64_t pad = std::min<uint64_t>((n + kBlock - 1) / kBlock * kBlock, size) - n;
    if (lseek(group.fd.get(), static_cast<off_t>(group.end), SEEK_SET) < 0 ||
        !write_repeated(group.fd.get(), erased, offset - group.end) ||
        !copy_image(image["fd"].asInt(), group.fd.get(), n) || !write_repeated(group.fd.get(), 0, pad)) {
        printf("error: writing image \"%s\" into the group image \"%s\" failed.\n", image["name"].asString().c_str(),
               group.name.c_str());
        return -1;
    }
    group.end = offset + n + pad;
    printf("      Done.\n");
    return 0;
}

int fota_entry(Json::Value& release, const Json::Value& list, Json::Value& entry) {
    bool found = false;
    int64_t depth = 0;
    uint8_t erased = 0;
    Group group;
    const std::string wanted = entry["partition"].asString();
    for (const Json::Value& p : list) {
        const std::string name = p["name"].asString();
        if (p["format"].asString() == "flash") {
            if (const Json::Value* flash = ptable_find_by(release["flashes"], "name", name))
                erased = static_cast<uint8_t>(ptable_number_or_size((*flash)["flash"]["erasedValue"]));
        }
        if (!found) {
            if (name != wanted) continue;
            found = true;
            entry["start"] = Json::UInt64(p["vstart"].asUInt64());
            if (p["format"].asString() != "part") {
                const Json::Value* image = ptable_flashed_image(release, name);
                if (!image) {
                    // A flash command whose image id has no entry is an error.
                    for (const Json::Value& c : release["commands"])
                        if (c["command"].asString() == "flash" && c["partition"].asString() == name) return -1;
                    return 0;
                }
                entry["image"] = (*image)["image"].asString();
                print_using(*image, "    ");
                printf("    Done.\n");
                return 0;
            }
            entry["image"] = wanted + ".img";
            depth = p["depth"].asInt64();
            group.name = wanted;
            group.start = p["start"].asUInt64();
            group.size = p["size"].asUInt64();
            group.fd.reset(release_open_scratch_fd());
            if (group.fd.get() < 0) return -1;
            printf("    Generating group image \"%s\" with id \"%s\" ...\n", entry["image"].asString().c_str(),
                   wanted.c_str());
            continue;
        }
        // The group holds every entry below it, at any depth: a child that
        // nothing fills (a leaf or a nested part) is only skipped, its space
        // erased-value fill when a later child follows.
        if (p["depth"].asInt64() <= depth) return complete_group(release, entry, group);
        const Json::Value* image = child_image(release, name);
        if (image && add_child(p, *image, erased, group) != 0) return -1;
    }
    return group.fd.get() >= 0 ? complete_group(release, entry, group) : 0;
}

int release_generate_fota_images(Json::Value& release) {
    printf("  Generating fota images ...\n");
    Json::Value& fota = release["fota"];
    if (!fota.isArray()) {
        printf("error: fota list is not an array.\n");
        return -1;
    }
    Json::Value* list = ptable_flat_list(release, "generating the fota images");
    if (!list) return -1;
    for (Json::Value& entry : fota)
        if (fota_entry(release, *list, entry) != 0) return -1;
    printf("  Done.\n");
    return 0;
}

bool is_ubi_output(Json::Value& release, const std::string& id) {
    const Json::Value* image = ptable_find_by(release["images"], "name", id);
    return image && (*image)["io"].asString() == "out" && (*image)["format"].asString() == "ubi";
}

int generate(Json::Value& release, const std::string& output) {
    printf("Processing all images needed ...\n");
    std::vector<std::string> ids;
    bool partition = false, bootloader = false, fwcerts = false;
    for (const Json::Value& c : release["commands"]) {
        if (c["type"].asString() != "image") continue;
        const std::string id = c["name"].asString();
        if (id == "partition") partition = true;
        else if (id == "bootloader") bootloader = true;
        else if (id == "fwcerts") fwcerts = true;
        else ids.push_back(id);
    }
    // UBI images look their flash up in the laid-out list, so with a layout
    // they are generated right after it.
    std::vector<std::string> deferred;
    for (const std::string& id : ids) {
        if (partition && is_ubi_output(release, id)) {
            deferred.push_back(id);
            continue;
        }
        if (image_open_or_generate(id, release, 1) != 0) return -1;
    }
    if (partition && ptable_build_group(release) != 0) return -1;
    for (const std::string& id : deferred)
        if (image_open_or_generate(id, release, 1) != 0) return -1;
    if (fwcerts && image_open_or_generate("fwcerts", release, 1) != 0) return -1;
    if (partition && image_open_or_generate("partition", release, 1) != 0) return -1;
    if (bootloader && image_open_or_generate("bootloader", release, 1) != 0) return -1;
    if (!release["fota"].isNull() && release_generate_fota_images(release) != 0) return -1;
    printf("Done.\n");
    if (release_compute_weights(release) != 0) return -1;
    if (release_build_download_commands(release) != 0) return -1;
    int result = release_write_package(release, output);
    if (result == 0) printf("Release package generated successfully!\n");
    return result;
}

void close_images(Json::Value& release) {
    Json::Value& images = release["images"];
    if (!images.isArray()) return;
    for (Json::Value& image : images) {
        if (!image.isObject() || !image["fd"].isInt()) continue;
        close(image["fd"].asInt());
        image.removeMember("fd");
    }
}

}  // namespace

int release_generate(Json::Value& release, const std::string& output) {
    int result = -1;
    try {
        // Descriptors are recorded only by this run: a "fd" carried in from
        // the configuration would be reused, packed and closed otherwise.
        if (release["images"].isArray())
            for (Json::Value& image : release["images"])
                if (image.isObject()) image.removeMember("fd");
        result = generate(release, output);
    } catch (const std::exception& e) {
        printf("error: malformed release description: %s\n", e.what());
        result = -1;
    }
    try {
        close_images(release);
    } catch (const std::exception&) {
    }
    return result;
}
