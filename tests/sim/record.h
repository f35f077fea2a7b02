// Per-device record: JSON lines of every request, written with the images
// on exit.
#pragma once

#include <string>
#include <vector>

#include <json/json.h>

namespace devsim {

class Record {
public:
    void add(const Json::Value& line);
    const std::vector<std::string>& lines() const { return lines_; }

private:
    std::vector<std::string> lines_;
};

// Writes `bytes` to `path` atomically; false on failure.
bool write_file(const std::string& path, const void* bytes, size_t length);

}  // namespace devsim
