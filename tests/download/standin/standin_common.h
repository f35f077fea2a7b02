// What the stand-ins share: their settings come from the environment, what
// they were given goes as one line per call to the file named by STANDIN_LOG.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace standin {

inline bool env_flag(const char* name, bool fallback) {
    const char* v = std::getenv(name);
    return v && *v ? std::strcmp(v, "0") != 0 : fallback;
}

inline void log_line(const std::string& line) {
    const char* path = std::getenv("STANDIN_LOG");
    if (!path || !*path) return;
    int fd = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return;
    std::string out = line + "\n";
    ssize_t n = ::write(fd, out.data(), out.size());
    (void)n;
    ::close(fd);
}

inline uint32_t get_word(const void* rec, size_t offset) {
    uint32_t v;
    std::memcpy(&v, static_cast<const char*>(rec) + offset, sizeof v);
    return v;
}

inline void put_word(void* rec, size_t offset, uint32_t v) {
    std::memcpy(static_cast<char*>(rec) + offset, &v, sizeof v);
}

// The UTF-16 units as hex, four digits each; "-" for the empty text.
inline std::string units_hex(const char16_t* text) {
    std::string out;
    char buf[8];
    for (size_t i = 0; text && text[i]; ++i) {
        std::snprintf(buf, sizeof buf, "%04x", static_cast<unsigned>(text[i]));
        out += buf;
    }
    return out.empty() ? "-" : out;
}

}  // namespace standin
