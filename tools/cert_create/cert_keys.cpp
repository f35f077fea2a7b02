#include "tools/cert_create/cert_keys.h"

#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include "platform/unique_fd.h"

PkeyPtr key_alloc() { return PkeyPtr(EVP_PKEY_new()); }

KeyLoad key_read_pem(const std::optional<std::string>& path, PkeyPtr& key) {
    if (!path) return KeyLoad::NoFileName;
    FilePtr f(fopen(path->c_str(), "rb"));
    if (!f) return KeyLoad::CannotOpen;
    // Takes PKCS#8 as well as the traditional RSA and EC forms.
    EVP_PKEY* loaded = PEM_read_PrivateKey(f.get(), nullptr, nullptr, nullptr);
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

bool key_save_pem(const std::optional<std::string>& path, EVP_PKEY* key) {
    if (!path) {
        printf("ERROR:   Key filename not specified\n");
        return false;
    }
    // A private key: a file created here is readable by its owner only.
    UniqueFd fd(open(path->c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    FilePtr f(fd.valid() ? fdopen(fd.get(), "wb") : nullptr);
    if (f) fd.release();
    if (!f) {
        printf("ERROR:   Cannot create file %s\n", path->c_str());
        return false;
    }
    bool ok = PEM_write_PrivateKey(f.get(), key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
    if (!ok) ERR_clear_error();
    // A key that did not reach the disk whole counts as not saved.
    if (fclose(f.release()) != 0) ok = false;
    return ok;
}
