// "ubi" images: the member images become the volumes of a UBI image that
// ubinize builds for the flash that receives it.
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/unique_fd.h"
#include "release/config_dir.h"
#include "release/generators.h"
#include "release/image_factory.h"
#include "release/partition_layout.h"
#include "release/ptable_image.h"
#include "tools/common/tool_invocation.h"

namespace {

struct FlashParams {
    int min_io_size = 0;
    int peb_size = 0;
};

// A member of an object; null for anything else (no throwing lookups).
const Json::Value& member(const Json::Value& v, const char* key) {
    return v.isObject() ? v[key] : Json::Value::nullSingleton();
}

// Text of a member, empty for anything that is not a scalar.
std::string text_of(const Json::Value& v) {
    if (v.isString() || v.isNumeric() || v.isBool()) return v.asString();
    return std::string();
}

// Numbers or size texts (no flash-information image may have normalised
// them); a value that does not fit the tool's signed 32 bits reads as -1,
// which the tool refuses.
int geometry_value(const Json::Value& v) {
    uint64_t n = release_parse_size(v);
    return n > static_cast<uint64_t>(INT_MAX) ? -1 : static_cast<int>(n);
}

// One partition row (flat) or node (tree) of the walk; true stops it.
bool visit(const Json::Value& row, const Json::Value& flashes, const std::string& partition, FlashParams& params) {
    if (!row.isObject()) return false;
    const std::string name = text_of(row["name"]);
    if (text_of(row["format"]) == PTABLE_TYPE_FLASH) {
        if (const Json::Value* flash = ptable_find_by(flashes, "name", name)) {
            const Json::Value& config = (*flash)["flash"];
            params.min_io_size = geometry_value(member(config, "minIoSize"));
            params.peb_size = geometry_value(member(config, "pebSize"));
        }
    }
    // A whole flash written with the image stops at its own row, with its
    // own parameters.
    return name == partition;
}

// Pre-order walk of the layout tree below `node`, the order of the flat list.
bool walk_tree(const Json::Value& node, const Json::Value& flashes, const std::string& partition,
               FlashParams& params) {
    const Json::Value& children = member(node, "partitions");
    if (!children.isArray()) return false;
    for (const Json::Value& child : children) {
        if (visit(child, flashes, partition, params)) return true;
        if (walk_tree(child, flashes, partition, params)) return true;
    }
    return false;
}

// The geometry of the flash holding the partition that the image's first
// "flash" command writes: the last flash row met before that partition.
// Works on the flat list and on the layout tree that precedes it.
FlashParams flash_params(const Json::Value& release, const std::string& id) {
    FlashParams params;
    const Json::Value* command = nullptr;
    const Json::Value& commands = release["commands"];
    if (commands.isArray())
        for (const Json::Value& c : commands)
            if (text_of(member(c, "command")) == "flash" && text_of(member(c, "name")) == id) {
                command = &c;
                break;
            }
    if (!command) return params;
    const std::string partition = text_of((*command)["partition"]);
    const Json::Value& flashes = release["flashes"];
    const Json::Value& partitions = release["partitions"];
    if (partitions.isArray()) {
        for (const Json::Value& row : partitions)
            if (visit(row, flashes, partition, params)) break;
    } else {
        walk_tree(partitions, flashes, partition, params);
    }
    return params;
}

// The volume table holds 127 bytes of a name, but the configuration names
// each section by the volume followed by "-volume" in at most 128 bytes.
constexpr size_t kVolumeNameMax = 128 - 7;

// Whether `s` comes back exactly from a "key=value" line (and, for a name, a
// "[name-volume]" line) of the volume configuration: no control character,
// no ";" or "#" (an unquoted value ends there), no "]" (a section name ends
// there), no blank at either end (stripped), no quote first (read as a
// quoted value) and no backslash last (the line would go on).
bool carried(const std::string& s) {
    if (s.empty() || s.front() == ' ' || s.back() == ' ' || s.front() == '"' || s.front() == '\'' || s.back() == '\\')
        return false;
    for (unsigned char c : s)
        if (c < 0x20 || c == 0x7F || c == ';' || c == '#' || c == ']') return false;
    return true;
}

// A volume name the image can hold as written; false after an error line.
bool check_volume(const std::string& name, const std::string& type) {
    if (name.empty()) {
        printf("error: ubi volume name is empty.\n");
        return false;
    }
    if (name.size() > kVolumeNameMax) {
        printf("error: ubi volume name \"%s\" is longer than %zu bytes (its section \"%s-volume\" may hold 128).\n",
               name.c_str(), kVolumeNameMax, name.c_str());
        return false;
    }
    if (!carried(name)) {
        printf("error: ubi volume name \"%s\" holds a character the volume configuration cannot carry.\n",
               name.c_str());
        return false;
    }
    if (!type.empty() && !carried(type)) {
        printf("error: ubi volume \"%s\" has a type \"%s\" the volume configuration cannot carry.\n",
               name.c_str(), type.c_str());
        return false;
    }
    return true;
}

// Writes the volume sections into `config`; false after an error line.
bool write_volume_config(const Json::Value& volumes, Json::Value& release, int config) {
    ToolFile out = tool_open_fd(std::to_string(config).c_str(), "wb");
    if (!out) {
        printf("error: can not write the ubi volume config.\n");
        return false;
    }
    for (Json::ArrayIndex i = 0; i < volumes.size(); ++i) {
        const Json::Value& volume = volumes[i];
        const std::string image_id = text_of(member(volume, "image"));
        const std::string name = text_of(member(volume, "volume"));
        const std::string type = text_of(member(volume, "type"));
        if (!check_volume(name, type)) return false;
        Json::Value* image = release_find_image(release, image_id);
        if (!image || !(*image)["fd"].isInt()) {
            printf("error: image \"%s\" is not open.\n", image_id.c_str());
            return false;
        }
        int fd = (*image)["fd"].asInt();
        lseek(fd, 0, SEEK_SET);
        long long size = static_cast<long long>((*image)["size"].asUInt64());
        fprintf(out.get(), "[%s-volume]\n", name.c_str());
        fprintf(out.get(), "mode=%s\n", "ubi");
        fprintf(out.get(), "image=%d\n", fd);
        fprintf(out.get(), "vol_id=%d\n", static_cast<int>(i));
        fprintf(out.get(), "vol_size=%lld\n", size);
        fprintf(out.get(), "vol_type=%s\n", type.c_str());
        fprintf(out.get(), "vol_name=%s\n", name.c_str());
    }
    if (fflush(out.get()) != 0 || ferror(out.get())) {
        printf("error: can not write the ubi volume config.\n");
        return false;
    }
    return true;
}

}  // namespace

int image_generate_ubi(Json::Value& entry, const std::string& id, Json::Value& release, int fd, int depth) {
    const Json::Value& ce = entry;
    const Json::Value& volumes = ce["ubi"];
    if (!release_is_list(volumes, "ubi")) return -1;
    for (const Json::Value& volume : volumes)
        if (image_open_or_generate(text_of(member(volume, "image")), release, depth + 1) != 0) return -1;

    const FlashParams params = flash_params(release, id);

    UniqueFd config(release_open_scratch_fd());
    if (!config.valid()) return -1;
    if (!write_volume_config(volumes, release, config.get())) return -1;
    lseek(config.get(), 0, SEEK_SET);

    std::vector<std::string> args{"ubinize", "--output=" + std::to_string(fd),
                                  "--min-io-size=" + std::to_string(params.min_io_size),
                                  "--peb-size=" + std::to_string(params.peb_size), std::to_string(config.get())};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    return ubinize_main(static_cast<int>(args.size()), argv.data());
}
