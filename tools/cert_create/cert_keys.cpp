#include "tools/cert_create/cert_keys.h"

#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "platform/unique_fd.h"

PkeyPtr key_alloc() { return PkeyPtr(EVP_PKEY_new()); }

namespace {
// An encrypted key is refused, never asked for on a terminal: the tool runs
// inside the engine, where nobody answers.
int no_passphrase(char*, int, int, void*) { return 0; }
}  // namespace

KeyLoad key_read_pem(const std::optional<std::string>& path, PkeyPtr& key) {
    if (!path) return KeyLoad::NoFileName;
    FilePtr f(fopen(path->c_str(), "rb"));
    // Only a key that does not exist may be generated in its place; one that
    // exists but cannot be read (permissions, no descriptors, I/O) fails.
    if (!f) return errno == ENOENT ? KeyLoad::NotFound : KeyLoad::CannotOpen;
    // Takes PKCS#8 as well as the traditional RSA and EC forms.
    EVP_PKEY* loaded = PEM_read_PrivateKey(f.get(), nullptr, no_passphrase, nullptr);
    if (!loaded) {
        ERR_clear_error();
        printf("ERROR:   Cannot load key from %s\n", path->c_str());
        return KeyLoad::CannotLoad;
    }
    key.reset(loaded);
    return KeyLoad::Loaded;
}

namespace {
bool adopt_generated(EVP_PKEY* generated, const char* failure, PkeyPtr& key) {
    if (!generated) {
        ERR_clear_error();
        printf("%s", failure);
        return false;
    }
    key.reset(generated);
    return true;
}

bool key_generate_rsa(PkeyPtr& key) {
    // 2048 bits, public exponent 65537.
    return adopt_generated(EVP_RSA_gen(2048), "Cannot generate RSA key\n", key);
}

bool key_generate_ecdsa(PkeyPtr& key) {
    // Encoded by the curve's name, without explicit parameters.
    return adopt_generated(EVP_EC_gen("prime256v1"), "Cannot generate EC key\n", key);
}
}  // namespace

bool key_generate(int key_alg, PkeyPtr& key) {
    switch (key_alg) {
    case KEY_ALG_RSA:
    case KEY_ALG_RSA_1_5:
        return key_generate_rsa(key);
    case KEY_ALG_ECDSA:
        return key_generate_ecdsa(key);
    default:
        printf("Invalid key type\n");
        return false;
    }
}

namespace {
// Removes the temporary file unless it was renamed into place.
struct TempName {
    std::vector<char> name;
    bool placed = false;
    ~TempName() {
        if (!placed && !name.empty()) unlink(name.data());
    }
};
}  // namespace

bool key_save_pem(const std::optional<std::string>& path, EVP_PKEY* key) {
    if (!path) {
        printf("ERROR:   Key filename not specified\n");
        return false;
    }
    // Written beside the key and renamed over it: a reader never sees half a
    // key, a failed write leaves the old file, and a symlink at the path is
    // replaced, never written through. mkstemp makes the file 0600.
    TempName temp;
    const std::string pattern = *path + ".XXXXXX";
    temp.name.assign(pattern.begin(), pattern.end());
    temp.name.push_back('\0');
    UniqueFd fd(mkostemp(temp.name.data(), O_CLOEXEC));
    if (!fd.valid()) {
        temp.name.clear();
        printf("ERROR:   Cannot create file %s\n", path->c_str());
        return false;
    }
    FilePtr f(fdopen(fd.get(), "wb"));
    if (f) fd.release();
    bool ok = f && PEM_write_PrivateKey(f.get(), key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
    if (!ok) ERR_clear_error();
    // A key that did not reach the disk whole counts as not saved.
    if (f && (fflush(f.get()) != 0 || fsync(fileno(f.get())) != 0)) ok = false;
    if (f && fclose(f.release()) != 0) ok = false;
    if (ok && rename(temp.name.data(), path->c_str()) != 0) ok = false;
    if (!ok) {
        printf("ERROR:   Cannot write file %s\n", path->c_str());
        return false;
    }
    temp.placed = true;
    return true;
}
