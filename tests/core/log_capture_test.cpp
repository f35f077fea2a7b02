// The line buffers and the message queue, on a loop of the test's own.
#include <gtest/gtest.h>
#include <uv.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <json/json.h>

#include "base/events.h"
#include "base/log_capture.h"
#include "device/device_table.h"
#include "flash/thread_state.h"

namespace {

class CaptureLoop : public ::testing::Test {
protected:
    void SetUp() override {
        engine_set_callback(&CaptureLoop::on_event, this);
        uv_loop_init(&loop_);
        uv_async_init(&loop_, &stop_, [](uv_async_t* a) {
            message_hook_shutdown();
            uv_close(reinterpret_cast<uv_handle_t*>(a), nullptr);
        });
        // The sources the engine hands down at init.
        LogSources sources;
        sources.threadConnection = download_thread_connection;
        sources.pathOf = device_path_by_connection;
        sources.locationOf = device_location_by_connection;
        log_capture_set_sources(sources);
        thread_ = std::thread([this] {
            message_hook_init(&loop_);
            ready_ = true;
            uv_run(&loop_, UV_RUN_DEFAULT);
        });
        while (!ready_) std::this_thread::yield();
    }
    void TearDown() override {
        uv_async_send(&stop_);
        thread_.join();
        uv_loop_close(&loop_);
        engine_set_callback(nullptr, nullptr);
    }

    std::vector<Json::Value> wait_messages(size_t n) {
        std::unique_lock<std::mutex> lock(mutex_);
        cv_.wait_for(lock, std::chrono::seconds(5), [&] { return events_.size() >= n; });
        return events_;
    }

    static void on_event(const char* text, void* user) {
        auto* self = static_cast<CaptureLoop*>(user);
        Json::Value v;
        Json::Reader().parse(text, v);
        std::lock_guard<std::mutex> lock(self->mutex_);
        self->events_.push_back(v);
        self->cv_.notify_all();
    }

    uv_loop_t loop_;
    uv_async_t stop_;
    std::thread thread_;
    std::atomic<bool> ready_{false};
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<Json::Value> events_;
};

void write(const std::string& s) { log_capture_write(s.data(), s.size()); }

}  // namespace

TEST_F(CaptureLoop, LinesAreJoinedAcrossWritesAndCutAt2047) {
    write("abc");
    write("def\n");
    write(std::string(3000, 'x'));
    write("\n");
    auto ev = wait_messages(3);
    ASSERT_EQ(ev.size(), 3u);
    EXPECT_EQ(ev[0]["event"].asInt(), 0);
    EXPECT_EQ(ev[0]["message"].asString(), "abcdef\n");
    EXPECT_EQ(ev[0]["locationInfo"].asString(), "");
    EXPECT_EQ(ev[1]["message"].asString(), std::string(2047, 'x'));
    EXPECT_EQ(ev[2]["message"].asString(), std::string(3000 - 2047, 'x') + "\n");
}

TEST_F(CaptureLoop, NonAsciiSurvivesAndCutNeverSplitsASequence) {
    write("caf\xC3\xA9 \xE6\x97\xA5\n");
    write("bad \xE9 byte\n");
    // 2046 ASCII bytes then a two-byte sequence straddling the cut.
    write(std::string(2046, 'a') + "\xC3\xA9" + "tail\n");
    std::wstring wide = L"wide \u00e9\U0001F600\n";
    log_capture_write_wide(wide.data(), wide.size());
    auto ev = wait_messages(5);
    ASSERT_EQ(ev.size(), 5u);
    EXPECT_EQ(ev[0]["message"].asString(), "caf\xC3\xA9 \xE6\x97\xA5\n");
    EXPECT_EQ(ev[1]["message"].asString(), "bad \xEF\xBF\xBD byte\n");
    EXPECT_EQ(ev[2]["message"].asString(), std::string(2046, 'a'));
    EXPECT_EQ(ev[3]["message"].asString(), "\xC3\xA9tail\n");
    EXPECT_EQ(ev[4]["message"].asString(), "wide \xC3\xA9\xF0\x9F\x98\x80\n");
}

TEST_F(CaptureLoop, ANulCutsTheLineAndADeviceThreadIsTagged) {
    write(std::string("before\0after\n", 13));
    std::thread([] {
        download_thread_state().connection = 42;
        write("from a device thread\n");
    }).join();
    auto ev = wait_messages(2);
    ASSERT_EQ(ev.size(), 2u);
    EXPECT_EQ(ev[0]["message"].asString(), "before");
    // No device holds connection 42: the port name and location are empty.
    EXPECT_EQ(ev[1]["message"].asString(), "<> from a device thread\n");
    EXPECT_EQ(ev[1]["locationInfo"].asString(), "");
}

// A download thread's lines keep the device it started for, also when they
// are delivered after its record let go of the connection (a closed port).
TEST_F(CaptureLoop, ATaggedDeviceThreadKeepsItsPathWhenTheRecordIsGone) {
    std::thread([] {
        download_thread_state().connection = 42;
        log_capture_tag_thread(LogDeviceTag{"/dev/ttyACM3", "1-2.3"});
        write("UDP error: no response from target\n");
        write("all finished\n");
    }).join();
    auto ev = wait_messages(2);
    ASSERT_EQ(ev.size(), 2u);
    EXPECT_EQ(ev[0]["message"].asString(), "</dev/ttyACM3> UDP error: no response from target\n");
    EXPECT_EQ(ev[0]["locationInfo"].asString(), "1-2.3");
    EXPECT_EQ(ev[1]["message"].asString(), "</dev/ttyACM3> all finished\n");
}

// A device's text frame is pushed by the loop thread while its record holds
// the connection; delivered after the record let go of it (the port closed),
// it keeps that device's path and location. Here the record answers only the
// pushing thread: by delivery it is gone.
namespace {
std::thread::id g_record_thread;
std::string path_while_open(uint32_t c) {
    return c == 9 && std::this_thread::get_id() == g_record_thread ? "/dev/ttyACM9" : "";
}
std::string location_while_open(uint32_t c) {
    return c == 9 && std::this_thread::get_id() == g_record_thread ? "1-4" : "";
}
}  // namespace

TEST_F(CaptureLoop, ADeviceTextFrameKeepsItsPathWhenTheRecordIsGone) {
    g_record_thread = std::this_thread::get_id();
    LogSources sources;
    sources.pathOf = path_while_open;
    sources.locationOf = location_while_open;
    log_capture_set_sources(sources);
    message_queue_push(9, "#=> flash written\n");
    message_queue_push(5, "#=> of no device\n");
    auto ev = wait_messages(2);
    ASSERT_EQ(ev.size(), 2u);
    EXPECT_EQ(ev[0]["message"].asString(), "</dev/ttyACM9> #=> flash written\n");
    EXPECT_EQ(ev[0]["locationInfo"].asString(), "1-4");
    EXPECT_EQ(ev[1]["message"].asString(), "<> #=> of no device\n");
    EXPECT_EQ(ev[1]["locationInfo"].asString(), "");
}

TEST_F(CaptureLoop, ConcurrentWritersNeverInterleaveWholeLines) {
    constexpr int kThreads = 8, kLines = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t] {
            std::string line = "thread " + std::to_string(t) + " " + std::string(100, char('a' + t)) + "\n";
            for (int i = 0; i < kLines; ++i) write(line);
        });
    for (auto& th : threads) th.join();
    auto ev = wait_messages(kThreads * kLines);
    ASSERT_EQ(ev.size(), static_cast<size_t>(kThreads * kLines));
    for (const auto& e : ev) {
        std::string m = e["message"].asString();
        ASSERT_GE(m.size(), 10u);
        int t = m[7] - '0';
        EXPECT_EQ(m, "thread " + std::to_string(t) + " " + std::string(100, char('a' + t)) + "\n");
    }
}

TEST(CaptureOff, LinesCompletedWhileOffAreDropped) {
    std::vector<std::string> got;
    engine_set_callback([](const char* t, void* u) { static_cast<std::vector<std::string>*>(u)->push_back(t); },
                        &got);
    write("dropped line\n");
    message_queue_push(0, "also dropped\n");
    engine_set_callback(nullptr, nullptr);
    EXPECT_TRUE(got.empty());
}
