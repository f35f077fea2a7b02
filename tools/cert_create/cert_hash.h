// Digests of the boot images named by descriptor numbers.
#pragma once

#include <openssl/evp.h>

#include <vector>

enum HashAlg { HASH_ALG_SHA256 = 0, HASH_ALG_SHA384 = 1, HASH_ALG_SHA512 = 2 };

// The digest of `hash_alg` and its length in bytes.
const EVP_MD* hash_alg_digest(int hash_alg, int* length);
// Digest of the image from the descriptor's current position to its end.
bool sha_file(int hash_alg, const char* image, std::vector<unsigned char>& digest);
