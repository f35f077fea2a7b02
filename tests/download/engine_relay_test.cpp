// Command 6 against the real engine library beside the program, and the
// relay of its events as "QUR5201" records.
#include <gtest/gtest.h>

#include "test_env.h"

using namespace dltest;

namespace {

const std::string kMissingPackage = hex("{\"path\":\"/nonexistent.zip\"}");
const std::string kEvent1 = record("info", "QUR5201", {"{\r\n   \"event\" : 1\r\n}\r\n"});

std::vector<Record> answers(const std::vector<Record>& recs) {
    std::vector<Record> out;
    for (const auto& r : recs)
        if (r.key != "info") out.push_back(r);
    return out;
}

size_t count_of(const std::string& hay, const std::string& needle) {
    size_t n = 0;
    for (size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + 1)) ++n;
    return n;
}

// Command 6 clears busy only after writing its answer, and the engine may send
// the event of a download init inside that window, where it is dropped and not
// sent again. So the init is repeated until one event comes through; returns
// how many inits were sent, or 0 when none came through.
int init_until_relayed(DownloadProcess& p, const std::string& package) {
    const size_t before = count_of(p.err(), kEvent1);
    for (int round = 1; round <= 10; ++round) {
        p.send("6,0," + package + "\n");
        if (p.wait_err([&](const std::string& s) { return count_of(s, kEvent1) > before; }, 3000))
            return round;
    }
    return 0;
}

std::vector<std::string> times(int n, const std::string& bytes) {
    return std::vector<std::string>(static_cast<size_t>(n), bytes);
}

std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

}  // namespace

TEST(EngineRelay, EventsArriveAsInfoRecordsWithCrLfLines) {
    DownloadProcess p(DOWNLOAD_EXE, clean_env());
    p.send("2\n");
    const int inits = init_until_relayed(p, kMissingPackage);
    ASSERT_GT(inits, 0);
    p.send("1\n");
    ASSERT_TRUE(p.wait_err([](const std::string& s) {
        return s.find(record("result", "0", {"2"})) != std::string::npos;
    }));
    auto recs = p.records();
    std::vector<std::string> got;
    for (const auto& r : answers(recs)) got.push_back(r.bytes);
    EXPECT_EQ(got, times(1 + inits, result(0)) + times(1, record("result", "0", {"2"})));
    for (const auto& r : recs) {
        if (r.key != "info") continue;
        EXPECT_EQ(r.value, "QUR5201");
        ASSERT_EQ(r.fields.size(), 1u);
        const std::string& t = r.fields[0];
        for (size_t i = 0; i < t.size(); ++i) {
            if (t[i] == '\n') {
                EXPECT_TRUE(i > 0 && t[i - 1] == '\r') << t;
            }
        }
    }
    p.close_input();
    EXPECT_EQ(p.wait_exit(5000), 0);  // no crash with the engine's threads running
    EXPECT_EQ(p.out(), "");
}

TEST(EngineRelay, ArgumentsAndRefusalsLeaveTheStateAlone) {
    DownloadProcess p(DOWNLOAD_EXE, clean_env());
    p.send("2\n6,3,7B7D\n6,x,7B7D\n6,,7B7D\n6,0,414;\n6,0\n6,0,zz\n1\n7\n1\n");
    ASSERT_TRUE(p.wait_err([](const std::string& s) { return count_of(s, "\xFFresult") >= 10; }));
    auto ans = answers(p.records());
    std::vector<std::string> got;
    for (const auto& r : ans) got.push_back(r.bytes);
    EXPECT_EQ(got, (std::vector<std::string>{result(0), result(3), result(3), result(3), result(6),
                                             result(6), result(6), record("result", "0", {"0"}),
                                             result(0), record("result", "0", {"0"})}));
}

TEST(EngineRelay, UnloadKeepsTheEngineMappedAndALaterLoadBindsAgain) {
    DownloadProcess p(DOWNLOAD_EXE, clean_env());
    p.send("2\n");
    const int first = init_until_relayed(p, kMissingPackage);
    ASSERT_GT(first, 0);
    p.send("8\n6,0," + kMissingPackage + "\n8\n1\n2\n");
    const int second = init_until_relayed(p, kMissingPackage);
    ASSERT_GT(second, 0);
    p.send("1\n");
    const size_t total = static_cast<size_t>(first + second) + 7;
    ASSERT_TRUE(p.wait_err([&](const std::string& s) { return count_of(s, "\xFFresult") >= total; }));
    std::vector<std::string> got;
    for (const auto& r : answers(p.records())) got.push_back(r.bytes);
    EXPECT_EQ(got, times(1 + first, result(0)) +
                       (std::vector<std::string>{result(0), result(2), result(0),
                                                 record("result", "0", {"0"}), result(0)}) +
                       times(second, result(0)) + times(1, record("result", "0", {"2"})));
    p.close_input();
    EXPECT_EQ(p.wait_exit(5000), 0);
}
