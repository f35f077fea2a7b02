#include "tools/cert_create/cert_cmd_opt.h"

#include <cctype>
#include <cstdio>
#include <string>

CmdOptRegistry::CmdOptRegistry() { cmd_opt_reset(); }

void CmdOptRegistry::cmd_opt_reset() {
    opts_.assign(1, option{nullptr, 0, nullptr, 0});
    opts_.reserve(CMD_OPT_MAX_NUM + 1);
    help_.clear();
    help_.reserve(CMD_OPT_MAX_NUM);
}

bool CmdOptRegistry::cmd_opt_register(const char* name, int has_arg, int val, const char* help) {
    if (help_.size() >= CMD_OPT_MAX_NUM) {
        printf("ERROR:   Out of memory. Please increase CMD_OPT_MAX_NUM\n");
        return false;
    }
    opts_.back() = option{name, has_arg, nullptr, val};
    opts_.push_back(option{nullptr, 0, nullptr, 0});
    help_.push_back(help);
    return true;
}

void CmdOptRegistry::cert_show_usage(const char* argv0) const {
    printf("\n\n");
    printf(
        "The certificate generation tool loads the binary images and\n"
        "optionally the RSA keys, and outputs the key and content\n"
        "certificates properly signed to implement the chain of trust.\n"
        "If keys are provided, they must be in PEM format.\n"
        "Certificates are generated in DER format.\n");
    printf("\n");
    printf("Usage:\n");
    printf("\t%s [OPTIONS]\n\n", argv0);
    printf("Available options:\n");
    for (size_t i = 0; i < help_.size(); ++i) {
        const option& o = opts_[i];
        std::string text;
        // Only the common options carry a letter as their value.
        if (isalpha(o.val)) {
            text += '-';
            text += static_cast<char>(o.val);
            text += ',';
        }
        text += "--";
        text += o.name;
        text += ' ';
        if (o.has_arg != no_argument) text += "<arg>";
        printf("\t%-32s %s\n", text.c_str(), help_[i] ? help_[i] : "");
    }
    printf("\n");
}
