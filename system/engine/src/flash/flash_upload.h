// Uploads of flash contents: a flash, or the whole flash group dumped in
// stages and split into one file per partition of the device's table.
#pragma once

#include <cstdint>
#include <string>

#include "flash/transport.h"

constexpr uint32_t kUploadStageMax = 0x800000;

// True when `name` names one file directly inside "upload/": not empty, not
// "." or "..", and without "/", "\\" or NUL. Names come from packages and
// devices, so each is checked before a file is made of it.
bool upload_name_ok(const std::string& name);

// A partition's geometry as the device reports it; 0 or -1 (logged).
int fastboot_query_partition(Transport& transport, const std::string& name, std::string& type,
                             int64_t& start, int64_t& size);

// Trims `text` and prefixes "0x" unless it already begins so.
std::string fastboot_normalize_hex(const std::string& text);

// Selects `flash`, names the window and uploads it through the stage file
// "upload/<flash>.flash.<start>", which is read into `data` and removed.
int fastboot_upload_stage(Transport& transport, const std::string& flash, uint32_t start,
                          uint32_t size, std::string& data);

// The "upload" command: dumps `partition` ("all" of type "group", or a
// partition of type "flash") into `path`; "all" is also split into
// "upload/<name>.<type>" files. 0 or -1.
int upload_partition(Transport& transport, const std::string& partition, const std::string& path);

// Writes the files of the split of a group dump whose device table lies at
// `tableStart`; 0 or -1 (logged).
int upload_split_partitions(const std::string& dump, int64_t tableStart);
