// Whole downloads through the engine's exports against simulated boot-ROM
// devices: the script's commands reach the device over the serial link.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "engine_host.h"
#include "fleet.h"
#include "package_fixture.h"
#include "redirected_stdio.h"
#include "sim_host.h"
#include "sparse_builder.h"

namespace {

std::string pattern(size_t size, unsigned seed) {
    std::string s(size, '\0');
    for (size_t i = 0; i < size; ++i) s[i] = static_cast<char>((i / 4096 + seed) * 31 + i % 7 + 1);
    return s;
}

// external: ptable at 0, modem at 0x100000; internal: data at 0.
std::vector<AptbRow> device_rows() {
    return {{"all", "group", 0, 0x1000000, 0, 0x1000000, 0},
            {"external", "flash", 0, 0x800000, 0, 0x800000, 1},
            {"ptable", "raw", 0, 0x1000, 0, 0x1000, 2},
            {"modem", "raw", 0x100000, 0x100000, 0, 0x100000, 2},
            {"internal", "flash", 0, 0x800000, 0, 0x800000, 1},
            {"data", "raw", 0, 0x200000, 0, 0x200000, 2}};
}

class DownloadDevsim : public ::testing::Test {
protected:
    void SetUp() override {
        char buf[4096];
        ASSERT_NE(getcwd(buf, sizeof buf), nullptr);
        oldCwd_ = buf;
        ASSERT_EQ(chdir(dir_.file("").c_str()), 0);
        ASSERT_EQ(mkdir("upload", 0755), 0);
    }
    void TearDown() override {
        host_.download_stop();
        host_.wait_event(3, 10000);
        if (chdir(oldCwd_.c_str()) != 0) ADD_FAILURE() << "chdir back failed";
    }

    // Runs the download of `items` on `count` simulated devices; the final
    // status of every device.
    std::vector<std::string> download(const std::vector<ZipItem>& items, const std::vector<std::string>& simArgs,
                                      int count,
                                      const char* start = R"({"baudRate": 115200, "usbAutoEnable": true})") {
        // start() adds the ports, record and quiet options itself.
        if (!sim_.start(simArgs, count)) return {};
        std::string pkg = dir_.file("pkg.zip");
        if (!write_zip(pkg, items)) return {};
        return download_package(pkg, sim_.ports_dir(), count, start);
    }

    // The package downloaded to the `count` devices published in `portsDir`.
    std::vector<std::string> download_package(
        const std::string& pkg, const std::string& portsDir, int count,
        const char* start = R"({"baudRate": 115200, "usbAutoEnable": true})") {
        setenv("KELVO_VIRTUAL_PORTS", portsDir.c_str(), 1);
        host_.start();
        host_.clear();
        Json::Value init;
        init["path"] = pkg;
        host_.download_init(Json::FastWriter().write(init).c_str());
        if (!host_.wait_event(1)) return {};
        host_.download_start(start);
        std::map<std::string, std::string> finals;
        host_.wait_for(
            [&](const HostEvent& e) {
                if (e.number() != 6) return false;
                std::string st = e.json["status"].asString();
                if (st == "SUCCEEDED" || st == "FAILED") finals[e.json["locationInfo"].asString()] = st;
                return finals.size() == size_t(count);
            },
            // Whole downloads under sanitizers on a busy machine: as long as
            // the test's own limit allows.
            100000);
        std::vector<std::string> out;
        for (auto& f : finals) out.push_back(f.second);
        return out;
    }

    // A package that flashes `modem` and then `data` after the partition table.
    static std::vector<ZipItem> modem_then_data(const std::string& modem, const std::string& data) {
        return {{"download.json", R"([
  {"command": "partition", "image": "partition.bin"},
  {"command": "flash", "partition": "modem", "image": "modem.img"},
  {"command": "flash", "partition": "data", "image": "data.img"}
])"},
                {"partition.bin", make_aptb(device_rows())},
                {"modem.img", modem},
                {"data.img", data}};
    }

    // How many of the run's log lines contain `text`.
    size_t logs_containing(const std::string& text) {
        auto logs = host_.logs();
        return static_cast<size_t>(std::count_if(logs.begin(), logs.end(),
                                                 [&](const std::string& l) { return l.find(text) != std::string::npos; }));
    }

    std::string recorded_flash(int device, const std::string& flash) {
        auto bytes = devsim::read_file(sim_.record_dir() + "/device-" + std::to_string(device) + ".flash." + flash + ".bin");
        return std::string(bytes.begin(), bytes.end());
    }

    EngineHost& host_ = EngineHost::instance();
    devsim::SimProcess sim_;
    TempDir dir_;
    std::string oldCwd_;
};

TEST_F(DownloadDevsim, TwoDevicesGetEveryImage) {
    std::string modem = pattern(0x30000 + 100, 1);  // not a whole number of blocks
    std::string data = pattern(0x1A0000, 5);        // more than one piece at a 1 MiB limit
    std::vector<ZipItem> items = {
        {"download.json", R"([
  {"command": "require", "name": "version-bootrom", "value": "1.*"},
  {"command": "progress", "name": "weight", "value": 200},
  {"command": "partition", "image": "partition.bin"},
  {"command": "erase", "partition": "modem"},
  {"command": "flash", "partition": "modem", "image": "modem.img", "weight": 100},
  {"command": "flash", "partition": "data", "image": "data.img", "weight": 100}
])"},
        {"partition.bin", make_aptb(device_rows())},
        {"modem.img", modem},
        {"data.img", data}};
    RedirectedStdio io;
    auto finals = download(items, {"--count", "2", "--max-download-size", "1048576"}, 2);
    io.restore();
    // The sparse library says nothing of its own on the process's descriptor 2.
    EXPECT_EQ(io.err(), "");
    if (finals != std::vector<std::string>{"SUCCEEDED", "SUCCEEDED"})
        for (const auto& l : host_.logs()) fprintf(stderr, "LOG %s", l.c_str());
    ASSERT_EQ(finals, (std::vector<std::string>{"SUCCEEDED", "SUCCEEDED"}));
    sim_.stop();
    for (int i = 0; i < 2; ++i) {
        std::string external = recorded_flash(i, "external");
        std::string internal = recorded_flash(i, "internal");
        ASSERT_GE(external.size(), 0x200000u);
        EXPECT_TRUE(external.substr(0x100000, modem.size()) == modem) << i;
        EXPECT_TRUE(internal.substr(0, data.size()) == data) << i;
    }
    // One extraction per image and limit, shared by both devices.
    EXPECT_EQ(logs_containing("extracting data.img"), 1u);
}

// A device reboots at the end of its list and its port goes away while the
// script waits for "complete": the list ran, so the device succeeded. One that
// vanishes in the middle of its list has not.
struct EndCase {
    const char* name;
    const char* list;
    const char* start;
    std::vector<std::string> simArgs;
    std::vector<std::string> finals;  // by location
};

void PrintTo(const EndCase& c, std::ostream* os) { *os << c.name; }

class DownloadEnd : public DownloadDevsim, public ::testing::WithParamInterface<EndCase> {};

TEST_P(DownloadEnd, FinalStatus) {
    const EndCase& c = GetParam();
    std::string data = pattern(0x60000, 7);
    std::vector<ZipItem> items = {{"download.json", c.list},
                                  {"partition.bin", make_aptb(device_rows())},
                                  {"data.img", data}};
    auto finals = download(items, c.simArgs, int(c.finals.size()), c.start);
    EXPECT_EQ(finals, c.finals);
    if (finals != c.finals)
        for (const auto& l : host_.logs()) fprintf(stderr, "LOG %s", l.c_str());
    host_.download_stop();
    ASSERT_TRUE(host_.wait_event(3, 10000));
    // The "complete" that a rebooting device cannot answer is no FAILED line
    // of a device that succeeded, and no line blames an error number that no
    // failure set.
    const bool allSucceeded = std::count(c.finals.begin(), c.finals.end(), "SUCCEEDED") == long(c.finals.size());
    const std::string noError = std::string("(") + strerror(0) + ")";
    for (const auto& l : host_.logs()) {
        if (allSucceeded) {
            EXPECT_EQ(l.find("FAILED"), std::string::npos) << l;
        }
        EXPECT_EQ(l.find(noError), std::string::npos) << l;
        EXPECT_NE(l.rfind("<> ", 0), 0u) << l;
    }
    sim_.stop();
    for (size_t i = 0; i < c.finals.size(); ++i) {
        if (c.finals[i] == "SUCCEEDED") {
            EXPECT_TRUE(recorded_flash(int(i), "internal").substr(0, data.size()) == data) << i;
        }
    }
}

const char* const kFlashThenReboot = R"([{"command": "partition", "image": "partition.bin"},
    {"command": "flash", "partition": "data", "image": "data.img"}, {"command": "reboot"}])";
const char* const kFlashOnly = R"([{"command": "partition", "image": "partition.bin"},
    {"command": "flash", "partition": "data", "image": "data.img"}])";
const char* const kStart = R"({"baudRate": 115200, "usbAutoEnable": true})";
const char* const kStartWithReboot = R"({"baudRate": 115200, "usbAutoEnable": true, "reboot": true})";

INSTANTIATE_TEST_SUITE_P(
    Reboot, DownloadEnd,
    ::testing::Values(EndCase{"ListEndsInReboot", kFlashThenReboot, kStart, {"--count", "2"},
                              {"SUCCEEDED", "SUCCEEDED"}},
                      EndCase{"StartAppendsReboot", kFlashOnly, kStartWithReboot, {"--count", "1"}, {"SUCCEEDED"}},
                      EndCase{"VanishMidList", kFlashThenReboot, kStart, {"--count", "2", "--fault", "1/vanish:65536"},
                              {"SUCCEEDED", "FAILED"}}),
    [](const ::testing::TestParamInfo<EndCase>& info) { return std::string(info.param.name); });

// More devices than the network stack's neighbour cache holds, at once, on
// fast lines: the unacknowledged data of every one reaches its device.
TEST_F(DownloadDevsim, TwentyFourDevicesAtOnceAllSucceed) {
    const int count = 24;
    std::string image = fleet::image_pattern(2u << 20, 3);
    fleet::Fleet sims;
    ASSERT_TRUE(sims.start(count, 8,
                           {"--line-rate", "1000000", "--flash",
                            "external:" + std::to_string(fleet::flash_size_for(image.size()))}));
    std::string pkg = dir_.file("image.zip");
    ASSERT_TRUE(fleet::write_image_package(pkg, image));
    auto finals = download_package(pkg, sims.ports_dir(), count);
    if (finals != std::vector<std::string>(count, "SUCCEEDED"))
        for (const auto& l : host_.logs()) fprintf(stderr, "LOG %s", l.c_str());
    EXPECT_EQ(finals, std::vector<std::string>(count, "SUCCEEDED"));
    host_.download_stop();
    host_.wait_event(3, 10000);
    sims.stop();
    for (int i = 0; i < count; ++i) EXPECT_EQ(sims.verified_bytes(i, image), image.size()) << sims.location(i);
}

TEST_F(DownloadDevsim, UploadSplitsTheDevicesFlashes) {
    std::string modem = pattern(0x20000, 3);
    std::vector<ZipItem> items = {
        {"download.json", R"([
  {"command": "partition", "image": "partition.bin"},
  {"command": "flash", "partition": "modem", "image": "modem.img"},
  {"command": "upload", "partition": "all", "image": "all.bin"}
])"},
        {"partition.bin", make_aptb(device_rows())},
        {"modem.img", modem}};
    auto finals = download(items, {"--count", "1"}, 1);
    ASSERT_EQ(finals, (std::vector<std::string>{"SUCCEEDED"}));
    sim_.stop();
    std::string dump = read_file("upload/all.bin");
    EXPECT_EQ(dump.size(), 0x1000000u);
    EXPECT_TRUE(dump == recorded_flash(0, "external") + recorded_flash(0, "internal"));
    EXPECT_TRUE(read_file("upload/modem.raw").substr(0, modem.size()) == modem);
    EXPECT_EQ(read_file("upload/data.raw").size(), 0x200000u);
}

// A container whose checksum does not match its bytes is refused on every
// device, which ends "FAILED" with the reason; nothing of it reaches the
// partition, and the images before it are in place.
TEST_F(DownloadDevsim, SparseImageWithAWrongChecksumFailsEachDevice) {
    std::string modem = pattern(0x20000, 2);
    std::string expanded;
    std::string data = sparse_test::good_image(expanded);
    data[28 + 12 + 5] ^= 1;
    auto finals = download(modem_then_data(modem, data), {"--count", "2"}, 2);
    ASSERT_EQ(finals, (std::vector<std::string>{"FAILED", "FAILED"}));
    sim_.stop();
    EXPECT_EQ(logs_containing("error: cannot sparse read file"), 2u);
    for (int i = 0; i < 2; ++i) {
        std::string external = recorded_flash(i, "external");
        std::string internal = recorded_flash(i, "internal");
        EXPECT_TRUE(external.substr(0x100000, modem.size()) == modem) << i;
        EXPECT_EQ(internal.find(data.substr(0, 28)), std::string::npos) << "the container's header was flashed";
    }
}

// A plain image one byte larger than its partition is refused on each device
// before any of it is sent: the device ends "FAILED" with the reason, the
// partition and what follows it hold none of it, the image before it is in place.
TEST_F(DownloadDevsim, PlainImageLargerThanItsPartitionFailsEachDevice) {
    std::string modem = pattern(0x20000, 4);
    std::string data = pattern(0x200001, 6);  // "data" holds 0x200000
    auto finals = download(modem_then_data(modem, data), {"--count", "2"}, 2);
    ASSERT_EQ(finals, (std::vector<std::string>{"FAILED", "FAILED"}));
    sim_.stop();
    EXPECT_EQ(logs_containing("image 'data.img' refused: it takes 2101248 bytes, more than the 2097152 its target holds"),
              2u);
    EXPECT_EQ(logs_containing(std::string("cannot load 'data.img': ") + strerror(EFBIG)), 2u);
    EXPECT_EQ(logs_containing("Sending sparse 'data'"), 0u);
    for (int i = 0; i < 2; ++i) {
        EXPECT_TRUE(recorded_flash(i, "external").substr(0x100000, modem.size()) == modem) << i;
        EXPECT_EQ(recorded_flash(i, "internal").find(data.substr(0, 4096)), std::string::npos) << i;
    }
}

}  // namespace
