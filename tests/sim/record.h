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

class Flash;
// Writes `base`.bin with the flash's whole contents, erased bytes included;
// with `sparse`, only its written blocks go into a sparse `base`.bin (holes
// read as zeros) and `base`.extents.json lists them. False on failure.
bool write_flash_record(const std::string& base, const Flash& flash, bool sparse);

}  // namespace devsim
