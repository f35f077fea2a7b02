// The line channel, tokenizer, numbers and command table, without libraries.
#include <gtest/gtest.h>

#include "test_env.h"

using namespace dltest;

namespace {

struct LineCase {
    std::string line;  // sent with a final LF
    std::string expected;
};

std::string state0() { return record("result", "0", {"0"}); }

std::string tokens(int n, bool trailing_comma) {
    std::string s = "1";
    for (int i = 1; i < n; ++i) s += ",x";
    return trailing_comma ? s + "," : s;
}

}  // namespace

TEST(Channel, EachLineAnswersOneExactRecord) {
    const std::vector<LineCase> cases = {
        {"1;", state0()},
        {"1", state0()},
        {"   1", state0()},
        {"1\r", state0()},  // CR LF line end
        {"0x1", state0()},
        {"0X01", state0()},
        {"00000000001", state0()},
        {"\"1\"", state0()},
        {"\"1\" ;", state0()},
        {"1;x,\"", state0()},       // everything after ';' is ignored
        {std::string("1\0garbage", 9), state0()},  // the text ends at a NUL
        {"1 ;", error3()},           // the blank belongs to the bare token
        {"9;", error3()},
        {"abc;", error3()},
        {"", error3()},
        {"   ", error3()},
        {";", error3()},
        {",1", error3()},
        {"1\r\r", error3()},         // only one CR before the LF is dropped
        {"\t1", error3()},
        {"0x000000008;", error3()},  // 11 characters
        {"0x1g", error3()},
        {"-1", error3()},
        {"4294967297", error3()},    // would wrap to 1
        {"4294967296", error3()},    // would wrap to 0, the exit command
        {"\"1", error3()},           // no closing quote
        {"6,\"1\" x", error3()},
        {tokens(32, false), state0()},
        {tokens(33, false), error3()},
        {tokens(32, true), error3()},
        {"7", result(0)},
        {"1,\"a\";\"b\",", state0()},
        {"8", result(0)},
        {"0x8;", result(0)},
        {"3,41", result(2)},
        {"4,41,1", result(2)},
        {"4,41,2", result(2)},  // the library test comes first
        {"5", result(2)},
        {"6,1,\"7B7D\";", result(2)},
        {"6,0,414;", result(2)},
        {"2", result(0)},
    };
    IsolatedProgram prog;
    DownloadProcess p(prog.exe, clean_env());
    for (const auto& c : cases) p.send(c.line + "\n");
    ASSERT_TRUE(p.wait_records(cases.size())) << p.err().size();
    auto recs = p.records();
    ASSERT_EQ(recs.size(), cases.size()) << recs.back().value;
    for (size_t i = 0; i < cases.size(); ++i)
        EXPECT_EQ(recs[i].bytes, cases[i].expected) << "line " << i << ": " << cases[i].line;
    p.close_input();
    EXPECT_EQ(p.wait_exit(5000), 0);
    EXPECT_EQ(p.out(), "");
}

TEST(Channel, LongLinesAreAnsweredOnceAndTheirTailNeverRuns) {
    IsolatedProgram prog;
    DownloadProcess p(prog.exe, clean_env());
    p.send("1;" + std::string(4093, 'x') + "\n");  // 4095 characters: fits
    p.send("1;" + std::string(4094, 'x') + "\r\n");  // 4096 once the CR is gone: too long
    p.send(std::string(4096, 'y') + "1\n");        // the tail alone would be command 1
    p.send(std::string(100000, ',') + "0\n");      // the tail alone would be command 0
    p.send("1\n");
    ASSERT_TRUE(p.wait_records(5));
    EXPECT_EQ(p.err(), record("result", "0", {"0"}) + error3() + error3() + error3() +
                           record("result", "0", {"0"}));
    p.close_input();
    EXPECT_EQ(p.wait_exit(5000), 0);
}

TEST(Channel, ExitCommandAndEndOfInputEndQuietly) {
    struct ExitCase {
        std::string input;
        std::string expected_err;
        bool close;
    };
    const std::vector<ExitCase> cases = {
        {"0\n", "", false},
        {"0x;\n", "", false},
        {"\"0\"\n", "", false},
        {"1\n0\n1\n", record("result", "0", {"0"}), false},
        {"", "", true},
        {"1", record("result", "0", {"0"}), true},  // a last line without its LF still runs
        {"2\n6,0,7B7D\n", result(0) + result(2), true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input);
        IsolatedProgram prog;
        DownloadProcess p(prog.exe, clean_env());
        p.send(c.input);
        if (c.close) p.close_input();
        EXPECT_EQ(p.wait_exit(5000), 0);
        EXPECT_EQ(p.err(), c.expected_err);
        EXPECT_EQ(p.out(), "");
    }
}
