// Key files for release fixtures, made and read by the openssl command (an
// independent reader of the keys and hashes the release uses).
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

#include "command_output.h"

namespace dev_keys {

// Empty when the command fails.
inline std::string shell_output(const std::string& command) {
    bool ok = false;
    std::string out = command_output(command, &ok);
    return ok ? out : std::string();
}

// Writes a new private key in PEM to `path`, creating its directory: "ec"
// (P-256, quick) or "rsa" (2048 bits), in the traditional form (which a tool
// that saved the key again would turn into PKCS#8). False when openssl fails.
inline bool make_key(const std::string& path, const std::string& kind = "ec") {
    const std::string alg = kind == "rsa" ? "-algorithm RSA -pkeyopt rsa_keygen_bits:2048"
                                          : "-algorithm EC -pkeyopt ec_paramgen_curve:P-256";
    const std::string dir = path.substr(0, path.rfind('/') + 1);
    return std::system(("bash -o pipefail -c \"mkdir -p '" + dir + "' && openssl genpkey " + alg +
                        " 2>/dev/null | openssl pkey -traditional -out '" + path + "'\"")
                           .c_str()) == 0;
}

// The 32 raw bytes of the SHA-256 of the key's SubjectPublicKeyInfo, the
// hash a device fuses; empty when openssl cannot read the key.
inline std::string root_key_hash(const std::string& pem_path) {
    std::string hash = shell_output("bash -o pipefail -c \"openssl pkey -in '" + pem_path +
                                    "' -pubout -outform DER 2>/dev/null | openssl dgst -sha256 -binary\"");
    return hash.size() == 32 ? hash : std::string();
}

}  // namespace dev_keys
