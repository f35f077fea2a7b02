// The volume configuration of ubinize: an INI text read from a descriptor.
#pragma once

#include <memory>

#include <iniparser/iniparser.h>

struct UbiConfigFree {
    void operator()(dictionary* d) const {
        if (d) iniparser_freedict(d);
    }
};
using UbiConfig = std::unique_ptr<dictionary, UbiConfigFree>;

// Loads the configuration whose descriptor number is `text`, read from the
// descriptor's start; null after the loader's messages on standard error.
// Values are stripped, quoted or not; two sections of one name (compared
// without regard to case) are refused. The library's ";" comment lines and
// a last line without a newline are accepted.
UbiConfig ubi_load_config(const char* text);
