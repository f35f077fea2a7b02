// The "aptb" partition table read back as the JSON that a host is shown.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct PartitionRow {
    std::string name;
    std::string type;
    uint32_t start = 0, size = 0, vstart = 0, vsize = 0, depth = 0;
};

// 0 with the table's rows in `rows`; -1 when `bytes` is not a valid table
// (bad magic, more than 32 rows, or rows past `length`).
int partition_table_rows(const uint8_t* bytes, size_t length, std::vector<PartitionRow>& rows);

// The most bytes the checks above ever read: a longer buffer is judged by
// its first this many bytes.
size_t partition_table_most_bytes();

// 0 with the table's rows as JSON text in `text`; -1 when `bytes` is not a
// valid table (bad magic, more than 32 rows, or rows past `length`).
int partition_table_to_json(const uint8_t* bytes, size_t length, std::string& text);
