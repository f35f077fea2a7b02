#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "flash/command_check.h"
#include "flash/package.h"
#include "flash/thread_state.h"

namespace {

bool read_disabled(const Json::Value& disabled, std::vector<std::string>& names) {
    if (disabled.isNull()) return true;
    if (!disabled.isArray()) {
        printf("disabledGroups is not a list of group names\n");
        return false;
    }
    for (const Json::Value& name : disabled) {
        if (name.isArray() || name.isObject()) {
            printf("disabledGroups holds a value that is not a group name\n");
            return false;
        }
        names.push_back(name.asString());
    }
    return true;
}

bool is_disabled(const std::string& group, const std::vector<std::string>& names) {
    for (const auto& n : names)
        if (group == n) return true;
    return false;
}

bool rebuild(const Json::Value& disabled, bool reboot) {
    std::vector<std::string> names;
    if (!read_disabled(disabled, names)) return false;
    Json::Value& list = package_commands_mutable();
    if (reboot) {
        Json::Value cmd(Json::objectValue);
        cmd["command"] = "reboot";
        list.append(cmd);
    }
    if (!names.empty()) {
        Json::Value kept(Json::arrayValue);
        uint64_t dropped = 0;
        for (const Json::Value& cmd : list) {
            if (!is_disabled(cmd["group"].asString(), names)) {
                kept.append(cmd);
                continue;
            }
            std::string word = cmd["command"].asString();
            if (word == "flash" || word == "erase") dropped += cmd["weight"].asUInt64();
        }
        list = std::move(kept);
        for (Json::Value& cmd : list) {
            if (cmd["command"].asString() != "progress") continue;
            uint64_t value = cmd["value"].asUInt64();
            // Weights that follow the generator never exceed the total;
            // anything else ends at 0 rather than wrapping.
            cmd["value"] = Json::UInt64(dropped > value ? 0 : value - dropped);
            break;
        }
    }
    return commands_check_progress32(list);
}

}  // namespace

bool commands_apply_groups(const Json::Value& disabledGroups, bool reboot) {
    download_thread_state().connection = 0;
    if (!package_load()) return false;
    bool ok = false;
    try {
        ok = rebuild(disabledGroups, reboot);
    } catch (const std::exception& e) {
        printf("Failed to build the command list: %s\n", e.what());
        ok = false;
    }
    // A list that cannot run is never left for the devices.
    if (!ok) package_release_images();
    return ok;
}
