// The fixed tables of the certificate generator: the keys of the chain of
// trust, the custom extensions that certificates carry, and the certificates.
#pragma once

#include <cstddef>

enum class ExtKind { Counter = 0, PublicKey = 1, Hash = 2 };

struct KeyDef {
    const char* option;
    const char* help;  // description + " (input/output file)"
    const char* description;
};

struct ExtDef {
    const char* oid;
    const char* short_name;
    const char* long_name;
    const char* option;  // null: the value comes from a key, not from the command line
    const char* help;
    int asn1_type;  // V_ASN1_INTEGER or V_ASN1_OCTET_STRING
    ExtKind kind;
    int key;  // for a public key: its key index
    bool optional;
};

struct CertDef {
    const char* option;
    const char* cn;
    const char* help;  // cn + " (output file)"
    int key;
    int issuer;  // every certificate names itself: all are self-signed
    int ext[5];
    int ext_count;
};

constexpr size_t kKeyCount = 8;
constexpr size_t kExtCount = 25;
constexpr size_t kCertCount = 13;

extern const KeyDef kKeyDefs[kKeyCount];
extern const ExtDef kExtDefs[kExtCount];
extern const CertDef kCertDefs[kCertCount];

// Index of the row whose option is `name`, or -1.
int key_record_for_option(const char* name);
int ext_record_for_option(const char* name);
int cert_record_for_option(const char* name);
