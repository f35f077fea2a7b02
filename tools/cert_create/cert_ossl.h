// Owners for the crypto library's objects, and its text routed through this
// library's own stdio calls (so the engine's log capture sees it).
#pragma once

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstdio>
#include <memory>

struct OsslFree {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
    void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
    void operator()(EVP_MD_CTX* p) const { EVP_MD_CTX_free(p); }
    void operator()(X509* p) const { X509_free(p); }
    void operator()(X509_EXTENSION* p) const { X509_EXTENSION_free(p); }
    void operator()(X509_ALGOR* p) const { X509_ALGOR_free(p); }
    // ASN1_INTEGER and ASN1_OCTET_STRING are both this type.
    void operator()(ASN1_STRING* p) const { ASN1_STRING_free(p); }
    void operator()(BIO* p) const { BIO_free(p); }
};

using PkeyPtr = std::unique_ptr<EVP_PKEY, OsslFree>;
using PkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, OsslFree>;
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, OsslFree>;
using X509Ptr = std::unique_ptr<X509, OsslFree>;
using X509ExtPtr = std::unique_ptr<X509_EXTENSION, OsslFree>;
using AlgorPtr = std::unique_ptr<X509_ALGOR, OsslFree>;
using Asn1IntPtr = std::unique_ptr<ASN1_INTEGER, OsslFree>;
using Asn1OctPtr = std::unique_ptr<ASN1_OCTET_STRING, OsslFree>;
using BioPtr = std::unique_ptr<BIO, OsslFree>;

struct FileCloser {
    void operator()(FILE* f) const {
        if (f) fclose(f);
    }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

// Prints and clears the thread's queued crypto errors on `out`.
void ossl_print_errors(FILE* out);
// Prints the certificate in the crypto library's text form on `out`.
bool ossl_print_cert(X509* cert, FILE* out);
