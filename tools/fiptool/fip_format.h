// The package's on-disk layout: a ToC header, 40-byte entries, a terminator
// entry, then the payloads. Every multi-byte field is little-endian.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

constexpr uint32_t kFipTocHeaderName = 0xAA640001u;
constexpr uint32_t kFipTocHeaderSerial = 0x12345678u;
constexpr size_t kFipTocHeaderSize = 16;
constexpr size_t kFipTocEntrySize = 40;
constexpr int kFipPlatTocFlagsShift = 32;

using FipUuid = std::array<uint8_t, 16>;

struct FipTocHeader {
    uint32_t name = kFipTocHeaderName;
    uint32_t serial_number = kFipTocHeaderSerial;
    uint64_t flags = 0;
};

struct FipTocItem {
    FipUuid uuid{};
    uint64_t offset = 0;
    uint64_t size = 0;
    uint64_t flags = 0;
};

void fip_put_header(uint8_t* out, const FipTocHeader& h);
FipTocHeader fip_get_header(const uint8_t* in);
void fip_put_item(uint8_t* out, const FipTocItem& e);
FipTocItem fip_get_item(const uint8_t* in);

bool fip_uuid_is_zero(const FipUuid& u);
// Parses the 36-character text form (either case). False when malformed.
bool fip_uuid_parse(const char* text, FipUuid& out);
// The 36-character upper-case text form.
std::string fip_uuid_format(const FipUuid& u);

struct FipKnownImage {
    const char* name;
    const char* uuid;
    const char* option;
};
// The images the tool knows by name; their order is the package's entry order.
extern const FipKnownImage kFipKnownImages[];
extern const size_t kFipKnownImageCount;
