// A configuration directory built in a fresh temporary directory per test.
#pragma once

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "command_output.h"

// The whole file behind `fd`, whatever its position.
inline std::string read_whole_fd(int fd) {
    std::string out;
    char buf[65536];
    ssize_t n;
    for (off_t at = 0; (n = pread(fd, buf, sizeof buf, at)) > 0; at += n) out.append(buf, size_t(n));
    return out;
}

class TempTree {
public:
    TempTree() {
        char pattern[] = "/tmp/kelvo_cfg_XXXXXX";
        root_ = mkdtemp(pattern);
    }
    ~TempTree() { std::system(("rm -rf '" + root_ + "'").c_str()); }
    const std::string& root() const { return root_; }

    // Writes `text` to root/relative, creating the directories on the way.
    void write(const std::string& relative, const std::string& text) {
        std::string path = root_ + "/" + relative;
        for (size_t i = root_.size() + 1; i < path.size(); ++i)
            if (path[i] == '/') mkdir(path.substr(0, i).c_str(), 0755);
        std::ofstream(path, std::ios::binary) << text;
    }
    void mkdirs(const std::string& relative) { write(relative + "/.keep", ""); }

private:
    std::string root_;
};

// Standard output of `fn`, as the engine would log it.
template <typename F>
std::string captured_stdout(F fn) {
    testing::internal::CaptureStdout();
    fn();
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
}
