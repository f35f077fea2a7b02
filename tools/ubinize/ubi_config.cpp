#include "tools/ubinize/ubi_config.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "tools/common/tool_invocation.h"
#include "tools/ubinize/ubi_common.h"

namespace {

// The INI library opens files only by path. The text is copied from the
// caller's descriptor (from its position, as a stream on a duplicate reads
// it) into an anonymous memory file that the library opens by its
// /proc/self/fd path; the library's messages name the descriptor text again.
struct LoaderNames {
    const char* path;
    const char* text;
};
const LoaderNames* g_names = nullptr;

int report(const char* format, ...) {
    char line[4096];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(line, sizeof line, format, args);
    va_end(args);
    const char* rest = line;
    if (g_names) {
        size_t path_length = strlen(g_names->path);
        for (const char* hit; (hit = strstr(rest, g_names->path)) != nullptr; rest = hit + path_length) {
            fwrite(rest, 1, static_cast<size_t>(hit - rest), stderr);
            fputs(g_names->text, stderr);
        }
    }
    fputs(rest, stderr);
    return n;
}

struct ReportScope {
    explicit ReportScope(const LoaderNames& names) {
        g_names = &names;
        iniparser_set_error_callback(report);
    }
    ~ReportScope() {
        iniparser_set_error_callback(nullptr);
        g_names = nullptr;
    }
    ReportScope(const ReportScope&) = delete;
    ReportScope& operator=(const ReportScope&) = delete;
};

UniqueFd copy_to_memory_file(FILE* in) {
    UniqueFd copy(memfd_create("ubinize-config", MFD_CLOEXEC));
    if (!copy.valid()) return copy;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, in)) > 0)
        if (!ubi_write_all(copy.get(), buffer, n)) return UniqueFd();
    if (ferror(in)) return UniqueFd();
    return copy;
}

}  // namespace

UbiConfig ubi_load_config(const char* text) {
    UniqueFd copy;
    {
        ToolFile in = tool_open_input(text);
        if (in) copy = copy_to_memory_file(in.get());
    }
    if (!copy.valid()) {
        fprintf(stderr, "iniparser: cannot open %s\n", text);
        return UbiConfig();
    }
    char path[64];
    snprintf(path, sizeof path, "/proc/self/fd/%d", copy.get());
    LoaderNames names{path, text};
    ReportScope scope(names);
    return UbiConfig(iniparser_load(path));
}
