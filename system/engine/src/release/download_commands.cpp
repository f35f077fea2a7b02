#include "release/download_commands.h"

#include <cstdint>
#include <cstdio>
#include <string>

#include "release/partition_layout.h"

namespace {

const Json::Value* find_partition(Json::Value& release, const std::string& name, bool& listed) {
    Json::Value* list = ptable_flat_list(release, "computing the progress weights");
    listed = list != nullptr;
    return list ? ptable_find_by(*list, "name", name) : nullptr;
}

}  // namespace

int release_compute_weights(Json::Value& release) {
    printf("Calculating total progress weight ...\n");
    uint64_t total = 0;
    Json::Value& commands = release["commands"];
    if (!commands.isArray()) commands = Json::Value(Json::arrayValue);
    for (Json::Value& c : commands) {
        const std::string name = c["name"].asString();
        const std::string partition = c["partition"].asString();
        const std::string word = c["command"].asString();
        uint64_t w = 0;
        if (word == "flash" || word == "erase") {
            if (word == "flash") {
                const Json::Value* image = ptable_find_by(release["images"], "name", name);
                w = image ? (*image)["size"].asUInt64() : 0;
            }
            bool listed;
            const Json::Value* p = find_partition(release, partition, listed);
            if (!listed) return -1;
            if (p) {
                uint64_t ps = (*p)["size"].asUInt64();
                if (word == "flash" && ps < w) {
                    printf("error: partition \"%s\" too small to hold image with id \"%s\".\n", partition.c_str(),
                           name.c_str());
                    return -1;
                }
                w = (word == "flash") ? w + ps : ps;
            }
        }
        c["weight"] = Json::UInt64(w);
        total += w;
        // The download side carries the total in a 32-bit progress value.
        if (total > 0xFFFFFFFFu) {
            printf("error: total progress weight too large.\n");
            return -1;
        }
    }
    release["values"]["weight"] = Json::UInt64(total);
    printf("Done.\n");
    return 0;
}

int release_build_download_commands(Json::Value& release) {
    Json::Value list(Json::arrayValue);
    printf("Generating download commands ...\n");
    Json::Value& commands = release["commands"];
    if (!commands.isArray()) commands = Json::Value(Json::arrayValue);
    for (const Json::Value& c : commands) {
        const std::string word = c["command"].asString();
        Json::Value o(Json::objectValue);
        o["command"] = word;
        o["group"] = c["group"].asString();
        if (!c["productionOnly"].isNull()) o["productionOnly"] = c["productionOnly"];
        if (word == "require" || word == "progress") {
            const std::string name = c["name"].asString();
            o["name"] = name;
            if (c["type"].asString() != "value") {
                printf("error: unknown value type for command \"%s\".\n", word.c_str());
                return -1;
            }
            const Json::Value& values = release["values"];
            o["value"] = values.isObject() ? values[name] : Json::Value();
        } else if (word == "call" || word == "boot" || word == "partition" || word == "flash" || word == "fuse") {
            if (c["type"].asString() != "image") {
                printf("error: unknown value type for command \"%s\".\n", word.c_str());
                return -1;
            }
            if (const Json::Value* image = ptable_find_by(release["images"], "name", c["name"].asString()))
                o["image"] = (*image)["image"].asString();
            if (word == "flash") {
                o["partition"] = c["partition"].asString();
                o["weight"] = Json::UInt64(c["weight"].asUInt64());
            }
        } else if (word == "erase") {
            o["partition"] = c["partition"].asString();
            o["weight"] = Json::UInt64(c["weight"].asUInt64());
        } else if (word != "reboot") {
            printf("error: unknown command \"%s\".\n", word.c_str());
            return -1;
        }
        list.append(o);
    }
    release["downloadJson"] = list;
    printf("Done.\n");
    return 0;
}
