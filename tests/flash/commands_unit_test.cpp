// The command list a download start builds: disabled groups, the lowered
// progress total and the final reboot.
#include <gtest/gtest.h>

#include "json_expect.h"

#include "base/json_text.h"
#include "flash/package.h"
#include "package_fixture.h"

namespace {

using test_json::parse;

// Opens a package holding `downloadJson` (images ap.img and modem.img) so
// that a start can rebuild from it.
class CommandList : public testing::Test {
protected:
    void open(const std::string& downloadJson) {
        auto items = with_item(sample_items(), "download.json", downloadJson);
        ASSERT_TRUE(write_zip(dir_.file("pkg.zip"), items));
        Json::Value result;
        ASSERT_TRUE(package_open(dir_.file("pkg.zip"), 0, 0, result));
    }
    static bool apply(const std::string& disabled, bool reboot) {
        return commands_apply_groups(parse(disabled), reboot);
    }
    static std::vector<std::string> words() {
        std::vector<std::string> out;
        for (const auto& c : package_commands()) out.push_back(c["command"].asString() + ":" + c["group"].asString());
        return out;
    }
    void TearDown() override { package_release_images(); }
    TempDir dir_;
};

const char* kModemAp = R"([
  {"command": "erase", "group": "modem", "partition": "modem", "weight": 300},
  {"command": "flash", "group": "modem", "image": "modem.img", "partition": "modem", "weight": 1000},
  {"command": "flash", "group": "ap", "image": "ap.img", "partition": "system", "weight": 500},
  {"command": "progress", "group": "ap", "name": "weight", "value": 1800}
])";

}  // namespace

TEST_F(CommandList, DropsDisabledGroupsAndLowersTheTotal) {
    open(kModemAp);
    ASSERT_TRUE(apply(R"(["modem"])", false));
    EXPECT_EQ(words(), (std::vector<std::string>{"flash:ap", "progress:ap"}));
    EXPECT_EQ(package_commands()[1]["value"].asUInt64(), 500u);
    EXPECT_EQ(package_commands()[0]["imageSize"].asUInt(), 1024u);  // reloaded with its checks
    EXPECT_NE(package_archive(), nullptr);  // open for the image loader until the stop
}

TEST_F(CommandList, OnlyFlashAndEraseWeightsCountAndTheFirstProgressIsLowered) {
    open(R"([
      {"command": "progress", "group": "", "name": "weight", "value": 2000},
      {"command": "boot", "group": "x", "image": "ap.img", "weight": 700},
      {"command": "erase", "group": "x", "partition": "p", "weight": 300},
      {"command": "progress", "group": "", "name": "weight", "value": 2000}
    ])");
    ASSERT_TRUE(apply(R"(["x"])", false));
    EXPECT_EQ(words(), (std::vector<std::string>{"progress:", "progress:"}));
    EXPECT_EQ(package_commands()[0]["value"].asUInt64(), 1700u);
    EXPECT_EQ(package_commands()[1]["value"].asUInt64(), 2000u);
}

TEST_F(CommandList, NothingDisabledKeepsTheListAndAppendsTheReboot) {
    open(kModemAp);
    ASSERT_TRUE(apply("[]", true));
    EXPECT_EQ(words(), (std::vector<std::string>{"erase:modem", "flash:modem", "flash:ap", "progress:ap", "reboot:"}));
    EXPECT_EQ(package_commands()[3]["value"].asUInt64(), 1800u);
    EXPECT_EQ(package_commands()[4].getMemberNames(), (std::vector<std::string>{"command"}));
    package_release_images();
    ASSERT_TRUE(apply("null", false));
    EXPECT_EQ(package_commands().size(), 4u);  // reloaded: no reboot twice
}

TEST_F(CommandList, RebootFiltersLikeAnyCommand) {
    open(kModemAp);
    ASSERT_TRUE(apply(R"(["modem"])", true));
    EXPECT_EQ(words(), (std::vector<std::string>{"flash:ap", "progress:ap", "reboot:"}));
    package_release_images();
    ASSERT_TRUE(apply(R"(["ap", ""])", true));
    EXPECT_EQ(words(), (std::vector<std::string>{"erase:modem", "flash:modem"}));
}

TEST_F(CommandList, GroupNamesMatchAsText) {
    // A number group reads as its decimal text on both sides.
    open(R"([
      {"command": "flash", "group": 2, "image": "ap.img", "partition": "p", "weight": 100},
      {"command": "progress", "group": "", "name": "weight", "value": 100}
    ])");
    ASSERT_TRUE(apply(R"([2])", false));
    EXPECT_EQ(words(), (std::vector<std::string>{"progress:"}));
    EXPECT_EQ(package_commands()[0]["value"].asUInt64(), 0u);
}

TEST_F(CommandList, DroppedWeightAboveTheTotalEndsAtZero) {
    open(R"([
      {"command": "erase", "group": "m", "partition": "p", "weight": 5000},
      {"command": "progress", "group": "", "name": "weight", "value": 100}
    ])");
    ASSERT_TRUE(apply(R"(["m"])", false));
    EXPECT_EQ(package_commands()[0]["value"].asUInt64(), 0u);
}

TEST_F(CommandList, ProgressMustFitThirtyTwoBitsAfterLowering) {
    // 2^33 cannot be sent; lowered by 2^33 - 10 it can.
    open(R"([
      {"command": "erase", "group": "m", "partition": "p", "weight": 8589934582},
      {"command": "progress", "group": "", "name": "weight", "value": 8589934592}
    ])");
    testing::internal::CaptureStdout();
    EXPECT_FALSE(apply("[]", false));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "download.json: progress value of command 1 does not fit 32 bits\n");
    EXPECT_EQ(package_archive(), nullptr);
    EXPECT_EQ(package_commands().size(), 0u);
    ASSERT_TRUE(apply(R"(["m"])", false));
    EXPECT_EQ(package_commands()[0]["value"].asUInt64(), 10u);
}

TEST_F(CommandList, RefusesDisabledGroupsOfTheWrongShape) {
    open(kModemAp);
    for (const char* bad : {R"("modem")", R"([["modem"]])", R"([{"a": 1}])", "{}"}) {
        testing::internal::CaptureStdout();
        EXPECT_FALSE(apply(bad, false)) << bad;
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_NE(out.find("disabledGroups"), std::string::npos) << bad << ": " << out;
    }
}

TEST_F(CommandList, ReloadFailureFailsTheStart) {
    open(kModemAp);
    // The package changes under the engine between init and start.
    ASSERT_TRUE(write_zip(dir_.file("pkg.zip"), with_item(sample_items(), "download.json", "", true)));
    testing::internal::CaptureStdout();
    EXPECT_FALSE(apply("[]", false));
    EXPECT_NE(testing::internal::GetCapturedStdout().find("has no download.json\n"), std::string::npos);
    EXPECT_EQ(package_archive(), nullptr);
}

TEST_F(CommandList, ReleaseEmptiesListAndClosesArchive) {
    open(kModemAp);
    ASSERT_TRUE(apply("[]", false));
    static int released = 0;
    package_set_cache_release([] { ++released; });
    package_release_images();
    package_set_cache_release(nullptr);
    EXPECT_EQ(released, 1);
    EXPECT_TRUE(package_commands().isArray());
    EXPECT_EQ(package_commands().size(), 0u);
    EXPECT_EQ(package_archive(), nullptr);
    package_release_images();  // a second release does nothing more
}

TEST_F(CommandList, NoReopenWhileADownloadRuns) {
    open(kModemAp);
    ASSERT_TRUE(apply(R"(["modem"])", false));
    ASSERT_TRUE(package_in_use());
    ZipArchiveHandle archive = package_archive();
    testing::internal::CaptureStdout();
    EXPECT_FALSE(apply("[]", false));
    Json::Value result;
    EXPECT_FALSE(package_open(dir_.file("pkg.zip"), 0, 0, result));
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "download engine is running, command list not rebuilt\n"
              "download engine is running, release package not opened\n");
    // What the devices read is untouched.
    EXPECT_EQ(package_archive(), archive);
    EXPECT_EQ(words(), (std::vector<std::string>{"flash:ap", "progress:ap"}));
    package_release_images();
    EXPECT_FALSE(package_in_use());
    EXPECT_TRUE(package_open(dir_.file("pkg.zip"), 0, 0, result));
}
