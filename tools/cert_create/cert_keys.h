// Signing keys: loaded from PEM files, generated, and saved back.
#pragma once

#include <optional>
#include <string>

#include "tools/cert_create/cert_ossl.h"

enum KeyAlg { KEY_ALG_RSA = 0, KEY_ALG_RSA_1_5 = 1, KEY_ALG_ECDSA = 2 };

// NotFound: the file does not exist; CannotOpen: it exists but cannot be opened.
enum class KeyLoad { Loaded, NoFileName, NotFound, CannotOpen, CannotLoad };

// An empty key object; null when it cannot be had.
PkeyPtr key_alloc();
KeyLoad key_read_pem(const std::optional<std::string>& path, PkeyPtr& key);
bool key_generate(int key_alg, PkeyPtr& key);
// Replaces the file at `path` whole, or leaves it as it was.
bool key_save_pem(const std::optional<std::string>& path, EVP_PKEY* key);
