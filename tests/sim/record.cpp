#include "record.h"

#include <fcntl.h>
#include <unistd.h>

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

bool write_file(const std::string& path, const void* bytes, size_t length) {
    std::string tmp = path + ".tmp" + std::to_string(getpid());
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    const char* p = static_cast<const char*>(bytes);
    size_t left = length;
    bool ok = true;
    while (left > 0) {
        ssize_t n = write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            ok = false;
            break;
        }
        p += n;
        left -= size_t(n);
    }
    if (close(fd) != 0) ok = false;
    if (!ok || rename(tmp.c_str(), path.c_str()) != 0) {
        unlink(tmp.c_str());
        return false;
    }
    return true;
}

}  // namespace devsim
