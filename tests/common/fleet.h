// Many simulated devices at once for tests and benchmarks: one or several
// kelvo-devsim processes publishing into one ports directory, a package that
// flashes one image, and the check of every device's recorded flash.
#pragma once

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "package_fixture.h"
#include "sim_host.h"

namespace fleet {

constexpr uint32_t kImageOffset = 0x100000;  // the image partition starts here on "external"

// Bytes that differ from block to block and never form a fill block.
inline std::string image_pattern(size_t size, uint32_t seed) {
    std::string s(size, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < size; ++i) {
        x = x * 1664525u + 1013904223u;
        s[i] = static_cast<char>(x >> 24);
    }
    return s;
}

// The flash size that holds an image of `imageSize` at kImageOffset.
inline uint64_t flash_size_for(size_t imageSize) {
    uint64_t need = kImageOffset + imageSize;
    return (need + 0xFFFFF) & ~uint64_t(0xFFFFF);
}

// A package whose script writes the partition table and flashes `image`; its
// check of "version" lets a usb link carry the data in raw windows.
inline bool write_image_package(const std::string& path, const std::string& image) {
    uint32_t flash = static_cast<uint32_t>(flash_size_for(image.size()));
    uint32_t part = flash - kImageOffset;
    std::vector<AptbRow> rows = {{"all", "group", 0, flash, 0, flash, 0},
                                 {"external", "flash", 0, flash, 0, flash, 1},
                                 {"ptable", "raw", 0, 0x1000, 0, 0x1000, 2},
                                 {"image", "raw", kImageOffset, part, 0, part, 2}};
    return write_zip(path, {{"download.json", R"([
  {"command": "require", "name": "version", "value": "0.*"},
  {"command": "partition", "image": "partition.bin"},
  {"command": "flash", "partition": "image", "image": "image.img"}
])"},
                            {"partition.bin", make_aptb(rows)},
                            {"image.img", image}});
}

// kelvo-devsim processes of up to `perProcess` devices each, all in one ports
// directory; process p records into record-p and locates its devices "simP.i".
class Fleet {
public:
    ~Fleet() {
        stop();
        devsim::remove_tree(root_);
    }

    bool start(int count, int perProcess, const std::vector<std::string>& args) {
        root_ = devsim::make_temp_dir("fleet");
        if (root_.empty() || perProcess < 1) return false;
        ports_ = root_ + "/ports";
        mkdir(ports_.c_str(), 0755);
        count_ = count;
        perProcess_ = perProcess;
        for (int p = 0, first = 0; first < count; ++p, first += perProcess) {
            int n = std::min(perProcess, count - first);
            std::vector<std::string> all{devsim_path(),          "--ports-dir", ports_,   "--record",
                                         record_dir(p),          "--quiet",     "--count", std::to_string(n),
                                         "--location",           "sim" + std::to_string(p)};
            all.insert(all.end(), args.begin(), args.end());
            std::vector<char*> argv;
            for (auto& a : all) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            pid_t pid = fork();
            if (pid < 0) return false;
            if (pid == 0) {
                execv(argv[0], argv.data());
                _exit(127);
            }
            pids_.push_back(pid);
        }
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (std::chrono::steady_clock::now() < end) {
            if (port_files() >= count) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

    // SIGTERM to every process; each writes its record on the way out.
    void stop() {
        for (pid_t pid : pids_) kill(pid, SIGTERM);
        for (pid_t pid : pids_) {
            int status = 0;
            waitpid(pid, &status, 0);
        }
        pids_.clear();
    }

    const std::string& ports_dir() const { return ports_; }
    const std::string& root() const { return root_; }
    std::string record_dir(int process) const { return root_ + "/record-" + std::to_string(process); }

    // The device's location, as the engine reports it.
    std::string location(int device) const {
        return "sim" + std::to_string(device / perProcess_) + "." + std::to_string(device % perProcess_);
    }

    // Bytes of `image` found in place on the device's recorded "external"
    // flash (after stop()): the whole image, or 0 when any differ.
    size_t verified_bytes(int device, const std::string& image) const {
        std::string file = record_dir(device / perProcess_) + "/device-" + std::to_string(device % perProcess_) +
                           ".flash.external.bin";
        std::vector<uint8_t> flash = devsim::read_file(file);
        if (flash.size() < kImageOffset + image.size()) return 0;
        return memcmp(flash.data() + kImageOffset, image.data(), image.size()) == 0 ? image.size() : 0;
    }

private:
    std::string root_, ports_;
    std::vector<pid_t> pids_;
    int count_ = 0, perProcess_ = 1;

    static std::string devsim_path() {
        const char* e = getenv("KELVO_DEVSIM");
        return e && *e ? e : KELVO_DEVSIM_PATH;
    }
    int port_files() const {
        int n = 0;
        if (DIR* d = opendir(ports_.c_str())) {
            while (dirent* e = readdir(d)) {
                std::string name = e->d_name;
                n += name.size() > 5 && name.compare(name.size() - 5, 5, ".json") == 0;
            }
            closedir(d);
        }
        return n;
    }
};

}  // namespace fleet
