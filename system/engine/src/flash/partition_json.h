// The "aptb" partition table read back as the JSON that a host is shown.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// 0 with the table's rows as JSON text in `text`; -1 when `bytes` is not a
// valid table (bad magic, more than 32 rows, or rows past `length`).
int partition_table_to_json(const uint8_t* bytes, size_t length, std::string& text);
