// Messages on standard error ("ERROR: ", "WARN: ", "DEBUG: ") and the way a
// run ends early with a status.
#pragma once

// Thrown to end a run early; caught only by the entry, after every owner
// on the way up has released what it held.
struct FipExit {
    int status;
};
[[noreturn]] void fip_exit(int status);

// The verbose flag of the current run; DEBUG lines appear only while it is on.
void fip_set_verbose(bool on);
bool fip_verbose();

void fip_error(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// The message, ": " and the text of the current errno.
void fip_error_errno(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void fip_warn(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void fip_debug(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// fip_error, then fip_exit(1).
[[noreturn]] void fip_fail(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
[[noreturn]] void fip_fail_errno(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
