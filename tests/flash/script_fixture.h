// A release package opened for a download in a fresh directory that also
// serves as the current directory (with its "upload" directory), and a
// download script run on a thread of its own against a FakeDevice.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <thread>

#include <gtest/gtest.h>
#include <json/json.h>

#include "fake_device.h"
#include "flash/image_cache.h"
#include "flash/package.h"
#include "flash/thread_state.h"
#include "package_fixture.h"

class PackageSession {
public:
    PackageSession() {
        char buf[4096];
        if (getcwd(buf, sizeof buf)) oldCwd_ = buf;
        EXPECT_EQ(chdir(dir_.file("").c_str()), 0);
        EXPECT_EQ(mkdir("upload", 0755), 0);
    }
    ~PackageSession() {
        package_release_images();
        if (!oldCwd_.empty() && chdir(oldCwd_.c_str()) != 0) ADD_FAILURE() << "chdir back failed";
    }
    PackageSession(const PackageSession&) = delete;
    PackageSession& operator=(const PackageSession&) = delete;

    // Opens the package of `items` as a download start does: archive open,
    // command list built.
    bool open(const std::vector<ZipItem>& items) {
        std::string path = dir_.file("pkg.zip");
        if (!write_zip(path, items)) return false;
        Json::Value result;
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        bool ok = package_open(path, 0, 0, result) &&
                  commands_apply_groups(Json::Value(Json::arrayValue), false);
        std::string out = testing::internal::GetCapturedStdout();
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_TRUE(ok) << out << err;
        return ok;
    }

    std::string file(const std::string& name) const { return dir_.file(name); }

private:
    TempDir dir_;
    std::string oldCwd_;
};

// The device a script talks to; the runner owns its transport, so it gets
// one that forwards to the test's device.
class BorrowedDevice : public Transport {
public:
    explicit BorrowedDevice(FakeDevice& d) : d_(d) {}
    int64_t ReadSome(uint8_t* b, size_t c) override { return d_.ReadSome(b, c); }
    int64_t WriteAll(const uint8_t* d, uint32_t l) override { return d_.WriteAll(d, l); }
    int Disconnect() override { return d_.Disconnect(); }

private:
    FakeDevice& d_;
};

// Runs `body` on a new thread, as a download thread would, with stdout and
// stderr captured.
struct Captured {
    std::string out;
    std::string err;
};
template <typename Body>
Captured run_on_thread(Body body) {
    Captured c;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    std::thread t(body);
    t.join();
    fflush(stdout);
    c.err = testing::internal::GetCapturedStderr();
    c.out = testing::internal::GetCapturedStdout();
    return c;
}

inline size_t count_of(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}
