#include "release/image_factory.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "json_expect.h"

#include "config_fixture.h"
#include "base/json_text.h"
#include "release/config_dir.h"

namespace {

using test_json::parse;

class ImageFactory : public testing::Test {
protected:
    TempTree tree;
    Json::Value release;
    void SetUp() override {
        release_set_config_root(tree.root());
        tree.write("images/boot.img", "plain-boot");
        tree.write("images/A1/boot.img", "versioned-boot!");
        tree.write("images/data.img", "data");
        tree.write("images/dir.img/x", "");
        release = parse(R"({"values": {"version-bootrom": "A1"}, "images": [
            {"name": "boot", "io": "in", "image": "boot.img"},
            {"name": "data", "io": "in", "image": "data.img"},
            {"name": "data", "io": "in", "image": "boot.img"},
            {"name": "gone", "io": "in", "image": "gone.img"},
            {"name": "dir", "io": "in", "image": "dir.img"},
            {"name": "up", "io": "in", "image": "../outside.img"},
            {"name": "given", "io": "in", "image": "whatever", "path": "/dev/null"},
            {"name": "raw", "io": "out", "format": "raw", "image": "raw.img"},
            {"name": "rd", "io": "out", "format": "rd", "image": "rd.img", "use": "b", "rd": [{"path": "a"}]},
            {"name": "rdup", "io": "out", "format": "rd", "image": "rd.img", "use": "s",
             "rd": [{"path": "s", "images": [{"image": "../../x", "id": "IMEI"}]}]},
            {"name": "caps", "io": "IN", "image": "boot.img"},
            {"name": "noio", "image": "boot.img"}]})");
    }
    void TearDown() override { release_close_images(release); }

    std::string open(const std::string& id, int depth, int expect) {
        return captured_stdout([&] { EXPECT_EQ(image_open_or_generate(id, release, depth), expect) << id; });
    }
    Json::Value& entry(int i) { return release["images"][i]; }
};

TEST_F(ImageFactory, InputImageOpenedOnceVersionedCopyFirst) {
    const std::string versioned = tree.root() + "/images/A1/boot.img";
    EXPECT_EQ(open("boot", 1, 0), "  Opening image \"boot\" from \"" + versioned + "\" ...\n  Done.\n");
    ASSERT_TRUE(entry(0)["fd"].isInt());
    EXPECT_EQ(entry(0)["size"], Json::Value(Json::UInt64(15)));
    EXPECT_TRUE(entry(0)["size"].isUInt64());
    int fd = entry(0)["fd"].asInt();
    EXPECT_EQ(open("boot", 2, 0),
              "    Using already opened/generated image \"boot.img\" with id \"boot\" ...\n    Done.\n");
    EXPECT_EQ(entry(0)["fd"].asInt(), fd);
}

TEST_F(ImageFactory, PlainLookupWithoutVersionAndFirstEntryOfAName) {
    release["values"] = Json::Value();
    // An empty version level names the same directory.
    EXPECT_EQ(open("boot", 0, 0),
              "Opening image \"boot\" from \"" + tree.root() + "/images/boot.img\" ...\nDone.\n");
    EXPECT_EQ(entry(0)["size"].asUInt64(), 10u);
    EXPECT_EQ(open("data", 1, 0),
              "  Opening image \"data\" from \"" + tree.root() + "/images/data.img\" ...\n  Done.\n");
    EXPECT_TRUE(entry(1)["fd"].isInt());
    EXPECT_FALSE(entry(2).isMember("fd"));
}

TEST_F(ImageFactory, Failures) {
    struct Case {
        const char* id;
        std::string printed;
    } cases[] = {
        {"nobody", ""},
        {"gone", "  Opening image \"gone\" from \"" + tree.root() + "/images/gone.img\" ...\n"
                 "error: open raw image \"gone\" failed.\n"},
        {"dir", "  Opening image \"dir\" from \"" + tree.root() + "/images/dir.img\" ...\n"
                "error: open raw image \"dir\" failed.\n"},
        {"up", "error: config path \"../outside.img\" refused.\n"
               "error: open raw image \"up\" failed.\n"},
        {"rdup", "  Generating rd image \"rd.img\" with id \"rdup\" ...\n"
                 "error: config path \"../../x\" refused.\n"},
        {"caps", "error: unknown io type \"IN\" configed when generate \"caps\".\n"},
        {"noio", "error: unknown io type \"\" configed when generate \"noio\".\n"},
        {"rd", "  Generating rd image \"rd.img\" with id \"rd\" ...\n"
               "error: reliabledata config with path \"b\" not found.\n"},
    };
    for (const auto& c : cases) EXPECT_EQ(open(c.id, 1, -1), c.printed) << c.id;
    for (const auto& e : release["images"]) EXPECT_FALSE(e.isMember("fd")) << e["name"];
}

TEST_F(ImageFactory, GivenPathAndUnknownOutputFormat) {
    EXPECT_EQ(open("given", 1, -1), "  Opening image \"given\" from \"/dev/null\" ...\n"
                                    "error: open raw image \"given\" failed.\n");
    entry(6)["path"] = tree.root() + "/images/./A1/../data.img";
    EXPECT_EQ(open("given", 1, 0),
              "  Opening image \"given\" from \"" + tree.root() + "/images/data.img\" ...\n  Done.\n");
    EXPECT_EQ(open("raw", 3, 0), "      Generating raw image \"raw.img\" with id \"raw\" ...\n      Done.\n");
    EXPECT_EQ(entry(7)["size"].asUInt64(), 0u);
}

TEST_F(ImageFactory, ClosingDropsTheDescriptors) {
    open("boot", 1, 0);
    int fd = entry(0)["fd"].asInt();
    release_close_images(release);
    EXPECT_FALSE(entry(0).isMember("fd"));
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);
}

TEST(ReleaseScratch, FilesHaveNoNameAndVanishOnClose) {
    int fd = release_open_scratch_fd();
    ASSERT_GE(fd, 0);
    struct stat st;
    ASSERT_EQ(fstat(fd, &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_nlink, 0u);
    ASSERT_EQ(write(fd, "abc", 3), 3);
    char buf[4] = {};
    ASSERT_EQ(pread(fd, buf, 3, 0), 3);
    EXPECT_STREQ(buf, "abc");
    close(fd);

    FILE* f = release_open_scratch_file();
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(fputs("xy", f), 1);
    rewind(f);
    EXPECT_EQ(fgetc(f), 'x');
    fclose(f);
}

TEST(ReleaseScratch, MissingTempDirFails) {
    setenv("TMPDIR", "/nonexistent-kelvo-tmp", 1);
    testing::internal::CaptureStderr();
    EXPECT_EQ(release_open_scratch_fd(), -1);
    std::string err = testing::internal::GetCapturedStderr();
    unsetenv("TMPDIR");
    EXPECT_EQ(err.rfind("GetTempPath failed, error ", 0), 0u) << err;
}

}  // namespace
