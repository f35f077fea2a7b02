// Small release packages written with the zip library's own writer, and
// partition tables in the "aptb" layout.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include <ziparchive/zip_writer.h>

struct ZipItem {
    std::string name;
    std::string bytes;
};

// Writes `items` as a zip archive at `path`; false on any writer error.
inline bool write_zip(const std::string& path, const std::vector<ZipItem>& items) {
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = true;
    {
        ZipWriter writer(f);
        for (const auto& item : items) {
            ok = ok && writer.StartEntry(item.name, ZipWriter::kCompress | ZipWriter::kAlign32) == 0;
            ok = ok && writer.WriteBytes(item.bytes.data(), item.bytes.size()) == 0;
            ok = ok && writer.FinishEntry() == 0;
        }
        ok = ok && writer.Finish() == 0;
    }
    fclose(f);
    return ok;
}

inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct AptbRow {
    std::string name;
    std::string type;
    uint32_t start, size, vstart, vsize, depth;
};

inline void put_le32(std::string& out, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) out[at + i] = static_cast<char>((v >> (8 * i)) & 0xff);
}

// The full 2184-byte table, or, with `length`, only its first bytes; `count`
// overrides the stored row count.
inline std::string make_aptb(const std::vector<AptbRow>& rows, long count = -1, size_t length = 2184) {
    std::string out(2184, '\0');
    put_le32(out, 0, 0x41505442);
    put_le32(out, 4, count < 0 ? static_cast<uint32_t>(rows.size()) : static_cast<uint32_t>(count));
    for (size_t i = 0; i < rows.size() && i < 32; ++i) {
        size_t at = 8 + 68 * i;
        memcpy(&out[at], rows[i].name.data(), std::min<size_t>(rows[i].name.size(), 32));
        memcpy(&out[at + 32], rows[i].type.data(), std::min<size_t>(rows[i].type.size(), 16));
        put_le32(out, at + 48, rows[i].start);
        put_le32(out, at + 52, rows[i].size);
        put_le32(out, at + 56, rows[i].vstart);
        put_le32(out, at + 60, rows[i].vsize);
        put_le32(out, at + 64, rows[i].depth);
    }
    out.resize(length);
    return out;
}

inline std::vector<AptbRow> sample_rows() {
    return {{"all", "group", 0, 0x10000000, 0xFFFFFFFF, 0, 0},
            {"nand", "flash", 0, 0x10000000, 0xFFFFFFFF, 0, 1},
            {"modem", "raw", 0x100000, 0x200000, 0x100000, 0x1000, 2},
            {std::string(32, 'x'), "ubi", 0x300000, 0x400000, 0xFFFFFFFF, 0, 2}};
}

// The commands of the sample package: boot image under a boot-ROM version
// directory, an upload without entry, groups "modem" and "ap".
inline std::string sample_download_json() {
    return R"([
  {"command": "require", "group": "", "name": "platform", "value": "X"},
  {"command": "progress", "group": "ap", "name": "weight", "value": 1800},
  {"command": "boot", "group": "", "image": "boot.img", "version-bootrom": "2.1"},
  {"command": "partition", "group": "", "image": "partition.bin"},
  {"command": "erase", "group": "modem", "partition": "modem", "weight": 300},
  {"command": "flash", "group": "modem", "image": "modem.img", "partition": "modem", "weight": 1000},
  {"command": "flash", "group": "ap", "image": "ap.img", "partition": "system", "weight": 500},
  {"command": "upload", "group": "", "image": "dump.bin", "partition": "all"},
  {"command": "reboot", "group": ""}
])";
}

inline std::vector<ZipItem> sample_items() {
    return {{"download.json", sample_download_json()},
            {"partition.bin", make_aptb(sample_rows())},
            {"2.1/boot.img", std::string(100, 'b')},
            {"modem.img", std::string(1023, 'm')},
            {"ap.img", std::string(1024, 'a')}};
}

// The sample without its partition table, and no command naming it.
inline std::vector<ZipItem> items_without_table() {
    std::vector<ZipItem> out;
    for (auto& item : sample_items()) {
        if (item.name == "partition.bin") continue;
        if (item.name == "download.json") {
            std::string text = item.bytes;
            size_t at = text.find("  {\"command\": \"partition\"");
            text.erase(at, text.find('\n', at) + 1 - at);
            item.bytes = text;
        }
        out.push_back(item);
    }
    return out;
}

// The items with `name` replaced by `bytes` (or removed when `remove`).
inline std::vector<ZipItem> with_item(std::vector<ZipItem> items, const std::string& name,
                                      const std::string& bytes, bool remove = false) {
    for (auto it = items.begin(); it != items.end(); ++it)
        if (it->name == name) {
            if (remove)
                items.erase(it);
            else
                it->bytes = bytes;
            return items;
        }
    if (!remove) items.push_back({name, bytes});
    return items;
}

// A fresh directory below the temporary directory, removed with its files.
class TempDir {
public:
    TempDir() {
        std::string tmpl = std::string(getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp") + "/kelvo-pkg-XXXXXX";
        std::vector<char> buf(tmpl.begin(), tmpl.end());
        buf.push_back('\0');
        if (mkdtemp(buf.data())) path_ = buf.data();
    }
    ~TempDir() {
        if (!path_.empty()) {
            std::string cmd = "rm -rf '" + path_ + "'";
            if (system(cmd.c_str()) != 0) fprintf(stderr, "cannot remove %s\n", path_.c_str());
        }
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};
