// Release package reading for a download and the command list built from it.
#pragma once

#include <cstdint>
#include <string>

#include <json/json.h>

// Worker pool. Opens the package from `path` (UTF-8) or, when the path is
// empty, from `size` bytes at host address `address`; fills `result` with
// "commands" and "partitions". False when it cannot be opened.
bool package_open(const std::string& path, uintptr_t address, uint32_t size, Json::Value& result);

// Worker pool. Rebuilds the command list without the disabled groups.
bool commands_apply_groups(const Json::Value& disabledGroups, bool reboot);

// Loop thread, once the last device has closed after a download stop.
void package_release_images();
