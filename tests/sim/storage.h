// The device's flashes and its partition table.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "config.h"

namespace devsim {

struct Partition {
    std::string name;
    std::string type;  // "group", "flash", or the entry's format
    int flash = -1;    // index into flashes; -1 for the group "all"
    uint64_t start = 0, size = 0, vstart = 0xFFFFFFFF, vsize = 0;
};

struct Flash {
    std::string name;
    std::vector<uint8_t> bytes;
};

class Storage {
public:
    explicit Storage(const std::vector<FlashSpec>& flashes);
    const Partition* find(const std::string& name) const;
    int flash_index(const std::string& name) const;
    std::vector<Flash>& flashes() { return flashes_; }
    const std::vector<Partition>& partitions() const { return parts_; }

    // Adopts a 2184-byte "aptb" table; "" on success, else the reason.
    std::string adopt_table(const std::vector<uint8_t>& image);
    // Writes a plain or sparse image into a partition; "" or the reason.
    std::string write_image(const Partition& p, const std::vector<uint8_t>& image, uint64_t& written);
    std::string erase(const Partition& p);

private:
    std::vector<Flash> flashes_;
    std::vector<Partition> parts_;
    void default_table();
};

// Sparse image check and application, own reader of the format.
bool is_sparse(const std::vector<uint8_t>& image);
// Calls `out` for every data run (offset in bytes from the image start); fill
// chunks are expanded into `out` calls as well. "" or the reason.
std::string apply_sparse(const std::vector<uint8_t>& image, uint64_t limit,
                         const std::function<void(uint64_t offset, const uint8_t* data, size_t len)>& out,
                         uint64_t& extent);

}  // namespace devsim
