// Messages and number parsing shared by ubinize and its block layer.
#pragma once

#include <cstddef>
#include <cstdint>

// "<prog>: error!: ..." on standard error.
void ubi_errmsg(const char* prog, const char* format, ...) __attribute__((format(printf, 2, 3)));
// The same, followed by the indented "error <errno> (<text>)" line of the
// system call that failed (errno as it was on entry).
void ubi_sys_errmsg(const char* prog, const char* format, ...) __attribute__((format(printf, 2, 3)));
// "<prog>: ..." on standard output.
void ubi_normsg(const char* prog, const char* format, ...) __attribute__((format(printf, 2, 3)));

// An unsigned 32-bit number with an optional base prefix ("0x", leading 0).
// False, after the parse message of `prog`, for an empty text or trailing
// characters.
bool ubi_parse_number(const char* prog, const char* text, uint32_t& value);

// Bytes with an optional "KiB", "MiB" or "GiB" after blanks; -1 after a
// message when the text is not such a size.
long long ubi_parse_size(const char* text);

// "<n> bytes", followed by the value in the largest fitting binary unit with
// one decimal, in brackets when `bracket` is set.
void ubi_print_size(long long bytes, bool bracket);

// Writes all `size` bytes to `fd` at its position; false (errno set) when
// a write fails or stops short.
bool ubi_write_all(int fd, const void* data, size_t size);

// Seeds the C library's generator from the time of day and the process id.
void ubi_seed_random();
