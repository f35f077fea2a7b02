#include "flash/command_check.h"

#include <cstdio>
#include <cstring>

#include "flash/flash_upload.h"

namespace {
const char* const kTextMembers[] = {"command", "group", "image", "version-bootrom", "partition", "name"};

bool is_text_like(const Json::Value& v) { return !v.isArray() && !v.isObject(); }

bool is_uint64(const Json::Value& v) { return v.isNull() || (v.isNumeric() && !v.isBool() && v.isUInt64()); }
}  // namespace

bool commands_check_shape(const Json::Value& list) {
    if (!list.isArray()) {
        printf("download.json is not a list of commands\n");
        return false;
    }
    for (Json::ArrayIndex i = 0; i < list.size(); ++i) {
        const Json::Value& cmd = list[i];
        if (!cmd.isObject()) {
            printf("download.json: command %u is not an object\n", i);
            return false;
        }
        for (const char* key : kTextMembers) {
            const Json::Value* member = cmd.find(key, key + strlen(key));
            if (member && !is_text_like(*member)) {
                printf("download.json: command %u has an invalid \"%s\"\n", i, key);
                return false;
            }
        }
        const Json::Value* weight = cmd.find("weight", "weight" + strlen("weight"));
        if (weight && !is_uint64(*weight)) {
            printf("download.json: command %u has an invalid \"weight\"\n", i);
            return false;
        }
        if (cmd["command"].asString() == "progress" && !is_uint64(cmd["value"])) {
            printf("download.json: command %u has an invalid progress \"value\"\n", i);
            return false;
        }
    }
    return true;
}

bool commands_check_progress32(const Json::Value& list) {
    for (Json::ArrayIndex i = 0; i < list.size(); ++i) {
        const Json::Value& cmd = list[i];
        if (cmd["command"].asString() != "progress") continue;
        const Json::Value& value = cmd["value"];
        if (!value.isNull() && !value.isUInt()) {
            printf("download.json: progress value of command %u does not fit 32 bits\n", i);
            return false;
        }
    }
    return true;
}

bool commands_check_upload_names(const Json::Value& list) {
    for (Json::ArrayIndex i = 0; i < list.size(); ++i) {
        const Json::Value& cmd = list[i];
        if (cmd["command"].asString() != "upload") continue;
        for (const char* key : {"image", "partition"}) {
            std::string name = cmd[key].asString();
            if (!upload_name_ok(name)) {
                printf("download.json: upload command %u has \"%s\" '%s', which cannot name a file in upload/\n", i,
                       key, name.c_str());
                return false;
            }
        }
    }
    return true;
}
