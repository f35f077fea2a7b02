// "lzma" images: a member image compressed through the in-process utility,
// checked by decoding the generated file with xz.
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include <gtest/gtest.h>

#include "json_expect.h"

#include "config_fixture.h"
#include "release/config_dir.h"
#include "release/image_factory.h"

namespace {

using test_json::parse;

class LzmaImage : public testing::Test {
protected:
    TempTree tree;
    Json::Value release;
    std::string rootfs;

    void SetUp() override {
        release_set_config_root(tree.root());
        for (unsigned i = 0; rootfs.size() < 200000; ++i)
            rootfs += (i * 2654435761u) % 7 == 0 ? char(i * 31) : "rootfs block "[i % 13];
        tree.write("images/rootfs.img", rootfs);
        release = parse(R"({"images": [
            {"name": "rootfs", "io": "in", "image": "rootfs.img"},
            {"name": "rootfs_lzma", "io": "out", "format": "lzma", "image": "rootfs.img.lzma",
             "lzma": {"image": "rootfs"}},
            {"name": "lost_lzma", "io": "out", "format": "lzma", "image": "lost.lzma", "lzma": {"image": "lost"}},
            {"name": "lost", "io": "in", "image": "lost.img"},
            {"name": "none_lzma", "io": "out", "format": "lzma", "image": "none.lzma", "lzma": {"image": "nobody"}}]})");
    }
    void TearDown() override { release_close_images(release); }

    std::string open(const std::string& id, int expect) {
        return captured_stdout([&] { EXPECT_EQ(image_open_or_generate(id, release, 1), expect) << id; });
    }
    Json::Value& entry(int i) { return release["images"][i]; }

    // The generated image as xz reads it; empty when xz refuses it.
    std::string xz_decoded(int fd) {
        tree.write("packed.lzma", read_whole_fd(fd));
        std::string cmd = "xz --format=lzma -dc < '" + tree.root() + "/packed.lzma' > '" + tree.root() +
                          "/unpacked' 2>/dev/null";
        if (std::system(cmd.c_str()) != 0) return "";
        std::string out;
        std::ifstream in(tree.root() + "/unpacked", std::ios::binary);
        out.assign(std::istreambuf_iterator<char>(in), {});
        return out;
    }
};

TEST_F(LzmaImage, CompressesItsMemberOneLevelDeeper) {
    EXPECT_EQ(open("rootfs_lzma", 0),
              "  Generating lzma image \"rootfs.img.lzma\" with id \"rootfs_lzma\" ...\n"
              "    Opening image \"rootfs\" from \"" + tree.root() + "/images/rootfs.img\" ...\n"
              "    Done.\n"
              "  Done.\n");
    ASSERT_TRUE(entry(1)["fd"].isInt());
    int fd = entry(1)["fd"].asInt();
    std::string packed = read_whole_fd(fd);
    EXPECT_EQ(entry(1)["size"].asUInt64(), packed.size());
    EXPECT_LT(packed.size(), rootfs.size());
    EXPECT_EQ(xz_decoded(fd), rootfs);
}

TEST_F(LzmaImage, OpenInputIsReusedAndRewound) {
    open("rootfs", 0);
    int in = entry(0)["fd"].asInt();
    // Another reader left the shared input in the middle.
    ASSERT_EQ(lseek(in, 12345, SEEK_SET), 12345);
    EXPECT_EQ(open("rootfs_lzma", 0),
              "  Generating lzma image \"rootfs.img.lzma\" with id \"rootfs_lzma\" ...\n"
              "    Using already opened/generated image \"rootfs.img\" with id \"rootfs\" ...\n"
              "    Done.\n"
              "  Done.\n");
    EXPECT_EQ(entry(0)["fd"].asInt(), in);
    EXPECT_EQ(xz_decoded(entry(1)["fd"].asInt()), rootfs);
}

TEST_F(LzmaImage, MemberFailuresFailTheImage) {
    struct Case {
        const char* id;
        std::string printed;
    } cases[] = {
        {"lost_lzma", "  Generating lzma image \"lost.lzma\" with id \"lost_lzma\" ...\n"
                      "    Opening image \"lost\" from \"" + tree.root() + "/images/lost.img\" ...\n"
                      "error: open raw image \"lost\" failed.\n"
                      "error: generate lzma image \"lost_lzma\" failed.\n"},
        {"none_lzma", "  Generating lzma image \"none.lzma\" with id \"none_lzma\" ...\n"
                      "error: generate lzma image \"none_lzma\" failed.\n"},
    };
    for (const auto& c : cases) EXPECT_EQ(open(c.id, -1), c.printed) << c.id;
    for (const auto& e : release["images"]) EXPECT_FALSE(e.isMember("fd")) << e["name"];
}

}  // namespace
