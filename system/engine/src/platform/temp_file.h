// Anonymous temporary files that vanish when their last descriptor closes.
#pragma once

#include <string>

// The system's temporary directory ($TMPDIR or /tmp); empty when it is not
// a usable directory.
std::string temp_dir_path();

// A new temporary file in `dir`, open for reading and writing, without a
// name (O_TMPFILE, or a "<prefix>XXXXXX" file unlinked at once). -1 on failure.
int temp_file_open_anonymous(const std::string& dir, const char* prefix);
