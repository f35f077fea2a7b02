// The device side of the engine against real pseudo-terminals published as
// virtual ports, driven through the loaded engine library.
#include <termios.h>

#include <algorithm>
#include <memory>

#include <gtest/gtest.h>

#include "engine_host.h"
#include "package_fixture.h"
#include "pty_port.h"

namespace {

const unsigned kVid = 0x2ECC;
const char* const kBoot = "Ovix Usb Boot Port";

class DeviceHost : public ::testing::Test {
protected:
    // The host lives as long as the process: each test sees its own events.
    void SetUp() override {
        setenv("KELVO_VIRTUAL_PORTS", ports_.dir().c_str(), 1);
        host_.clear();
    }

    // Engine up with a package opened, then the download start.
    void start_download(const std::string& startJson, bool startEngine = true) {
        if (startEngine) host_.start();
        std::string pkg = pkgdir_.file("pkg.zip");
        ASSERT_TRUE(write_zip(pkg, sample_items()));
        Json::Value init;
        init["path"] = pkg;
        ASSERT_EQ(host_.download_init(Json::FastWriter().write(init).c_str()), 0);
        ASSERT_TRUE(host_.wait_event(1));
        ASSERT_EQ(host_.download_start(startJson.c_str()), 0);
        ASSERT_TRUE(host_.wait_event(2)) << "download start failed";
    }

    std::vector<Json::Value> events(int number, const std::string& path = "") {
        std::vector<Json::Value> out;
        for (const auto& e : host_.events())
            if (e.number() == number && (path.empty() || e.json["path"].asString() == path)) out.push_back(e.json);
        return out;
    }

    size_t log_count(const std::string& line) {
        auto logs = host_.logs();
        return static_cast<size_t>(std::count(logs.begin(), logs.end(), line));
    }

    bool wait_status(const std::string& path, const std::string& status, int ms = 5000) {
        return host_.wait_for(
            [&](const HostEvent& e) {
                return e.number() == 6 && e.json["path"].asString() == path && e.json["status"].asString() == status;
            },
            ms);
    }

    bool wait_count(int number, size_t count, int ms = 5000) {
        for (int waited = 0; waited < ms; waited += 10) {
            if (events(number).size() >= count) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    void stop_download() {
        host_.download_stop();
        EXPECT_TRUE(host_.wait_event(3));
    }

    EngineHost& host_ = EngineHost::instance();
    VirtualPortDir ports_;
    TempDir pkgdir_;
};

// Only the boot port with the exact description, a boot port without any
// description and a port without the boot identity pass without usbOnly.
TEST_F(DeviceHost, DownloadStartListsPortsThatPassTheFilter) {
    {
        const std::vector<int> listedPorts = {1, 3, 4};
        PtyPort p[4];
        ports_.publish("1.json", port_json(p[0].path(), kVid, 0x3017, kBoot, "1-1.1", "Boot (one)"));
        ports_.publish("2.json", port_json(p[1].path(), kVid, 0x3017, std::string(kBoot) + " ", "1-1.2"));
        ports_.publish("3.json", port_json(p[2].path(), kVid, 0x3004, "", "1-1.3"));
        ports_.publish("4.json", port_json(p[3].path(), 0, 0, ""));
        start_download(R"({"baudRate": 115200})");
        host_.settle();
        ASSERT_TRUE(wait_count(5, listedPorts.size()));
        host_.settle();
        auto listed = events(5);
        ASSERT_EQ(listed.size(), listedPorts.size());
        for (size_t i = 0; i < listed.size(); ++i) {
            EXPECT_EQ(listed[i]["path"].asString(), p[listedPorts[i] - 1].path());
            EXPECT_EQ(listed[i]["status"].asString(), "ONLINE");
            EXPECT_FALSE(listed[i]["enabled"].asBool());
            EXPECT_EQ(listed[i]["order"].asInt(), 0);
        }
        EXPECT_EQ(listed[0]["vendorId"].asUInt(), 11980u);
        EXPECT_EQ(listed[0]["productId"].asUInt(), 0x3017u);
        EXPECT_EQ(listed[0]["displayName"].asString(), "Boot (one)");
        EXPECT_EQ(listed[0]["locationInfo"].asString(), "1-1.1");
        // Without a description the location is not known either.
        EXPECT_EQ(listed[1]["locationInfo"].asString(), "Unknown location");
        EXPECT_EQ(listed[1]["displayName"].asString(), "Unknown name");
        EXPECT_EQ(listed[2]["vendorId"].asUInt(), 0u);
        EXPECT_EQ(listed[2]["displayName"].asString(), "Unknown name");
        EXPECT_EQ(log_count("<" + p[0].path() + "> new device arrived.\n"), 1u);
        stop_download();
    }
}

TEST_F(DeviceHost, UsbOnlyListsOnlyTheBootPort) {
    PtyPort boot, plain, trailing;
    ports_.publish("1.json", port_json(boot.path(), kVid, 0x3017, kBoot, "1-1.1"));
    ports_.publish("2.json", port_json(trailing.path(), kVid, 0x3017, std::string(kBoot) + " ", "1-1.2"));
    ports_.publish("3.json", port_json(plain.path(), 0, 0, ""));
    start_download(R"({"baudRate": 115200, "usbOnly": true})");
    // The start's list comes from the worker pool, behind any step the
    // settling waits for; all of it arrives in one step.
    ASSERT_TRUE(wait_count(5, 1));
    host_.settle();
    auto listed = events(5);
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0]["path"].asString(), boot.path());
    stop_download();
}

TEST_F(DeviceHost, ProductionModeCommandsBootPortsAndLogsTheirAnswer) {
    PtyPort boot, other, plain;
    ports_.publish("1.json", port_json(boot.path(), kVid, 0x3017, kBoot, "1-1.1"));
    ports_.publish("3.json", port_json(other.path(), kVid, 0x3004, "", "1-1.3"));
    ports_.publish("4.json", port_json(plain.path(), 0, 0, ""));
    host_.start();
    ASSERT_EQ(host_.prodmode_start(), 0);
    ASSERT_TRUE(host_.wait_event(9));
    EXPECT_EQ(boot.read_for(5000, 4), "PROD");
    EXPECT_TRUE(host_.wait_log("sending production command to serial device <" + boot.path() + ">...\n"));

    // The line is raw 8N1 at 115200 without flow control.
    termios t{};
    ASSERT_EQ(tcgetattr(boot.master(), &t), 0);
    EXPECT_EQ(cfgetospeed(&t), B115200);
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | ICRNL), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);

    ASSERT_TRUE(boot.write_all(std::string("OK\0XY", 5)));
    EXPECT_TRUE(host_.wait_log("received ack from <" + boot.path() + ">: OK\n"));
    EXPECT_EQ(boot.read_for(300), "");
    EXPECT_EQ(other.read_for(50), "");
    EXPECT_EQ(plain.read_for(50), "");
    auto listed = events(5);
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0]["path"].asString(), boot.path());
    auto changes = events(6, boot.path());
    ASSERT_FALSE(changes.empty());
    EXPECT_TRUE(changes.back()["enabled"].asBool());
    EXPECT_EQ(changes.back()["status"].asString(), "CONNECTING");
    EXPECT_EQ(changes.back()["order"].asInt(), 1);

    host_.clear();
    ASSERT_EQ(host_.prodmode_stop(), 0);
    EXPECT_TRUE(host_.wait_event(10));
    EXPECT_TRUE(host_.wait_log("Reading from COM port (ReadIOCompletion): Operation aborted\n"));
    host_.settle();
    EXPECT_EQ(log_count("Reading from COM port (ReadIOCompletion): Operation aborted\n"), 1u);
    EXPECT_EQ(log_count("disconnecting from serial device <" + boot.path() + ">...\n"), 1u);
    // The table is gone before the close completes: no close line.
    EXPECT_EQ(log_count("disconnected from serial device <" + boot.path() + "> successfully!\n"), 0u);
    EXPECT_FALSE(boot.slave_open());
}

TEST_F(DeviceHost, ProductionReplugCommandsTheDeviceAgain) {
    PtyPort first, second;
    ports_.publish("boot.json", port_json(first.path(), kVid, 0x3017, kBoot, "1-1.4"));
    host_.start();
    ASSERT_EQ(host_.prodmode_start(), 0);
    ASSERT_EQ(first.read_for(5000, 4), "PROD");

    ports_.remove("boot.json");
    EXPECT_TRUE(host_.wait_log("<" + first.path() + "> device offlined\n"));
    EXPECT_TRUE(host_.wait_log("disconnected from serial device <" + first.path() + "> successfully!\n"));
    EXPECT_TRUE(wait_status("COM??", "OFFLINE"));

    ports_.publish("boot2.json", port_json(second.path(), kVid, 0x3017, kBoot, "1-1.4"));
    EXPECT_TRUE(host_.wait_log("<" + second.path() + "> device onlined\n"));
    EXPECT_EQ(second.read_for(5000, 4), "PROD");
    EXPECT_EQ(first.read_for(100), "");
    EXPECT_EQ(events(5).size(), 1u);
    host_.prodmode_stop();
    EXPECT_TRUE(host_.wait_event(10));
}

TEST_F(DeviceHost, HotPlugArrivalRemovalAndReturnKeepOrder) {
    PtyPort a, b;
    start_download(R"({"baudRate": 115200})");
    // The monitor starts once the start enumeration has completed; a port
    // published before it watches would be neither listed nor an arrival.
    ASSERT_TRUE(ports_.wait_watched());
    ports_.publish("a.json", port_json(a.path(), 0x1234, 0x5678, "USB Serial", "2-1"));
    EXPECT_TRUE(host_.wait_log("<" + a.path() + "> new device arrived.\n"));
    ASSERT_TRUE(wait_count(5, 1));
    host_.enable_device(("{\"path\": \"" + a.path() + "\"}").c_str());
    EXPECT_TRUE(host_.wait_log("connected to serial device <" + a.path() + "> successfully!\n"));
    EXPECT_TRUE(host_.wait_log("device <" + a.path() + "> fired successfully.\n"));
    EXPECT_TRUE(a.slave_open());

    ports_.remove("a.json");
    EXPECT_TRUE(host_.wait_log("<" + a.path() + "> device offlined\n"));
    EXPECT_TRUE(host_.wait_log("extinguishing device <" + a.path() + ">...\n"));
    EXPECT_TRUE(wait_status("COM??", "OFFLINE"));

    host_.clear();
    ports_.publish("b.json", port_json(b.path(), 0x1234, 0x5678, "USB Serial", "2-1"));
    HostEvent back;
    ASSERT_TRUE(host_.wait_for(
        [&](const HostEvent& e) { return e.number() == 6 && e.json["status"].asString() == "ONLINE"; }, 5000, &back));
    EXPECT_EQ(back.json["path"].asString(), b.path());
    EXPECT_EQ(back.json["order"].asInt(), 1);
    EXPECT_TRUE(back.json["enabled"].asBool());
    EXPECT_TRUE(host_.wait_log("<" + b.path() + "> device onlined\n"));
    // Enabled and not enable-once: it connects again by itself.
    EXPECT_TRUE(host_.wait_log("connected to serial device <" + b.path() + "> successfully!\n"));
    EXPECT_TRUE(events(5).empty());
    stop_download();
}

TEST_F(DeviceHost, TrainingsThenEnablingGiveOrders) {
    PtyPort p[4];
    const char* locations[4] = {"A", "B", "C", "D"};
    for (int i = 0; i < 4; ++i)
        ports_.publish(std::string(1, static_cast<char>('a' + i)) + ".json",
                       port_json(p[i].path(), 0x1234, 0x5678, "USB Serial", locations[i]));
    host_.start();
    ASSERT_EQ(host_.config_trainings(R"([{"locationInfo": "A", "order": 5}, {"locationInfo": "B", "order": 2}])"), 0);
    start_download(R"({"baudRate": 115200})", false);
    ASSERT_TRUE(wait_count(5, 4));
    const int expected[4] = {5, 2, 3, 4};
    for (int i = 0; i < 4; ++i) {
        host_.enable_device(("{\"path\": \"" + p[i].path() + "\"}").c_str());
        EXPECT_TRUE(host_.wait_log("device <" + p[i].path() + "> enabled successfully.\n"));
    }
    host_.settle();
    for (int i = 0; i < 4; ++i) {
        auto changes = events(6, p[i].path());
        ASSERT_FALSE(changes.empty());
        EXPECT_EQ(changes.back()["order"].asInt(), expected[i]) << locations[i];
    }
    size_t before = events(6).size();
    host_.enable_device(("{\"path\": \"" + p[0].path() + "\"}").c_str());
    EXPECT_TRUE(host_.wait_log("device <" + p[0].path() + "> already enabled\n"));
    host_.settle();
    EXPECT_EQ(events(6).size(), before);
    EXPECT_EQ(log_count("connecting to serial device <" + p[0].path() + ">...\n"), 1u);

    HostEvent report;
    host_.clear();
    host_.get_trainings();
    ASSERT_TRUE(host_.wait_event(4, 5000, &report));
    ASSERT_EQ(report.json["trainings"].size(), 4u);
    EXPECT_EQ(report.json["trainings"][0]["locationInfo"].asString(), "B");
    EXPECT_EQ(report.json["trainings"][3]["order"].asInt(), 5);
    stop_download();
}

TEST_F(DeviceHost, MissingPortIsLoggedAndStaysConnecting) {
    ports_.publish("gone.json", port_json("/nonexistent/kelvo-tty", kVid, 0x3017, kBoot, "3-1"));
    start_download(R"({"baudRate": 115200, "usbAutoEnable": true})");
    EXPECT_TRUE(host_.wait_log("Opening /nonexistent/kelvo-tty: File not found\n"));
    host_.settle();
    auto changes = events(6, "/nonexistent/kelvo-tty");
    ASSERT_FALSE(changes.empty());
    EXPECT_EQ(changes.back()["status"].asString(), "CONNECTING");
    EXPECT_EQ(log_count("connected to serial device </nonexistent/kelvo-tty> successfully!\n"), 0u);
    stop_download();
}

TEST_F(DeviceHost, MissingBaudRateIsRefusedNotAHangUp) {
    PtyPort boot;
    ports_.publish("boot.json", port_json(boot.path(), kVid, 0x3017, kBoot, "3-2"));
    start_download(R"({"usbAutoEnable": true})");
    EXPECT_TRUE(host_.wait_log("Open (SetCommState): The parameter is incorrect\n"));
    host_.settle();
    EXPECT_EQ(events(6, boot.path()).back()["status"].asString(), "CONNECTING");
    EXPECT_FALSE(boot.slave_open());
    stop_download();
}

TEST_F(DeviceHost, DownloadStopClosesEveryPort) {
    PtyPort one, two;
    ports_.publish("1.json", port_json(one.path(), kVid, 0x3017, kBoot, "4-1"));
    ports_.publish("2.json", port_json(two.path(), kVid, 0x3004, kBoot, "4-2"));
    start_download(R"({"baudRate": 921600, "usbAutoEnable": true})");
    EXPECT_TRUE(host_.wait_log("connected to serial device <" + one.path() + "> successfully!\n"));
    EXPECT_TRUE(host_.wait_log("connected to serial device <" + two.path() + "> successfully!\n"));
    termios t{};
    ASSERT_EQ(tcgetattr(two.master(), &t), 0);
    EXPECT_EQ(cfgetospeed(&t), B921600);
    // A second download init or start would free what running devices read.
    host_.download_init(("{\"path\": \"" + pkgdir_.file("pkg.zip") + "\"}").c_str());
    EXPECT_TRUE(host_.wait_log("download engine is running, release package not opened\n"));
    host_.download_start(R"({"baudRate": 115200})");
    EXPECT_TRUE(host_.wait_log("download engine is running, command list not rebuilt\n"));

    host_.clear();
    stop_download();
    EXPECT_TRUE(host_.wait_log("device <" + one.path() + "> extinguished successfully.\n"));
    host_.settle();
    EXPECT_EQ(log_count("Reading from COM port (ReadIOCompletion): Operation aborted\n"), 2u);
    EXPECT_EQ(events(1).size(), 0u);
    EXPECT_EQ(events(2).size(), 0u);
    for (int i = 0; i < 100 && (one.slave_open() || two.slave_open()); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_FALSE(one.slave_open());
    EXPECT_FALSE(two.slave_open());
}

TEST_F(DeviceHost, SecondArrivalOfAnOpenPortOnlyRefreshes) {
    PtyPort boot;
    ports_.publish("1.json", port_json(boot.path(), kVid, 0x3017, kBoot, "5-1"));
    start_download(R"({"baudRate": 115200, "usbAutoEnable": true})");
    EXPECT_TRUE(host_.wait_log("connected to serial device <" + boot.path() + "> successfully!\n"));
    size_t before = events(6, boot.path()).size();
    ports_.publish("1-again.json", port_json(boot.path(), kVid, 0x3017, kBoot, "5-1", "Again"));
    EXPECT_TRUE(host_.wait_log("<" + boot.path() + "> device onlined\n"));
    host_.settle();
    auto changes = events(6, boot.path());
    ASSERT_EQ(changes.size(), before + 1);
    EXPECT_EQ(changes.back()["displayName"].asString(), "Again");
    EXPECT_EQ(changes.back()["status"].asString(), "CONNECTING");
    EXPECT_EQ(log_count("connecting to serial device <" + boot.path() + ">...\n"), 1u);
    stop_download();
}

}  // namespace
