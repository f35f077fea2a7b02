// Release package reading for a download and the command list built from it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include <json/json.h>

struct ZipArchive;
typedef ZipArchive* ZipArchiveHandle;

// Worker pool. Opens the package from `path` (UTF-8) or, when the path is
// empty, from `size` bytes at host address `address`; fills `result` with
// "commands" and "partitions". False when it cannot be opened.
bool package_open(const std::string& path, uintptr_t address, uint32_t size, Json::Value& result);

// Worker pool. Rebuilds the command list without the disabled groups.
bool commands_apply_groups(const Json::Value& disabledGroups, bool reboot);

// Loop thread, once the last device has closed after a download stop.
void package_release_images();

// Opens the archive of the stored package and (re)builds the command list
// from "download.json", checking every image entry. The archive stays open
// on success and is closed on every failure.
bool package_load();

// The whole uncompressed entry `name`, or null (logged). `size` gets its length.
std::unique_ptr<uint8_t[]> package_read_entry(ZipArchiveHandle archive, const std::string& name,
                                              uint64_t& size);

// The line announcing the extraction of an entry of `length` bytes.
void package_log_extracting(const std::string& name, uint32_t length);

// The open archive of the current download, or null. Readers serialise their
// access (the image cache lock).
ZipArchiveHandle package_archive();

// The command list of the current download (an array). Written only by
// package_load and commands_apply_groups while no download thread runs.
const Json::Value& package_commands();
Json::Value& package_commands_mutable();

// A successful download start marks the package in use until
// package_release_images; opening or rebuilding meanwhile is refused.
void package_mark_in_use();
bool package_in_use();

// The most bytes an image flashed to `partition` may expand to: that
// partition's size in the package's partition table, else what the table's
// flash group (or its flashes together) holds, else the most any flash holds.
uint64_t package_partition_capacity(const std::string& partition);

// The image cache registers how it is emptied; package_release_images calls
// it before the archive closes.
void package_set_cache_release(void (*release)());
