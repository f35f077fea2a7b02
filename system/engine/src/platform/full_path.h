// Absolute paths formed lexically: joined with the working directory and
// normalised, without touching the file system (the path need not exist).
#pragma once

#include <string>

// The absolute form of `path` into a caller buffer of 260 bytes, or, when
// `buffer` is null, into a malloc'ed buffer the caller frees. Returns the
// buffer, or null with errno EINVAL (no path) or ENAMETOOLONG (does not fit).
// When nothing exists at the absolute path the buffer still holds it, the
// result is null and errno is ENOENT.
char* resolve_full_path(const char* path, char* buffer);

// The absolute form of `path`; false when it is empty or does not fit
// `capacity` bytes with its terminator.
bool full_path_lexical(const std::string& path, std::string& out, size_t capacity = 260);
