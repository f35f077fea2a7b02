// Firmware image packages: member offsets of certificate-only packages, and
// packages made by the in-process certificate generator and packer.
#include <gtest/gtest.h>

#include "json_expect.h"

#include "config_fixture.h"
#include "release/generators.h"
#include "release/image_factory.h"

namespace {

using test_json::parse;

// A package "fwcerts" in partition "fip" at 0x10000 with members around it.
Json::Value offsets_release() {
    return parse(R"({
      "commands": [
        {"command": "flash", "type": "image", "name": "fwcerts", "partition": "fip"},
        {"command": "flash", "type": "image", "name": "bl31", "partition": "bl31"},
        {"command": "flash", "type": "image", "name": "bl33", "partition": "nowhere"},
        {"command": "flash", "type": "image", "name": "twice", "partition": "bl31"},
        {"command": "flash", "type": "image", "name": "twice", "partition": "late"},
        {"command": "flash", "type": "value", "name": "bl2", "partition": "bl2"},
        {"command": "flash", "type": "image", "name": "same", "partition": "fip"}],
      "partitions": [
        {"name": "nor", "format": "flash", "start": 0},
        {"name": "fip", "format": "raw", "start": 65536},
        {"name": "bl31", "format": "raw", "start": 327680},
        {"name": "bl2", "format": "raw", "start": 4096},
        {"name": "late", "format": "raw", "start": 1048576}]})");
}

Json::Value fip_entry(const std::string& images) {
    return parse(R"({"name": "fwcerts", "format": "fip", "fip": {"certOnly": true, "images": )" + images + "}}");
}

TEST(FipOffsets, MemberOffsetsFromTheirPartitionsRelativeToThePackage) {
    Json::Value release = offsets_release();
    Json::Value entry = fip_entry(R"([
        {"image": "bl31", "id": "BL31_IMAGE_ID"},
        {"image": "bl33", "id": "BL33_IMAGE_ID"},
        {"image": "twice", "id": "BL32_IMAGE_ID"},
        {"image": "bl2", "id": "BL2_IMAGE_ID"},
        {"image": "same", "id": "CP_IMAGE_ID"}])");
    std::string printed = captured_stdout([&] { fip_compute_member_offsets(entry, release, "fwcerts"); });
    EXPECT_EQ(printed, "");
    const Json::Value& m = entry["fip"]["images"];
    EXPECT_EQ(m[0]["offset"].asUInt(), 262144u);             // 0x40000 behind the package
    EXPECT_EQ(m[1]["offset"].asUInt(), 0u - 65536u);         // partition missing: start 0, modulo 2^32
    EXPECT_EQ(m[2]["offset"].asUInt(), 1048576u - 65536u);   // the last command in order decides
    EXPECT_EQ(m[3]["offset"].asUInt(), 0u - 65536u);         // only "image" commands count
    EXPECT_EQ(m[4]["offset"].asUInt(), 0u);                  // same partition as the package
    EXPECT_TRUE(m[0]["offset"].isUInt());
}

TEST(FipOffsets, UnreadableStartsLeaveNoOffsetAndFailThePackage) {
    Json::Value release = offsets_release();
    release["partitions"][2]["start"] = Json::UInt64(1) << 32;
    Json::Value entry = fip_entry(R"([{"image": "bl31", "id": "BL31_IMAGE_ID", "offset": 5}])");
    EXPECT_EQ(captured_stdout([&] { fip_compute_member_offsets(entry, release, "fwcerts"); }),
              "error: start of partition \"bl31\" does not fit in 32 bits.\n");
    EXPECT_FALSE(entry["fip"]["images"][0].isMember("offset"));
    // The member itself opens; the package still fails before any tool runs.
    TempTree tree;
    tree.write("bl31.bin", "bl31");
    release["images"] = parse(R"([{"name": "bl31", "io": "in", "image": "bl31.bin"}])");
    release["images"][0]["path"] = tree.root() + "/bl31.bin";
    captured_stdout([&] { EXPECT_EQ(image_generate_fip(entry["fip"], release, -1, 1), -1); });
    EXPECT_TRUE(release["images"][0]["fd"].isInt());
    release_close_images(release);

    // Partitions still a tree: nothing computed, and nothing thrown.
    release = offsets_release();
    release["partitions"] = parse(R"({"name": "root", "children": []})");
    EXPECT_EQ(captured_stdout([&] { fip_compute_member_offsets(entry, release, "fwcerts"); }),
              "error: partitions are not laid out when computing the offsets of a certificate-only package.\n");
    EXPECT_FALSE(entry["fip"]["images"][0].isMember("offset"));
}

}  // namespace
