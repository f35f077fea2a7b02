// The configuration directory: five process-wide tables of parsed JSON files,
// the configuration root, and the size texts used throughout the files.
// Touched by one release or product-list job at a time.
#pragma once

#include <cstdint>
#include <string>

#include <json/json.h>

struct ConfigTables {
    Json::Value flash;      // "/flash/"
    Json::Value partition;  // "/partition/"
    Json::Value product;    // "/product/"
    Json::Value templ;      // "/template/"
    Json::Value security;   // "/security/"
};

ConfigTables& release_config_tables();

// Absolute path of the configuration directory of the last load.
const std::string& release_config_root();
void release_set_config_root(const std::string& root);

// Clears the tables, fixes the root and reads every "*.json" file below it;
// 0 when every file was read, -1 otherwise (message printed).
int release_load_config_dir(const std::string& path);
int release_free_config();

// A size: decimal or "0x" hexadecimal with an optional KiB/MiB/GiB suffix in
// any case; "-1" is the auto marker (all ones); anything unparsable is 0.
uint64_t release_parse_size(const std::string& text);
// Same for a JSON value holding a number or a size text (null reads as 0).
uint64_t release_parse_size(const Json::Value& value);

constexpr uint64_t kReleaseSizeAuto = ~uint64_t(0);

// Names read from configuration files are joined below the root only: true
// for a relative name without a ".." component.
bool release_config_name_safe(const std::string& name);

// root + "/" + dir + "/" + name, for a name that passes
// release_config_name_safe; otherwise prints
// "error: config path \"<name>\" refused.\n" and returns false.
bool release_config_join(const std::string& dir, const std::string& name, std::string& out);
