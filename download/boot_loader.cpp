#include "boot_loader.h"

#include <cstring>
#include <memory>
#include <string>

#include "instance_layout.h"
#include "library_binding.h"
#include "numbers.h"
#include "records.h"
#include "text_convert.h"

namespace frontend {

namespace {

// A hex token as the outside libraries want a path: the decoded bytes are
// code-page text, widened to a NUL-terminated UTF-16 text.
std::u16string decode_path(const CommandToken& token) {
    std::unique_ptr<uint8_t[]> bytes(new uint8_t[token.length + 1]);
    uint32_t n = hex_decode(token.start, token.length, bytes.get());
    bytes[n] = 0;
    const char* text = reinterpret_cast<const char*>(bytes.get());
    return acp_to_utf16(std::string_view(text, std::strlen(text)));
}

uint32_t read_word(const void* record, size_t offset) {
    uint32_t v;
    std::memcpy(&v, static_cast<const char*>(record) + offset, sizeof v);
    return v;
}

void write_word(void* record, size_t offset, uint32_t v) {
    std::memcpy(static_cast<char*>(record) + offset, &v, sizeof v);
}

void renew_instance(FrontEndState& fs) {
    if (fs.instance) fs.outside.FreeInstanceParams(fs.instance);
    fs.instance = fs.outside.MallocInstanceParams();
}

}  // namespace

uint32_t command_read_blf(FrontEndState& fs, const CommandToken& path) {
    if (!outside_bound(fs)) return 2;
    if (fs.state != kStateIdle) return 5;
    renew_instance(fs);
    if (!fs.instance) return 8;
    std::u16string wide = decode_path(path);
    return fs.outside.ReadBLF(fs.instance, wide.c_str()) ? 0 : 6;
}

uint32_t command_prepare_upload(FrontEndState& fs, const CommandToken& path,
                                const CommandToken& flag) {
    if (!outside_bound(fs)) return 2;
    if (fs.state != kStateIdle) return 5;
    uint32_t value = 0;
    if (parse_uint_token(flag, &value, 1) != 0) return 3;
    fs.command4_flag = value;
    if (value == 0) renew_instance(fs);
    if (!fs.instance) return 8;
    write_word(fs.instance, kInstanceUploadWordOffset, 1);
    uint32_t flags = read_word(fs.instance, kInstanceFlagsOffset);
    flags = value ? (flags | kInstanceUploadFlagBit) : (flags & ~kInstanceUploadFlagBit);
    write_word(fs.instance, kInstanceFlagsOffset, flags);
    std::u16string wide = decode_path(path);
    return fs.outside.PrepareUpload(fs.instance, wide.c_str()) ? 0 : 6;
}

void command_start_boot_loader(FrontEndState& fs) {
    if (!outside_bound(fs)) return write_result(2);
    if (fs.state != kStateIdle) return write_result(5);
    if (!fs.instance) return write_result(8);
    BlStatusCallback cb = &on_bl_status;
    void* context = nullptr;
    char* record = static_cast<char*>(fs.instance);
    std::memcpy(record + kInstanceCallbackOffset, &cb, sizeof cb);
    std::memcpy(record + kInstanceContextOffset, &context, sizeof context);
    if (fs.outside.InitializeBL(fs.instance) == 0) return write_result(6);
    write_result(0);
    fs.state = kStateBootLoader;
}

void on_bl_status(void*, void*, const void* status) {
    if (!status) return;
    try {
        const char* rec = static_cast<const char*>(status);
        // Read the text unit by unit: the record need not be aligned for char16_t.
        std::u16string units;
        for (size_t i = 0; i < kStatusTextMaxUnits; ++i) {
            char16_t u;
            std::memcpy(&u, rec + kStatusTextOffset + 2 * i, sizeof u);
            if (u == 0) break;
            units.push_back(u);
        }
        std::string text;
        utf16_to_acp(units.c_str(), units.size(), text);  // empty when unrepresentable
        write_info("QUR7302", {RecordField(std::string_view(text)),
                               read_word(rec, kStatusNumber2916Offset),
                               read_word(rec, kStatusNumber2920Offset),
                               read_word(rec, kStatusNumber8Offset)});
    } catch (...) {
        // Nothing may leave a callback of the outside library.
    }
}

}  // namespace frontend
