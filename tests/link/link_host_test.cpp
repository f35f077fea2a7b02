// The engine library, loaded by name, against a simulated device: with the
// download script not built yet every download ends "FAILED" once the link
// has woken the device and exchanged hellos.
#include <gtest/gtest.h>

#include <algorithm>

#include "engine_host.h"
#include "package_fixture.h"
#include "pty_port.h"
#include "sim_host.h"

namespace {

class LinkHost : public ::testing::Test {
protected:
    // The host lives as long as the process: each test sees its own events.
    void SetUp() override { host_.clear(); }
    void start(const std::vector<std::string>& simArgs, const char* startJson) {
        ASSERT_TRUE(sim_.start(simArgs, 1));
        setenv("KELVO_VIRTUAL_PORTS", sim_.ports_dir().c_str(), 1);
        host_.start();
        std::string pkg = pkgdir_.file("pkg.zip");
        ASSERT_TRUE(write_zip(pkg, sample_items()));
        ASSERT_EQ(host_.download_init(("{\"path\": \"" + pkg + "\"}").c_str()), 0);
        ASSERT_TRUE(host_.wait_event(1));
        ASSERT_EQ(host_.download_start(startJson), 0);
        HostEvent arrived;
        ASSERT_TRUE(host_.wait_event(5, 5000, &arrived));
        path_ = arrived.json["path"].asString();
        ASSERT_EQ(host_.enable_device(("{\"path\": \"" + path_ + "\"}").c_str()), 0);
    }

    bool wait_status(const std::string& status, int ms = 10000) {
        return host_.wait_for(
            [&](const HostEvent& e) { return e.number() == 6 && e.json["status"].asString() == status; }, ms);
    }

    std::vector<std::string> statuses() {
        std::vector<std::string> out;
        for (const auto& e : host_.events())
            if (e.number() == 6) out.push_back(e.json["status"].asString());
        return out;
    }

    EngineHost& host_ = EngineHost::instance();
    devsim::SimProcess sim_;
    TempDir pkgdir_;
    std::string path_;
};

// The sample package requires the platform "X"; the simulated device is "SILICON".
TEST_F(LinkHost, WokenDeviceRunsItsScriptAndEndsFailedOnItsUnmetRequirement) {
    start({"--count", "1"}, R"({"baudRate": 115200})");
    ASSERT_TRUE(wait_status("FAILED"));
    auto st = statuses();
    auto running = std::find(st.begin(), st.end(), "RUNNING");
    ASSERT_NE(running, st.end());
    EXPECT_NE(std::find(st.begin(), running, "CONNECTING"), running);
    EXPECT_NE(std::find(running, st.end(), "FAILED"), st.end());
    // The stack came up once, with a link-local address of its own.
    auto logs = host_.logs();
    EXPECT_EQ(std::count(logs.begin(), logs.end(), "Starting lwIP, IPv4 disable\n"), 1);
    EXPECT_NE(std::find_if(logs.begin(), logs.end(),
                           [](const std::string& l) { return l.rfind("ip6 linklocal address: fe80::", 0) == 0; }),
              logs.end());
    // The device keeps talking after the failed script: the link stays failed
    // and does not wake it again.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    auto later = statuses();
    EXPECT_EQ(std::count(later.begin(), later.end(), "RUNNING"), 1);

    host_.download_stop();
    ASSERT_TRUE(host_.wait_event(3));
    sim_.stop();
    auto lines = devsim::read_json_lines(sim_.record_dir() + "/device-0.jsonl");
    size_t wakes = 0, hellos = 0;
    for (const auto& l : lines) {
        wakes += l["kind"].asString() == "wake";
        hellos += l["kind"].asString() == "hello";
    }
    EXPECT_GE(wakes, 1u);
    EXPECT_EQ(hellos, 1u);
}

// The device side played by the test on a pseudo-terminal: the wake bytes,
// the hello stage and its fall-back, and the wake after a silent failure.
class LinkHandshake : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("KELVO_VIRTUAL_PORTS", ports_.dir().c_str(), 1);
        host_.clear();
    }

    static size_t count(const std::string& hay, const std::string& needle) {
        size_t n = 0;
        for (size_t at = hay.find(needle); at != std::string::npos; at = hay.find(needle, at + needle.size())) ++n;
        return n;
    }
    static std::string frame(const std::string& payload, int type) {
        std::string f = "\x7e";
        if (type) f += std::string("\x7d") + char(type ^ 0x20);
        return f + payload + "\x7e";
    }
    // Payloads of the frames of `type` among bytes read from the port.
    static std::vector<std::string> frames_of(const std::string& bytes, uint8_t type) {
        std::vector<std::string> out;
        devsim::FrameDecoder d;
        d.feed(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(),
               [&](uint8_t t, const std::vector<uint8_t>& p) {
                   if (t == type) out.emplace_back(p.begin(), p.end());
               });
        return out;
    }
    bool wait_status(const std::string& status, int ms) {
        return host_.wait_for(
            [&](const HostEvent& e) { return e.number() == 6 && e.json["status"].asString() == status; }, ms);
    }

    EngineHost& host_ = EngineHost::instance();
    VirtualPortDir ports_;
    TempDir pkgdir_;
};

TEST_F(LinkHandshake, WakeHelloFallBackRunAndWakeAgainAfterSilence) {
    const std::string wake("\x55\x55\x55\x55\x7e", 5);
    const std::string mac("\x02\x11\x22\x33\x44\x55", 6);
    PtyPort dev;
    ports_.publish("1.json", port_json(dev.path(), 0x2ECC, 0x3017, "Ovix Usb Boot Port", "1-1"));
    host_.start();
    std::string pkg = pkgdir_.file("pkg.zip");
    ASSERT_TRUE(write_zip(pkg, sample_items()));
    ASSERT_EQ(host_.download_init(("{\"path\": \"" + pkg + "\"}").c_str()), 0);
    ASSERT_TRUE(host_.wait_event(1));
    ASSERT_EQ(host_.download_start(R"({"baudRate": 115200})"), 0);
    ASSERT_TRUE(host_.wait_event(5));
    ASSERT_EQ(host_.enable_device(("{\"path\": \"" + dev.path() + "\"}").c_str()), 0);

    // A silent device is woken every second and nothing else.
    std::string got = dev.read_for(2600);
    EXPECT_GE(count(got, wake), 2u);
    EXPECT_LE(count(got, wake), 4u);
    EXPECT_EQ(got.size(), count(got, wake) * wake.size());

    // "UUUU": hello frames with the host's address follow, one a second.
    ASSERT_TRUE(dev.write_all(frame("UUUU", 0)));
    got = dev.read_for(1500);
    auto hellos = frames_of(got, 2);
    ASSERT_GE(hellos.size(), 1u) << "hello frame";
    std::string hostMac = hellos[0];
    ASSERT_EQ(hostMac.size(), 6u);
    EXPECT_TRUE(hostMac[0] == 0 || hostMac[0] == 2);
    // No hello reply for more than the 3 s time-out: back to waking.
    got = dev.read_for(3500);
    EXPECT_GE(count(got, wake), 1u) << "fell back to the wake stage";

    // Wake answered, and the device's own hello is answered with a hello reply.
    ASSERT_TRUE(dev.write_all(frame("UUUU", 0) + frame(mac, 2)));
    got = dev.read_for(1500);
    EXPECT_EQ(frames_of(got, 3), std::vector<std::string>{hostMac}) << "hello reply";
    ASSERT_TRUE(dev.write_all(frame(mac, 3)));
    ASSERT_TRUE(wait_status("RUNNING", 3000));
    // A device text line becomes a log line of that device.
    ASSERT_TRUE(dev.write_all(frame("ok", 1)));
    EXPECT_TRUE(host_.wait_log("<" + dev.path() + "> #=> ok", 3000));
    // The script's queries go unanswered; the link answers for the silent device.
    ASSERT_TRUE(wait_status("FAILED", 15000)) << "the script never reached the device";
    // A progress frame reaches the device record unchanged.
    ASSERT_TRUE(dev.write_all(frame("\xc8", 5)));
    EXPECT_TRUE(host_.wait_for(
        [](const HostEvent& e) { return e.number() == 6 && e.json["progress"].asUInt() == 200; }, 3000));

    // Silent for longer than the time-out after the failure: woken again
    // (the silence may already have run out while the script failed).
    bool woken = false;
    for (int waited = 0; waited < 6000 && !woken; waited += 50) {
        bool failed = false;
        for (const auto& e : host_.events()) {
            if (e.number() != 6) continue;
            failed = failed || e.json["status"].asString() == "FAILED";
            woken = woken || (failed && e.json["status"].asString() == "CONNECTING");
        }
        if (!woken) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_TRUE(woken);
    got = dev.read_for(1500);
    EXPECT_GE(count(got, wake), 1u);

    host_.download_stop();
    EXPECT_TRUE(host_.wait_event(3, 3000)) << "a link that is not running closes at once";
    // The link left the list during the stop's walk: the closing step still
    // ran once, after the walk.
    host_.settle();
    size_t stops = 0;
    for (const auto& e : host_.events()) stops += e.number() == 3;
    EXPECT_EQ(stops, 1u);
    auto logs = host_.logs();
    EXPECT_EQ(std::count(logs.begin(), logs.end(), "received all devices closed message.\n"), 1);
}

}  // namespace
