#include "tools/cert_create/cert_ossl.h"

#include <openssl/err.h>

namespace {
int print_error_line(const char* str, size_t len, void* u) {
    fwrite(str, 1, len, static_cast<FILE*>(u));
    return 1;
}
}  // namespace

void ossl_print_errors(FILE* out) { ERR_print_errors_cb(print_error_line, out); }

bool ossl_print_cert(X509* cert, FILE* out) {
    BioPtr mem(BIO_new(BIO_s_mem()));
    if (!mem || X509_print(mem.get(), cert) != 1) return false;
    char* data = nullptr;
    long len = BIO_get_mem_data(mem.get(), &data);
    if (len > 0) fwrite(data, 1, static_cast<size_t>(len), out);
    return true;
}
