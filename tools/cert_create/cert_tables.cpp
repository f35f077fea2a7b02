#include "tools/cert_create/cert_tables.h"

#include <openssl/asn1.h>

#include <cstring>

namespace {
#define TBB_OID(suffix) "1.3.6.1.4.1.4128.2100." suffix
constexpr int kInt = V_ASN1_INTEGER;
constexpr int kOct = V_ASN1_OCTET_STRING;
constexpr ExtKind kCtr = ExtKind::Counter;
constexpr ExtKind kPk = ExtKind::PublicKey;
constexpr ExtKind kHash = ExtKind::Hash;

enum : int { ROT, TRUSTED_WORLD, NON_TRUSTED_WORLD, SCP_FW, SOC_FW, TOS_FW, NT_FW, NT_OS };
}  // namespace

const KeyDef kKeyDefs[kKeyCount] = {
    {"rot-key", "Root Of Trust key (input/output file)", "Root Of Trust key"},
    {"trusted-world-key", "Trusted World key (input/output file)", "Trusted World key"},
    {"non-trusted-world-key", "Non Trusted World key (input/output file)", "Non Trusted World key"},
    {"scp-fw-key", "SCP Firmware Content Certificate key (input/output file)",
     "SCP Firmware Content Certificate key"},
    {"soc-fw-key", "SoC Firmware Content Certificate key (input/output file)",
     "SoC Firmware Content Certificate key"},
    {"tos-fw-key", "Trusted OS Firmware Content Certificate key (input/output file)",
     "Trusted OS Firmware Content Certificate key"},
    {"nt-fw-key", "Non Trusted Firmware Content Certificate key (input/output file)",
     "Non Trusted Firmware Content Certificate key"},
    {"nt-os-key", "Non Trusted OS Content Certificate key (input/output file)",
     "Non Trusted OS Content Certificate key"},
};

const ExtDef kExtDefs[kExtCount] = {
    {TBB_OID("1"), "TrustedWorldNVCounter", "Trusted World Non-Volatile counter", "tfw-nvctr",
     "Trusted Firmware Non-Volatile counter value", kInt, kCtr, 0, false},
    {TBB_OID("2"), "NormalWorldNVCounter", "Non-Trusted Firmware Non-Volatile counter", "ntfw-nvctr",
     "Non-Trusted Firmware Non-Volatile counter value", kInt, kCtr, 0, false},
    {TBB_OID("201"), "TrustedBootFirmwareHash", "Trusted Boot Firmware hash (SHA256)", "tb-fw",
     "Trusted Boot Firmware image file", kOct, kHash, 0, false},
    {TBB_OID("202"), "TrustedBootFirmwareConfigHash", "Trusted Boot Firmware Config hash", "tb-fw-config",
     "Trusted Boot Firmware Config file", kOct, kHash, 0, true},
    {TBB_OID("203"), "HWConfigHash", "HW Config hash", "hw-config", "HW Config file", kOct, kHash, 0, true},
    {TBB_OID("302"), "TrustedWorldPublicKey", "Trusted World Public Key", nullptr, nullptr, kOct, kPk,
     TRUSTED_WORLD, false},
    {TBB_OID("303"), "NonTrustedWorldPublicKey", "Non-Trusted World Public Key", nullptr, nullptr, kOct, kPk,
     NON_TRUSTED_WORLD, false},
    {TBB_OID("701"), "SCPFirmwareContentCertPK", "SCP Firmware content certificate public key", nullptr,
     nullptr, kOct, kPk, SCP_FW, false},
    {TBB_OID("801"), "SCPFirmwareHash", "SCP Firmware hash (SHA256)", "scp-fw", "SCP Firmware image file",
     kOct, kHash, 0, false},
    {TBB_OID("501"), "SoCFirmwareContentCertPK", "SoC Firmware content certificate public key", nullptr,
     nullptr, kOct, kPk, SOC_FW, false},
    {TBB_OID("603"), "SoCAPFirmwareHash", "SoC AP Firmware hash (SHA256)", "soc-fw",
     "SoC AP Firmware image file", kOct, kHash, 0, false},
    {TBB_OID("604"), "SocFirmwareConfigHash", "SoC Firmware Config hash", "soc-fw-config",
     "SoC Firmware Config file", kOct, kHash, 0, true},
    {TBB_OID("901"), "TrustedOSFirmwareContentCertPK", "Trusted OS Firmware content certificate public key",
     nullptr, nullptr, kOct, kPk, TOS_FW, false},
    {TBB_OID("1001"), "TrustedOSHash", "Trusted OS hash (SHA256)", "tos-fw", "Trusted OS image file", kOct,
     kHash, 0, false},
    {TBB_OID("1002"), "TrustedOSExtra1Hash", "Trusted OS Extra1 hash (SHA256)", "tos-fw-extra1",
     "Trusted OS Extra1 image file", kOct, kHash, 0, true},
    {TBB_OID("1003"), "TrustedOSExtra2Hash", "Trusted OS Extra2 hash (SHA256)", "tos-fw-extra2",
     "Trusted OS Extra2 image file", kOct, kHash, 0, true},
    {TBB_OID("1004"), "TrustedOSFirmwareConfigHash", "Trusted OS Firmware Config hash", "tos-fw-config",
     "Trusted OS Firmware Config file", kOct, kHash, 0, true},
    {TBB_OID("1101"), "NonTrustedFirmwareContentCertPK", "Non-Trusted Firmware content certificate public key",
     nullptr, nullptr, kOct, kPk, NT_FW, false},
    {TBB_OID("1201"), "NonTrustedWorldBootloaderHash", "Non-Trusted World hash (SHA256)", "nt-fw",
     "Non-Trusted World Bootloader image file", kOct, kHash, 0, false},
    {TBB_OID("1202"), "NonTrustedOSFirmwareConfigHash", "Non-Trusted OS Firmware Config hash", "nt-fw-config",
     "Non Trusted OS Firmware Config file", kOct, kHash, 0, true},
    {TBB_OID("102"), "SCPFWUpdateConfig", "SCP Firmware Update Config hash (SHA256)", "scp-fwu-cfg",
     "SCP Firmware Update Config image file", kOct, kHash, 0, true},
    {TBB_OID("101"), "APFWUpdateConfig", "AP Firmware Update Config hash (SHA256)", "ap-fwu-cfg",
     "AP Firmware Update Config image file", kOct, kHash, 0, true},
    {TBB_OID("103"), "FWUpdaterHash", "Firmware Updater hash (SHA256)", "fwu", "Firmware Updater image file",
     kOct, kHash, 0, true},
    {TBB_OID("8001"), "NonTrustedCPHash", "Non-Trusted CP hash (SHA256)", "nt-cp", "Non-Trusted CP image file",
     kOct, kHash, 0, false},
    {TBB_OID("8002"), "NonTrustedDSPHash", "Non-Trusted DSP hash (SHA256)", "nt-dsp",
     "Non-Trusted DSP image file", kOct, kHash, 0, false},
};

const CertDef kCertDefs[kCertCount] = {
    {"tb-fw-cert", "Trusted Boot FW Certificate", "Trusted Boot FW Certificate (output file)", ROT, 0,
     {0, 2, 3, 4}, 4},
    {"trusted-key-cert", "Trusted Key Certificate", "Trusted Key Certificate (output file)", ROT, 1, {0, 5, 6}, 3},
    {"scp-fw-key-cert", "SCP Firmware Key Certificate", "SCP Firmware Key Certificate (output file)",
     TRUSTED_WORLD, 2, {0, 7}, 2},
    {"scp-fw-cert", "SCP Firmware Content Certificate", "SCP Firmware Content Certificate (output file)", SCP_FW,
     3, {0, 8}, 2},
    {"soc-fw-key-cert", "SoC Firmware Key Certificate", "SoC Firmware Key Certificate (output file)",
     TRUSTED_WORLD, 4, {0, 9}, 2},
    {"soc-fw-cert", "SoC Firmware Content Certificate", "SoC Firmware Content Certificate (output file)", SOC_FW,
     5, {0, 10, 11}, 3},
    {"tos-fw-key-cert", "Trusted OS Firmware Key Certificate", "Trusted OS Firmware Key Certificate (output file)",
     TRUSTED_WORLD, 6, {0, 12}, 2},
    {"tos-fw-cert", "Trusted OS Firmware Content Certificate",
     "Trusted OS Firmware Content Certificate (output file)", TOS_FW, 7, {0, 13, 14, 15, 16}, 5},
    {"nt-fw-key-cert", "Non-Trusted Firmware Key Certificate",
     "Non-Trusted Firmware Key Certificate (output file)", NON_TRUSTED_WORLD, 8, {1, 17}, 2},
    {"nt-fw-cert", "Non-Trusted Firmware Content Certificate",
     "Non-Trusted Firmware Content Certificate (output file)", NT_FW, 9, {1, 18, 19}, 3},
    {"fwu-cert", "Firmware Update Certificate", "Firmware Update Certificate (output file)", ROT, 10,
     {20, 21, 22}, 3},
    {"nt-cp-cert", "Non-Trusted CP Content Certificate", "Non-Trusted CP Content Certificate (output file)", NT_OS,
     11, {1, 23}, 2},
    {"nt-dsp-cert", "Non-Trusted DSP Content Certificate", "Non-Trusted DSP Content Certificate (output file)",
     NT_OS, 12, {1, 24}, 2},
};

int key_record_for_option(const char* name) {
    for (size_t i = 0; i < kKeyCount; ++i)
        if (strcmp(kKeyDefs[i].option, name) == 0) return static_cast<int>(i);
    return -1;
}

int ext_record_for_option(const char* name) {
    for (size_t i = 0; i < kExtCount; ++i)
        if (kExtDefs[i].option && strcmp(kExtDefs[i].option, name) == 0) return static_cast<int>(i);
    return -1;
}

int cert_record_for_option(const char* name) {
    for (size_t i = 0; i < kCertCount; ++i)
        if (strcmp(kCertDefs[i].option, name) == 0) return static_cast<int>(i);
    return -1;
}
