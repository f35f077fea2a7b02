#include "tools/fiptool/fip_log.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

bool g_verbose = false;

// One formatted call per line, so that a line reaches the log capture whole.
void vmessage(const char* level, const char* fmt, va_list ap) {
    va_list copy;
    va_copy(copy, ap);
    int n = vsnprintf(nullptr, 0, fmt, copy);
    va_end(copy);
    if (n < 0) return;
    std::vector<char> text(static_cast<size_t>(n) + 1);
    vsnprintf(text.data(), text.size(), fmt, ap);
    fprintf(stderr, "%s: %s\n", level, text.data());
}

void vmessage_errno(const char* fmt, va_list ap) {
    int err = errno;
    char buf[512];
    vsnprintf(buf, sizeof buf, fmt, ap);
    size_t used = strlen(buf);
    snprintf(buf + used, sizeof buf - used, ": %s", strerror(err));
    fprintf(stderr, "ERROR: %s\n", buf);
}

}  // namespace

void fip_exit(int status) { throw FipExit{status}; }

void fip_set_verbose(bool on) { g_verbose = on; }
bool fip_verbose() { return g_verbose; }

void fip_error(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vmessage("ERROR", fmt, ap);
    va_end(ap);
}

void fip_error_errno(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vmessage_errno(fmt, ap);
    va_end(ap);
}

void fip_warn(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vmessage("WARN", fmt, ap);
    va_end(ap);
}

void fip_debug(const char* fmt, ...) {
    if (!g_verbose) return;
    va_list ap;
    va_start(ap, fmt);
    vmessage("DEBUG", fmt, ap);
    va_end(ap);
}

void fip_fail(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vmessage("ERROR", fmt, ap);
    va_end(ap);
    fip_exit(1);
}

void fip_fail_errno(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vmessage_errno(fmt, ap);
    va_end(ap);
    fip_exit(1);
}
