// Building and signing one certificate of the chain of trust.
#pragma once

#include <vector>

#include "tools/cert_create/cert_ossl.h"

struct CertBuildParams {
    const char* cn;
    EVP_PKEY* key;      // the certificate's key, which also signs it
    int key_alg;        // KeyAlg
    const EVP_MD* md;   // the run's digest
    int days;
};

// The signed certificate, or null after printing the crypto library's errors.
X509Ptr cert_build(const CertBuildParams& p, const std::vector<X509ExtPtr>& exts);
bool cert_attach_std_extension(X509* subject, X509* issuer, int nid, const char* value);
// A fresh 64-bit random serial number with its top bit set.
Asn1IntPtr cert_draw_serial();
