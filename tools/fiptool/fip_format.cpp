#include "tools/fiptool/fip_format.h"

#include <cstring>

namespace {

void put_le(uint8_t* out, uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) out[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint64_t get_le(const uint8_t* in, int bytes) {
    uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | in[i];
    return v;
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool hyphen_at(size_t i) { return i == 8 || i == 13 || i == 18 || i == 23; }

}  // namespace

void fip_put_header(uint8_t* out, const FipTocHeader& h) {
    put_le(out, h.name, 4);
    put_le(out + 4, h.serial_number, 4);
    put_le(out + 8, h.flags, 8);
}

FipTocHeader fip_get_header(const uint8_t* in) {
    FipTocHeader h;
    h.name = static_cast<uint32_t>(get_le(in, 4));
    h.serial_number = static_cast<uint32_t>(get_le(in + 4, 4));
    h.flags = get_le(in + 8, 8);
    return h;
}

void fip_put_item(uint8_t* out, const FipTocItem& e) {
    memcpy(out, e.uuid.data(), e.uuid.size());
    put_le(out + 16, e.offset, 8);
    put_le(out + 24, e.size, 8);
    put_le(out + 32, e.flags, 8);
}

FipTocItem fip_get_item(const uint8_t* in) {
    FipTocItem e;
    memcpy(e.uuid.data(), in, e.uuid.size());
    e.offset = get_le(in + 16, 8);
    e.size = get_le(in + 24, 8);
    e.flags = get_le(in + 32, 8);
    return e;
}

bool fip_uuid_is_zero(const FipUuid& u) {
    for (uint8_t b : u)
        if (b) return false;
    return true;
}

bool fip_uuid_parse(const char* text, FipUuid& out) {
    if (!text || strlen(text) != 36) return false;
    FipUuid u{};
    size_t n = 0;
    for (size_t i = 0; i < 36;) {
        if (hyphen_at(i)) {
            if (text[i] != '-') return false;
            ++i;
            continue;
        }
        int hi = hex_value(text[i]);
        int lo = hex_value(text[i + 1]);
        if (hi < 0 || lo < 0) return false;
        u[n++] = static_cast<uint8_t>(hi << 4 | lo);
        i += 2;
    }
    out = u;
    return true;
}

std::string fip_uuid_format(const FipUuid& u) {
    static const char digits[] = "0123456789ABCDEF";
    std::string s;
    s.reserve(36);
    for (size_t i = 0; i < u.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) s += '-';
        s += digits[u[i] >> 4];
        s += digits[u[i] & 15];
    }
    return s;
}

const FipKnownImage kFipKnownImages[] = {
    {"SCP Firmware Updater Configuration FWU SCP_BL2U", "65922703-2F74-E644-8DFF-579AC1FF0610", "scp-fwu-cfg"},
    {"AP Firmware Updater Configuration BL2U", "60B3EB37-C1E5-EA41-9DF3-19EDA11F6801", "ap-fwu-cfg"},
    {"Firmware Updater NS_BL2U", "4F511D11-2BE5-4E49-B4C5-83C2F715840A", "fwu"},
    {"Non-Trusted Firmware Updater certificate", "71408AB2-18D6-874C-8B2E-C6DCCD50F096", "fwu-cert"},
    {"Trusted Boot Firmware BL2", "5FF9EC0B-4D22-3E4D-A544-C39D81C73F0A", "tb-fw"},
    {"SCP Firmware SCP_BL2", "9766FD3D-89BE-E849-AE5D-78A140608213", "scp-fw"},
    {"EL3 Runtime Firmware BL31", "47D4086D-4CFE-9846-9B95-2950CBBD5A00", "soc-fw"},
    {"Secure Payload BL32 (Trusted OS)", "05D0E189-53DC-1347-8D2B-500A4B7A3E38", "tos-fw"},
    {"Secure Payload BL32 Extra1 (Trusted OS Extra1)", "0B70C29B-2A5A-7840-9F65-0A5682738288", "tos-fw-extra1"},
    {"Secure Payload BL32 Extra2 (Trusted OS Extra2)", "8EA87BB1-CFA2-3F4D-85FD-E7BBA50220D9", "tos-fw-extra2"},
    {"Non-Trusted Firmware BL33", "D6D0EEA7-FCEA-D54B-9782-9934F234B6E4", "nt-fw"},
    {"Non-Trusted OS CP", "77C4F476-1B94-417C-B343-B0EA443AACD7", "nt-cp"},
    {"Non-Trusted OS DSP", "8ABD24EB-E069-4ACD-8815-30A950B93A2B", "nt-dsp"},
    {"HW_CONFIG", "08B8F1D9-C9CF-9349-A962-6FBC6B7265CC", "hw-config"},
    {"TB_FW_CONFIG", "6C0458FF-AF6B-7D4F-82ED-AA27BC69BFD2", "tb-fw-config"},
    {"SOC_FW_CONFIG", "9979814B-0376-FB46-8C8E-8D267F7859E0", "soc-fw-config"},
    {"TOS_FW_CONFIG", "26257C1A-DBC6-7F47-8D96-C4C4B0248021", "tos-fw-config"},
    {"NT_FW_CONFIG", "28DA9815-93E8-7E44-AC66-1AAF801550F9", "nt-fw-config"},
    {"Root Of Trust key certificate", "862D1D72-F860-E411-920B-8BE762160F24", "rot-cert"},
    {"Trusted key certificate", "827EE890-F860-E411-A1B4-777A21B4F94C", "trusted-key-cert"},
    {"SCP Firmware key certificate", "024221A1-F860-E411-8D9B-F33C0E15A014", "scp-fw-key-cert"},
    {"SoC Firmware key certificate", "8AB8BECC-F960-E411-9AD0-EB4822D8DCF8", "soc-fw-key-cert"},
    {"Trusted OS Firmware key certificate", "9477D603-FB60-E411-85DD-B7105B8CEE04", "tos-fw-key-cert"},
    {"Non-Trusted Firmware key certificate", "8AD5832A-FB60-E411-8AAF-DF30BBC49859", "nt-fw-key-cert"},
    {"Trusted Boot Firmware BL2 certificate", "D6E269EA-5D63-E411-8D8C-9FBABE9956A5", "tb-fw-cert"},
    {"SCP Firmware content certificate", "44BE6F04-5E63-E411-B28B-73D8EAAE9656", "scp-fw-cert"},
    {"SoC Firmware content certificate", "E2B20C20-5E63-E411-9CE8-ABCCF92BB666", "soc-fw-cert"},
    {"Trusted OS Firmware content certificate", "A49F4411-5E63-E411-8728-3F05722AF33D", "tos-fw-cert"},
    {"Non-Trusted Firmware content certificate", "8EC4C1F3-5D63-E411-A7A9-87EE40B23FA7", "nt-fw-cert"},
    {"Non-Trusted CP content certificate", "263102FB-F98E-42F8-98DF-B0E1D3518E54", "nt-cp-cert"},
    {"Non-Trusted DSP content certificate", "2BCAE7A1-390F-43D2-8258-45D563E00D57", "nt-dsp-cert"},
};
const size_t kFipKnownImageCount = sizeof kFipKnownImages / sizeof kFipKnownImages[0];
