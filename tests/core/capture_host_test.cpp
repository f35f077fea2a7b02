// What the library prints becomes events and never reaches the process's
// descriptors 1 and 2; what the host prints still does.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "engine_host.h"

namespace {

// Points descriptors 1 and 2 at files for the duration of a scope.
class RedirectedStdio {
public:
    RedirectedStdio() {
        fflush(stdout);
        fflush(stderr);
        saved_out_ = dup(1);
        saved_err_ = dup(2);
        out_path_ = make_file(1);
        err_path_ = make_file(2);
    }
    ~RedirectedStdio() { restore(); }
    void restore() {
        if (saved_out_ < 0) return;
        fflush(stdout);
        fflush(stderr);
        dup2(saved_out_, 1);
        dup2(saved_err_, 2);
        close(saved_out_);
        close(saved_err_);
        saved_out_ = saved_err_ = -1;
    }
    std::string out() const { return slurp(out_path_); }
    std::string err() const { return slurp(err_path_); }

private:
    static std::string make_file(int target) {
        char tmpl[] = "/tmp/kelvo_stdio_XXXXXX";
        int fd = mkstemp(tmpl);
        dup2(fd, target);
        close(fd);
        return tmpl;
    }
    static std::string slurp(const std::string& path) {
        std::ifstream in(path);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    int saved_out_ = -1, saved_err_ = -1;
    std::string out_path_, err_path_;
};

}  // namespace

TEST(CaptureHost, LibraryLinesBecomeEventsHostLinesReachStdout) {
    auto& host = EngineHost::instance();
    RedirectedStdio io;

    // Printed before the engine runs: dropped, not written anywhere.
    host.download_stop();
    host.start();
    host.download_init(R"({"path": "/nonexistent.zip"})");
    host.download_start("{");
    printf("host line on stdout\n");
    fprintf(stderr, "host line on stderr\n");
    ASSERT_TRUE(host.wait_event(1));
    ASSERT_TRUE(host.wait_log("initialized kelvo release package successfully.\n"));
    ASSERT_TRUE(host.wait_log("Failed to parse configuration\n"));
    host.settle();
    io.restore();

    EXPECT_NE(io.out().find("host line on stdout\n"), std::string::npos);
    EXPECT_NE(io.err().find("host line on stderr\n"), std::string::npos);
    EXPECT_EQ(io.out().find("kelvo"), std::string::npos) << io.out();
    EXPECT_EQ(io.err().find("Failed to parse"), std::string::npos) << io.err();

    auto logs = host.logs();
    for (const auto& line : logs) EXPECT_NE(line, "stopping kelvo download engine...\n");
}
