// Commands 3, 4 and 5 against the stand-in outside libraries, and the relay
// of their status callback.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "test_env.h"

using namespace dltest;

namespace {

struct StandinProgram {
    TempDir dir;
    std::string exe = dir.add(DOWNLOAD_EXE);
    std::string kov = dir.add(KOV_BLD_LIB);
    std::string vorpt = dir.add(VORPT_LIB);
    std::string log = (dir.path() / "calls.log").string();

    std::vector<std::string> env(std::vector<std::string> extra = {}) const {
        extra.push_back("STANDIN_LOG=" + log);
        return clean_env(extra);
    }
    std::vector<std::string> calls() const {
        std::ifstream in(log);
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }
};

std::string units(const std::u16string& s) {
    std::string out;
    char buf[8];
    for (char16_t u : s) {
        std::snprintf(buf, sizeof buf, "%04x", static_cast<unsigned>(u));
        out += buf;
    }
    return out.empty() ? "-" : out;
}

std::string state(int s) { return record("result", "0", {std::to_string(s)}); }

}  // namespace

TEST(BootLoader, CommandsReachTheLibraryWithWidePathsAndRecordWords) {
    StandinProgram prog;
    // Other bits of the flags word must survive command 4.
    DownloadProcess p(prog.exe, prog.env({"STANDIN_FLAGS_INIT=0x81",
                                          "STANDIN_STATUS=1,1,8,2916,2920,006f006b"}));
    const std::string path = hex("/tmp/\xC3\xA9\xF0\x9F\x98\x80.blf");
    p.send("2\n3," + path + "\n4," + path + ",1\n4,\"" + path + "\",0\n3,414\n4,zz,1\n" +
           "4," + path + ",2\n5\n");
    ASSERT_TRUE(p.wait_records(9));
    const std::string status = record("info", "QUR7302", {"ok", "2916", "2920", "8"});
    std::string err = p.err();
    // The status record comes from the library's thread, in no fixed order.
    size_t at = err.find(status);
    ASSERT_NE(at, std::string::npos);
    err.erase(at, status.size());
    EXPECT_EQ(err, result(0) + result(0) + result(0) + result(0) + result(0) + result(0) +
                       result(3) + result(0));
    const std::string wide = units(u"/tmp/\u00e9\U0001F600.blf");
    EXPECT_EQ(prog.calls(), (std::vector<std::string>{
                                "malloc 1",
                                "readblf 1 " + wide + " flags=129 word56=0",
                                "prepare 1 " + wide + " flags=193 word56=1",  // flag 1 keeps the record
                                "free 1",
                                "malloc 2",
                                "prepare 2 " + wide + " flags=129 word56=1",
                                "free 2",
                                "malloc 3",
                                "readblf 3 - flags=129 word56=0",  // odd hex: empty path
                                "prepare 3 - flags=193 word56=1",  // invalid hex: empty path
                                "init 3 cb=1 ctx=0",
                            }));

    // State 1: the boot-loader commands and the engine are refused, the record stays.
    p.send("1\n3," + path + "\n4," + path + ",0\n5\n6,0,7B7D\n7\n1\n8\n3,41\n8\n");
    ASSERT_TRUE(p.wait_records(19));
    const std::string later = state(1) + result(5) + result(5) + result(5) + result(2) +
                              result(0) + state(0) + result(0) + result(2) + result(0);
    ASSERT_GE(p.err().size(), later.size());
    EXPECT_EQ(p.err().substr(p.err().size() - later.size()), later);
    auto calls = prog.calls();
    ASSERT_GE(calls.size(), 11u);
    EXPECT_EQ(std::vector<std::string>(calls.begin() + 11, calls.end()),
              (std::vector<std::string>{"terminate", "free 3"}));
    p.close_input();
    EXPECT_EQ(p.wait_exit(5000), 0);
    EXPECT_EQ(p.out(), "");
}

TEST(BootLoader, FailuresOfTheLibraryAnswerTheirCodes) {
    struct FailCase {
        std::vector<std::string> env;
        std::string lines;
        std::string expected;
    };
    const std::vector<FailCase> cases = {
        {{}, "2\n4,41,1\n", result(0) + result(8)},  // flag 1 before any record
        {{}, "2\n5\n", result(0) + result(8)},
        {{"STANDIN_MALLOC_NULL=1"}, "2\n3,41\n4,41,0\n", result(0) + result(8) + result(8)},
        {{"STANDIN_READBLF=0"}, "2\n3,41\n1\n", result(0) + result(6) + state(0)},
        {{"STANDIN_PREPARE=0"}, "2\n4,41,0\n", result(0) + result(6)},
        {{"STANDIN_INIT=0"}, "2\n3,41\n5\n1\n", result(0) + result(0) + result(6) + state(0)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.lines);
        StandinProgram prog;
        DownloadProcess p(prog.exe, prog.env(c.env));
        p.send(c.lines);
        p.close_input();
        EXPECT_EQ(p.wait_exit(5000), 0);
        EXPECT_EQ(p.err(), c.expected);
    }
}

TEST(BootLoader, StatusTextsAreRelayedOrBlanked) {
    struct TextCase {
        std::string units;
        std::string expected;
    };
    const std::vector<TextCase> cases = {
        {"", ""},
        {"00e90041", "\xC3\xA9" "A"},
        {"d83dde00", "\xF0\x9F\x98\x80"},
        {"0061000a0062", "a\r\nb"},  // a text-mode stream: LF leaves as CR LF
        {"0061d800", ""},            // an unpaired surrogate has no representation
        {"de000061", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.units);
        StandinProgram prog;
        DownloadProcess p(prog.exe, prog.env({"STANDIN_STATUS=1,1,3,1,4294967295," + c.units}));
        p.send("2\n3,41\n5\n");
        ASSERT_TRUE(p.wait_records(4));
        auto recs = p.records();
        ASSERT_EQ(recs.size(), 4u);
        int found = 0;
        for (const auto& r : recs)
            if (r.key == "info") {
                ++found;
                EXPECT_EQ(r.bytes, record("info", "QUR7302", {c.expected, "1", "4294967295", "3"}));
            }
        EXPECT_EQ(found, 1);
    }
}
