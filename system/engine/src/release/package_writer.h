// The release package: a zip of the images that the download commands and
// the fota list name, plus "download.json" and "fota.json".
#pragma once

#include <string>

#include <json/json.h>

// Writes the package to `output` (UTF-8); 0 when it was written completely.
// The archive is built beside the output and renamed over it only at the
// end, so a failure leaves nothing half-written (an earlier file survives).
int release_write_package(const Json::Value& release, const std::string& output);

// True for a plain file name that may name a package entry.
bool release_entry_name_ok(const std::string& name);
