// Download init and start on real packages, through the library's exports.
#include <gtest/gtest.h>

#include "engine_host.h"
#include "package_fixture.h"

namespace {

class PackageHost : public testing::Test {
protected:
    void SetUp() override {
        host_.start();
        host_.clear();
    }
    void TearDown() override {
        if (started_) {
            host_.download_stop();
            host_.wait_event(3, 5000);
        }
    }
    bool started_ = false;
    static std::string init_json(const std::string& path) {
        Json::Value doc;
        doc["path"] = path;
        return Json::FastWriter().write(doc);
    }
    HostEvent init(const std::string& json) {
        HostEvent e;
        EXPECT_EQ(host_.download_init(json.c_str()), 0);
        EXPECT_TRUE(host_.wait_event(1, 5000, &e));
        return e;
    }
    EngineHost& host_ = EngineHost::instance();
    TempDir dir_;
};

}  // namespace

TEST_F(PackageHost, InitReportsCommandsAndPartitionsThenStartSucceeds) {
    std::string path = dir_.file("pkg.zip");
    ASSERT_TRUE(write_zip(path, sample_items()));
    HostEvent e = init(init_json(path));
    ASSERT_TRUE(e.json.isMember("commands")) << e.text;
    EXPECT_EQ(e.json["commands"].size(), 9u);
    EXPECT_EQ(e.json["commands"][2]["imageSize"].asUInt(), 100u);
    auto rows = sample_rows();
    ASSERT_EQ(e.json["partitions"].size(), rows.size());
    for (Json::ArrayIndex i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(e.json["partitions"][i]["name"].asString(), rows[i].name);
        EXPECT_EQ(e.json["partitions"][i]["size"].asUInt(), rows[i].size);
    }
    EXPECT_TRUE(host_.wait_log("initialized kelvo release package successfully.\n"));

    ASSERT_EQ(host_.download_start(R"({"baudRate": 115200, "disabledGroups": ["modem"], "reboot": true})"), 0);
    EXPECT_TRUE(host_.wait_log("kelvo download engine started successfully.\n"));
    EXPECT_TRUE(host_.wait_event(2));
    started_ = true;

    // Neither a second init nor a second start touches the running download.
    host_.clear();
    e = init(init_json(path));
    EXPECT_FALSE(e.json.isMember("commands")) << e.text;
    EXPECT_TRUE(host_.wait_log("download engine is running, release package not opened\n"));
    ASSERT_EQ(host_.download_start(R"({"baudRate": 115200})"), 0);
    EXPECT_TRUE(host_.wait_log("kelvo download engine started failed: boot engine startup failed\n"));

    // After the stop the package opens again.
    host_.download_stop();
    ASSERT_TRUE(host_.wait_event(3));
    started_ = false;
    host_.clear();
    e = init(init_json(path));
    EXPECT_TRUE(e.json.isMember("commands")) << e.text;
}

TEST_F(PackageHost, InitFromHostMemory) {
    ASSERT_TRUE(write_zip(dir_.file("pkg.zip"), sample_items()));
    std::string bytes = read_file(dir_.file("pkg.zip"));
    Json::Value doc;
    doc["address"] = Json::UInt64(reinterpret_cast<uintptr_t>(bytes.data()));
    doc["size"] = Json::UInt(bytes.size());
    HostEvent e = init(Json::FastWriter().write(doc));
    EXPECT_EQ(e.json["commands"].size(), 9u) << e.text;
    EXPECT_EQ(e.json["partitions"].size(), 4u);
}

TEST_F(PackageHost, PackageWithoutPartitionTableLogsAndReportsNeither) {
    std::string path = dir_.file("pkg.zip");
    ASSERT_TRUE(write_zip(path, items_without_table()));
    HostEvent e = init(init_json(path));
    EXPECT_TRUE(host_.wait_log("release package '" + path + "' has no partition.bin\n"));
    EXPECT_FALSE(e.json.isMember("commands")) << e.text;
    EXPECT_FALSE(e.json.isMember("partitions"));
    // The start needs only the commands.
    ASSERT_EQ(host_.download_start(R"({"baudRate": 115200})"), 0);
    EXPECT_TRUE(host_.wait_log("kelvo download engine started successfully.\n"));
    EXPECT_TRUE(host_.wait_event(2));
    started_ = true;
}

TEST_F(PackageHost, MissingImageFailsInit) {
    std::string path = dir_.file("pkg.zip");
    ASSERT_TRUE(write_zip(path, with_item(sample_items(), "modem.img", "", true)));
    HostEvent e = init(init_json(path));
    EXPECT_TRUE(host_.wait_log("archive does not contain 'modem.img'\n"));
    EXPECT_FALSE(e.json.isMember("commands")) << e.text;
}

TEST_F(PackageHost, StartFailsWhenProgressDoesNotFit) {
    std::string path = dir_.file("pkg.zip");
    ASSERT_TRUE(write_zip(path, with_item(sample_items(), "download.json",
                                          R"([{"command": "progress", "group": "", "name": "weight",
                                               "value": 8589934592}])")));
    HostEvent e = init(init_json(path));
    ASSERT_TRUE(e.json.isMember("commands")) << e.text;
    ASSERT_EQ(host_.download_start(R"({"baudRate": 115200})"), 0);
    EXPECT_TRUE(host_.wait_log("download.json: progress value of command 0 does not fit 32 bits\n"));
    EXPECT_TRUE(host_.wait_log("kelvo download engine started failed: boot engine startup failed\n"));
    host_.settle();
    for (const auto& ev : host_.events()) EXPECT_NE(ev.number(), 2) << ev.text;
}

TEST_F(PackageHost, BadProgressTypeFailsInit) {
    std::string path = dir_.file("pkg.zip");
    ASSERT_TRUE(write_zip(path, with_item(sample_items(), "download.json",
                                          R"([{"command": "progress", "value": [1]}])")));
    HostEvent e = init(init_json(path));
    EXPECT_TRUE(host_.wait_log("download.json: command 0 has an invalid progress \"value\"\n"));
    EXPECT_FALSE(e.json.isMember("commands")) << e.text;
}

TEST_F(PackageHost, StartRightBehindInitFindsThePackage) {
    // A controller may send the start without waiting for the init's event;
    // both jobs read the one package state.
    std::string path = dir_.file("pkg.zip");
    ASSERT_TRUE(write_zip(path, sample_items()));
    for (int round = 0; round < 20; ++round) {
        host_.clear();
        ASSERT_EQ(host_.download_init(init_json(path).c_str()), 0);
        ASSERT_EQ(host_.download_start(R"({"baudRate": 115200})"), 0);
        HostEvent e;
        ASSERT_TRUE(host_.wait_event(1, 5000, &e));
        EXPECT_TRUE(e.json.isMember("commands")) << "round " << round << ": " << e.text;
        ASSERT_TRUE(host_.wait_event(2)) << "round " << round;
        host_.download_stop();
        ASSERT_TRUE(host_.wait_event(3)) << "round " << round;
    }
}
