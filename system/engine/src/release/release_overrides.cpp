#include "release/release_overrides.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "base/text.h"
#include "platform/full_path.h"
#include "release/config_dir.h"

namespace {

bool exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// The group text as a decimal number, read the way atoi reads it; false
// when it holds no number at all.
bool parse_group(const Json::Value& group, long& out) {
    std::string text = group.asString();
    const char* begin = text.c_str();
    char* end = nullptr;
    errno = 0;
    long v = strtol(begin, &end, 10);
    if (end == begin || errno == ERANGE || v > 0x7ffffffe || v < -0x7fffffff) return false;
    out = v;
    return true;
}

Json::Value shifted(const Json::Value& command, long group) {
    Json::Value copy = command;
    copy["group"] = std::to_string(group + 1);
    return copy;
}

}  // namespace

bool release_apply_variant_images(Json::Value& release, const Json::Value& variant_images) {
    if (!release_is_list(variant_images, "images")) return true;
    if (!release_is_list(release["images"], "images")) return true;
    Json::Value& images = release["images"];
    for (const Json::Value& s : variant_images) {
        std::string name = s["name"].asString();
        for (Json::ArrayIndex i = 0; i < images.size(); ++i) {
            Json::Value& e = images[i];
            if (e["name"].asString() != name) continue;
            if (e["io"].asString() == "in") {
                if (!s["image"].isNull()) e["image"] = s["image"];
                if (!s["path"].isNull()) {
                    std::string path;
                    if (!release_config_join("images", s["path"].asString(), path)) return false;
                    std::string absolute;
                    if (exists(path) && full_path_lexical(path, absolute)) e["path"] = absolute;
                }
            } else if (e["format"].asString() == "rd" && !s["use"].isNull()) {
                e["use"] = s["use"];
            }
        }
    }
    return true;
}

bool release_apply_image_paths(Json::Value& release, const Json::Value& custom) {
    if (custom.isNull()) return true;
    if (!custom.isObject()) throw Json::LogicError("\"custom\" is not an object");
    if (!release_is_list(release["images"], "images")) return true;
    Json::Value& images = release["images"];
    for (const std::string& key : custom.getMemberNames()) {
        for (Json::ArrayIndex i = 0; i < images.size(); ++i) {
            Json::Value& e = images[i];
            if (e["name"].asString() != key || e["io"].asString() != "in") continue;
            std::string p = custom[key].asString();
            if (!exists(p)) {
                std::string q = release_config_root() + "/images/" + p;
                if (exists(q)) p = q;
            }
            std::string absolute;
            if (!full_path_lexical(p, absolute)) {
                printf("error: custom image path \"%s\" too long.\n", p.c_str());
                return false;
            }
            e["path"] = text_narrow_acp(text_widen_utf8(absolute));
        }
    }
    return true;
}

void release_drop_fuse_commands(Json::Value& release) {
    if (release["secureBoot"].asBool()) return;
    const Json::Value& commands = release["commands"];
    Json::Value kept(Json::arrayValue);
    if (release_is_list(commands, "commands"))
        for (const Json::Value& c : commands)
            if (c["command"].asString() != "fuse") kept.append(c);
    release["commands"] = kept;
}

bool release_apply_erase_options(Json::Value& release, bool erase_all, bool erase_all_only) {
    if (!erase_all) return true;
    const Json::Value commands = release["commands"];
    const Json::Value& flashes = release["flashes"];
    Json::Value rebuilt(Json::arrayValue);
    bool inserted = false;
    if (release_is_list(commands, "commands")) {
        for (const Json::Value& c : commands) {
            if (inserted) {
                if (erase_all_only) break;
                long g;
                if (!parse_group(c["group"], g)) {
                    printf("error: command group \"%s\" is not a number.\n", c["group"].asString().c_str());
                    return false;
                }
                rebuilt.append(shifted(c, g));
                continue;
            }
            std::string kind = c["command"].asString();
            if (kind != "flash" && kind != "erase") {
                rebuilt.append(c);
                continue;
            }
            std::string group = c["group"].asString();
            if (release_is_list(flashes, "flashes"))
                for (const Json::Value& f : flashes) {
                    Json::Value erase(Json::objectValue);
                    erase["command"] = "erase";
                    erase["group"] = group;
                    erase["partition"] = f["name"];
                    rebuilt.append(erase);
                }
            if (!erase_all_only) {
                long g;
                if (!parse_group(c["group"], g)) {
                    printf("error: command group \"%s\" is not a number.\n", group.c_str());
                    return false;
                }
                rebuilt.append(shifted(c, g));
            }
            inserted = true;
        }
    }
    release["commands"] = rebuilt;
    if (erase_all_only) {
        Json::Value& nodes = release["partitions"]["partitions"];
        if (nodes.isArray())
            for (Json::ArrayIndex i = 0; i < nodes.size(); ++i)
                if (nodes[i].isObject()) nodes[i].removeMember("partitions");
    }
    return true;
}
