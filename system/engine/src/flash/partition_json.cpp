#include "flash/partition_json.h"

#include <cstring>

#include <json/json.h>

#include "base/json_text.h"
#include "base/text.h"

namespace {
constexpr uint32_t kAptbMagic = 0x41505442;
constexpr uint32_t kMaxRows = 32;
constexpr size_t kHeaderSize = 8;
constexpr size_t kRowSize = 68;

uint32_t read_le32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// A fixed field up to its first NUL, or all of it; the bytes come from the
// package, so they are made valid UTF-8 for the host.
std::string read_field(const uint8_t* p, size_t width) {
    const char* s = reinterpret_cast<const char*>(p);
    return text_sanitize_utf8(std::string(s, strnlen(s, width)));
}
}  // namespace

int partition_table_rows(const uint8_t* bytes, size_t length, std::vector<PartitionRow>& rows) {
    rows.clear();
    if (bytes == nullptr || length < kHeaderSize) return -1;
    if (read_le32(bytes) != kAptbMagic) return -1;
    uint32_t count = read_le32(bytes + 4);
    if (count > kMaxRows || kHeaderSize + kRowSize * count > length) return -1;
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* row = bytes + kHeaderSize + kRowSize * i;
        PartitionRow r;
        r.name = read_field(row, 32);
        r.type = read_field(row + 32, 16);
        r.start = read_le32(row + 48);
        r.size = read_le32(row + 52);
        r.vstart = read_le32(row + 56);
        r.vsize = read_le32(row + 60);
        r.depth = read_le32(row + 64);
        rows.push_back(std::move(r));
    }
    return 0;
}

size_t partition_table_most_bytes() { return kHeaderSize + kRowSize * kMaxRows; }

int partition_table_to_json(const uint8_t* bytes, size_t length, std::string& text) {
    std::vector<PartitionRow> parsed;
    if (partition_table_rows(bytes, length, parsed) != 0) return -1;
    Json::Value rows(Json::arrayValue);
    for (const PartitionRow& p : parsed) {
        Json::Value r(Json::objectValue);
        r["name"] = p.name;
        r["type"] = p.type;
        r["start"] = Json::UInt(p.start);
        r["size"] = Json::UInt(p.size);
        r["vstart"] = Json::UInt(p.vstart);
        r["vsize"] = Json::UInt(p.vsize);
        r["depth"] = Json::UInt(p.depth);
        rows.append(r);
    }
    text = json_styled(rows);
    return 0;
}
