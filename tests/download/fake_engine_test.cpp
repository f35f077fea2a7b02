// Command 6 against a stand-in engine: the busy window drops the events sent
// during the call, unbound functions answer 2, texts reach the engine decoded.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>

#include "test_env.h"

using namespace dltest;

namespace {

struct FakeEngineProgram {
    TempDir dir;
    std::string exe = dir.add(DOWNLOAD_EXE);
    std::string engine = dir.add(FAKE_ENGINE_LIB, "libkelvo.so");
    std::string log = (dir.path() / "calls.log").string();
    std::string fifo = (dir.path() / "trigger").string();
    Fd trigger_end;

    // Read and write ends alike: writes never block and the stand-in's open
    // never waits for a writer.
    void make_trigger() {
        if (::mkfifo(fifo.c_str(), 0600) == 0) trigger_end.reset(::open(fifo.c_str(), O_RDWR | O_CLOEXEC));
    }
    // The stand-in sends its "after the call" event now.
    bool trigger() {
        char byte = 1;
        return trigger_end.get() >= 0 && ::write(trigger_end.get(), &byte, 1) == 1;
    }

    std::vector<std::string> calls() const {
        std::ifstream in(log);
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }
};

const std::string kAfter = record("info", "QUR5201", {"after the call\r\n"});

size_t count_of(const std::string& hay, const std::string& needle) {
    size_t n = 0;
    for (size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + 1)) ++n;
    return n;
}

}  // namespace

TEST(FakeEngine, EventsDuringTheCallAreDroppedAndLaterOnesRelayed) {
    FakeEngineProgram prog;
    prog.make_trigger();
    DownloadProcess p(prog.exe, clean_env({"STANDIN_LOG=" + prog.log, "FAKE_ENGINE_TRIGGER=" + prog.fifo}));
    const std::string state2 = record("result", "0", {"2"});
    // Busy covers the answer of command 6; the answer of the command after it
    // shows that the window is closed, so only then may the later event come.
    p.send("2\n6,0,\"7B7D\"\n1\n");
    ASSERT_TRUE(p.wait_err([&](const std::string& s) { return s.find(state2) != std::string::npos; }));
    ASSERT_TRUE(prog.trigger());
    ASSERT_TRUE(p.wait_err([](const std::string& s) { return s.find(kAfter) != std::string::npos; }));
    EXPECT_EQ(p.err(), result(0) + result(0) + state2 + kAfter);

    p.send("6,1,7B7D\n6,2,414;\n1\n6,0\n1\n");
    ASSERT_TRUE(p.wait_err([&](const std::string& s) { return count_of(s, state2) == 3; }));
    ASSERT_TRUE(prog.trigger());
    ASSERT_TRUE(p.wait_err([](const std::string& s) { return count_of(s, kAfter) == 2; }));
    p.send("8\n6,2,7B7D\n1\n");
    // Eleven answers and the two relayed events.
    ASSERT_TRUE(p.wait_records(13));
    EXPECT_EQ(p.err().find("during"), std::string::npos);
    std::vector<std::string> answers;
    for (const auto& r : p.records())
        if (r.key != "info") answers.push_back(r.bytes);
    EXPECT_EQ(answers, (std::vector<std::string>{
                           result(0), result(0), state2,
                           result(2),  // kelvo_download_start is not bound
                           result(0), state2, result(0), state2, result(0),
                           result(2), record("result", "0", {"0"})}));
    EXPECT_EQ(prog.calls(), (std::vector<std::string>{
                                "engine_init", "register_cb 1 1", "download_init [{}]",
                                "enable_device []", "engine_init", "register_cb 1 1",
                                "download_init []", "download_stop"}));
    p.close_input();
    EXPECT_EQ(p.wait_exit(5000), 0);
}

TEST(FakeEngine, RefusedCallsAnswerSixAndKeepTheState) {
    FakeEngineProgram prog;
    DownloadProcess p(prog.exe, clean_env({"STANDIN_LOG=" + prog.log, "FAKE_ENGINE_RESULT=-1"}));
    p.send("2\n6,0,7B7D\n6,2,7B7D\n1\n");
    ASSERT_TRUE(p.wait_err([](const std::string& s) { return count_of(s, "\xFFresult") == 4; }));
    std::vector<std::string> answers;
    for (const auto& r : p.records())
        if (r.key != "info") answers.push_back(r.bytes);
    EXPECT_EQ(answers, (std::vector<std::string>{result(0), result(6), result(6),
                                                 record("result", "0", {"0"})}));
}
