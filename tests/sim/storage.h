// The device's flashes and its partition table.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "config.h"

namespace devsim {

struct Partition {
    std::string name;
    std::string type;  // "group", "flash", or the entry's format
    int flash = -1;    // index into flashes; -1 for the group "all"
    uint64_t start = 0, size = 0, vstart = 0xFFFFFFFF, vsize = 0;
};

// A flash keeps only the blocks written since they were last erased, so a
// large flash costs what was written; everything else reads as erased (0xFF).
class Flash {
public:
    static constexpr uint64_t kBlock = 64u << 10;
    Flash(std::string name, uint64_t size) : name_(std::move(name)), size_(size) {}
    const std::string& name() const { return name_; }
    uint64_t size() const { return size_; }
    // The range must lie inside the flash.
    void write(uint64_t offset, const uint8_t* data, size_t length);
    void erase(uint64_t offset, uint64_t length);
    void read(uint64_t offset, uint8_t* out, size_t length) const;
    uint8_t at(uint64_t offset) const;
    // Written ranges (whole blocks, merged), in ascending order.
    std::vector<std::pair<uint64_t, uint64_t>> extents() const;
    uint64_t resident_bytes() const { return blocks_.size() * kBlock; }

private:
    std::string name_;
    uint64_t size_;
    std::map<uint64_t, std::vector<uint8_t>> blocks_;  // block number -> kBlock bytes
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
