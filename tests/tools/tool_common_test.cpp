// Files named by descriptor numbers: the tool works on a duplicate that
// shares the caller's position and never closes the caller's descriptor.
#include <fcntl.h>
#include <getopt.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

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

TEST(ToolFiles, GetoptRestartsForEveryRun) {
    auto run = [](std::vector<std::string> args) {
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(&a[0]);
        argv.push_back(nullptr);
        tool_reset_getopt(0);
        std::string seen;
        int c;
        while ((c = getopt(int(args.size()), argv.data(), "ab:")) != -1) seen += char(c);
        return seen;
    };
    // A first run that stops in the middle of a cluster leaves nothing behind.
    EXPECT_EQ(run({"t", "-aab", "x", "-q"}), "aab?");
    EXPECT_EQ(run({"t", "-b", "y", "-a"}), "ba");
}

}  // namespace
