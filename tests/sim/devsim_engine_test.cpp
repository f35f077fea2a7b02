// The engine, loaded by name, against simulated boot-ROM devices: what the
// simulator publishes is what a station's hub would show the engine.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "engine_host.h"
#include "package_fixture.h"
#include "sim_host.h"

using devsim::SimProcess;

namespace {

class DevsimEngine : public ::testing::Test {
protected:
    // The simulator's ports become the engine's whole port list.
    bool start_sim(const std::vector<std::string>& args, int count) {
        if (!sim_.start(args, count)) return false;
        setenv("KELVO_VIRTUAL_PORTS", sim_.ports_dir().c_str(), 1);
        return true;
    }

    std::set<std::string> sim_paths() {
        std::set<std::string> out;
        for (const auto& p : sim_.ports()) out.insert(p["path"].asString());
        return out;
    }

    std::vector<Json::Value> events(int number) {
        std::vector<Json::Value> out;
        for (const auto& e : host_.events())
            if (e.number() == number) out.push_back(e.json);
        return out;
    }

    size_t log_count(const std::string& line) {
        auto logs = host_.logs();
        return size_t(std::count(logs.begin(), logs.end(), line));
    }

    bool wait_count(int number, size_t count, int ms = 5000) {
        for (int waited = 0; waited < ms; waited += 10) {
            if (events(number).size() >= count) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    // The production lines the simulator recorded, per device file.
    size_t recorded(const std::string& kind) {
        size_t n = 0;
        for (int i = 0; i < 8; ++i)
            for (const auto& v : devsim::read_json_lines(sim_.record_dir() + "/device-" + std::to_string(i) + ".jsonl"))
                if (v["kind"].asString() == kind) ++n;
        return n;
    }

    EngineHost& host_ = EngineHost::instance();
    SimProcess sim_;
};

TEST_F(DevsimEngine, DownloadStartListsEverySimulatedDevice) {
    ASSERT_TRUE(start_sim({"--count", "4", "--location", "hub"}, 4));
    auto expected = sim_paths();
    ASSERT_EQ(expected.size(), 4u);

    host_.start();
    TempDir pkgdir;
    std::string pkg = pkgdir.file("pkg.zip");
    ASSERT_TRUE(write_zip(pkg, sample_items()));
    Json::Value init;
    init["path"] = pkg;
    ASSERT_EQ(host_.download_init(Json::FastWriter().write(init).c_str()), 0);
    ASSERT_TRUE(host_.wait_event(1));
    ASSERT_EQ(host_.download_start(R"({"baudRate": 115200})"), 0);
    ASSERT_TRUE(host_.wait_event(2));
    ASSERT_TRUE(wait_count(5, 4));
    host_.settle();

    auto listed = events(5);
    ASSERT_EQ(listed.size(), 4u);
    std::set<std::string> paths, locations;
    for (const auto& e : listed) {
        paths.insert(e["path"].asString());
        locations.insert(e["locationInfo"].asString());
        EXPECT_EQ(e["status"].asString(), "ONLINE");
        EXPECT_EQ(e["vendorId"].asUInt(), 0x2ECCu);
        EXPECT_EQ(e["productId"].asUInt(), 0x3017u);
        EXPECT_EQ(log_count("<" + e["path"].asString() + "> new device arrived.\n"), 1u);
    }
    EXPECT_EQ(paths, expected);
    EXPECT_EQ(locations, (std::set<std::string>{"hub.0", "hub.1", "hub.2", "hub.3"}));

    host_.download_stop();
    EXPECT_TRUE(host_.wait_event(3));
}

TEST_F(DevsimEngine, ProductionModeLogsEveryDevicesAnswer) {
    ASSERT_TRUE(start_sim({"--count", "3", "--prod-answer", "SN=0042"}, 3));
    auto expected = sim_paths();
    ASSERT_EQ(expected.size(), 3u);

    host_.start();
    ASSERT_EQ(host_.prodmode_start(), 0);
    ASSERT_TRUE(host_.wait_event(9));
    for (const auto& path : expected)
        EXPECT_TRUE(host_.wait_log("received ack from <" + path + ">: SN=0042\n")) << path;
    host_.settle();
    for (const auto& path : expected) {
        EXPECT_EQ(log_count("received ack from <" + path + ">: SN=0042\n"), 1u) << path;
        EXPECT_EQ(log_count("sending production command to serial device <" + path + ">...\n"), 1u) << path;
    }

    ASSERT_EQ(host_.prodmode_stop(), 0);
    EXPECT_TRUE(host_.wait_event(10));
    // Each device saw the command exactly once and nothing it took for a wake-up.
    sim_.stop();
    EXPECT_EQ(recorded("production"), 3u);
    EXPECT_EQ(recorded("wake"), 0u);
}

}  // namespace
