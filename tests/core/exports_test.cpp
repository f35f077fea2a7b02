// The exports and the loop's request steps, driven through the built library.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <future>
#include <string>
#include <thread>

#include "engine_host.h"

namespace {

EngineHost& host() { return EngineHost::instance(); }

// Runs the engine with an empty port list so tests never touch the
// machine's own serial ports.
void start_engine() {
    static std::string dir = [] {
        char tmpl[] = "/tmp/kelvo_ports_XXXXXX";
        return std::string(mkdtemp(tmpl));
    }();
    setenv("KELVO_VIRTUAL_PORTS", dir.c_str(), 1);
    host().start();
}

size_t count_events(int number) {
    size_t n = 0;
    for (const auto& e : host().events())
        if (e.number() == number) ++n;
    return n;
}

// Index of the first log line equal to `line` at or after `from`, or -1.
long find_log(const std::vector<std::string>& logs, const std::string& line, size_t from = 0) {
    for (size_t i = from; i < logs.size(); ++i)
        if (logs[i] == line) return static_cast<long>(i);
    return -1;
}

// The host and its engine live as long as the process: each test sees only
// its own events.
class Exports : public ::testing::Test {
protected:
    void SetUp() override { host().clear(); }
};

}  // namespace

TEST_F(Exports, TextThatDoesNotParseIsRefusedAndNothingIsPosted) {
    start_engine();
    using Fn = int (*)(const char*);
    struct Case {
        const char* name;
        Fn fn;
    } cases[] = {
        {"download_init", host().download_init},
        {"download_start", host().download_start},
        {"enable_device", host().enable_device},
        {"config_trainings", host().config_trainings},
        {"release_generate", host().release_generate},
        {"release_list_products", host().release_list_products},
    };
    for (const auto& c : cases) {
        host().clear();
        EXPECT_EQ(c.fn("{"), -1) << c.name;
        ASSERT_TRUE(host().wait_log("Failed to parse configuration\n")) << c.name;
        host().settle();
        auto logs = host().logs();
        long at = find_log(logs, "Failed to parse configuration\n");
        ASSERT_GE(at, 0) << c.name;
        ASSERT_LT(static_cast<size_t>(at + 1), logs.size()) << c.name;
        EXPECT_EQ(logs[at + 1].rfind("* Line 1, Column 2", 0), 0u) << c.name << ": " << logs[at + 1];
        for (int n : {1, 2, 7, 8}) EXPECT_EQ(count_events(n), 0u) << c.name << " posted event " << n;
    }
}

TEST_F(Exports, WrongJsonTypesAreRefusedWithoutThrowing) {
    start_engine();
    EXPECT_EQ(host().download_start(R"({"productionMode": "yes"})"), -1);
    EXPECT_EQ(host().download_init(R"({"address": "x"})"), -1);
    EXPECT_EQ(host().download_init("[1, 2]"), -1);
    EXPECT_EQ(host().release_generate("[1]"), -1);
    EXPECT_EQ(host().release_list_products(R"({"path": [5]})"), -1);
    EXPECT_EQ(host().enable_device(R"({"path": {}})"), -1);
    EXPECT_EQ(host().config_trainings(R"([{"locationInfo": "a", "order": "x"}])"), -1);
    EXPECT_EQ(host().config_trainings("5"), 0);
    EXPECT_EQ(host().config_trainings("[]"), 0);
    EXPECT_EQ(host().download_init(nullptr), -1);
    host().settle();
    EXPECT_EQ(count_events(1), 0u);
}

TEST_F(Exports, TrainingsReportWithoutDevicesIsExact) {
    start_engine();
    EXPECT_EQ(host().config_trainings(R"([{"locationInfo": "1-1", "order": 3}])"), 0);
    EXPECT_EQ(host().get_trainings(), 0);
    HostEvent e;
    ASSERT_TRUE(host().wait_event(4, 5000, &e));
    EXPECT_EQ(e.text, "{\n   \"event\" : 4,\n   \"trainings\" : []\n}\n");
}

TEST_F(Exports, StopWhileIdleEmitsNullDocument) {
    start_engine();
    EXPECT_EQ(host().download_stop(), 0);
    ASSERT_TRUE(host().wait_for([](const HostEvent& e) { return e.text == "null\n"; }));
    EXPECT_TRUE(host().wait_log("received all devices closed message.\n"));
    EXPECT_TRUE(host().wait_log("stopping kelvo download engine...\n"));
}

TEST_F(Exports, DownloadInitOfMissingPackageStillReportsSuccessLine) {
    start_engine();
    EXPECT_EQ(host().download_init(R"({"path": "/nonexistent.zip"})"), 0);
    HostEvent e;
    ASSERT_TRUE(host().wait_event(1, 5000, &e));
    EXPECT_EQ(e.text, "{\n   \"event\" : 1\n}\n");
    EXPECT_TRUE(host().wait_log("initializing kelvo release package...\n"));
    EXPECT_TRUE(host().wait_log("initialized kelvo release package successfully.\n"));
}

TEST_F(Exports, DownloadStartWithoutPackageFails) {
    start_engine();
    EXPECT_EQ(host().download_start(R"({"baudRate": 115200})"), 0);
    ASSERT_TRUE(host().wait_log("kelvo download engine started failed: boot engine startup failed\n"));
    host().settle();
    EXPECT_EQ(count_events(2), 0u);
    auto logs = host().logs();
    long a = find_log(logs, "starting kelvo download engine...\n");
    long b = find_log(logs, "download engine running in upgrade mode!\n");
    ASSERT_GE(a, 0);
    EXPECT_GT(b, a);
    EXPECT_EQ(find_log(logs, "getting serial devices list...\n"), -1);
}

TEST_F(Exports, ProductionStartAndStopWithoutPorts) {
    start_engine();
    EXPECT_EQ(host().prodmode_start(), 0);
    ASSERT_TRUE(host().wait_event(9));
    ASSERT_TRUE(host().wait_log("kelvo production mode engine started successfully.\n"));
    EXPECT_EQ(host().prodmode_stop(), 0);
    ASSERT_TRUE(host().wait_event(10));
    ASSERT_TRUE(host().wait_log("kelvo production mode engine stopped successfully.\n"));

    auto logs = host().logs();
    const char* order[] = {
        "starting kelvo production mode engine...\n",
        "getting serial devices list...\n",
        "kelvo production mode engine started successfully.\n",
        "stopping kelvo production mode engine...\n",
        "received all devices closed message.\n",
        "kelvo production mode engine stopped successfully.\n",
    };
    long at = -1;
    for (const char* line : order) {
        long next = find_log(logs, line, static_cast<size_t>(at + 1));
        ASSERT_GT(next, at) << "out of order or missing: " << line;
        at = next;
    }
    // Event 9 comes before event 10, and each exactly once.
    long e9 = -1, e10 = -1, i = 0;
    for (const auto& e : host().events()) {
        if (e.number() == 9) e9 = i;
        if (e.number() == 10) e10 = i;
        ++i;
    }
    EXPECT_LT(e9, e10);
    EXPECT_EQ(count_events(9), 1u);
    EXPECT_EQ(count_events(10), 1u);
}

TEST_F(Exports, CallbacksRunOnOneEngineThreadAndOnlyWhileRegistered) {
    start_engine();
    host().unregister_cb();
    host().get_trainings();
    host().download_init(R"({"path": "/nonexistent.zip"})");
    // Give the loop time to emit into the void.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    host().start();  // registers again; a second init changes nothing
    host().settle();
    EXPECT_EQ(count_events(1), 0u);
    EXPECT_EQ(count_events(4), 1u);  // only the one that settle asked for

    host().download_stop();
    host().settle();
    auto events = host().events();
    ASSERT_FALSE(events.empty());
    for (const auto& e : events) {
        EXPECT_EQ(e.thread, events.front().thread);
        EXPECT_NE(e.thread, std::this_thread::get_id());
    }
}

TEST_F(Exports, CallsBeforeInitAndAfterExitAreHarmless) {
    // An engine that an earlier test started is gone: as before the first init.
    EXPECT_EQ(host().engine_exit(), 0);
    host().clear();
    EXPECT_EQ(host().download_stop(), 0);
    EXPECT_EQ(host().get_trainings(), 0);
    EXPECT_EQ(host().download_init(R"({"path": "/nonexistent.zip"})"), 0);
    EXPECT_EQ(host().engine_exit(), 0);

    start_engine();
    EXPECT_EQ(host().engine_init(), 0);  // second init while running
    host().settle();
    EXPECT_EQ(count_events(1), 0u);  // the early init request reached no loop
    EXPECT_EQ(host().engine_exit(), 0);

    EXPECT_EQ(host().download_stop(), 0);
    EXPECT_EQ(host().prodmode_start(), 0);
    EXPECT_EQ(host().release_list_products(R"({"path": "/nonexistent"})"), 0);
    EXPECT_EQ(host().engine_exit(), 0);
}

// An exit while a download init is still being read and a start waits behind
// it: the exit returns once the read has ended, and nothing of either job
// reaches the host after the exit step (no event 1, no event 2, no start of
// the engine on a loop that has stopped). The init is held in its read by a
// FIFO without a writer. The engine ends here, so in a process of its own.
TEST(ExportsExit, ExitDropsTheInitAndStartStillQueued) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto run = [] {
        start_engine();
        char tmpl[] = "/tmp/kelvo_exit_fifo_XXXXXX";
        if (!mkdtemp(tmpl)) return 2;
        const std::string fifo = std::string(tmpl) + "/package.zip";
        if (mkfifo(fifo.c_str(), 0600) != 0) return 2;
        host().clear();
        host().download_init(("{\"path\": \"" + fifo + "\"}").c_str());
        host().download_start(R"({"baudRate": 115200, "usbAutoEnable": true})");
        if (!host().wait_log("initializing kelvo release package...\n")) return 3;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the init waits in its open
        std::promise<int> exited;
        std::future<int> exitResult = exited.get_future();
        std::thread exiter([&exited] { exited.set_value(host().engine_exit()); });
        std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the exit step has run
        int writer = open(fifo.c_str(), O_WRONLY);  // the init's read goes on and fails
        if (writer < 0) return 4;
        close(writer);
        bool returned = exitResult.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
        if (!returned) {
            exiter.detach();  // the exit hangs: leave it to _exit
            return 5;
        }
        exiter.join();
        if (exitResult.get() != 0) return 6;
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        for (const auto& e : host().events()) {
            if (e.number() == 1 || e.number() == 2) return 7;
            if (e.number() == 0 && e.message() == "getting serial devices list...\n") return 8;
        }
        unlink(fifo.c_str());
        rmdir(tmpl);
        return 0;
    };
    EXPECT_EXIT(_exit(run()), ::testing::ExitedWithCode(0), "");
}
