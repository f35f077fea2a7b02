// Pseudo-terminals standing in for serial ports, published as virtual-port
// files in a directory that KELVO_VIRTUAL_PORTS names.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <json/json.h>

// The test holds the master side; the engine opens the slave by its path.
class PtyPort {
public:
    PtyPort() {
        fd_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (fd_ >= 0 && grantpt(fd_) == 0 && unlockpt(fd_) == 0) {
            char name[128];
            if (ptsname_r(fd_, name, sizeof name) == 0) path_ = name;
        }
        if (fd_ >= 0) fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) | O_NONBLOCK);
    }
    ~PtyPort() {
        if (fd_ >= 0) close(fd_);
    }
    PtyPort(const PtyPort&) = delete;
    PtyPort& operator=(const PtyPort&) = delete;

    const std::string& path() const { return path_; }
    int master() const { return fd_; }

    // Everything the engine wrote within `ms` milliseconds (stops early once
    // `want` bytes are in, when `want` is not 0).
    std::string read_for(int ms, size_t want = 0) {
        std::string got;
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::chrono::steady_clock::now() < end && (want == 0 || got.size() < want)) {
            char buf[1024];
            ssize_t n = ::read(fd_, buf, sizeof buf);
            if (n > 0) {
                got.append(buf, static_cast<size_t>(n));
                continue;
            }
            // EIO while no one holds the slave open
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return got;
    }

    bool write_all(const std::string& bytes) {
        return ::write(fd_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    }

    // True when the slave side is held open by someone (the engine).
    bool slave_open() {
        pollfd p{fd_, POLLIN, 0};
        ::poll(&p, 1, 0);
        return (p.revents & POLLHUP) == 0;
    }

private:
    int fd_ = -1;
    std::string path_;
};

class VirtualPortDir {
public:
    VirtualPortDir() {
        char tmpl[] = "/tmp/kelvo-ports-XXXXXX";
        if (mkdtemp(tmpl)) dir_ = tmpl;
    }
    ~VirtualPortDir() {
        if (!dir_.empty()) {
            std::string cmd = "rm -rf '" + dir_ + "'";
            if (system(cmd.c_str()) != 0) fprintf(stderr, "cannot remove %s\n", dir_.c_str());
        }
    }
    const std::string& dir() const { return dir_; }

    // Writes under a hidden name, then renames: the engine sees one arrival.
    void publish(const std::string& file, const Json::Value& port) {
        std::string tmp = dir_ + "/." + file + ".tmp";
        FILE* f = fopen(tmp.c_str(), "w");
        if (!f) return;
        std::string text = Json::FastWriter().write(port);
        fwrite(text.data(), 1, text.size(), f);
        fclose(f);
        rename(tmp.c_str(), (dir_ + "/" + file).c_str());
    }
    void remove(const std::string& file) { ::unlink((dir_ + "/" + file).c_str()); }

    // Waits until this process (the engine's hot-plug watcher) watches the
    // directory: a file published from then on is an arrival, while one
    // published before the watch is taken for a port of the start enumeration.
    bool wait_watched(int ms = 20000) const {
        struct stat st {};
        if (stat(dir_.c_str(), &st) != 0) return false;
        char ino[32];
        snprintf(ino, sizeof ino, " ino:%lx ", static_cast<unsigned long>(st.st_ino));
        for (auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
             std::chrono::steady_clock::now() < end; std::this_thread::sleep_for(std::chrono::milliseconds(10))) {
            DIR* d = opendir("/proc/self/fdinfo");
            if (!d) return false;
            bool found = false;
            while (dirent* e = readdir(d)) {
                if (e->d_name[0] == '.') continue;
                std::ifstream info(std::string("/proc/self/fdinfo/") + e->d_name);
                for (std::string line; !found && std::getline(info, line);)
                    found = line.rfind("inotify wd:", 0) == 0 && (line + " ").find(ino) != std::string::npos;
            }
            closedir(d);
            if (found) return true;
        }
        return false;
    }

private:
    std::string dir_;
};

// A port description; empty texts are left out.
inline Json::Value port_json(const std::string& path, unsigned vid, unsigned pid, const std::string& description,
                             const std::string& location = "", const std::string& displayName = "") {
    Json::Value v;
    v["path"] = path;
    v["vendorId"] = vid;
    v["productId"] = pid;
    if (!description.empty()) v["description"] = description;
    if (!location.empty()) v["locationInfo"] = location;
    if (!displayName.empty()) v["displayName"] = displayName;
    return v;
}
