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
// descriptor's position; null after the loader's messages on standard error.
UbiConfig ubi_load_config(const char* text);
