#include "release/finf_image.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#include "release/config_dir.h"
#include "release/generators.h"
#include "release/ptable_image.h"

namespace {

void put16(uint8_t* at, uint16_t v) {
    at[0] = static_cast<uint8_t>(v);
    at[1] = static_cast<uint8_t>(v >> 8);
}
void put32(uint8_t* at, uint32_t v) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(v >> (8 * i));
}
void put64(uint8_t* at, uint64_t v) {
    for (int i = 0; i < 8; ++i) at[i] = static_cast<uint8_t>(v >> (8 * i));
}

// Decimal, or hexadecimal after "0x"/"0X"; digits only, at most `limit`.
bool parse_id(const std::string& text, uint64_t limit, uint64_t& out) {
    size_t i = 0;
    unsigned base = 10;
    if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        i = 2;
    }
    if (i == text.size()) return false;
    uint64_t v = 0;
    for (; i < text.size(); ++i) {
        char c = text[i];
        unsigned d;
        if (c >= '0' && c <= '9') d = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f') d = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F') d = c - 'A' + 10;
        else return false;
        v = v * base + d;
        if (v > limit) return false;
    }
    out = v;
    return true;
}

bool parse_device_ids(const Json::Value& device, uint16_t& vendor, uint16_t& product) {
    uint64_t v, d;
    if (!parse_id(device["vendorId"].asString(), 0xFFFF, v)) return false;
    if (!parse_id(device["deviceId"].asString(), 0xFFFF, d)) return false;
    vendor = static_cast<uint16_t>(v);
    product = static_cast<uint16_t>(d);
    return true;
}

void copy_name(uint8_t* field, size_t size, const std::string& text) {
    memset(field, 0, size);
    memcpy(field, text.c_str(), std::min(size, strlen(text.c_str())));
}

}  // namespace

int image_write_finf(Json::Value& flash, int fd, int more) {
    const Json::Value& devices = flash["devices"];
    if (!devices.isArray() || devices.empty()) return -1;

    uint8_t header[kFinfHeaderSize] = {};
    put32(header, kFinfMagic);
    copy_name(header + 8, 64, devices[0]["name"].asString());
    copy_name(header + 72, 32, flash["type"].asString());
    uint16_t vendor, product;
    if (!parse_device_ids(devices[0], vendor, product)) return -1;
    put16(header + 4, vendor);
    put16(header + 6, product);
    uint64_t erased;
    if (!parse_id(flash["erasedValue"].asString(), 0xFFFFFFFFu, erased)) return -1;
    const uint8_t erased_byte = static_cast<uint8_t>(erased);

    static const char* const kGeometry[] = {"minIoSize", "pebSize", "pageSize", "sectorSize", "blockSize"};
    uint32_t geometry[5];
    for (int i = 0; i < 5; ++i) {
        geometry[i] = static_cast<uint32_t>(release_parse_size(flash[kGeometry[i]].asString()));
        put32(header + 104 + 4 * i, geometry[i]);
    }
    const uint64_t flash_size = release_parse_size(flash["flashSize"].asString());
    put64(header + 128, flash_size);
    header[136] = erased_byte;
    header[137] = more ? 1 : 0;
    put32(header + 140, devices.size());
    if (!release_write_fully(fd, header, sizeof header)) return -1;

    flash["erasedValue"] = Json::UInt(erased_byte);
    for (int i = 0; i < 5; ++i) flash[kGeometry[i]] = Json::UInt(geometry[i]);
    flash["flashSize"] = Json::UInt64(flash_size);

    uint8_t row[kFinfRowSize] = {};
    for (Json::Value& device : flash["devices"]) {
        if (!parse_device_ids(device, vendor, product)) return -1;
        put16(row, vendor);
        put16(row + 2, product);
        copy_name(row + 8, 64, device["name"].asString());
        device["vendorId"] = Json::UInt(vendor);
        device["deviceId"] = Json::UInt(product);
        if (!release_write_fully(fd, row, sizeof row)) return -1;
    }
    return 0;
}
