#include "release/key_set.h"

#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <set>
#include <string>

#include "platform/unique_fd.h"
#include "release/config_dir.h"
#include "tools/cert_create/cert_tables.h"

namespace {

constexpr const char* kRootKeyOption = "--rot-key";

std::string text_of(const Json::Value& v) { return v.isString() ? v.asString() : std::string(); }

// The path of the root key, or null when the key set names none.
const Json::Value* root_key_entry(const Json::Value& keys) {
    for (const Json::Value& k : keys)
        if (k.isObject() && text_of(k["option"]) == kRootKeyOption) return &k;
    return nullptr;
}

// Every entry names a key of the certificate generator, each key once: the
// generator takes the last file given for a key while the fused hash is taken
// from the first, and any other option would change what the generator does.
bool options_ok(const Json::Value& keys) {
    std::set<std::string> seen;
    for (const Json::Value& k : keys) {
        const std::string option = k.isObject() ? text_of(k["option"]) : std::string();
        bool known = false;
        for (const KeyDef& def : kKeyDefs) known = known || option == std::string("--") + def.option;
        if (!known) {
            printf("error: key set option \"%s\" is not a key of the certificate generator.\n", option.c_str());
            return false;
        }
        if (!seen.insert(option).second) {
            printf("error: the key set names %s twice.\n", option.c_str());
            return false;
        }
    }
    return true;
}

int no_passphrase(char*, int, int, void*) { return 0; }

struct FileCloser {
    void operator()(FILE* f) const { fclose(f); }
};
struct PkeyFree {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};

// SHA-256 of the DER SubjectPublicKeyInfo of the private key in the PEM file.
bool public_key_hash(const std::string& path, unsigned char out[32]) {
    std::unique_ptr<FILE, FileCloser> f(fopen(path.c_str(), "rb"));
    if (!f) return false;
    std::unique_ptr<EVP_PKEY, PkeyFree> key(PEM_read_PrivateKey(f.get(), nullptr, no_passphrase, nullptr));
    if (!key) return false;
    unsigned char* der = nullptr;
    int len = i2d_PUBKEY(key.get(), &der);
    if (len <= 0) return false;
    unsigned int md_len = 0;
    bool ok = EVP_Digest(der, static_cast<size_t>(len), out, &md_len, EVP_sha256(), nullptr) == 1 && md_len == 32;
    OPENSSL_free(der);
    return ok;
}

std::string hex(const uint8_t* b, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += digits[b[i] >> 4];
        s += digits[b[i] & 15];
    }
    return s;
}

}  // namespace

int key_set_check_files(const Json::Value& release) {
    const Json::Value& keys = release["security"]["keys"];
    if (!release_is_list(keys, "keys") || !root_key_entry(keys)) {
        printf("error: the key set names no root key (%s).\n", kRootKeyOption);
        return -1;
    }
    if (!options_ok(keys)) return -1;
    for (const Json::Value& k : keys) {
        const std::string option = k.isObject() ? text_of(k["option"]) : std::string();
        const std::string path = k.isObject() ? text_of(k["param"]) : std::string();
        UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
        if (!fd.valid()) {
            printf("error: key file \"%s\" for %s cannot be opened: %s.\n", path.c_str(), option.c_str(),
                   strerror(errno));
            return -1;
        }
        struct stat st;
        if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
            printf("error: key file \"%s\" for %s is not a regular file.\n", path.c_str(), option.c_str());
            return -1;
        }
    }
    return 0;
}

int key_set_check_root_hash(const Json::Value& release, const uint8_t* fused) {
    const Json::Value& security = release["security"];
    const Json::Value& keys = security["keys"];
    const Json::Value* root = keys.isArray() ? root_key_entry(keys) : nullptr;
    if (!root) {
        printf("error: the key set names no root key (%s) to check the fused hash against.\n", kRootKeyOption);
        return -1;
    }
    if (!options_ok(keys)) return -1;
    const std::string path = text_of((*root)["param"]);
    unsigned char hash[32];
    bool read = public_key_hash(path, hash);
    ERR_clear_error();
    if (!read) {
        printf("error: root key \"%s\" cannot be loaded.\n", path.c_str());
        return -1;
    }
    if (memcmp(hash, fused, sizeof hash) != 0) {
        printf("error: root key \"%s\" (hash %s) does not match the fused hash %s of \"%s\".\n", path.c_str(),
               hex(hash, 32).c_str(), hex(fused, 32).c_str(), text_of(security["rootPkHash"]).c_str());
        return -1;
    }
    return 0;
}
