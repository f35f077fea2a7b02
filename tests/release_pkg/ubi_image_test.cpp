// "ubi" images through the image factory: volumes, the flash they are built
// for, and the image read back with the independent python reader.
#include <gtest/gtest.h>

#include <fstream>

#include "release/config_dir.h"
#include "release/image_factory.h"
#include "test_util.h"
#include "ubi_image_reader.h"

namespace {

std::string pattern(size_t n, int seed) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = char((i * 13 + seed) % 251);
    return s;
}

// Flash "nora" (64 KiB blocks, 512-byte units) comes before "nandb"
// (128 KiB, 2048): which one the image is built for shows in its size.
const char* const kRelease = R"({
  "flashes": [
    {"name": "nora", "flash": {"pebSize": 65536, "minIoSize": 512}},
    {"name": "nandb", "flash": {"pebSize": "128KiB", "minIoSize": "2048"}}],
  "partitions": [
    {"name": "all", "format": "group"},
    {"name": "nora", "format": "flash"},
    {"name": "boot", "format": "raw"},
    {"name": "nandb", "format": "flash"},
    {"name": "sys", "format": "part"},
    {"name": "ubi", "format": "ubi"}],
  "commands": [{"command": "flash", "type": "image", "name": "sys", "partition": "ubi"}],
  "images": [
    {"name": "sys", "image": "sys.ubi", "io": "out", "format": "ubi",
     "ubi": [{"image": "rootfs", "volume": "rootfs", "type": "dynamic"},
             {"image": "data", "volume": "data", "type": "static"}]},
    {"name": "rootfs", "image": "rootfs.img", "io": "in"},
    {"name": "data", "image": "data.img", "io": "in"}]
})";

class UbiImage : public testing::Test {
protected:
    std::string dir = testing::TempDir() + "ubi_release_" + std::to_string(getpid());
    std::string rootfs = pattern(5000, 1), data = pattern(3000, 2);
    Json::Value release = parse_json(kRelease);

    void SetUp() override {
        ASSERT_EQ(system(("mkdir -p '" + dir + "'").c_str()), 0);
        std::ofstream(dir + "/rootfs.img", std::ios::binary) << rootfs;
        std::ofstream(dir + "/data.img", std::ios::binary) << data;
        fix_paths();
    }
    // Input images are read from the test's directory.
    void fix_paths() {
        for (Json::Value& image : release["images"])
            if (image["io"] == "in" && !image.isMember("path")) image["path"] = dir + "/" + image["image"].asString();
    }
    void TearDown() override {
        release_close_images(release);
        ASSERT_EQ(system(("rm -rf '" + dir + "'").c_str()), 0);
    }
    int fd_of(const char* id) { return (*release_find_image(release, id))["fd"].asInt(); }
    // Generates `id`; its printed lines (standard output and error).
    std::string generate(const char* id, int expect) {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        EXPECT_EQ(image_open_or_generate(id, release, 1), expect) << id;
        fflush(stdout);
        fflush(stderr);
        std::string out = testing::internal::GetCapturedStdout();
        return out + testing::internal::GetCapturedStderr();
    }
};

TEST_F(UbiImage, VolumesInListOrderOnTheFlashOfThePartition) {
    EXPECT_EQ(generate("sys", 0), "  Generating ubi image \"sys.ubi\" with id \"sys\" ...\n"
                                  "    Opening image \"rootfs\" from \"" + dir + "/rootfs.img\" ...\n    Done.\n"
                                  "    Opening image \"data\" from \"" + dir + "/data.img\" ...\n    Done.\n"
                                  "  Done.\n");
    const int peb = 131072;
    const Json::Value& entry = *release_find_image(release, "sys");
    EXPECT_EQ(entry["size"].asUInt64(), 4u * peb);
    Json::Value image = read_ubi_image(entry["fd"].asInt(), peb);
    expect_ubi_blocks(image, 4u, 4096);
    if (HasFatalFailure()) return;
    const Json::Value& records = image["blocks"][0]["records"];
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0]["name"].asString(), "rootfs");
    EXPECT_EQ(records[0]["vol_type"].asInt(), 1);
    EXPECT_EQ(records[1]["name"].asString(), "data");
    EXPECT_EQ(records[1]["index"].asInt(), 1);
    EXPECT_EQ(records[1]["vol_type"].asInt(), 2);
    EXPECT_EQ(image["blocks"][2]["vid"]["vol_id"].asInt(), 0);
    const Json::Value& stat = image["blocks"][3];
    EXPECT_EQ(stat["vid"]["vol_id"].asInt(), 1);
    EXPECT_EQ(stat["vid"]["data_size"].asInt(), 3000);
    EXPECT_TRUE(stat["data_crc_ok"].asBool());

    std::vector<uint8_t> bytes = read_fd(entry["fd"].asInt());
    EXPECT_EQ(std::string(bytes.begin() + 2 * peb + 4096, bytes.begin() + 2 * peb + 4096 + 5000), rootfs);
    EXPECT_EQ(std::string(bytes.begin() + 3 * peb + 4096, bytes.begin() + 3 * peb + 4096 + 3000), data);
}

TEST_F(UbiImage, FlashLookup) {
    const Json::Value flat = release["partitions"];
    // The same layout before it is laid out: "ubi" inside a part node of the second flash.
    const Json::Value tree = parse_json(R"({"name": "layout", "partitions": [
        {"name": "nora", "format": "flash", "partitions": [{"name": "boot", "format": "raw"}]},
        {"name": "nandb", "format": "flash", "partitions": [
          {"name": "sys", "format": "part", "partitions": [{"name": "ubi", "format": "ubi"}]}]}]})");
    const Json::Value to_ubi = release["commands"];
    const Json::Value to_boot_first = parse_json(R"([
        {"command": "flash", "name": "sys", "partition": "boot"},
        {"command": "flash", "name": "sys", "partition": "ubi"}])");
    const Json::Value to_flash_a = parse_json(R"([{"command": "flash", "name": "sys", "partition": "nora"}])");
    const Json::Value to_missing = parse_json(R"([{"command": "flash", "name": "sys", "partition": "gone"}])");
    struct Case {
        const char* what;
        Json::Value partitions, commands;
        int peb, data_offset;
    } cases[] = {
        {"flat list, second flash", flat, to_ubi, 131072, 4096},
        {"tree, second flash", tree, to_ubi, 131072, 4096},
        {"first command counts", flat, to_boot_first, 65536, 1024},
        {"first command counts in the tree", tree, to_boot_first, 65536, 1024},
        {"a whole flash", flat, to_flash_a, 65536, 1024},
        {"a whole flash in the tree", tree, to_flash_a, 65536, 1024},
        {"partition not listed: last flash", flat, to_missing, 131072, 4096},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        release_close_images(release);
        release["partitions"] = c.partitions;
        release["commands"] = c.commands;
        generate("sys", 0);
        const Json::Value& entry = *release_find_image(release, "sys");
        EXPECT_EQ(entry["size"].asUInt64(), 4u * uint64_t(c.peb));
        Json::Value image = read_ubi_image(entry["fd"].asInt(), c.peb);
        ASSERT_EQ(image["blocks"].size(), 4u);
        EXPECT_EQ(image["blocks"][3]["ec"]["data_offset"].asInt(), c.data_offset);
        EXPECT_TRUE(image["blocks"][3]["data_crc_ok"].asBool());
    }
}

TEST_F(UbiImage, FailuresReportTheImage) {
    struct Case {
        const char* what;
        const char* edit;
        std::string printed;
    } cases[] = {
        // Without a flash command the tool gets no geometry and refuses it.
        {"no flash command", R"({"commands": []})",
         "  Generating ubi image \"sys.ubi\" with id \"sys\" ...\n"
         "    Opening image \"rootfs\" from \"DIR/rootfs.img\" ...\n    Done.\n"
         "    Opening image \"data\" from \"DIR/data.img\" ...\n    Done.\n"
         "error: generate ubi image \"sys\" failed.\n"
         "ubinize: error!: bad min. I/O unit size: \"0\"\n"},
        {"geometry that is not a size", R"({"flashes": [{"name": "nandb", "flash": {"pebSize": {}, "minIoSize": []}}]})",
         "  Generating ubi image \"sys.ubi\" with id \"sys\" ...\n"
         "    Opening image \"rootfs\" from \"DIR/rootfs.img\" ...\n    Done.\n"
         "    Opening image \"data\" from \"DIR/data.img\" ...\n    Done.\n"
         "error: generate ubi image \"sys\" failed.\n"
         "ubinize: error!: bad min. I/O unit size: \"0\"\n"},
        {"a volume image missing",
         R"({"images": [{"name": "sys", "image": "sys.ubi", "io": "out", "format": "ubi",
                         "ubi": [{"image": "nowhere", "volume": "v", "type": "dynamic"}]}]})",
         "  Generating ubi image \"sys.ubi\" with id \"sys\" ...\n"
         "error: generate ubi image \"sys\" failed.\n"},
        {"a name that would add lines",
         R"({"images": [{"name": "sys", "image": "sys.ubi", "io": "out", "format": "ubi",
                         "ubi": [{"image": "rootfs", "volume": "v\nimage=0", "type": "dynamic"}]},
                        {"name": "rootfs", "image": "rootfs.img", "io": "in"}]})",
         "  Generating ubi image \"sys.ubi\" with id \"sys\" ...\n"
         "    Opening image \"rootfs\" from \"DIR/rootfs.img\" ...\n    Done.\n"
         "error: ubi volume name \"v\nimage=0\" holds a character the volume configuration cannot carry.\n"
         "error: generate ubi image \"sys\" failed.\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        release_close_images(release);
        release = parse_json(kRelease);
        Json::Value edit = parse_json(c.edit);
        for (const auto& key : edit.getMemberNames()) release[key] = edit[key];
        fix_paths();
        std::string expected = c.printed;
        for (size_t at; (at = expected.find("DIR")) != std::string::npos;) expected.replace(at, 3, dir);
        EXPECT_EQ(generate("sys", -1), expected);
        EXPECT_FALSE(release_find_image(release, "sys")->isMember("fd"));
    }
}

TEST_F(UbiImage, SharedVolumeImageIsRewoundForEachUse) {
    Json::Value second = release["images"][0];
    second["name"] = "sys2";
    second["image"] = "sys2.ubi";
    second["ubi"].resize(1);
    release["images"].append(second);
    release["commands"].append(parse_json(R"({"command": "flash", "name": "sys2", "partition": "ubi"})"));
    generate("sys", 0);
    EXPECT_EQ(generate("sys2", 0), "  Generating ubi image \"sys2.ubi\" with id \"sys2\" ...\n"
                                   "    Using already opened/generated image \"rootfs.img\" with id \"rootfs\" ...\n"
                                   "    Done.\n  Done.\n");
    const int peb = 131072;
    for (const char* id : {"sys", "sys2"}) {
        std::vector<uint8_t> bytes = read_fd(fd_of(id));
        ASSERT_GE(bytes.size(), 3u * peb) << id;
        EXPECT_EQ(std::string(bytes.begin() + 2 * peb + 4096, bytes.begin() + 2 * peb + 4096 + 5000), rootfs) << id;
    }
    EXPECT_EQ(read_fd(fd_of("sys2")).size(), 3u * peb);
}

// The reader gives a name's bytes as latin-1 characters.
std::string latin1(const std::string& bytes) {
    std::string out;
    for (unsigned char c : bytes) {
        if (c < 0x80) {
            out += char(c);
        } else {
            out += char(0xC0 | c >> 6);
            out += char(0x80 | (c & 0x3F));
        }
    }
    return out;
}

// A volume name either comes back exactly from the image's volume table or
// the image is refused naming it; never a cut, merged or empty volume.
TEST_F(UbiImage, VolumeNamesComeBackExactlyOrAreRefused) {
    struct Case {
        std::string a, b;  // the two volumes' names
        std::string error;  // empty: both come back
    } cases[] = {
        {"a=b c", "x'y\"z", ""},
        {std::string(121, 'n'), "\xC3\xBCml", ""},
        {"rootfs", "", "error: ubi volume name is empty.\n"},
        {std::string(122, 'n'), "b",
         "error: ubi volume name \"" + std::string(122, 'n') + "\" is longer than 121 bytes (its section \"" +
             std::string(122, 'n') + "-volume\" may hold 128).\n"},
        {"cf#g", "b", "error: ubi volume name \"cf#g\" holds a character the volume configuration cannot carry.\n"},
        {"a", "c;fg", "error: ubi volume name \"c;fg\" holds a character the volume configuration cannot carry.\n"},
        {" a", "b", "error: ubi volume name \" a\" holds a character the volume configuration cannot carry.\n"},
        {"a ", "b", "error: ubi volume name \"a \" holds a character the volume configuration cannot carry.\n"},
        {"x]y", "b", "error: ubi volume name \"x]y\" holds a character the volume configuration cannot carry.\n"},
        {"\"q\"", "b", "error: ubi volume name \"\"q\"\" holds a character the volume configuration cannot carry.\n"},
        {"a\\", "b", "error: ubi volume name \"a\\\" holds a character the volume configuration cannot carry.\n"},
        {"a\tb", "b", "error: ubi volume name \"a\tb\" holds a character the volume configuration cannot carry.\n"},
        // Sections are named by the volume: names differing in case only.
        {"rootfs", "ROOTFS", "error!: section \"ROOTFS-volume\" appears twice"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.a + " / " + c.b);
        release_close_images(release);
        release = parse_json(kRelease);
        release["images"][0]["ubi"][0]["volume"] = c.a;
        release["images"][0]["ubi"][1]["volume"] = c.b;
        fix_paths();
        std::string printed = generate("sys", c.error.empty() ? 0 : -1);
        if (!c.error.empty()) {
            EXPECT_NE(printed.find(c.error), std::string::npos) << printed;
            continue;
        }
        Json::Value image = read_ubi_image(fd_of("sys"), 131072);
        const Json::Value& records = image["blocks"][0]["records"];
        ASSERT_EQ(records.size(), 2u);
        EXPECT_EQ(records[0]["name"].asString(), latin1(c.a));
        EXPECT_EQ(records[1]["name"].asString(), latin1(c.b));
    }
}

TEST_F(UbiImage, TwoVolumesFromOneImage) {
    release["images"][0]["ubi"][1]["image"] = "rootfs";
    generate("sys", 0);
    const int peb = 131072;
    std::vector<uint8_t> bytes = read_fd(fd_of("sys"));
    ASSERT_EQ(bytes.size(), 4u * peb);
    EXPECT_EQ(std::string(bytes.begin() + 2 * peb + 4096, bytes.begin() + 2 * peb + 4096 + 5000), rootfs);
    EXPECT_EQ(std::string(bytes.begin() + 3 * peb + 4096, bytes.begin() + 3 * peb + 4096 + 5000), rootfs);
    Json::Value image = read_ubi_image(fd_of("sys"), peb);
    EXPECT_EQ(image["blocks"][3]["vid"]["data_size"].asInt(), 5000);
    EXPECT_TRUE(image["blocks"][3]["data_crc_ok"].asBool());
}

}  // namespace
