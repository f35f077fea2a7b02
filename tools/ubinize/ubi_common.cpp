#include "tools/ubinize/ubi_common.h"

#include <sys/time.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

void vmessage(FILE* stream, const char* prog, const char* tag, const char* format, va_list args) {
    fprintf(stream, "%s: %s", prog, tag);
    vfprintf(stream, format, args);
}

}  // namespace

void ubi_errmsg(const char* prog, const char* format, ...) {
    va_list args;
    va_start(args, format);
    vmessage(stderr, prog, "error!: ", format, args);
    va_end(args);
}

void ubi_sys_errmsg(const char* prog, const char* format, ...) {
    int saved = errno;
    va_list args;
    va_start(args, format);
    vmessage(stderr, prog, "error!: ", format, args);
    va_end(args);
    // Indented under the text that follows "<prog>: ".
    fprintf(stderr, "%*serror %d (%s)\n", static_cast<int>(strlen(prog) + 2), "", saved, strerror(saved));
    errno = saved;
}

void ubi_normsg(const char* prog, const char* format, ...) {
    va_list args;
    va_start(args, format);
    vmessage(stdout, prog, "", format, args);
    va_end(args);
}

bool ubi_parse_number(const char* prog, const char* text, uint32_t& value) {
    char* end = nullptr;
    errno = 0;
    unsigned long long v = strtoull(text, &end, 0);
    if (*text == '\0' || *end != '\0') {
        ubi_errmsg(prog, "%s: unable to parse the number '%s'\n", "strtoul", text);
        value = 0xFFFFFFFFu;
        return false;
    }
    const char* p = text;
    while (isspace(static_cast<unsigned char>(*p))) ++p;
    bool negative = *p == '-';
    unsigned long long magnitude = negative ? 0ULL - v : v;
    // 32-bit unsigned semantics: out of range saturates, a sign wraps.
    if (errno == ERANGE || magnitude > 0xFFFFFFFFull) value = 0xFFFFFFFFu;
    else value = negative ? 0u - static_cast<uint32_t>(magnitude) : static_cast<uint32_t>(magnitude);
    return true;
}

long long ubi_parse_size(const char* text) {
    const char* p = text;
    while (isspace(static_cast<unsigned char>(*p))) ++p;
    char* end = nullptr;
    errno = 0;
    unsigned long long v = strtoull(text, &end, 0);
    if (end == text || *p == '-' || errno == ERANGE || v > 0x7FFFFFFFFFFFFFFFull) {
        fprintf(stderr, "incorrect amount of bytes: \"%s\"\n", text);
        return -1;
    }
    while (*end == ' ' || *end == '\t') ++end;
    unsigned long long factor = 1;
    if (*end != '\0') {
        if (!strcmp(end, "KiB")) factor = 1024ull;
        else if (!strcmp(end, "MiB")) factor = 1024ull * 1024;
        else if (!strcmp(end, "GiB")) factor = 1024ull * 1024 * 1024;
        else {
            fprintf(stderr, "bad size specifier: \"%s\" - should be 'KiB', 'MiB' or 'GiB'\n", end);
            return -1;
        }
    }
    if (v > 0x7FFFFFFFFFFFFFFFull / factor) {
        fprintf(stderr, "incorrect amount of bytes: \"%s\"\n", text);
        return -1;
    }
    return static_cast<long long>(v * factor);
}

void ubi_print_size(long long bytes, bool bracket) {
    const char* sep = bracket ? " (" : ", ";
    printf("%lld bytes", bytes);
    const long long kib = 1024, mib = kib * 1024, gib = mib * 1024;
    if (bytes > gib) printf("%s%lld.%lld GiB", sep, bytes / gib, bytes % gib / 107374182);
    else if (bytes > mib) printf("%s%lld.%lld MiB", sep, bytes / mib, bytes % mib / 104857);
    else if (bytes > kib) printf("%s%lld.%lld KiB", sep, bytes / kib, bytes % kib / 102);
    else return;
    if (bracket) printf(")");
}

bool ubi_write_all(int fd, const void* data, size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t n = write(fd, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;
            return false;
        }
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

void ubi_seed_random() {
    struct timeval tv;
    if (gettimeofday(&tv, nullptr) != 0) return;
    uint32_t pid = static_cast<uint32_t>(getpid());
    uint32_t t = static_cast<uint32_t>(tv.tv_sec) + static_cast<uint32_t>(tv.tv_usec);
    srand((pid * t) % 32767u);
}
