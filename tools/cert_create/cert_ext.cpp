#include "tools/cert_create/cert_ext.h"

#include <openssl/asn1.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/x509v3.h>

#include <climits>
#include <cstdlib>

#include "tools/cert_create/cert_hash.h"
#include "tools/cert_create/cert_tables.h"

namespace {

// Text conversions for the library's printing of our extensions.
char* int_i2s(const X509V3_EXT_METHOD* m, void* ext) {
    return i2s_ASN1_INTEGER(const_cast<X509V3_EXT_METHOD*>(m), static_cast<ASN1_INTEGER*>(ext));
}
void* int_s2i(const X509V3_EXT_METHOD* m, X509V3_CTX*, const char* str) {
    return s2i_ASN1_INTEGER(const_cast<X509V3_EXT_METHOD*>(m), str);
}
char* oct_i2s(const X509V3_EXT_METHOD* m, void* ext) {
    return i2s_ASN1_OCTET_STRING(const_cast<X509V3_EXT_METHOD*>(m), static_cast<ASN1_OCTET_STRING*>(ext));
}
void* oct_s2i(const X509V3_EXT_METHOD* m, X509V3_CTX* ctx, const char* str) {
    return s2i_ASN1_OCTET_STRING(const_cast<X509V3_EXT_METHOD*>(m), ctx, str);
}

// The library keeps pointers to these for the rest of the process.
X509V3_EXT_METHOD g_methods[kExtCount];

// Idempotent: an object or method that the process already has is kept,
// since the library refuses a second object with the same OID.
bool ext_register_one(size_t i) {
    const ExtDef& e = kExtDefs[i];
    int nid = OBJ_txt2nid(e.oid);
    if (nid == NID_undef) {
        ERR_clear_error();
        nid = OBJ_create(e.oid, e.short_name, e.long_name);
        if (nid == NID_undef) {
            ossl_print_errors(stdout);
            return false;
        }
    }
    if (X509V3_EXT_get_nid(nid)) return true;
    ERR_clear_error();
    X509V3_EXT_METHOD& m = g_methods[i];
    m = X509V3_EXT_METHOD{};
    m.ext_nid = nid;
    if (e.asn1_type == V_ASN1_INTEGER) {
        m.it = ASN1_ITEM_ref(ASN1_INTEGER);
        m.i2s = int_i2s;
        m.s2i = int_s2i;
    } else {
        m.it = ASN1_ITEM_ref(ASN1_OCTET_STRING);
        m.i2s = oct_i2s;
        m.s2i = oct_s2i;
    }
    if (!X509V3_EXT_add(&m)) {
        ossl_print_errors(stdout);
        return false;
    }
    return true;
}

template <typename T, typename Fn>
Der to_der(const T* obj, Fn i2d) {
    int len = i2d(obj, nullptr);
    if (len <= 0) return Der();
    Der der(static_cast<size_t>(len));
    unsigned char* p = der.data();
    if (i2d(obj, &p) != len) return Der();
    return der;
}

}  // namespace

bool ext_register_all(CmdOptRegistry& opts) {
    for (size_t i = 0; i < kExtCount; ++i) {
        const ExtDef& e = kExtDefs[i];
        if (e.option && !opts.cmd_opt_register(e.option, required_argument, 2, e.help)) return false;
        if (!ext_register_one(i)) return false;
    }
    return true;
}

Der ext_encode_counter(const char* value) {
    // atoi's reading: leading blanks, a sign, digits; no digits give 0.
    long v = strtol(value, nullptr, 10);
    Asn1IntPtr i(ASN1_INTEGER_new());
    if (!i || ASN1_INTEGER_set(i.get(), v) != 1) return Der();
    return to_der(i.get(), i2d_ASN1_INTEGER);
}

Der ext_encode_digest(int hash_alg, const unsigned char* digest, size_t length) {
    int md_len = 0;
    const EVP_MD* md = hash_alg_digest(hash_alg, &md_len);
    AlgorPtr alg(X509_ALGOR_new());
    if (!alg || X509_ALGOR_set0(alg.get(), OBJ_nid2obj(EVP_MD_get_type(md)), V_ASN1_NULL, nullptr) != 1)
        return Der();
    Asn1OctPtr oct(ASN1_OCTET_STRING_new());
    if (!oct || ASN1_OCTET_STRING_set(oct.get(), digest, static_cast<int>(length)) != 1) return Der();
    Der a = to_der(alg.get(), i2d_X509_ALGOR);
    Der o = to_der(oct.get(), i2d_ASN1_OCTET_STRING);
    if (a.empty() || o.empty()) return Der();
    // SEQUENCE { AlgorithmIdentifier, OCTET STRING }
    int body = static_cast<int>(a.size() + o.size());
    int total = ASN1_object_size(1, body, V_ASN1_SEQUENCE);
    if (total <= 0) return Der();
    Der der(static_cast<size_t>(total));
    unsigned char* p = der.data();
    ASN1_put_object(&p, 1, body, V_ASN1_SEQUENCE, V_ASN1_UNIVERSAL);
    p = std::copy(a.begin(), a.end(), p);
    std::copy(o.begin(), o.end(), p);
    return der;
}

Der ext_encode_public_key(EVP_PKEY* key) {
    // The value never exceeds this buffer's size.
    constexpr int kMaxKeyDer = 4096;
    int len = i2d_PUBKEY(key, nullptr);
    if (len <= 0 || len > kMaxKeyDer) {
        ossl_print_errors(stderr);
        return Der();
    }
    Der der(static_cast<size_t>(len));
    unsigned char* p = der.data();
    if (i2d_PUBKEY(key, &p) != len) {
        ossl_print_errors(stderr);
        return Der();
    }
    return der;
}

X509ExtPtr ext_wrap_der(int nid, const Der& der) {
    if (der.empty() || der.size() > INT_MAX) return X509ExtPtr();
    Asn1OctPtr oct(ASN1_OCTET_STRING_new());
    if (!oct || ASN1_OCTET_STRING_set(oct.get(), der.data(), static_cast<int>(der.size())) != 1)
        return X509ExtPtr();
    return X509ExtPtr(X509_EXTENSION_create_by_NID(nullptr, nid, 1, oct.get()));
}
