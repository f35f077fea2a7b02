// What the in-process image tools share: the argument vector of one run, and
// files named by the decimal number of a descriptor the caller keeps open.
#pragma once

#include <cstdio>
#include <memory>

#include "platform/unique_fd.h"

// One run of a tool, as a shell would build it: argv[0] names the tool.
struct ToolInvocation {
    int argc;
    char** argv;
};

// Entries of the four tools. Each returns 0 on success.
int fiptool_main(int argc, char** argv);      // failure: 1
int cert_create_main(int argc, char** argv);  // failure: 1
int ubinize_main(int argc, char** argv);      // failure: -1
int lzma_main(int argc, char** argv);         // failure: 1

struct ToolFileCloser {
    void operator()(FILE* f) const {
        if (f) fclose(f);
    }
};
// A stream on a duplicate of the caller's descriptor; closing it closes only the duplicate.
using ToolFile = std::unique_ptr<FILE, ToolFileCloser>;

// The descriptor number in `text` ("%d" form), or -1 when it is not one.
int tool_fd_number(const char* text);
// A duplicate of the descriptor named by `text`; invalid when the text is not
// a number or the descriptor is not open. Shares the caller's file position.
UniqueFd tool_dup_fd(const char* text);
// A stream in `mode` on a duplicate of the descriptor named by `text`; null on failure.
ToolFile tool_open_fd(const char* text, const char* mode);
// An input named by `text`: a stream "rb" on a duplicate rewound to offset 0,
// so that a tool reads the whole file whatever position the caller left (the
// shared position moves with it). Null, with errno set, when the descriptor
// is not open or cannot be rewound (a pipe).
ToolFile tool_open_input(const char* text);
// The same as a descriptor, for tools that read with read().
UniqueFd tool_dup_input(const char* text);
// Restarts the C library's option parser for a new run: `optind` = first
// (0 re-reads the option string), no diagnostics, no pending argument.
void tool_reset_getopt(int first);
