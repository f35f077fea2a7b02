#include "release/virtual_extents.h"

#include <cstdint>

#include "release/config_dir.h"
#include "release/partition_layout.h"

void ptable_compute_vsizes(Json::Value& list, const Json::Value& release) {
    constexpr uint64_t kNone = ~uint64_t(0);
    uint64_t base = kNone;
    for (Json::Value& p : list) {
        const bool has_vstart = p.isMember("vstart") && !p["vstart"].isNull();
        if (p["format"].asString() == PTABLE_TYPE_FLASH)
            base = has_vstart ? release_parse_size(p["vstart"].asString()) : kNone;
        if (has_vstart)
            p["vstart"] = Json::UInt64(release_parse_size(p["vstart"].asString()));
        else
            p["vstart"] = Json::UInt64(base == kNone ? kNone : base + p["start"].asUInt64());

        p["vsize"] = p["size"];
        const std::string name = p["name"].asString();
        if (const Json::Value* image = ptable_flashed_image(release, name)) p["vsize"] = Json::UInt64((*image)["size"].asUInt64());
        if (name == "ptable") p["vsize"] = Json::UInt64(kPartitionTableSize);
        if (p["format"].asString() == "ubi") p["vsize"] = p["size"];
    }
}
