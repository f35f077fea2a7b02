#include "flash/client_util.h"

#include <sys/time.h>

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

void fatal_error(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = format_text_v(format, args);
    va_end(args);
    fprintf(stderr, "error: %s\n", text.c_str());
    // Unwinding (rather than exiting) releases what the script holds and lets
    // the thread's own guard end the script as failed.
    throw FatalErrorExit{};
}

double now_seconds() {
    timeval tv{};
    gettimeofday(&tv, nullptr);
    return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1000000.0;
}

char* strdup_or_fatal(const char* text) {
    char* copy = strdup(text);
    if (!copy) fatal_error("out of memory");
    return copy;
}

char* trim_in_place(char* text) {
    while (*text && isspace(static_cast<unsigned char>(*text))) ++text;
    size_t length = strlen(text);
    while (length > 0 && isspace(static_cast<unsigned char>(text[length - 1]))) text[--length] = '\0';
    return text;
}

std::string format_text_v(const char* format, va_list args) {
    va_list again;
    va_copy(again, args);
    int length = vsnprintf(nullptr, 0, format, args);
    std::string text;
    if (length > 0) {
        text.resize(static_cast<size_t>(length));
        vsnprintf(&text[0], text.size() + 1, format, again);
    }
    va_end(again);
    return text;
}

std::string format_text(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = format_text_v(format, args);
    va_end(args);
    return text;
}
