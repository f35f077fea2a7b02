// Helpers shared by the release package tests.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include <json/json.h>

inline Json::Value parse_json(const std::string& text) {
    Json::Value v;
    Json::CharReaderBuilder b;
    std::string err;
    std::unique_ptr<Json::CharReader> r(b.newCharReader());
    r->parse(text.data(), text.data() + text.size(), &v, &err);
    return v;
}

inline std::vector<uint8_t> read_fd(int fd) {
    std::vector<uint8_t> out;
    uint8_t buf[4096];
    lseek(fd, 0, SEEK_SET);
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) out.insert(out.end(), buf, buf + n);
    return out;
}

inline uint32_t le32(const std::vector<uint8_t>& b, size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | uint32_t(b[at + 3]) << 24;
}

inline int scratch_fd() {
    char path[] = "/tmp/kelvo_testXXXXXX";
    int fd = mkstemp(path);
    unlink(path);
    return fd;
}
