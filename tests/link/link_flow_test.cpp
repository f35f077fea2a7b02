// A piece that takes longer on the line than the status read's retries last:
// its unacknowledged data waits in the host only a few windows deep, and the
// status read starts once the data has left, so the device ends SUCCEEDED.
// The whole engine runs against kelvo-devsim with a small retry budget.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>

#include <json/json.h>

#include "base/loop.h"
#include "device/device_table.h"
#include "flash/udp_transport.h"
#include "fleet.h"
#include "kelvo.h"
#include "link/ethos_flow.h"
#include "on_loop.h"

namespace {

struct Finals {
    std::mutex m;
    std::condition_variable cv;
    bool opened = false;
    std::string status;  // the first SUCCEEDED or FAILED
    std::string failure;

    static void on_event(const char* text, void* user) {
        auto* self = static_cast<Finals*>(user);
        Json::Value v;
        if (!Json::Reader().parse(text, v) || !v.isObject()) return;
        std::lock_guard<std::mutex> lock(self->m);
        if (v["event"].asInt() == 1) self->opened = true;
        std::string st = v["status"].asString();
        if (v["event"].asInt() == 6 && self->status.empty() && (st == "SUCCEEDED" || st == "FAILED"))
            self->status = st;
        std::string line = v["message"].asString();
        if (v["event"].asInt() == 0 && line.find("FAILED") != std::string::npos) self->failure += line;
        self->cv.notify_all();
    }
};

// Bytes waiting in the device's send queue (loop thread).
size_t queued_bytes() {
    size_t n = 0;
    device_table_for_each([&n](const DeviceRecord& d) {
        for (const auto& write : d.sendQueue) n += write.size();
    });
    return n;
}


TEST(LinkFlow, PieceLongerThanTheStatusReadBudgetSucceedsWithABoundedQueue) {
    // 3 MiB at 600000 B/s: about 5.2 s on the line. Six sends of 500 ms give
    // the status read 3 s: enough only once the data has left the host.
    const std::string image = fleet::image_pattern(3u << 20, 7);
    udp::SetDataSendBudget(6);
    fleet::Fleet sims;
    ASSERT_TRUE(sims.start(1, 1,
                           {"--line-rate", "600000", "--flash",
                            "external:" + std::to_string(fleet::flash_size_for(image.size()))}));
    std::string package = sims.root() + "/image.zip";
    ASSERT_TRUE(fleet::write_image_package(package, image));
    setenv("KELVO_VIRTUAL_PORTS", sims.ports_dir().c_str(), 1);

    Finals finals;
    ASSERT_EQ(kelvo_engine_init(), 0);
    kelvo_engine_register_cb(&Finals::on_event, &finals);
    ASSERT_EQ(kelvo_download_init(("{\"path\": \"" + package + "\"}").c_str()), 0);
    {
        std::unique_lock<std::mutex> lock(finals.m);
        ASSERT_TRUE(finals.cv.wait_for(lock, std::chrono::seconds(10), [&] { return finals.opened; }));
    }
    ASSERT_EQ(kelvo_download_start(R"({"baudRate": 921600, "usbAutoEnable": true})"), 0);

    size_t peak = 0;
    std::unique_lock<std::mutex> lock(finals.m);
    for (int i = 0; i < 3000 && finals.status.empty(); ++i) {
        lock.unlock();
        peak = std::max(peak, on_loop<size_t>(queued_bytes));
        lock.lock();
        finals.cv.wait_for(lock, std::chrono::milliseconds(10));
    }
    std::string status = finals.status, failure = finals.failure;
    lock.unlock();

    kelvo_download_stop();
    kelvo_engine_unregister_cb();
    udp::SetDataSendBudget(120);
    sims.stop();
    EXPECT_EQ(status, "SUCCEEDED") << failure;
    EXPECT_EQ(sims.verified_bytes(0, image), image.size());
    // The window being filled is the link's own; the queue holds the rest.
    EXPECT_LE(peak, size_t(kFlowHeldMax) + 4096) << "bytes waiting for the port, a few frames aside";
    EXPECT_GT(peak, 0u);
}

}  // namespace
