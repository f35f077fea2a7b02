// Partition layout, flattening and virtual extents over small descriptions.
#include <gtest/gtest.h>

#include "release/partition_layout.h"
#include "release/virtual_extents.h"
#include "test_util.h"

namespace {

Json::Value one_flash_release() {
    return parse_json(R"({
      "flashes": [{"name": "nand", "flash": {"flashSize": "8MiB", "pebSize": "128KiB"}}],
      "partitions": {"name": "layout", "partitions": [
        {"name": "nand", "format": "flash", "vstart": "0x100000", "partitions": [
          {"name": "boot", "format": "raw", "size": "256KiB"},
          {"name": "kernel", "format": "raw"},
          {"name": "ptable", "format": "raw", "size": "64KiB"},
          {"name": "rootfs", "format": "ubi", "size": "-1"}]}]},
      "commands": [{"command": "flash", "type": "image", "name": "k", "partition": "kernel"},
                   {"command": "flash", "type": "image", "name": "r", "partition": "rootfs"}],
      "images": [{"name": "k", "image": "k.bin", "size": 1000000},
                 {"name": "r", "image": "r.bin", "size": 5000}]
    })");
}

TEST(PartitionLayout, SizesDerivedAutoAndFlattenedInPreOrder) {
    Json::Value release = one_flash_release();
    ASSERT_EQ(ptable_build_group(release), 0);
    const Json::Value& list = release["partitions"];
    ASSERT_TRUE(list.isArray());
    ASSERT_EQ(list.size(), 6u);
    struct Row { const char* name; uint64_t start, size; int depth; };
    const Row rows[] = {{"all", 0, 8388608, 0},        {"nand", 0, 8388608, 1},
                        {"boot", 0, 262144, 2},        {"kernel", 262144, 1048576, 2},
                        {"ptable", 1310720, 65536, 2}, {"rootfs", 1376256, 7012352, 2}};
    for (unsigned i = 0; i < 6; ++i) {
        SCOPED_TRACE(rows[i].name);
        EXPECT_EQ(list[i]["name"].asString(), rows[i].name);
        EXPECT_EQ(list[i]["start"].asUInt64(), rows[i].start);
        EXPECT_EQ(list[i]["size"].asUInt64(), rows[i].size);
        EXPECT_EQ(list[i]["depth"].asInt(), rows[i].depth);
        EXPECT_FALSE(list[i].isMember("partitions"));
    }
    EXPECT_EQ(list[0]["format"].asString(), "group");

    ptable_compute_vsizes(release["partitions"], release);
    EXPECT_EQ(list[0]["vstart"].asUInt64(), ~uint64_t(0));
    EXPECT_EQ(list[1]["vstart"].asUInt64(), 0x100000u);
    EXPECT_EQ(list[3]["vstart"].asUInt64(), 0x100000u + 262144);
    EXPECT_EQ(list[2]["vsize"].asUInt64(), 262144u);    // no image: its size
    EXPECT_EQ(list[3]["vsize"].asUInt64(), 1000000u);   // the flashed image
    EXPECT_EQ(list[4]["vsize"].asUInt64(), 2184u);      // the table itself
    EXPECT_EQ(list[5]["vsize"].asUInt64(), 7012352u);   // ubi keeps its size
}

TEST(PartitionLayout, TwoFlashesAndPartNodes) {
    Json::Value release = parse_json(R"({
      "flashes": [{"name": "a", "flash": {"flashSize": 65536, "pebSize": 4096}},
                  {"name": "b", "flash": {"flashSize": "0x8000", "pebSize": 4096}}],
      "partitions": {"partitions": [
        {"name": "a", "format": "flash", "partitions": [
          {"name": "x", "format": "raw", "size": 4096},
          {"name": "grp", "format": "part", "partitions": [
            {"name": "g1", "format": "raw", "size": 8192}, {"name": "g2", "format": "raw", "size": 4096}]}]},
        {"name": "b", "format": "flash", "partitions": [{"name": "y", "format": "raw", "size": "-1"}]}]}
    })");
    ASSERT_EQ(ptable_build_group(release), 0);
    const Json::Value& l = release["partitions"];
    ASSERT_EQ(l.size(), 8u);
    EXPECT_EQ(l[0]["size"].asUInt64(), 65536u + 32768u);
    EXPECT_EQ(l[3]["name"].asString(), "grp");
    EXPECT_EQ(l[3]["size"].asUInt64(), 12288u);
    EXPECT_EQ(l[4]["start"].asUInt64(), 4096u);  // continues the part's start
    EXPECT_EQ(l[5]["start"].asUInt64(), 12288u);
    EXPECT_EQ(l[5]["depth"].asInt(), 3);
    EXPECT_EQ(l[6]["name"].asString(), "b");
    EXPECT_EQ(l[7]["start"].asUInt64(), 0u);     // a new flash starts at 0
    EXPECT_EQ(l[7]["size"].asUInt64(), 32768u);

    ptable_compute_vsizes(release["partitions"], release);
    EXPECT_EQ(l[7]["vstart"].asUInt64(), ~uint64_t(0));
}

TEST(PartitionLayout, RefusedLayouts) {
    struct Case { const char* children; const char* line; } cases[] = {
        {R"([{"name":"p","size":"-1"},{"name":"q","size":"-1"}])", "only one auto size"},
        {R"([{"name":"p","size":"8MiB"},{"name":"q","size":"-1"}])", "size too small"},
        {R"([{"name":"p","size":"9MiB"}])", "size too small"},
        {R"([{"name":"p"}])", "can not find image size for partition p"},
        {R"([{"name":"pp","format":"part","partitions":[{"name":"c","size":"-1"}]}])", "partition(pp) size should > 0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.children);
        Json::Value release = parse_json(std::string(R"({"flashes":[{"name":"f","flash":{"flashSize":"8MiB","pebSize":4096}}],
          "partitions":{"partitions":[{"name":"f","format":"flash","partitions":)") + c.children + "}]}}");
        testing::internal::CaptureStdout();
        EXPECT_EQ(ptable_build_group(release), -1);
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_NE(out.find(c.line), std::string::npos) << out;
        EXPECT_TRUE(release["partitions"].isObject());  // not replaced on failure
    }
    Json::Value release = parse_json(R"({"flashes":[{"name":"f","flash":{"flashSize":4096}}],
        "partitions":{"partitions":[{"name":"f","format":"part"}]}})");
    testing::internal::CaptureStdout();
    EXPECT_EQ(ptable_build_group(release), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "error: the first level partition format must be \"flash\"\n");
}

TEST(PartitionLayout, FindPartitionSearchesOnlyIntoParts) {
    Json::Value root = parse_json(R"({"partitions":[
        {"name":"nand","format":"flash","partitions":[{"name":"inner"}]},
        {"name":"grp","format":"part","partitions":[{"name":"leaf"}]}]})");
    ASSERT_NE(ptable_find_partition(root, "nand"), nullptr);
    EXPECT_EQ(ptable_find_partition(root, "inner"), nullptr);
    Json::Value* leaf = ptable_find_partition(root, "leaf");
    ASSERT_NE(leaf, nullptr);
    (*leaf)["size"] = 5;
    EXPECT_EQ(root["partitions"][1]["partitions"][0]["size"].asInt(), 5);
}

}  // namespace
