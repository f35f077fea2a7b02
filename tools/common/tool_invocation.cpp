#include "tools/common/tool_invocation.h"

#include <fcntl.h>
#include <getopt.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

int tool_fd_number(const char* text) {
    if (!text || *text < '0' || *text > '9') return -1;
    errno = 0;
    char* end = nullptr;
    long v = strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || v > INT_MAX) return -1;
    return static_cast<int>(v);
}

UniqueFd tool_dup_fd(const char* text) {
    int fd = tool_fd_number(text);
    if (fd < 0) return UniqueFd();
    // Close-on-exec: the engine's process may start others while a tool runs.
    return UniqueFd(fcntl(fd, F_DUPFD_CLOEXEC, 0));
}

ToolFile tool_open_fd(const char* text, const char* mode) {
    UniqueFd dup = tool_dup_fd(text);
    if (!dup.valid()) return ToolFile();
    FILE* f = fdopen(dup.get(), mode);
    if (!f) return ToolFile();
    dup.release();
    return ToolFile(f);
}

UniqueFd tool_dup_input(const char* text) {
    UniqueFd dup = tool_dup_fd(text);
    if (dup.valid() && lseek(dup.get(), 0, SEEK_SET) != 0) dup.reset();
    return dup;
}

ToolFile tool_open_input(const char* text) {
    UniqueFd dup = tool_dup_input(text);
    if (!dup.valid()) return ToolFile();
    FILE* f = fdopen(dup.get(), "rb");
    if (!f) return ToolFile();
    dup.release();
    return ToolFile(f);
}

void tool_reset_getopt(int first) {
    optind = first;
    opterr = 0;
    optarg = nullptr;
    optopt = 0;
}
