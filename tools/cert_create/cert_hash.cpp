#include "tools/cert_create/cert_hash.h"

#include <cstdio>

#include "tools/cert_create/cert_ossl.h"
#include "tools/common/tool_invocation.h"

const EVP_MD* hash_alg_digest(int hash_alg, int* length) {
    switch (hash_alg) {
    case HASH_ALG_SHA384:
        *length = 48;
        return EVP_sha384();
    case HASH_ALG_SHA512:
        *length = 64;
        return EVP_sha512();
    default:
        *length = 32;
        return EVP_sha256();
    }
}

bool sha_file(int hash_alg, const char* image, std::vector<unsigned char>& digest) {
    if (!image) {
        printf("ERROR:   %s(): NULL argument\n", "sha_file");
        return false;
    }
    ToolFile in = tool_open_input(image);
    if (!in) {
        printf("ERROR:   Cannot read %s\n", image);
        return false;
    }
    int length = 0;
    const EVP_MD* md = hash_alg_digest(hash_alg, &length);
    MdCtxPtr ctx(EVP_MD_CTX_new());
    if (!ctx || EVP_DigestInit_ex(ctx.get(), md, nullptr) != 1) return false;
    unsigned char buf[256];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, in.get())) > 0)
        if (EVP_DigestUpdate(ctx.get(), buf, n) != 1) return false;
    // A read error must not pass for the end of the image.
    if (ferror(in.get())) {
        printf("ERROR:   Cannot read %s\n", image);
        return false;
    }
    digest.assign(static_cast<size_t>(length), 0);
    unsigned int out_len = 0;
    return EVP_DigestFinal_ex(ctx.get(), digest.data(), &out_len) == 1 &&
           out_len == static_cast<unsigned>(length);
}
