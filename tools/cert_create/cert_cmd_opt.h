// The long options of one run of the certificate generator and their help
// lines, in the order in which they were registered.
#pragma once

#include <getopt.h>

#include <cstddef>
#include <vector>

constexpr size_t CMD_OPT_MAX_NUM = 64;

class CmdOptRegistry {
public:
    CmdOptRegistry();
    // False, with a message, when the registry is full.
    bool cmd_opt_register(const char* name, int has_arg, int val, const char* help);
    void cmd_opt_reset();
    // The options for getopt_long, ending in an all-zero entry.
    const struct option* long_options() const { return opts_.data(); }
    void cert_show_usage(const char* argv0) const;

private:
    std::vector<struct option> opts_;  // always ends in the terminator
    std::vector<const char*> help_;
};
