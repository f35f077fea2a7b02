#include "tools/cert_create/cert_build.h"

#include <openssl/err.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/x509v3.h>

#include <cstdint>

#include "tools/cert_create/cert_keys.h"

namespace {
// The salt stays 32 bytes whatever the digest: the verifier expects it.
constexpr int kPssSaltLength = 32;

bool set_cn(X509_NAME* name, const char* cn) {
    return X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(cn), -1,
                                      -1, 0) == 1;
}

bool build(const CertBuildParams& p, const std::vector<X509ExtPtr>& exts, X509* x) {
    MdCtxPtr md_ctx(EVP_MD_CTX_new());
    if (!md_ctx) return false;
    EVP_PKEY_CTX* pctx = nullptr;  // owned by md_ctx
    if (EVP_DigestSignInit(md_ctx.get(), &pctx, p.md, nullptr, p.key) != 1) return false;
    if (p.key_alg == KEY_ALG_RSA) {
        if (EVP_PKEY_CTX_set_rsa_padding(pctx, RSA_PKCS1_PSS_PADDING) <= 0 ||
            EVP_PKEY_CTX_set_rsa_pss_saltlen(pctx, kPssSaltLength) <= 0 ||
            EVP_PKEY_CTX_set_rsa_mgf1_md(pctx, p.md) <= 0)
            return false;
    }
    if (X509_set_version(x, 2) != 1) return false;
    Asn1IntPtr serial = cert_draw_serial();
    if (!serial || X509_set_serialNumber(x, serial.get()) != 1) return false;
    if (!X509_gmtime_adj(X509_getm_notBefore(x), 0) ||
        !X509_gmtime_adj(X509_getm_notAfter(x), static_cast<long>(p.days) * 86400L))
        return false;
    if (X509_set_pubkey(x, p.key) != 1) return false;
    // Self-signed: the issuer's name is the subject's own.
    if (!set_cn(X509_get_subject_name(x), p.cn) || !set_cn(X509_get_issuer_name(x), p.cn)) return false;
    if (!cert_attach_std_extension(x, x, NID_subject_key_identifier, "hash") ||
        !cert_attach_std_extension(x, x, NID_authority_key_identifier, "keyid:always") ||
        !cert_attach_std_extension(x, x, NID_basic_constraints, "CA:FALSE"))
        return false;
    for (const X509ExtPtr& e : exts)
        if (X509_add_ext(x, e.get(), -1) != 1) return false;
    return X509_sign_ctx(x, md_ctx.get()) > 0;
}
}  // namespace

Asn1IntPtr cert_draw_serial() {
    unsigned char bytes[8];
    if (RAND_bytes(bytes, sizeof bytes) != 1) return Asn1IntPtr();
    uint64_t v = 0;
    for (unsigned char b : bytes) v = (v << 8) | b;
    v |= UINT64_C(1) << 63;
    Asn1IntPtr serial(ASN1_INTEGER_new());
    if (!serial || ASN1_INTEGER_set_uint64(serial.get(), v) != 1) return Asn1IntPtr();
    return serial;
}

bool cert_attach_std_extension(X509* subject, X509* issuer, int nid, const char* value) {
    X509V3_CTX ctx{};
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, subject, nullptr, nullptr, 0);
    X509ExtPtr ext(X509V3_EXT_nconf_nid(nullptr, &ctx, nid, value));
    return ext && X509_add_ext(subject, ext.get(), -1) == 1;
}

X509Ptr cert_build(const CertBuildParams& p, const std::vector<X509ExtPtr>& exts) {
    X509Ptr x(X509_new());
    if (!x || !build(p, exts, x.get())) {
        ossl_print_errors(stdout);
        return X509Ptr();
    }
    return x;
}
