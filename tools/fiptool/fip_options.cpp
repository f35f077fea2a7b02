#include "tools/fiptool/fip_options.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "tools/fiptool/fip_log.h"

namespace {

// Whole text as an unsigned number in `base` (empty reads as 0); false on
// trailing text, a sign or overflow (strtoull would quietly negate a "-").
bool parse_unsigned(const char* text, int base, uint64_t& out) {
    if (!text || strchr(text, '-')) return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long v = strtoull(text, &end, base);
    if (errno != 0 || *end != '\0') return false;
    out = v;
    return true;
}

FipUuid parse_uuid_or_fail(const char* text) {
    FipUuid u{};
    if (!fip_uuid_parse(text, u)) fip_fail("Invalid UUID: %s", text);
    return u;
}

// Calls `part` for each comma-separated piece, cutting the text at the commas.
template <typename F>
void split_in_place(char* value, F part) {
    char* save = nullptr;
    for (char* tok = strtok_r(value, ",", &save); tok; tok = strtok_r(nullptr, ",", &save)) part(tok);
}

bool starts_with(const char* s, const char* prefix) { return strncmp(s, prefix, strlen(prefix)) == 0; }

}  // namespace

uint32_t fip_parse_align(const char* text) {
    uint64_t v = 0;
    if (!parse_unsigned(text, 0, v) || v > UINT32_MAX || v == 0 || (v & (v - 1)) != 0)
        fip_fail("Invalid alignment: %s", text);
    return static_cast<uint32_t>(v);
}

uint64_t fip_parse_plat_toc_flags(const char* text) {
    uint64_t v = 0;
    if (!parse_unsigned(text, 16, v) || v > 0xFFFF) fip_fail("Invalid platform ToC flags: %s", text);
    return v << kFipPlatTocFlagsShift;
}

FipBlobValue fip_parse_blob(char* value) {
    FipBlobValue out;
    split_in_place(value, [&](char* part) {
        if (starts_with(part, "uuid=")) {
            out.uuid = parse_uuid_or_fail(part + 5);
            out.has_uuid = true;
        } else if (starts_with(part, "file=")) {
            // File names are kept to the length of a classic path buffer.
            out.file.assign(part + 5, strnlen(part + 5, 259));
        }
    });
    return out;
}

FipOffsetValue fip_parse_offset(char* value) {
    FipOffsetValue out;
    split_in_place(value, [&](char* part) {
        if (starts_with(part, "uuid=")) {
            out.uuid = parse_uuid_or_fail(part + 5);
            out.has_uuid = true;
        } else if (starts_with(part, "offset=")) {
            if (!parse_unsigned(part + 7, 0, out.offset)) fip_fail("Invalid offset address: %s", part + 7);
        }
    });
    return out;
}
