#include "release/config_dir.h"

#include <ftw.h>
#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>

#include "base/never_destroyed.h"
#include "platform/full_path.h"

namespace {

ConfigTables& g_tables = never_destroyed<ConfigTables>();
std::string& g_root = never_destroyed<std::string>();

Json::Value* table_for(const std::string& below_root) {
    if (below_root.find("/flash/") != std::string::npos) return &g_tables.flash;
    if (below_root.find("/partition/") != std::string::npos) return &g_tables.partition;
    if (below_root.find("/product/") != std::string::npos) return &g_tables.product;
    if (below_root.find("/template/") != std::string::npos) return &g_tables.templ;
    if (below_root.find("/security/") != std::string::npos) return &g_tables.security;
    return nullptr;
}

bool parse_file(const char* path, Json::Value& root) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream text;
    text << in.rdbuf();
    Json::CharReaderBuilder builder;
    builder["collectComments"] = true;
    builder["allowComments"] = true;
    std::string doc = text.str();
    std::string errors;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    return reader->parse(doc.data(), doc.data() + doc.size(), &root, &errors);
}

}  // namespace

// The walk's callback: every regular "*.json" file that is not empty.
int release_on_config_file(const char* path, const struct stat* st, int type, struct FTW* position) {
    if (type != FTW_F || !S_ISREG(st->st_mode)) return FTW_CONTINUE;
    const char* name = path + position->base;
    const char* dot = strrchr(name, '.');
    if (!dot || strcmp(dot + 1, "json") != 0) return FTW_CONTINUE;
    if (st->st_size == 0) return FTW_CONTINUE;
    Json::Value root;
    if (!parse_file(path, root)) {
        printf("reading config file \"%s\" failed.\n", path);
        return FTW_STOP;
    }
    std::string below(path);
    // The kind tests look at the part below the root, from its leading "/".
    size_t skip = g_root == "/" ? 0 : g_root.size();
    below = below.size() > skip ? below.substr(skip) : std::string();
    if (Json::Value* table = table_for(below)) {
        if (table->isNull()) *table = Json::Value(Json::arrayValue);
        table->append(std::move(root));
    }
    return FTW_CONTINUE;
}

ConfigTables& release_config_tables() { return g_tables; }

const std::string& release_config_root() { return g_root; }

void release_set_config_root(const std::string& root) { g_root = root; }

int release_free_config() {
    g_tables = ConfigTables();
    return 0;
}

int release_load_config_dir(const std::string& path) {
    release_free_config();
    std::string root;
    bool ok = full_path_lexical(path, root);
    g_root = ok ? root : std::string();
    if (ok) {
        int rc = nftw(g_root.c_str(), release_on_config_file, 16, FTW_PHYS | FTW_ACTIONRETVAL);
        ok = rc == 0;
    }
    if (!ok) {
        printf("reading config files from directory \"%s\" failed\n", path.c_str());
        return -1;
    }
    return 0;
}

uint64_t release_parse_size(const std::string& text) {
    size_t n = text.size();
    int shift = 0;
    bool suffix = false;
    if (n >= 3) {
        std::string tail = text.substr(n - 3);
        for (auto& c : tail) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
        if (tail == "kib") shift = 10, suffix = true;
        else if (tail == "mib") shift = 20, suffix = true;
        else if (tail == "gib") shift = 30, suffix = true;
    }
    std::string number = suffix ? text.substr(0, n - 3) : text;
    if (number.size() > 23) return 0;
    if (number.find('\0') != std::string::npos) return 0;
    if (number == "-1") return kReleaseSizeAuto;
    int base = (number.size() >= 2 && number[0] == '0' && (number[1] == 'x' || number[1] == 'X')) ? 16 : 10;
    const char* p = number.c_str();
    while (isspace(static_cast<unsigned char>(*p))) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    if (base == 16 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && isxdigit(static_cast<unsigned char>(p[2])))
        p += 2;
    uint64_t value = 0;
    bool digits = false;
    for (;; ++p) {
        int d;
        unsigned char c = static_cast<unsigned char>(*p);
        if (isdigit(c)) d = c - '0';
        else if (base == 16 && isxdigit(c)) d = tolower(c) - 'a' + 10;
        else break;
        if (value > (UINT64_MAX - static_cast<uint64_t>(d)) / static_cast<uint64_t>(base)) return 0;
        value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
        digits = true;
    }
    if (!digits || *p != '\0') return 0;
    if (negative) value = uint64_t(0) - value;
    return value << shift;
}

uint64_t release_parse_size(const Json::Value& value) {
    if (value.isNull()) return 0;
    if (value.isString()) return release_parse_size(value.asString());
    if (value.isInt64() && value.asInt64() < 0) return static_cast<uint64_t>(value.asInt64());
    if (value.isUInt64()) return value.asUInt64();
    if (value.isNumeric() || value.isBool()) return release_parse_size(value.asString());
    return 0;
}

bool release_config_name_safe(const std::string& name) {
    if (!name.empty() && name[0] == '/') return false;
    size_t i = 0;
    while (i <= name.size()) {
        size_t j = name.find('/', i);
        if (j == std::string::npos) j = name.size();
        if (name.compare(i, j - i, "..") == 0 && j - i == 2) return false;
        i = j + 1;
    }
    return true;
}

bool release_config_join(const std::string& dir, const std::string& name, std::string& out) {
    if (!release_config_name_safe(name)) {
        printf("error: config path \"%s\" refused.\n", name.c_str());
        return false;
    }
    out = g_root + "/" + dir + "/" + name;
    return true;
}

bool release_is_list(const Json::Value& value, const char* what) {
    if (value.isArray()) return true;
    if (value.isNull()) return false;
    throw Json::LogicError(std::string("\"") + what + "\" is not an array");
}
