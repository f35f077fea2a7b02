#include "platform/full_path.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

std::string normalise(const std::string& absolute) {
    std::vector<std::string> parts;
    size_t i = 0;
    while (i <= absolute.size()) {
        size_t j = absolute.find('/', i);
        if (j == std::string::npos) j = absolute.size();
        std::string part = absolute.substr(i, j - i);
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        i = j + 1;
    }
    std::string out;
    for (const auto& p : parts) out += "/" + p;
    return out.empty() ? "/" : out;
}

}  // namespace

bool full_path_lexical(const std::string& path, std::string& out, size_t capacity) {
    if (path.empty()) return false;
    std::string joined = path;
    if (path[0] != '/') {
        char cwd[PATH_MAX];
        if (!getcwd(cwd, sizeof cwd)) return false;
        joined = std::string(cwd) + "/" + path;
    }
    std::string result = normalise(joined);
    if (result.size() + 1 > capacity) return false;
    out = result;
    return true;
}

char* resolve_full_path(const char* path, char* buffer) {
    if (!path || !*path) {
        errno = EINVAL;
        return nullptr;
    }
    std::string abs;
    if (!full_path_lexical(path, abs, buffer ? 260 : static_cast<size_t>(-1))) {
        errno = ENAMETOOLONG;
        return nullptr;
    }
    char* out = buffer;
    if (!out) {
        out = static_cast<char*>(malloc(abs.size() + 1));
        if (!out) {
            errno = ENOMEM;
            return nullptr;
        }
    }
    memcpy(out, abs.c_str(), abs.size() + 1);
    struct stat st;
    if (stat(out, &st) != 0) {
        errno = ENOENT;
        if (!buffer) free(out);
        return nullptr;
    }
    return out;
}
