#include "release/partition_layout.h"

#include <cstdio>

#include "release/config_dir.h"

const char* const PTABLE_TYPE_FLASH = "flash";
const char* const PTABLE_TYPE_PART = "part";
const char* const PTABLE_TYPE_GROUP = "group";

namespace {

constexpr uint64_t kAuto = ~uint64_t(0);

bool is_format(const Json::Value& node, const char* format) {
    return node["format"].asString() == format;
}

// The root may carry a non-array "partitions" (a broken layout file).
Json::Value& children_of(Json::Value& node) {
    Json::Value& kids = node["partitions"];
    if (!kids.isArray()) kids = Json::Value(Json::arrayValue);
    return kids;
}

bool first_level_is_flash(const Json::Value& node) {
    if (is_format(node, PTABLE_TYPE_FLASH)) return true;
    printf("error: the first level partition format must be \"flash\"\n");
    return false;
}

}  // namespace

uint64_t ptable_number_or_size(const Json::Value& value) {
    if (value.isUInt64()) return value.asUInt64();
    if (value.isIntegral()) return static_cast<uint64_t>(value.asInt64());
    return release_parse_size(value.asString());
}

const Json::Value* ptable_find_by(const Json::Value& array, const char* key, const std::string& text) {
    if (!array.isArray()) return nullptr;
    for (const Json::Value& item : array)
        if (item.isObject() && item[key].asString() == text) return &item;
    return nullptr;
}

const Json::Value* ptable_flashed_image(const Json::Value& release, const std::string& partition) {
    const Json::Value& commands = release["commands"];
    if (!commands.isArray()) return nullptr;
    for (const Json::Value& c : commands) {
        if (!c.isObject()) continue;
        if (c["command"].asString() == "flash" && c["partition"].asString() == partition)
            return ptable_find_by(release["images"], "name", c["name"].asString());
    }
    return nullptr;
}

Json::Value* ptable_flat_list(Json::Value& release, const char* purpose) {
    Json::Value& list = release["partitions"];
    if (list.isArray()) return &list;
    printf("error: partitions are not laid out when %s.\n", purpose);
    return nullptr;
}

bool ptable_layout_partition(Json::Value& node, Json::Value& release, const Json::Value& flash) {
    const std::string node_name = node["name"].asString();
    const uint64_t ps = release_parse_size(node["size"].asString());
    if (ps == kAuto) {
        printf("error: partition(%s) size should > 0 for having auto extended sub-partition.\n",
               node_name.c_str());
        return false;
    }
    uint32_t peb = static_cast<uint32_t>(ptable_number_or_size(flash["pebSize"]));
    if (peb == 0) peb = 1;  // no erase-block rounding rather than a zero-sized partition
    uint64_t sum = 0;
    Json::Value* auto_child = nullptr;

    for (Json::Value& c : children_of(node)) {
        const uint64_t cs = release_parse_size(c["size"].asString());
        if (cs == 0) {
            if (is_format(c, PTABLE_TYPE_PART)) {
                if (!ptable_layout_partition(c, release, flash)) return false;
            } else {
                const Json::Value* image = ptable_flashed_image(release, c["name"].asString());
                uint64_t size = image ? (*image)["size"].asUInt64() : 0;
                if (size == 0) {
                    printf("error: can not find image size for partition %s.\n", c["name"].asString().c_str());
                    return false;
                }
                uint32_t l = static_cast<uint32_t>(size);
                c["size"] = Json::UInt64((l + peb - 1) & ~(peb - 1));
            }
        } else if (cs == kAuto) {
            if (auto_child) {
                printf("error: only one auto size extended partition allowed.\n");
                return false;
            }
            auto_child = &c;
            continue;
        } else if (is_format(c, PTABLE_TYPE_PART)) {
            if (!ptable_layout_partition(c, release, flash)) return false;
        } else {
            c["size"] = Json::UInt64(cs);
        }
        sum += c["size"].asUInt64();
    }

    if (auto_child) {
        if (ps == 0) {
            printf("error: partition(%s) size should > 0 for having auto extended sub-partition.\n",
                   node_name.c_str());
            return false;
        }
        if (sum >= ps) {
            printf("error: partition(%s) size too small to hold all sub-partition.\n", node_name.c_str());
            return false;
        }
        (*auto_child)["size"] = Json::UInt64(ps - sum);
        node["size"] = Json::UInt64(ps);
        if (is_format(*auto_child, PTABLE_TYPE_PART)) return ptable_layout_partition(*auto_child, release, flash);
        return true;
    }
    if (ps == 0) {
        node["size"] = Json::UInt64(sum);
        return true;
    }
    if (ps < sum) {
        printf("error: partition(%s) size too small to hold all sub-partition.\n", node_name.c_str());
        return false;
    }
    node["size"] = Json::UInt64(ps);
    return true;
}

void ptable_flatten(const Json::Value& node, Json::Value& list, uint64_t start, int depth) {
    Json::Value row = node;
    row.removeMember("partitions");
    row["start"] = Json::UInt64(start);
    row["depth"] = depth;
    list.append(row);

    const Json::Value& kids = node["partitions"];
    if (!kids.isArray()) return;
    uint64_t s = start;
    for (const Json::Value& c : kids) {
        if (is_format(c, PTABLE_TYPE_PART)) {
            ptable_flatten(c, list, s, depth + 1);
        } else if (is_format(c, PTABLE_TYPE_FLASH)) {
            ptable_flatten(c, list, 0, depth + 1);
        } else {
            Json::Value leaf = c;
            leaf.removeMember("partitions");
            leaf["start"] = Json::UInt64(s);
            leaf["depth"] = depth + 1;
            list.append(leaf);
        }
        s += c["size"].asUInt64();
    }
}

int ptable_build_group(Json::Value& release) {
    Json::Value& root = release["partitions"];
    if (!root.isObject()) {
        printf("error: partitions config is not a layout.\n");
        return -1;
    }
    Json::Value& flashes = release["flashes"];
    Json::Value& nodes = children_of(root);
    uint64_t total = 0;
    if (flashes.isArray()) {
        for (Json::Value& f : flashes)
            for (Json::Value& p : nodes) {
                if (!first_level_is_flash(p)) return -1;
                if (f["name"].asString() == p["name"].asString()) {
                    uint64_t s = release_parse_size(f["flash"]["flashSize"].asString());
                    p["size"] = std::to_string(s);
                    total += s;
                }
            }
    }
    root["name"] = "all";
    root["format"] = PTABLE_TYPE_GROUP;
    root["size"] = Json::UInt64(total);

    for (Json::Value& p : nodes) {
        if (!first_level_is_flash(p)) return -1;
        bool laid_out = false;
        if (flashes.isArray())
            for (Json::Value& f : flashes)
                if (f["name"].asString() == p["name"].asString()) {
                    if (!ptable_layout_partition(p, release, f["flash"])) return -1;
                    laid_out = true;
                }
        // A flash node that no flash of the product names would keep its
        // configured texts, which the flat list cannot carry.
        if (!laid_out) {
            printf("error: no flash named \"%s\" defined for the partition layout.\n", p["name"].asString().c_str());
            return -1;
        }
    }

    Json::Value list(Json::arrayValue);
    ptable_flatten(root, list, 0, 0);
    release["partitions"] = list;
    return 0;
}

Json::Value* ptable_find_partition(Json::Value& node, const std::string& name) {
    if (!node.isObject() || !node["partitions"].isArray()) return nullptr;
    Json::Value& kids = node["partitions"];
    for (Json::Value& c : kids) {
        if (c["name"].asString() == name) return &c;
        if (is_format(c, PTABLE_TYPE_PART)) {
            Json::Value* found = ptable_find_partition(c, name);
            if (found) return found;
        }
    }
    return nullptr;
}
