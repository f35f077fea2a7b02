// The certificate generator's run: options, keys, the certificates of the
// requested chain-of-trust links, and their files.
#include <openssl/err.h>
#include <openssl/objects.h>

#include <cstdio>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "tools/cert_create/cert_build.h"
#include "tools/cert_create/cert_cmd_opt.h"
#include "tools/cert_create/cert_ext.h"
#include "tools/cert_create/cert_hash.h"
#include "tools/cert_create/cert_keys.h"
#include "tools/cert_create/cert_tables.h"
#include "tools/common/tool_invocation.h"

namespace {

constexpr int kValidityDays = 7300;
constexpr const char* kShortOptions = "a:hknps:";
// getopt_long's values for the registry's option groups.
enum { OPT_CERT = 0, OPT_KEY = 1, OPT_EXT = 2 };

// Everything one run holds; a new run starts from a new one.
struct CertRun {
    int key_alg = KEY_ALG_RSA;
    int hash_alg = HASH_ALG_SHA256;
    bool save_keys = false;
    bool new_keys = false;
    bool print_cert = false;
    std::optional<std::string> key_file[kKeyCount];
    PkeyPtr key[kKeyCount];
    bool generated[kKeyCount] = {};  // made in this run, not loaded
    std::optional<std::string> ext_arg[kExtCount];
    std::optional<std::string> cert_out[kCertCount];
    X509Ptr cert[kCertCount];
};

const char* source_name() {
    const char* slash = strrchr(__FILE__, '/');
    return slash ? slash + 1 : __FILE__;
}

int null_object(int line) {
    printf("ERROR:   NULL object at %s:%d\n", source_name(), line);
    return 1;
}
#define NULL_OBJECT() null_object(__LINE__)

// Index of `s` in `names`, compared exactly; -1 when absent.
template <size_t N>
int name_index(const char* s, const char* const (&names)[N]) {
    for (size_t i = 0; i < N; ++i)
        if (strcmp(s, names[i]) == 0) return static_cast<int>(i);
    return -1;
}
const char* const kKeyAlgNames[] = {"rsa", "rsa_1_5", "ecdsa"};
const char* const kHashAlgNames[] = {"sha256", "sha384", "sha512"};

bool register_options(CmdOptRegistry& opts) {
    struct Common {
        const char* name;
        int has_arg;
        int val;
        const char* help;
    } const common[] = {
        {"help", no_argument, 'h', "Print this message and exit"},
        {"key-alg", required_argument, 'a',
         "Key algorithm: 'rsa' (default) - RSAPSS scheme as per PKCS#1 v2.1, 'rsa_1_5' - RSA PKCS#1 v1.5, "
         "'ecdsa'"},
        {"hash-alg", required_argument, 's', "Hash algorithm : 'sha256' (default), 'sha384', 'sha512'"},
        {"save-keys", no_argument, 'k', "Save key pairs into files. Filenames must be provided"},
        {"new-keys", no_argument, 'n', "Generate new key pairs if no key files are provided"},
        {"print-cert", no_argument, 'p', "Print the certificates in the standard output"},
    };
    for (const Common& c : common)
        if (!opts.cmd_opt_register(c.name, c.has_arg, c.val, c.help)) return false;
    for (const CertDef& c : kCertDefs) {
        if (!opts.cmd_opt_register(c.option, required_argument, OPT_CERT, c.help)) {
            printf("ERROR:   Cannot initialize certificates\n");
            return false;
        }
    }
    for (const KeyDef& k : kKeyDefs) {
        if (!opts.cmd_opt_register(k.option, required_argument, OPT_KEY, k.help)) {
            printf("ERROR:   Cannot initialize keys\n");
            return false;
        }
    }
    if (!ext_register_all(opts)) {
        printf("ERROR:   Cannot initialize TBB extensions\n");
        return false;
    }
    return true;
}

// Options; -1 to go on, else the run's result.
int parse_options(int argc, char** argv, const CmdOptRegistry& opts, CertRun& run) {
    const struct option* longs = opts.long_options();
    for (;;) {
        int index = -1;
        int c = getopt_long(argc, argv, kShortOptions, longs, &index);
        if (c == -1) return -1;
        switch (c) {
        case 'a':
            run.key_alg = name_index(optarg, kKeyAlgNames);
            if (run.key_alg < 0) {
                printf("ERROR:   Invalid key algorithm '%s'\n", optarg);
                return 1;
            }
            break;
        case 's':
            run.hash_alg = name_index(optarg, kHashAlgNames);
            if (run.hash_alg < 0) {
                printf("ERROR:   Invalid hash algorithm '%s'\n", optarg);
                return 1;
            }
            break;
        case 'h':
            opts.cert_show_usage(argv[0]);
            return 0;
        case 'k':
            run.save_keys = true;
            break;
        case 'n':
            run.new_keys = true;
            break;
        case 'p':
            run.print_cert = true;
            break;
        case OPT_CERT:
        case OPT_KEY:
        case OPT_EXT: {
            const char* name = index >= 0 ? longs[index].name : "";
            int i = c == OPT_CERT ? cert_record_for_option(name)
                    : c == OPT_KEY ? key_record_for_option(name)
                                   : ext_record_for_option(name);
            if (i < 0) return NULL_OBJECT();  // the registry and the tables disagree
            std::optional<std::string>& slot =
                c == OPT_CERT ? run.cert_out[i] : c == OPT_KEY ? run.key_file[i] : run.ext_arg[i];
            slot = optarg;
            break;
        }
        default:
            opts.cert_show_usage(argv[0]);
            return 1;
        }
    }
}

// What each requested certificate needs must have been given.
int check_requested(const CertRun& run) {
    for (size_t c = 0; c < kCertCount; ++c) {
        if (!run.cert_out[c]) continue;
        const CertDef& cert = kCertDefs[c];
        for (int j = 0; j < cert.ext_count; ++j) {
            const ExtDef& e = kExtDefs[cert.ext[j]];
            const bool given = run.ext_arg[cert.ext[j]].has_value();
            switch (e.kind) {
            case ExtKind::Counter:
                if (!given && !e.optional) {
                    printf("ERROR:   Value for '%s' not specified\n", e.long_name);
                    return 1;
                }
                break;
            case ExtKind::PublicKey:
                if (!run.key_file[e.key] && !run.new_keys) {
                    printf("ERROR:   Key '%s' required by '%s' not specified\n", kKeyDefs[e.key].description,
                           cert.cn);
                    return 1;
                }
                break;
            case ExtKind::Hash:
                if (!given && !e.optional) {
                    printf("ERROR:   Image for '%s' not specified\n", e.long_name);
                    return 1;
                }
                break;
            }
        }
    }
    return 0;
}

int load_keys(CertRun& run) {
    for (size_t k = 0; k < kKeyCount; ++k) {
        run.key[k] = key_alloc();
        if (!run.key[k]) {
            printf("ERROR:   Failed to allocate key container\n");
            return 1;
        }
        const std::optional<std::string>& file = run.key_file[k];
        KeyLoad r = key_read_pem(file, run.key[k]);
        if (r == KeyLoad::Loaded) continue;
        if (r == KeyLoad::CannotLoad) {
            printf("ERROR:   Error loading '%s'\n", file->c_str());
            return 1;
        }
        if (run.new_keys && r != KeyLoad::CannotOpen) {
            if (!key_generate(run.key_alg, run.key[k])) {
                printf("ERROR:   Error creating key '%s'\n", kKeyDefs[k].description);
                return 1;
            }
            run.generated[k] = true;
        } else if (file) {
            printf("ERROR:   Error opening '%s'\n", file->c_str());
            return 1;
        } else {
            printf("ERROR:   Key '%s' not specified\n", kKeyDefs[k].description);
            return 1;
        }
    }
    return 0;
}

// The custom extensions of certificate `c`, in its table order. Images are
// hashed even for a certificate that is not requested.
int build_extensions(const CertRun& run, size_t c, std::vector<X509ExtPtr>& list) {
    int md_len = 0;
    hash_alg_digest(run.hash_alg, &md_len);
    const CertDef& cert = kCertDefs[c];
    for (int j = 0; j < cert.ext_count; ++j) {
        const ExtDef& e = kExtDefs[cert.ext[j]];
        const std::optional<std::string>& arg = run.ext_arg[cert.ext[j]];
        int nid = OBJ_txt2nid(e.oid);
        if (nid == NID_undef) {
            printf("ERROR:   Cannot find TBB extension %s\n", e.oid);
            return 1;
        }
        Der der;
        switch (e.kind) {
        case ExtKind::Counter:
            if (!arg) continue;
            der = ext_encode_counter(arg->c_str());
            break;
        case ExtKind::Hash:
            if (!arg) {
                if (!e.optional) continue;
                std::vector<unsigned char> zeros(static_cast<size_t>(md_len), 0);
                der = ext_encode_digest(run.hash_alg, zeros.data(), zeros.size());
            } else {
                std::vector<unsigned char> digest;
                if (!sha_file(run.hash_alg, arg->c_str(), digest)) {
                    printf("ERROR:   Cannot calculate hash of %s\n", arg->c_str());
                    return 1;
                }
                der = ext_encode_digest(run.hash_alg, digest.data(), digest.size());
            }
            break;
        case ExtKind::PublicKey:
            der = ext_encode_public_key(run.key[e.key].get());
            break;
        }
        if (der.empty()) return NULL_OBJECT();
        X509ExtPtr ext = ext_wrap_der(nid, der);
        if (!ext) return NULL_OBJECT();
        list.push_back(std::move(ext));
    }
    return 0;
}

int create_certificates(CertRun& run) {
    int md_len = 0;
    const EVP_MD* md = hash_alg_digest(run.hash_alg, &md_len);
    for (size_t c = 0; c < kCertCount; ++c) {
        std::vector<X509ExtPtr> exts;
        if (int rc = build_extensions(run, c, exts)) return rc;
        if (!run.cert_out[c]) continue;
        const CertDef& cert = kCertDefs[c];
        CertBuildParams p{cert.cn, run.key[cert.key].get(), run.key_alg, md, kValidityDays};
        run.cert[c] = cert_build(p, exts);
        if (!run.cert[c]) {
            printf("ERROR:   Cannot create %s\n", cert.cn);
            return 1;
        }
    }
    return 0;
}

// An output that cannot be opened is reported and passed over; one that
// cannot be written whole fails the run, so that no truncated certificate
// passes for a good one.
int write_certificates(CertRun& run) {
    int rc = 0;
    for (size_t c = 0; c < kCertCount; ++c) {
        if (!run.cert[c]) continue;
        const char* out_name = run.cert_out[c]->c_str();
        ToolFile out = tool_open_fd(out_name, "wb");
        if (!out) {
            printf("ERROR:   Cannot create file %s\n", out_name);
        } else {
            bool ok = i2d_X509_fp(out.get(), run.cert[c].get()) == 1;
            if (fclose(out.release()) != 0) ok = false;
            if (!ok) {
                ERR_clear_error();
                printf("ERROR:   Cannot write file %s\n", out_name);
                rc = 1;
            }
        }
        run.cert[c].reset();
        run.cert_out[c].reset();
    }
    return rc;
}

int run_cert_create(int argc, char** argv) {
    // Parsing starts at element 1 with nothing left from an earlier run of
    // any tool: only a restart from 0 clears all of getopt's state.
    tool_reset_getopt(0);
    CertRun run;
    CmdOptRegistry opts;
    if (!register_options(opts)) return 1;

    int rc = parse_options(argc, argv, opts, run);
    if (rc >= 0) return rc;

    if (run.save_keys && !run.new_keys) {
        printf("ERROR:   Only new keys can be saved to disk\n");
        return 1;
    }
    if ((rc = check_requested(run)) != 0) return rc;

    if ((rc = load_keys(run)) != 0) return rc;
    if ((rc = create_certificates(run)) != 0) return rc;

    if (run.print_cert) {
        for (size_t c = 0; c < kCertCount; ++c) {
            if (!run.cert[c]) continue;
            printf("\n\n=====================================\n\n");
            if (!ossl_print_cert(run.cert[c].get(), stdout)) ossl_print_errors(stdout);
        }
    }

    rc = write_certificates(run);

    // Only generated keys are saved: a loaded key's file stays as it is. A key
    // that is not saved fails the run, since its certificates are then signed
    // by a key nobody has.
    if (run.save_keys) {
        for (size_t k = 0; k < kKeyCount; ++k) {
            if (!run.generated[k]) continue;
            if (!key_save_pem(run.key_file[k], run.key[k].get())) {
                printf("ERROR:   Cannot save %s\n", kKeyDefs[k].description);
                rc = 1;
            }
        }
    }
    return rc;
}

}  // namespace

int cert_create_main(int argc, char** argv) {
    if (argc < 1 || !argv || !argv[0]) return 1;
    int rc;
    try {
        rc = run_cert_create(argc, argv);
    } catch (const std::bad_alloc&) {
        printf("ERROR:   Out of memory\n");
        rc = 1;
    } catch (...) {
        rc = 1;
    }
    // Nothing of this run's crypto errors may reach the next caller.
    ERR_clear_error();
    fflush(stdout);
    return rc;
}
