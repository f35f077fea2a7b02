// Files named by descriptor numbers: the tool works on a duplicate that
// shares the caller's position and never closes the caller's descriptor.
// Runs of the tools in one process: each starts its option parsing afresh.
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tools/common/tool_invocation.h"

namespace {

UniqueFd temp_file() {
    char path[] = "/tmp/kelvo_tool_XXXXXX";
    int fd = mkstemp(path);
    if (fd >= 0) unlink(path);
    return UniqueFd(fd);
}

TEST(ToolFiles, DescriptorNumbersParseOnlyInDecimalForm) {
    struct Case {
        const char* text;
        int fd;
    } cases[] = {{"0", 0}, {"17", 17}, {"2147483647", 2147483647}, {"2147483648", -1}, {"-1", -1},
                 {"", -1},  {"3x", -1}, {" 3", -1},                {"0x3", -1},        {nullptr, -1}};
    for (const auto& c : cases) EXPECT_EQ(tool_fd_number(c.text), c.fd) << (c.text ? c.text : "null");
}

TEST(ToolFiles, StreamSharesThePositionAndLeavesTheCallersDescriptorOpen) {
    UniqueFd fd = temp_file();
    ASSERT_TRUE(fd.valid());
    ASSERT_EQ(write(fd.get(), "abcdef", 6), 6);
    ASSERT_EQ(lseek(fd.get(), 2, SEEK_SET), 2);
    std::string number = std::to_string(fd.get());
    {
        ToolFile in = tool_open_fd(number.c_str(), "rb");
        ASSERT_TRUE(in);
        char buf[8] = {};
        EXPECT_EQ(fread(buf, 1, sizeof buf, in.get()), 4u);
        EXPECT_STREQ(buf, "cdef");
    }
    // The duplicate is closed; the caller's descriptor is open at the end.
    EXPECT_EQ(lseek(fd.get(), 0, SEEK_CUR), 6);
    {
        ToolFile out = tool_open_fd(number.c_str(), "wb");
        ASSERT_TRUE(out);
        fputs("gh", out.get());
    }
    EXPECT_EQ(lseek(fd.get(), 0, SEEK_CUR), 8);
    char all[9] = {};
    EXPECT_EQ(pread(fd.get(), all, 8, 0), 8);
    EXPECT_STREQ(all, "abcdefgh");  // nothing truncated
}

TEST(ToolFiles, ClosedOrMalformedDescriptorsGiveNothing) {
    int closed;
    {
        UniqueFd fd = temp_file();
        closed = fd.get();
    }
    EXPECT_FALSE(tool_open_fd(std::to_string(closed).c_str(), "rb"));
    EXPECT_FALSE(tool_dup_fd("x").valid());
    EXPECT_FALSE(tool_open_fd("", "wb"));
}

struct Outcome {
    int rc;
    std::string out;
};

// One run of a tool entry over `args`, its standard output and error caught.
Outcome run_entry(int (*entry)(int, char**), std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    int rc = entry(int(args.size()), argv.data());
    fflush(stdout);
    fflush(stderr);
    std::string out = testing::internal::GetCapturedStdout();
    out += testing::internal::GetCapturedStderr();
    return {rc, out};
}

UniqueFd file_with(const std::string& bytes) {
    UniqueFd fd = temp_file();
    EXPECT_EQ(write(fd.get(), bytes.data(), bytes.size()), ssize_t(bytes.size()));
    return fd;
}

std::string whole(int fd) {
    std::string out(size_t(lseek(fd, 0, SEEK_END)), '\0');
    EXPECT_EQ(pread(fd, &out[0], out.size(), 0), ssize_t(out.size()));
    return out;
}

// Each tool restarts the option parser itself. A run refused inside a cluster
// of short options ("-zY": refused at z, Y still pending) leaves the parser in
// the middle of a word that only a full restart forgets; every tool's next
// run must then parse its own options and nothing else (Y is no option of any).
TEST(ToolRestart, RunsStoppedInsideAnOptionClusterLeaveNothingForTheNext) {
    struct Stop {
        const char* tool;
        int (*entry)(int, char**);
        std::vector<std::string> args;  // kept alive: a wrong restart would read it again
    } stops[] = {{"cert_create", cert_create_main, {"cert_create", "-zY"}},
                 {"ubinize", ubinize_main, {"ubinize", "-zY"}},
                 {"fiptool", fiptool_main, {"fiptool", "-zY"}}};

    UniqueFd image = file_with(std::string(300, 'i'));
    UniqueFd ubi_config = file_with("[v]\nmode=ubi\nvol_id=0\nvol_size=1MiB\nvol_name=v\nvol_type=dynamic\n");
    const std::string img = std::to_string(image.get()), cfg = std::to_string(ubi_config.get());

    // Each tool's run, checked for the effect of its own options.
    std::function<void()> checks[] = {
        [&] {  // the packer: its flags option and the package operand
            UniqueFd fip = temp_file();
            std::vector<std::string> pack{"fiptool", "create", "--plat-toc-flags", "0x1", std::to_string(fip.get())};
            Outcome packed = run_entry(fiptool_main, pack);
            EXPECT_EQ(packed.rc, 0) << packed.out;
            EXPECT_EQ(whole(fip.get()).substr(8, 8), std::string("\0\0\0\0\1\0\0\0", 8));
        },
        [&] {  // the UBI builder, verbose
            UniqueFd ubi = temp_file();
            std::vector<std::string> build{"ubinize", "-v", "-o", std::to_string(ubi.get()), "-p", "128KiB", "-m",
                                           "2048", cfg};
            Outcome built = run_entry(ubinize_main, build);
            EXPECT_EQ(built.rc, 0) << built.out;
            EXPECT_NE(built.out.find("LEB size"), std::string::npos) << built.out;
        },
        [&] {  // the certificate generator, with an algorithm and a certificate
            UniqueFd cert = temp_file();
            std::vector<std::string> sign{"cert_create", "-a", "ecdsa", "-n", "--tfw-nvctr", "1", "--tb-fw", img,
                                          "--tb-fw-cert", std::to_string(cert.get())};
            Outcome signed_run = run_entry(cert_create_main, sign);
            EXPECT_EQ(signed_run.rc, 0) << signed_run.out;
            EXPECT_GT(lseek(cert.get(), 0, SEEK_END), 0);
        },
    };
    for (Stop& stop : stops) {
        for (size_t i = 0; i < std::size(checks); ++i) {
            SCOPED_TRACE(std::string(stop.tool) + " refused, then tool " + std::to_string(i));
            EXPECT_NE(run_entry(stop.entry, stop.args).rc, 0);
            checks[i]();
        }
    }
}

}  // namespace
