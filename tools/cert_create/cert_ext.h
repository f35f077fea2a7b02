// The custom certificate extensions: their registration with the crypto
// library and the DER encodings of their values.
#pragma once

#include <string>
#include <vector>

#include "tools/cert_create/cert_cmd_opt.h"
#include "tools/cert_create/cert_ossl.h"

using Der = std::vector<unsigned char>;

// Registers the extension options in `opts` and, once per process, the
// extensions' objects and methods with the crypto library.
bool ext_register_all(CmdOptRegistry& opts);

// Each encoder gives the extension value's DER; empty on failure.
Der ext_encode_counter(const char* value);
Der ext_encode_digest(int hash_alg, const unsigned char* digest, size_t length);
Der ext_encode_public_key(EVP_PKEY* key);
// A critical extension `nid` whose value octet string holds `der`.
X509ExtPtr ext_wrap_der(int nid, const Der& der);
