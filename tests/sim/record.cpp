#include "record.h"

#include "storage.h"
#include "unique_fd.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>

namespace devsim {

void Record::add(const Json::Value& line) {
    Json::StreamWriterBuilder b;
    b["indentation"] = "";
    b["emitUTF8"] = true;
    Json::Value v = line;
    using namespace std::chrono;
    v["t"] = Json::Int64(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
    lines_.push_back(Json::writeString(b, v));
}

namespace {

bool write_at(int fd, const void* bytes, size_t length, off_t offset) {
    const char* p = static_cast<const char*>(bytes);
    while (length > 0) {
        ssize_t n = pwrite(fd, p, length, offset);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += n;
        offset += n;
        length -= size_t(n);
    }
    return true;
}

// Fills a temporary file through `fill` and renames it to `path`.
template <typename Fill>
bool write_atomically(const std::string& path, Fill fill) {
    std::string tmp = path + ".tmp" + std::to_string(getpid());
    UniqueFd fd(open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!fd) return false;
    bool ok = fill(fd.get());
    if (close(fd.release()) != 0) ok = false;
    if (!ok || rename(tmp.c_str(), path.c_str()) != 0) {
        unlink(tmp.c_str());
        return false;
    }
    return true;
}

}  // namespace

bool write_file(const std::string& path, const void* bytes, size_t length) {
    return write_atomically(path, [&](int fd) { return write_at(fd, bytes, length, 0); });
}

bool write_flash_record(const std::string& base, const Flash& flash, bool sparse) {
    if (!sparse)
        return write_atomically(base + ".bin", [&](int fd) {
            std::vector<uint8_t> chunk(Flash::kBlock);
            for (uint64_t at = 0; at < flash.size(); at += chunk.size()) {
                size_t n = size_t(std::min<uint64_t>(chunk.size(), flash.size() - at));
                flash.read(at, chunk.data(), n);
                if (!write_at(fd, chunk.data(), n, off_t(at))) return false;
            }
            return true;
        });
    Json::Value map;
    map["size"] = Json::UInt64(flash.size());
    map["erasedValue"] = 0xFF;
    map["extents"] = Json::Value(Json::arrayValue);
    const auto extents = flash.extents();
    bool ok = write_atomically(base + ".bin", [&](int fd) {
        if (ftruncate(fd, off_t(flash.size())) != 0) return false;
        std::vector<uint8_t> chunk(Flash::kBlock);
        for (const auto& e : extents)
            for (uint64_t at = e.first; at < e.first + e.second; at += chunk.size()) {
                size_t n = size_t(std::min<uint64_t>(chunk.size(), e.first + e.second - at));
                flash.read(at, chunk.data(), n);
                if (!write_at(fd, chunk.data(), n, off_t(at))) return false;
            }
        return true;
    });
    for (const auto& e : extents) {
        Json::Value pair(Json::arrayValue);
        pair.append(Json::UInt64(e.first));
        pair.append(Json::UInt64(e.second));
        map["extents"].append(pair);
    }
    Json::StreamWriterBuilder b;
    b["indentation"] = "";
    std::string text = Json::writeString(b, map) + "\n";
    return write_file(base + ".extents.json", text.data(), text.size()) && ok;
}

}  // namespace devsim
