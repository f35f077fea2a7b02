// Small utilities of the flashing client: the fatal-error exit, wall-clock
// seconds, a checked string copy and an in-place trim.
#pragma once

#include <cstdarg>
#include <string>

// Thrown by fatal_error; caught by fatal_contain (and by the script runner's
// thread body), so a fatal condition ends the current script, never the process.
// Deliberately not a std::exception: generic handlers must not swallow it.
struct FatalErrorExit {
    int unused = 0;
};

// Writes "error: <message>\n" to standard error and does not return: it
// unwinds to the nearest fatal_contain on this thread.
[[noreturn]] void fatal_error(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Runs `body`; when it ends in fatal_error (or any other exception), returns
// `onFatal` instead. Never throws. A download thread runs its script under
// this, so a fatal condition fails that one device and nothing else.
template <typename Body>
auto fatal_contain(Body&& body, decltype(body()) onFatal) noexcept -> decltype(body()) {
    try {
        return body();
    } catch (const FatalErrorExit&) {
        return onFatal;
    } catch (...) {
        return onFatal;
    }
}

// Whole seconds plus microseconds / 1e6 of the wall clock.
double now_seconds();

// malloc'ed copy of `text`, released with free(); fatal_error("out of memory")
// when it cannot be had.
char* strdup_or_fatal(const char* text);

// Skips leading white space and overwrites trailing white space with NULs.
char* trim_in_place(char* text);

// printf into a string of any length.
std::string format_text(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string format_text_v(const char* format, va_list args);
