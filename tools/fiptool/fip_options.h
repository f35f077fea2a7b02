// Values of the command options: alignment, platform ToC flags, and the
// comma-separated "--blob" and "--offset" lists (split in place).
#pragma once

#include <cstdint>
#include <string>

#include "tools/fiptool/fip_format.h"

// A non-zero power of two; fails the run with "Invalid alignment" otherwise.
uint32_t fip_parse_align(const char* text);
// Hexadecimal, at most 0xFFFF; the result is already shifted into the header flags.
uint64_t fip_parse_plat_toc_flags(const char* text);

struct FipBlobValue {
    bool has_uuid = false;
    FipUuid uuid{};
    std::string file;  // empty when not given
};
// Splits "uuid=...,file=..." in place. A malformed UUID fails the run.
FipBlobValue fip_parse_blob(char* value);

struct FipOffsetValue {
    bool has_uuid = false;
    FipUuid uuid{};
    uint64_t offset = 0;  // 0 when not given
};
// Splits "uuid=...,offset=..." in place. A malformed UUID or number fails the run.
FipOffsetValue fip_parse_offset(char* value);
