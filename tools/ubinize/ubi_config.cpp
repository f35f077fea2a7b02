#include "tools/ubinize/ubi_config.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>

#include "tools/common/tool_invocation.h"
#include "tools/ubinize/ubi_common.h"

namespace {

// The INI library opens files only by path. The text is copied from the
// caller's descriptor (from its start, whatever position the caller left
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

UniqueFd copy_to_memory_file(FILE* in, std::string& text) {
    UniqueFd copy(memfd_create("ubinize-config", MFD_CLOEXEC));
    if (!copy.valid()) return copy;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, in)) > 0) {
        if (!ubi_write_all(copy.get(), buffer, n)) return UniqueFd();
        text.append(buffer, n);
    }
    if (ferror(in)) return UniqueFd();
    return copy;
}

bool blank(char c) { return isspace(static_cast<unsigned char>(c)) != 0; }

std::string stripped(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && blank(s[b])) ++b;
    while (e > b && blank(s[e - 1])) --e;
    return s.substr(b, e - b);
}

// The library folds section names to lower case and merges sections of one
// name, so two volumes would silently become one: a name used twice
// (without regard to case) is refused. Lines are read as the library reads
// them: stripped, joined on a trailing backslash, "#" and ";" comments.
bool sections_unique(const std::string& text, const char* where) {
    std::set<std::string> seen;
    std::string line;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        std::string part = text.substr(at, end - at);
        at = end + 1;
        while (!part.empty() && blank(part.back())) part.pop_back();
        if (!part.empty() && part.back() == '\\') {
            part.pop_back();
            line += part;
            continue;
        }
        line = stripped(line + part);
        std::string current;
        current.swap(line);
        if (current.size() < 2 || current.front() != '[' || current.back() != ']') continue;
        std::string name = stripped(current.substr(1, current.find(']') - 1));
        std::string folded = name;
        for (char& c : folded) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
        if (!seen.insert(folded).second) {
            ubi_errmsg("ubinize", "section \"%s\" appears twice in \"%s\" (names are compared without regard to case)\n",
                       name.c_str(), where);
            return false;
        }
    }
    return true;
}

// The library keeps the blanks inside a quoted value; values are taken
// stripped, quoted or not.
void strip_values(dictionary* d) {
    for (ssize_t i = 0; i < d->size; ++i) {
        char* v = d->val[i];
        if (!d->key[i] || !v) continue;
        std::string s = stripped(v);
        memcpy(v, s.c_str(), s.size() + 1);
    }
}

}  // namespace

UbiConfig ubi_load_config(const char* text) {
    UniqueFd copy;
    std::string content;
    {
        ToolFile in = tool_open_input(text);
        if (in) copy = copy_to_memory_file(in.get(), content);
    }
    if (!copy.valid()) {
        fprintf(stderr, "iniparser: cannot open %s\n", text);
        return UbiConfig();
    }
    char path[64];
    snprintf(path, sizeof path, "/proc/self/fd/%d", copy.get());
    LoaderNames names{path, text};
    ReportScope scope(names);
    UbiConfig dict(iniparser_load(path));
    if (!dict) return dict;
    if (!sections_unique(content, text)) return UbiConfig();
    strip_values(dict.get());
    return dict;
}
