// Progress weights and the download command list.
#include <gtest/gtest.h>

#include "base/json_text.h"
#include "release/download_commands.h"
#include "test_util.h"

namespace {

Json::Value release_with(const char* commands) {
    Json::Value r = parse_json(R"({
      "values": {"version": "1.0"},
      "partitions": [{"name": "all", "size": 8192}, {"name": "data", "size": 4096}],
      "images": [{"name": "img", "image": "img.bin", "size": 1000}, {"name": "big", "image": "big.bin", "size": 5000}]
    })");
    r["commands"] = parse_json(commands);
    return r;
}

TEST(DownloadCommands, WeightsAndObjects) {
    Json::Value r = release_with(R"([
      {"command": "progress", "type": "value", "name": "weight", "group": 0},
      {"command": "require", "type": "value", "name": "missing", "productionOnly": false},
      {"command": "flash", "type": "image", "name": "img", "partition": "data", "group": "1"},
      {"command": "flash", "type": "image", "name": "img", "partition": "elsewhere"},
      {"command": "erase", "partition": "data", "group": 2},
      {"command": "boot", "type": "image", "name": "img", "partition": "ignored"},
      {"command": "fuse", "type": "image", "name": "nosuch"},
      {"command": "reboot", "type": "whatever", "name": "x"}])");
    testing::internal::CaptureStdout();
    ASSERT_EQ(release_compute_weights(r), 0);
    ASSERT_EQ(release_build_download_commands(r), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Calculating total progress weight ...\nDone.\nGenerating download commands ...\nDone.\n");
    EXPECT_EQ(r["values"]["weight"].asUInt64(), 5096u + 1000u + 4096u);
    const Json::Value& d = r["downloadJson"];
    ASSERT_EQ(d.size(), 8u);
    EXPECT_EQ(json_styled(d[0]), json_styled(parse_json(
        R"({"command": "progress", "group": "0", "name": "weight", "value": 10192})")));
    EXPECT_EQ(json_styled(d[1]), json_styled(parse_json(
        R"({"command": "require", "group": "", "name": "missing", "value": null, "productionOnly": false})")));
    EXPECT_EQ(json_styled(d[2]), json_styled(parse_json(
        R"({"command": "flash", "group": "1", "image": "img.bin", "partition": "data", "weight": 5096})")));
    EXPECT_EQ(d[3]["weight"].asUInt64(), 1000u);  // partition not listed: image only
    EXPECT_EQ(json_styled(d[4]), json_styled(parse_json(
        R"({"command": "erase", "group": "2", "partition": "data", "weight": 4096})")));
    EXPECT_EQ(json_styled(d[5]), json_styled(parse_json(R"({"command": "boot", "group": "", "image": "img.bin"})")));
    EXPECT_EQ(json_styled(d[6]), json_styled(parse_json(R"({"command": "fuse", "group": ""})")));
    EXPECT_EQ(json_styled(d[7]), json_styled(parse_json(R"({"command": "reboot", "group": ""})")));
    // Members in byte order, as the download side's tools expect.
    EXPECT_LT(json_styled(d[2]).find("\"command\""), json_styled(d[2]).find("\"weight\""));
}

TEST(DownloadCommands, Failures) {
    struct Case { const char* commands; const char* line; } cases[] = {
        {R"([{"command": "flash", "type": "image", "name": "big", "partition": "data"}])",
         "error: partition \"data\" too small to hold image with id \"big\".\n"},
        {R"([{"command": "upload", "type": "image", "name": "img"}])", "error: unknown command \"upload\".\n"},
        {R"([{"command": "progress", "type": "image", "name": "img"}])",
         "error: unknown value type for command \"progress\".\n"},
        {R"([{"command": "flash", "type": "value", "name": "img", "partition": "x"}])",
         "error: unknown value type for command \"flash\".\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.commands);
        Json::Value r = release_with(c.commands);
        testing::internal::CaptureStdout();
        int result = release_compute_weights(r);
        if (result == 0) result = release_build_download_commands(r);
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(result, -1);
        EXPECT_NE(out.find(c.line), std::string::npos) << out;
        EXPECT_FALSE(r.isMember("downloadJson"));
    }
}

TEST(DownloadCommands, WeightsNeedTheFlatListAndFit32Bits) {
    Json::Value tree = release_with(R"([{"command": "erase", "partition": "data"}])");
    tree["partitions"] = parse_json(R"({"partitions": []})");
    testing::internal::CaptureStdout();
    EXPECT_EQ(release_compute_weights(tree), -1);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("error: partitions are not laid out"), std::string::npos);

    Json::Value huge = release_with(R"([{"command": "erase", "partition": "data"}, {"command": "erase", "partition": "data"}])");
    huge["partitions"][1]["size"] = Json::UInt64(0x80000000u);
    testing::internal::CaptureStdout();
    EXPECT_EQ(release_compute_weights(huge), -1);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("error: total progress weight too large.\n"), std::string::npos);

    // Without flash or erase commands the layout is not needed.
    Json::Value plain = release_with(R"([{"command": "reboot"}])");
    plain["partitions"] = parse_json(R"({"partitions": []})");
    testing::internal::CaptureStdout();
    EXPECT_EQ(release_compute_weights(plain), 0);
    testing::internal::GetCapturedStdout();
}

}  // namespace
