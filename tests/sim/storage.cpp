#include "storage.h"

#include <algorithm>
#include <cstring>

namespace devsim {

namespace {
uint32_t le32(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }
uint16_t le16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }
std::string field(const uint8_t* p, size_t n) {
    size_t len = 0;
    while (len < n && p[len]) ++len;
    return std::string(reinterpret_cast<const char*>(p), len);
}
}  // namespace

void Flash::write(uint64_t offset, const uint8_t* data, size_t length) {
    while (length > 0) {
        uint64_t block = offset / kBlock, within = offset % kBlock;
        size_t n = size_t(std::min<uint64_t>(length, kBlock - within));
        auto it = blocks_.find(block);
        if (it == blocks_.end()) it = blocks_.emplace(block, std::vector<uint8_t>(kBlock, 0xFF)).first;
        memcpy(it->second.data() + within, data, n);
        offset += n;
        data += n;
        length -= n;
    }
}

void Flash::erase(uint64_t offset, uint64_t length) {
    while (length > 0) {
        uint64_t block = offset / kBlock, within = offset % kBlock;
        uint64_t n = std::min<uint64_t>(length, kBlock - within);
        auto it = blocks_.find(block);
        if (it != blocks_.end()) {
            if (n == kBlock) blocks_.erase(it);
            else std::fill(it->second.begin() + long(within), it->second.begin() + long(within + n), 0xFF);
        }
        offset += n;
        length -= n;
    }
}

void Flash::read(uint64_t offset, uint8_t* out, size_t length) const {
    while (length > 0) {
        uint64_t block = offset / kBlock, within = offset % kBlock;
        size_t n = size_t(std::min<uint64_t>(length, kBlock - within));
        auto it = blocks_.find(block);
        if (it == blocks_.end()) memset(out, 0xFF, n);
        else memcpy(out, it->second.data() + within, n);
        offset += n;
        out += n;
        length -= n;
    }
}

uint8_t Flash::at(uint64_t offset) const {
    uint8_t b = 0;
    read(offset, &b, 1);
    return b;
}

std::vector<std::pair<uint64_t, uint64_t>> Flash::extents() const {
    std::vector<std::pair<uint64_t, uint64_t>> out;
    for (const auto& kv : blocks_) {
        uint64_t start = kv.first * kBlock, len = std::min<uint64_t>(kBlock, size_ - start);
        if (!out.empty() && out.back().first + out.back().second == start) out.back().second += len;
        else out.emplace_back(start, len);
    }
    return out;
}

Storage::Storage(const std::vector<FlashSpec>& specs) {
    for (const auto& s : specs) flashes_.emplace_back(s.name, s.size);
    default_table();
}

void Storage::default_table() {
    parts_.clear();
    uint64_t total = 0;
    for (const auto& f : flashes_) total += f.size();
    parts_.push_back({"all", "group", -1, 0, total});
    for (size_t i = 0; i < flashes_.size(); ++i)
        parts_.push_back({flashes_[i].name(), "flash", int(i), 0, flashes_[i].size(), 0xFFFFFFFF,
                          flashes_[i].size()});
}

const Partition* Storage::find(const std::string& name) const {
    for (const auto& p : parts_)
        if (p.name == name) return &p;
    return nullptr;
}

int Storage::flash_index(const std::string& name) const {
    for (size_t i = 0; i < flashes_.size(); ++i)
        if (flashes_[i].name() == name) return int(i);
    return -1;
}

std::string Storage::adopt_table(const std::vector<uint8_t>& img) {
    if (img.size() < 8 || le32(img.data()) != 0x41505442) return "not a partition table";
    uint32_t count = le32(img.data() + 4);
    if (count > 32 || img.size() < 8 + size_t(count) * 68) return "bad partition count";
    std::vector<Partition> parts;
    int flash = -1;
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* e = img.data() + 8 + i * 68;
        Partition p;
        p.name = field(e, 32);
        p.type = field(e + 32, 16);
        p.start = le32(e + 48);
        p.size = le32(e + 52);
        p.vstart = le32(e + 56);
        p.vsize = le32(e + 60);
        if (p.type == "group") {
            p.flash = -1;
        } else if (p.type == "flash") {
            flash = flash_index(p.name);
            if (flash < 0) return "unknown flash " + p.name;
            p.flash = flash;
        } else {
            if (flash < 0) return "partition " + p.name + " outside a flash";
            p.flash = flash;
        }
        if (p.flash >= 0 && p.start + p.size > flashes_[p.flash].size())
            return "partition " + p.name + " beyond its flash";
        parts.push_back(p);
    }
    parts_ = parts;
    return "";
}

std::string Storage::erase(const Partition& p) {
    if (p.flash < 0) {
        for (auto& f : flashes_) f.erase(0, f.size());
        return "";
    }
    flashes_[p.flash].erase(p.start, p.size);
    return "";
}

std::string Storage::write_image(const Partition& p, const std::vector<uint8_t>& image, uint64_t& written) {
    written = 0;
    if (p.flash < 0) return "cannot flash a group";
    Flash& flash = flashes_[p.flash];
    if (!is_sparse(image)) {
        if (image.size() > p.size) return "image too large for partition";
        flash.write(p.start, image.data(), image.size());
        written = image.size();
        return "";
    }
    uint64_t extent = 0;
    // Checked whole first, so a bad image changes nothing.
    std::string err = apply_sparse(image, p.size, [](uint64_t, const uint8_t*, size_t) {}, extent);
    if (!err.empty()) return err;
    return apply_sparse(image, p.size,
                        [&](uint64_t off, const uint8_t* d, size_t n) {
                            flash.write(p.start + off, d, n);
                            written += n;
                        },
                        extent);
}

bool is_sparse(const std::vector<uint8_t>& img) {
    return img.size() >= 28 && le32(img.data()) == 0xED26FF3A;
}

std::string apply_sparse(const std::vector<uint8_t>& img, uint64_t limit,
                         const std::function<void(uint64_t, const uint8_t*, size_t)>& out, uint64_t& extent) {
    const uint8_t* h = img.data();
    if (!is_sparse(img) || le16(h + 4) != 1) return "bad sparse header";
    uint16_t file_hdr = le16(h + 8), chunk_hdr = le16(h + 10);
    uint32_t blk = le32(h + 12), total_blks = le32(h + 16), chunks = le32(h + 20);
    if (file_hdr < 28 || chunk_hdr < 12 || blk == 0 || blk % 4) return "bad sparse header";
    extent = uint64_t(total_blks) * blk;
    if (extent > limit) return "sparse image too large for partition";
    size_t pos = file_hdr;
    uint64_t block = 0;
    for (uint32_t c = 0; c < chunks; ++c) {
        if (pos + chunk_hdr > img.size()) return "truncated sparse image";
        const uint8_t* ch = img.data() + pos;
        uint16_t type = le16(ch);
        uint32_t nblk = le32(ch + 4), total = le32(ch + 8);
        if (total < chunk_hdr || pos + total > img.size()) return "truncated sparse chunk";
        const uint8_t* data = ch + chunk_hdr;
        size_t dlen = total - chunk_hdr;
        if (type != 0xCAC4 && block + nblk > total_blks) return "sparse chunk beyond image";
        uint64_t off = block * blk, len = uint64_t(nblk) * blk;
        switch (type) {
        case 0xCAC1:
            if (dlen != len) return "bad raw chunk";
            out(off, data, dlen);
            block += nblk;
            break;
        case 0xCAC2: {
            if (dlen != 4) return "bad fill chunk";
            std::vector<uint8_t> pattern(blk);
            for (uint32_t i = 0; i < blk; i += 4) memcpy(&pattern[i], data, 4);
            for (uint32_t i = 0; i < nblk; ++i) out(off + uint64_t(i) * blk, pattern.data(), blk);
            block += nblk;
            break;
        }
        case 0xCAC3: block += nblk; break;
        case 0xCAC4: break;
        default: return "unknown sparse chunk";
        }
        pos += total;
    }
    return "";
}

}  // namespace devsim
