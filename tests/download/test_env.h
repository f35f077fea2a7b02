// Where the built program and stand-ins are, and a clean environment for it.
#pragma once

#include <string>
#include <vector>

#include "download_process.h"

namespace dltest {

inline std::vector<std::string> clean_env(std::vector<std::string> extra = {}) {
    extra.push_back("PATH=/usr/bin:/bin");
    return extra;
}

// A copy of the program alone in a scratch directory: no library beside it,
// none on the library path.
struct IsolatedProgram {
    TempDir dir;
    std::string exe = dir.add(DOWNLOAD_EXE);
};

inline std::string result(uint32_t code) { return record("result", std::to_string(code)); }
inline std::string error3() { return record("error", "3"); }

}  // namespace dltest
