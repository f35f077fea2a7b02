#include "release/release_overrides.h"

#include <unistd.h>

#include <climits>

#include <gtest/gtest.h>

#include "json_expect.h"

#include "config_fixture.h"
#include "base/json_text.h"
#include "release/config_dir.h"

namespace {

using test_json::parse;

// "command group partition" per command, for compact comparisons.
std::string summary(const Json::Value& commands) {
    std::string out;
    for (const auto& c : commands) {
        out += c["command"].asString() + "[" + c["group"].asString() + "]";
        if (!c["partition"].isNull()) out += c["partition"].asString();
        out += " ";
    }
    return out;
}

Json::Value erase_release() {
    return parse(R"({
      "flashes": [{"name": "nand"}, {"name": "nor"}],
      "partitions": {"name": "l", "partitions": [
         {"name": "nand", "format": "flash", "partitions": [{"name": "system"}]},
         {"name": "nor", "format": "flash", "partitions": [{"name": "boot"}]}]},
      "commands": [
        {"command": "progress", "group": "0"},
        {"command": "flash", "group": "1", "partition": "system", "name": "sys"},
        {"command": "flash", "group": "1", "partition": "data"},
        {"command": "reboot", "group": "2"}]})");
}

TEST(ReleaseEraseOptions, Table) {
    struct Case {
        bool all, only;
        const char* commands;  // null: the erase_release() commands
        const char* expected;
        bool children_dropped;
    } cases[] = {
        {false, false, nullptr, "progress[0] flash[1]system flash[1]data reboot[2] ", false},
        {false, true, nullptr, "progress[0] flash[1]system flash[1]data reboot[2] ", false},
        {true, false, nullptr,
         "progress[0] erase[1]nand erase[1]nor flash[2]system flash[2]data reboot[3] ", false},
        {true, true, nullptr, "progress[0] erase[1]nand erase[1]nor ", true},
        // no flash-type command: unchanged, but eraseAllOnly still cuts the layout
        {true, true, R"([{"command":"progress","group":"0"},{"command":"reboot","group":"5"}])",
         "progress[0] reboot[5] ", true},
        {true, false, R"([{"command":"progress","group":"0"},{"command":"reboot","group":"5"}])",
         "progress[0] reboot[5] ", false},
        // first flash-type command is an erase: kept behind the new ones, shifted
        {true, false, R"([{"command":"erase","group":" 3x","partition":"data"},{"command":"reboot","group":"-1"}])",
         "erase[ 3x]nand erase[ 3x]nor erase[4]data reboot[0] ", false},
    };
    for (const auto& c : cases) {
        Json::Value r = erase_release();
        if (c.commands) r["commands"] = parse(c.commands);
        ASSERT_TRUE(release_apply_erase_options(r, c.all, c.only));
        EXPECT_EQ(summary(r["commands"]), c.expected) << c.all << c.only;
        EXPECT_EQ(r["partitions"]["partitions"][0].isMember("partitions"), !c.children_dropped);
        EXPECT_EQ(r["partitions"]["partitions"][1].isMember("partitions"), !c.children_dropped);
    }
}

TEST(ReleaseEraseOptions, NewCommandsAndCopies) {
    Json::Value r = erase_release();
    ASSERT_TRUE(release_apply_erase_options(r, true, false));
    const Json::Value& erase = r["commands"][1];
    EXPECT_EQ(erase.getMemberNames(), (std::vector<std::string>{"command", "group", "partition"}));
    EXPECT_TRUE(erase["group"].isString());
    EXPECT_EQ(r["commands"][3]["name"].asString(), "sys");  // copies keep their other members
}

TEST(ReleaseEraseOptions, EmptyFlashesStillShiftAndBadGroupFails) {
    Json::Value r = erase_release();
    r["flashes"] = Json::Value(Json::arrayValue);
    ASSERT_TRUE(release_apply_erase_options(r, true, false));
    EXPECT_EQ(summary(r["commands"]), "progress[0] flash[2]system flash[2]data reboot[3] ");

    r = erase_release();
    r["commands"][3]["group"] = "later";
    std::string out = captured_stdout([&] { EXPECT_FALSE(release_apply_erase_options(r, true, false)); });
    EXPECT_EQ(out, "error: command group \"later\" is not a number.\n");
    // eraseAllOnly never reads the later groups.
    r = erase_release();
    r["commands"][3]["group"] = "later";
    EXPECT_TRUE(release_apply_erase_options(r, true, true));
}

TEST(ReleaseFuseCommands, KeptOnlyWithSecureBoot) {
    const char* commands = R"([{"command":"fuse","group":"0"},{"command":"flash","group":"1"},{"command":"fuse"}])";
    for (const char* secure : {"true", "false", "null", "missing"}) {
        Json::Value r;
        r["commands"] = parse(commands);
        if (std::string(secure) != "missing") r["secureBoot"] = parse(secure);
        release_drop_fuse_commands(r);
        EXPECT_EQ(r["commands"].size(), std::string(secure) == "true" ? 3u : 1u) << secure;
    }
}

class ReleaseImageOverrides : public testing::Test {
protected:
    TempTree tree;
    void SetUp() override {
        release_set_config_root(tree.root());
        tree.write("images/boot-dev.img", "x");
        tree.write("images/only-under-root.img", "y");
    }
    Json::Value images() {
        return parse(R"({"images": [
            {"name": "boot", "io": "in", "image": "boot.img", "path": "/orig"},
            {"name": "boot", "io": "in", "image": "boot2.img"},
            {"name": "fw", "io": "out", "format": "fip", "image": "fw.img"},
            {"name": "rd", "io": "out", "format": "rd", "use": "a", "path": "keep"}]})");
    }
};

TEST_F(ReleaseImageOverrides, VariantImagesChangeEveryMatchingEntry) {
    Json::Value r = images();
    ASSERT_TRUE(release_apply_variant_images(r, parse(R"([
        {"name": "boot", "image": "boot-dev.img", "path": "boot-dev.img"},
        {"name": "rd", "use": "b", "path": "boot-dev.img", "image": "ignored"},
        {"name": "fw", "use": "b", "image": "ignored"},
        {"name": "none", "image": "x"}])")));
    const Json::Value& im = r["images"];
    EXPECT_EQ(im[0]["image"].asString(), "boot-dev.img");
    EXPECT_EQ(im[0]["path"].asString(), tree.root() + "/images/boot-dev.img");
    EXPECT_EQ(im[1]["path"].asString(), tree.root() + "/images/boot-dev.img");
    EXPECT_EQ(im[2]["image"].asString(), "fw.img");
    EXPECT_FALSE(im[2].isMember("use"));
    EXPECT_EQ(im[3]["use"].asString(), "b");
    EXPECT_EQ(im[3]["path"].asString(), "keep");
    EXPECT_EQ(im[3]["image"].asString(), "");

    // A missing file leaves the path; a path leaving the images directory is refused.
    r = images();
    ASSERT_TRUE(release_apply_variant_images(r, parse(R"([{"name": "boot", "path": "absent.img"}])")));
    EXPECT_EQ(r["images"][0]["path"].asString(), "/orig");
    std::string out = captured_stdout(
        [&] { EXPECT_FALSE(release_apply_variant_images(r, parse(R"([{"name": "boot", "path": "../x"}])"))); });
    EXPECT_EQ(out, "error: config path \"../x\" refused.\n");
}

TEST_F(ReleaseImageOverrides, CustomPaths) {
    char cwd[PATH_MAX];
    ASSERT_TRUE(getcwd(cwd, sizeof cwd));
    TempTree here;
    ASSERT_EQ(chdir(here.root().c_str()), 0);
    here.write("boot-dev.img", "local");

    Json::Value r = images();
    ASSERT_TRUE(release_apply_image_paths(r, parse(R"({
        "boot": "boot-dev.img", "fw": "boot-dev.img", "rd": "x", "unknown": "y"})")));
    const Json::Value& im = r["images"];
    // relative to the working directory first, both entries of the name
    EXPECT_EQ(im[0]["path"].asString(), here.root() + "/boot-dev.img");
    EXPECT_EQ(im[1]["path"].asString(), here.root() + "/boot-dev.img");
    EXPECT_FALSE(im[2].isMember("path"));
    EXPECT_EQ(im[3]["path"].asString(), "keep");

    r = images();
    ASSERT_TRUE(release_apply_image_paths(r, parse(R"({"boot": "only-under-root.img"})")));
    EXPECT_EQ(r["images"][0]["path"].asString(), tree.root() + "/images/only-under-root.img");
    r = images();
    ASSERT_TRUE(release_apply_image_paths(r, parse(R"({"boot": "sub/../nowhere.img"})")));
    EXPECT_EQ(r["images"][0]["path"].asString(), here.root() + "/nowhere.img");
    r = images();
    EXPECT_TRUE(release_apply_image_paths(r, Json::Value()));
    EXPECT_EQ(r["images"][0]["path"].asString(), "/orig");
    EXPECT_FALSE(release_apply_image_paths(r, parse(R"({"boot": "/)" + std::string(300, 'a') + "\"}")));
    ASSERT_EQ(chdir(cwd), 0);
}

}  // namespace
