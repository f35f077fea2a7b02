// Reads a release package back twice: with the zip library the engine
// writes it with, and with python's zipfile as an independent reader.
#pragma once

#include <ziparchive/zip_archive.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include <json/json.h>

struct PackageEntries {
    bool opened = false;
    std::map<std::string, std::string> files;  // name -> bytes
    std::vector<std::string> order;
};

inline PackageEntries read_package_ziparchive(const std::string& path) {
    PackageEntries out;
    ZipArchiveHandle handle;
    if (OpenArchive(path.c_str(), &handle) != 0) {
        CloseArchive(handle);
        return out;
    }
    out.opened = true;
    void* cookie;
    if (StartIteration(handle, &cookie) == 0) {
        ZipEntry entry;
        std::string name;
        while (Next(cookie, &entry, &name) == 0) {
            std::string bytes(entry.uncompressed_length, '\0');
            if (ExtractToMemory(handle, &entry, reinterpret_cast<uint8_t*>(bytes.data()), bytes.size()) != 0)
                bytes = "<extract failed>";
            if (entry.method != kCompressDeflated) bytes = "<not deflated>";
            out.files[name] = bytes;
            out.order.push_back(name);
        }
        EndIteration(cookie);
    }
    CloseArchive(handle);
    return out;
}

// The JSON that tests/release_pkg/SCRIPT prints for `args` (already quoted),
// or null.
inline Json::Value run_python_json(const std::string& script, const std::string& args) {
    const char* src = getenv("KELVO_SOURCE_DIR");
#ifdef KELVO_TEST_SOURCE_DIR
    if (!src) src = KELVO_TEST_SOURCE_DIR;
#endif
    std::string cmd = std::string("python3 ") + (src ? src : ".") + "/tests/release_pkg/" + script + " " + args;
    std::string text;
    if (FILE* p = popen(cmd.c_str(), "r")) {
        char buf[4096];
        for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) text.append(buf, n);
        pclose(p);
    }
    Json::Value v;
    Json::CharReaderBuilder b;
    std::string err;
    std::unique_ptr<Json::CharReader> r(b.newCharReader());
    if (!r->parse(text.data(), text.data() + text.size(), &v, &err)) return Json::Value();
    return v;
}

// The python reader's report (entries, files, crc_ok), or null.
inline Json::Value read_package_python(const std::string& path) {
    return run_python_json("check_package.py", "'" + path + "'");
}

inline bool unzip_tests_ok(const std::string& path) {
    std::string cmd = "unzip -tq '" + path + "' >/dev/null 2>&1";
    return system(cmd.c_str()) == 0;
}
