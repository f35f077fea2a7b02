// Records from the main thread, the engine's loop thread and several threads
// of the outside library at once never mix.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "test_env.h"

using namespace dltest;

TEST(Stress, RecordsFromAllThreadsStayWhole) {
    constexpr int kThreads = 4, kCalls = 500, kEngineCalls = 150;
    const std::string standins = std::filesystem::path(KOV_BLD_LIB).parent_path().string();
    // A status text with line feeds, so records are long and split into pieces.
    std::string text_units;
    for (int i = 0; i < 40; ++i) text_units += "0073000a";
    DownloadProcess p(DOWNLOAD_EXE,
                      clean_env({"LD_LIBRARY_PATH=" + standins,
                                 "STANDIN_STATUS=" + std::to_string(kThreads) + "," +
                                     std::to_string(kCalls) + ",0,7,9," + text_units}));
    const std::string package = hex("{\"path\":\"/nonexistent.zip\"}");
    std::string lines = "2\n3,41\n5\n7\n";
    for (int i = 0; i < kEngineCalls; ++i) lines += "6,0," + package + "\n1\n";
    p.send(lines);
    const size_t answers = 4 + 2 * kEngineCalls;
    // The engine's events come from its loop thread in their own time; the
    // wait includes one of them, or the program may end before any is sent.
    auto done = [&](const std::string& s) {
        size_t results = 0, statuses = 0;
        for (size_t at = s.find("\xFFresult"); at != std::string::npos; at = s.find("\xFFresult", at + 1)) ++results;
        for (size_t at = s.find("QUR7302"); at != std::string::npos; at = s.find("QUR7302", at + 1)) ++statuses;
        return results >= answers && statuses >= size_t(kThreads * kCalls) &&
               s.find("QUR5201") != std::string::npos;
    };
    ASSERT_TRUE(p.wait_err(done, 60000));
    p.send("8\n");
    p.close_input();
    EXPECT_EQ(p.wait_exit(10000), 0);

    std::vector<Record> recs;
    std::string why;
    ASSERT_TRUE(parse_records(p.err(), &recs, &why)) << why;
    std::string text;
    for (int i = 0; i < 40; ++i) text += "s\r\n";
    std::set<uint32_t> seen;
    size_t results = 0, engine_events = 0;
    for (const auto& r : recs) {
        if (r.key == "result") {
            ++results;
        } else if (r.value == "QUR7302") {
            ASSERT_EQ(r.fields.size(), 4u);
            EXPECT_EQ(r.fields[0], text);
            EXPECT_EQ(r.fields[1], "7");
            EXPECT_EQ(r.fields[2], "9");
            seen.insert(static_cast<uint32_t>(std::stoul(r.fields[3])));
        } else {
            ASSERT_EQ(r.value, "QUR5201");
            ASSERT_EQ(r.fields.size(), 1u);
            ++engine_events;
            // Command 8 stops an engine that never started: its event is the
            // null text, if it comes before the program ends.
            if (r.fields[0] == "null\r\n") continue;
            EXPECT_EQ(r.fields[0].front(), '{');
            EXPECT_EQ(r.fields[0].substr(r.fields[0].size() - 3), "}\r\n");
        }
    }
    EXPECT_EQ(results, answers + 1);
    EXPECT_EQ(seen.size(), size_t(kThreads * kCalls));
    EXPECT_EQ(*seen.rbegin(), uint32_t(kThreads * kCalls - 1));
    EXPECT_GT(engine_events, 0u);
    EXPECT_EQ(p.out(), "");
}
