// The library's own calls to the C library's output functions are redirected
// here at link time. Standard output and standard error feed the log capture;
// every other stream goes to the real function. The host process's own calls
// are untouched, so its output still reaches its descriptors.
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "base/log_capture.h"

extern "C" {
int __real_fputc(int c, FILE* f);
int __real_putc(int c, FILE* f);
int __real_fputs(const char* s, FILE* f);
size_t __real_fwrite(const void* p, size_t size, size_t n, FILE* f);
int __real_vfprintf(FILE* f, const char* fmt, va_list ap);
int __real___vfprintf_chk(FILE* f, int flag, const char* fmt, va_list ap);
wint_t __real_fputwc(wchar_t c, FILE* f);
wint_t __real_putwc(wchar_t c, FILE* f);
int __real_fputws(const wchar_t* s, FILE* f);
int __real_vfwprintf(FILE* f, const wchar_t* fmt, va_list ap);
int __real___vfwprintf_chk(FILE* f, int flag, const wchar_t* fmt, va_list ap);
}

namespace {

inline bool captured(FILE* f) { return f == stdout || f == stderr; }

int capture_vformat(const char* fmt, va_list ap) {
    char small[512];
    va_list copy;
    va_copy(copy, ap);
    int n = vsnprintf(small, sizeof small, fmt, copy);
    va_end(copy);
    if (n < 0) return n;
    if (static_cast<size_t>(n) < sizeof small) {
        log_capture_write(small, static_cast<size_t>(n));
        return n;
    }
    std::vector<char> big(static_cast<size_t>(n) + 1);
    vsnprintf(big.data(), big.size(), fmt, ap);
    log_capture_write(big.data(), static_cast<size_t>(n));
    return n;
}

int capture_vwformat(const wchar_t* fmt, va_list ap) {
    // vswprintf reports no needed length: grow until the text fits.
    for (size_t cap = 512; cap <= (1u << 24); cap *= 4) {
        std::vector<wchar_t> buf(cap);
        va_list copy;
        va_copy(copy, ap);
        int n = vswprintf(buf.data(), cap, fmt, copy);
        va_end(copy);
        if (n >= 0) {
            log_capture_write_wide(buf.data(), static_cast<size_t>(n));
            return n;
        }
    }
    return -1;
}

}  // namespace

extern "C" {

__attribute__((visibility("hidden"))) int __wrap_fputc(int c, FILE* f) {
    if (!captured(f)) return __real_fputc(c, f);
    char ch = static_cast<char>(c);
    log_capture_write(&ch, 1);
    return static_cast<unsigned char>(c);
}

__attribute__((visibility("hidden"))) int __wrap_putc(int c, FILE* f) {
    if (!captured(f)) return __real_putc(c, f);
    return __wrap_fputc(c, f);
}

__attribute__((visibility("hidden"))) int __wrap_putchar(int c) { return __wrap_fputc(c, stdout); }

__attribute__((visibility("hidden"))) int __wrap_fputs(const char* s, FILE* f) {
    if (!captured(f)) return __real_fputs(s, f);
    log_capture_write(s, strlen(s));
    return 0;
}

__attribute__((visibility("hidden"))) int __wrap_puts(const char* s) {
    log_capture_write(s, strlen(s));
    log_capture_write("\n", 1);
    return 0;
}

__attribute__((visibility("hidden"))) size_t __wrap_fwrite(const void* p, size_t size, size_t n,
                                                           FILE* f) {
    if (!captured(f)) return __real_fwrite(p, size, n, f);
    log_capture_write(static_cast<const char*>(p), size * n);
    return n;
}

__attribute__((visibility("hidden"))) void __wrap_perror(const char* s) {
    std::string text;
    if (s && *s) text = std::string(s) + ": ";
    text += strerror(errno);
    text += "\n";
    log_capture_write(text.data(), text.size());
}

__attribute__((visibility("hidden"))) int __wrap_vfprintf(FILE* f, const char* fmt, va_list ap) {
    if (!captured(f)) return __real_vfprintf(f, fmt, ap);
    return capture_vformat(fmt, ap);
}

__attribute__((visibility("hidden"))) int __wrap_vprintf(const char* fmt, va_list ap) {
    return capture_vformat(fmt, ap);
}

__attribute__((visibility("hidden"))) int __wrap_fprintf(FILE* f, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int n = __wrap_vfprintf(f, fmt, ap);
    va_end(ap);
    return n;
}

__attribute__((visibility("hidden"))) int __wrap_printf(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int n = capture_vformat(fmt, ap);
    va_end(ap);
    return n;
}

__attribute__((visibility("hidden"))) int __wrap___vfprintf_chk(FILE* f, int flag, const char* fmt,
                                                                va_list ap) {
    if (!captured(f)) return __real___vfprintf_chk(f, flag, fmt, ap);
    return capture_vformat(fmt, ap);
}

__attribute__((visibility("hidden"))) int __wrap___vprintf_chk(int, const char* fmt, va_list ap) {
    return capture_vformat(fmt, ap);
}

__attribute__((visibility("hidden"))) int __wrap___fprintf_chk(FILE* f, int flag, const char* fmt,
                                                               ...) {
    va_list ap;
    va_start(ap, fmt);
    int n = __wrap___vfprintf_chk(f, flag, fmt, ap);
    va_end(ap);
    return n;
}

__attribute__((visibility("hidden"))) int __wrap___printf_chk(int, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int n = capture_vformat(fmt, ap);
    va_end(ap);
    return n;
}

__attribute__((visibility("hidden"))) wint_t __wrap_fputwc(wchar_t c, FILE* f) {
    if (!captured(f)) return __real_fputwc(c, f);
    log_capture_write_wide(&c, 1);
    return static_cast<wint_t>(c);
}

__attribute__((visibility("hidden"))) wint_t __wrap_putwc(wchar_t c, FILE* f) {
    if (!captured(f)) return __real_putwc(c, f);
    return __wrap_fputwc(c, f);
}

__attribute__((visibility("hidden"))) wint_t __wrap_putwchar(wchar_t c) {
    return __wrap_fputwc(c, stdout);
}

__attribute__((visibility("hidden"))) int __wrap_fputws(const wchar_t* s, FILE* f) {
    if (!captured(f)) return __real_fputws(s, f);
    log_capture_write_wide(s, wcslen(s));
    return 0;
}

__attribute__((visibility("hidden"))) int __wrap_vfwprintf(FILE* f, const wchar_t* fmt, va_list ap) {
    if (!captured(f)) return __real_vfwprintf(f, fmt, ap);
    return capture_vwformat(fmt, ap);
}

__attribute__((visibility("hidden"))) int __wrap_vwprintf(const wchar_t* fmt, va_list ap) {
    return capture_vwformat(fmt, ap);
}

__attribute__((visibility("hidden"))) int __wrap_fwprintf(FILE* f, const wchar_t* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int n = __wrap_vfwprintf(f, fmt, ap);
    va_end(ap);
    return n;
}

__attribute__((visibility("hidden"))) int __wrap_wprintf(const wchar_t* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int n = capture_vwformat(fmt, ap);
    va_end(ap);
    return n;
}

__attribute__((visibility("hidden"))) int __wrap___vfwprintf_chk(FILE* f, int flag,
                                                                 const wchar_t* fmt, va_list ap) {
    if (!captured(f)) return __real___vfwprintf_chk(f, flag, fmt, ap);
    return capture_vwformat(fmt, ap);
}

__attribute__((visibility("hidden"))) int __wrap___vwprintf_chk(int, const wchar_t* fmt, va_list ap) {
    return capture_vwformat(fmt, ap);
}

__attribute__((visibility("hidden"))) int __wrap___fwprintf_chk(FILE* f, int flag,
                                                                const wchar_t* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int n = __wrap___vfwprintf_chk(f, flag, fmt, ap);
    va_end(ap);
    return n;
}

__attribute__((visibility("hidden"))) int __wrap___wprintf_chk(int, const wchar_t* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int n = capture_vwformat(fmt, ap);
    va_end(ap);
    return n;
}

}  // extern "C"
