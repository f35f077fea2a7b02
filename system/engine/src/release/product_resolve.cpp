#include "release/product_resolve.h"

#include <cstdio>
#include <exception>

#include "release/config_dir.h"
#include "release/generation_pass.h"
#include "release/image_factory.h"
#include "release/release_overrides.h"

namespace {

const Json::Value* find_by(const Json::Value& table, const char* key, const std::string& wanted) {
    if (!table.isArray()) return nullptr;
    for (const Json::Value& entry : table)
        if (entry[key].asString() == wanted) return &entry;
    return nullptr;
}

// Variant partition changes find flash nodes and nodes below "part" nodes.
Json::Value* find_partition(Json::Value& node, const std::string& name) {
    Json::Value& children = node["partitions"];
    if (!children.isArray()) return nullptr;
    for (Json::ArrayIndex i = 0; i < children.size(); ++i) {
        Json::Value& c = children[i];
        if (c["name"].asString() == name) return &c;
        if (c["format"].asString() == "part")
            if (Json::Value* found = find_partition(c, name)) return found;
    }
    return nullptr;
}

Json::Value fota_list(const Json::Value& names) {
    Json::Value out(Json::arrayValue);
    if (names.isArray())
        for (const Json::Value& n : names) {
            Json::Value item;
            item["partition"] = n.asString();
            out.append(item);
        }
    return out;
}

// Appends {"name", "flash"} per element; false when a flash is unknown.
bool add_flashes(Json::Value& release, const Json::Value& elements) {
    if (!elements.isArray()) return true;
    for (const Json::Value& el : elements) {
        std::string wanted = el["flash"].asString();
        const Json::Value* flash = find_by(release_config_tables().flash, "name", wanted);
        if (!flash) {
            printf("error: flash config \"%s\" not found\n", wanted.c_str());
            return false;
        }
        Json::Value item;
        item["name"] = el["name"];
        item["flash"] = *flash;
        if (!release["flashes"].isArray()) release["flashes"] = Json::Value(Json::arrayValue);
        release["flashes"].append(item);
    }
    return true;
}

// Only the factory marks an image open; configured names stay below the root.
bool sanitize_images(Json::Value& release) {
    Json::Value& images = release["images"];
    if (!images.isArray()) return true;
    for (Json::ArrayIndex i = 0; i < images.size(); ++i) {
        Json::Value& e = images[i];
        if (!e.isObject()) continue;
        e.removeMember("fd");
        e.removeMember("size");
        if (!release_config_name_safe(e["image"].asString())) {
            printf("error: config path \"%s\" refused.\n", e["image"].asString().c_str());
            return false;
        }
        if (e.isMember("path") && !e["path"].isNull() && !release_config_name_safe(e["path"].asString())) {
            printf("error: config path \"%s\" refused.\n", e["path"].asString().c_str());
            return false;
        }
    }
    return true;
}

bool apply_variant(Json::Value& release, const Json::Value& variant) {
    // Members in the byte order of their names.
    for (const std::string& member : variant.getMemberNames()) {
        const Json::Value& v = variant[member];
        if (member == "flashes") {
            if (release["flashes"].isArray()) release["flashes"] = Json::Value(Json::arrayValue);
            if (!add_flashes(release, v)) return false;
        } else if (member == "fota") {
            release["fota"] = fota_list(v);
        } else if (member == "images") {
            if (!release_apply_variant_images(release, v)) return false;
        } else if (member == "layout") {
            const Json::Value* layout = find_by(release_config_tables().partition, "name", v.asString());
            if (!layout) {
                printf("error: layout config \"%s\" not found\n", v.asString().c_str());
                return false;
            }
            release["partitions"] = *layout;
        } else if (member == "partitions") {
            if (!v.isArray()) continue;
            for (const Json::Value& change : v) {
                Json::Value* node = find_partition(release["partitions"], change["name"].asString());
                if (!node) continue;
                for (const std::string& key : change.getMemberNames())
                    if (key != "name") (*node)[key] = change[key];
            }
        } else if (member == "secureBoot") {
            release["secureBoot"] = v.asBool();
        } else if (member == "version") {
            release["values"]["version"] = v.asString();
        } else if (member == "version-bootrom") {
            release["values"]["version-bootrom"] = v.asString();
        }
    }
    return true;
}

}  // namespace

int release_build_description(const std::string& product_name, const std::string& variant_name,
                              Json::Value& release) {
    const ConfigTables& tables = release_config_tables();
    const Json::Value* product = find_by(tables.product, "name", product_name);
    if (!product) {
        printf("error: no specified product found.\n");
        return -1;
    }
    const Json::Value* templ = find_by(tables.templ, "name", (*product)["template"].asString());
    if (!templ) {
        printf("error: no specified template found.\n");
        return -1;
    }
    release = *templ;
    if (!sanitize_images(release)) return -1;

    const Json::Value& p = *product;
    release["name"] = p["name"];
    release["values"]["version"] = p["version"];
    release["values"]["version-bootrom"] = p["version-bootrom"];
    release["security"]["keyAlg"] = p["keyAlg"];
    release["security"]["hashAlg"] = p["hashAlg"];
    release["secureBoot"] = p["secureBoot"];

    if (const Json::Value* keyset = find_by(tables.security, "keyAlg", p["keyAlg"].asString())) {
        Json::Value keys = (*keyset)["keys"];
        if (keys.isArray())
            for (Json::ArrayIndex i = 0; i < keys.size(); ++i) {
                std::string path;
                if (!release_config_join("config/security/key", keys[i]["param"].asString(), path)) return -1;
                keys[i]["param"] = path;
            }
        release["security"]["keys"] = keys;
        std::string hash;
        if (!release_config_join("config/security/key", (*keyset)["rootPkHash"].asString(), hash)) return -1;
        release["security"]["rootPkHash"] = hash;
    }

    if (!add_flashes(release, p["flashes"])) return -1;
    if (const Json::Value* layout = find_by(tables.partition, "name", p["layout"].asString()))
        release["partitions"] = *layout;
    if (!p["fota"].isNull()) release["fota"] = fota_list(p["fota"]);

    const Json::Value& variants = p["variants"];
    if (variants.isArray())
        for (const Json::Value& v : variants)
            if (v["name"].asString() == variant_name) {
                if (!apply_variant(release, v)) return -1;
                break;
            }

    if (release["security"]["keys"].isNull()) {
        printf("error: security keys not defined.\n");
        return -1;
    }
    if (release["flashes"].isNull()) {
        printf("error: flash config is null.\n");
        return -1;
    }
    if (release["partitions"].isNull()) {
        printf("error: partitions config is null.\n");
        return -1;
    }
    return 0;
}

int release_resolve_product(const std::string& product, const std::string& variant, bool erase_all,
                            bool erase_all_only, const std::string& output, const Json::Value& custom) {
    Json::Value release;
    if (release_build_description(product, variant, release) != 0) return -1;
    if (!release_apply_image_paths(release, custom)) return -1;
    release_drop_fuse_commands(release);
    if (!release_apply_erase_options(release, erase_all, erase_all_only)) return -1;
    try {
        return release_generate(release, output) == 0 ? 0 : -1;
    } catch (...) {
        // The pass closes its descriptors when it returns; a type error
        // thrown from inside it leaves that to us.
        release_close_images(release);
        throw;
    }
}
