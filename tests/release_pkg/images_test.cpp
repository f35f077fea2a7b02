// The "aptb", fuse and "finf" images, byte by byte.
#include <gtest/gtest.h>

#include <fcntl.h>

#include <cstring>
#include <fstream>

#include "release/finf_image.h"
#include "release/generators.h"
#include "release/ptable_image.h"
#include "dev_keys.h"
#include "test_util.h"

namespace {

struct Fd {
    int fd = scratch_fd();
    ~Fd() { close(fd); }
};

Json::Value flat_release(unsigned rows) {
    Json::Value release;
    Json::Value& list = release["partitions"];
    list = Json::Value(Json::arrayValue);
    for (unsigned i = 0; i < rows; ++i) {
        Json::Value p;
        p["name"] = "p" + std::to_string(i);
        p["format"] = "raw";
        p["start"] = Json::UInt64(i * 4096);
        p["size"] = Json::UInt64(4096);
        p["depth"] = 2;
        list.append(p);
    }
    return release;
}

TEST(PartitionTableImage, RowsAndPadding) {
    Json::Value release = flat_release(2);
    release["partitions"][0]["name"] = std::string(32, 'N');  // fills the field, no NUL
    release["partitions"][0]["format"] = "flash";
    release["partitions"][0]["vstart"] = "0x1000";
    release["partitions"][1]["name"] = "ptable";
    Fd out;
    ASSERT_EQ(image_generate_aptb(release, out.fd), 0);
    std::vector<uint8_t> b = read_fd(out.fd);
    ASSERT_EQ(b.size(), 2184u);
    EXPECT_EQ(memcmp(b.data(), "BTPA", 4), 0);
    EXPECT_EQ(le32(b, 4), 2u);
    EXPECT_EQ(std::string(b.begin() + 8, b.begin() + 40), std::string(32, 'N'));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(&b[40])), "flash");
    const size_t r1 = 8 + 68;
    EXPECT_EQ(std::string(reinterpret_cast<char*>(&b[r1])), "ptable");
    EXPECT_EQ(le32(b, 8 + 56), 0x1000u);        // explicit vstart
    EXPECT_EQ(le32(b, r1 + 48), 4096u);         // start
    EXPECT_EQ(le32(b, r1 + 52), 4096u);         // size
    EXPECT_EQ(le32(b, r1 + 56), 0x1000u + 4096);  // base of the flash + start
    EXPECT_EQ(le32(b, r1 + 60), 2184u);         // vsize of the table
    EXPECT_EQ(le32(b, r1 + 64), 2u);
    for (size_t i = 8 + 2 * 68; i < b.size(); ++i) ASSERT_EQ(b[i], 0) << i;
}

TEST(PartitionTableImage, Limits) {
    Fd full;
    Json::Value release = flat_release(32);
    ASSERT_EQ(image_generate_aptb(release, full.fd), 0);
    EXPECT_EQ(le32(read_fd(full.fd), 4), 32u);
    EXPECT_EQ(le32(read_fd(full.fd), 8 + 56), 0xFFFFFFFFu);  // no virtual base

    struct Case { Json::Value release; const char* line; };
    Json::Value big = flat_release(1);
    big["partitions"][0]["start"] = Json::UInt64((1ull << 32) + 4096);
    Json::Value tree = flat_release(0);
    tree["partitions"] = parse_json(R"({"partitions": []})");
    Case cases[] = {{flat_release(33), "error: too many partition tables defined.\n"},
                    {big, "error: start of partition \"p0\" does not fit in 32 bits.\n"},
                    {tree, "error: partitions are not laid out when generating the partition table.\n"}};
    for (Case& c : cases) {
        Fd out;
        testing::internal::CaptureStdout();
        EXPECT_EQ(image_generate_aptb(c.release, out.fd), -1);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.line);
        EXPECT_TRUE(read_fd(out.fd).empty());
    }
}

TEST(FuseImage, RootKeyHashAtOffset64AndWrongHashesRefused) {
    const std::string dir = testing::TempDir() + "/fuse_" + std::to_string(getpid());
    ASSERT_EQ(system(("mkdir -p '" + dir + "'").c_str()), 0);
    const std::string path = dir + "/hash.bin", rot = dir + "/rot.pem", other = dir + "/other.pem";
    ASSERT_TRUE(dev_keys::make_key(rot));
    ASSERT_TRUE(dev_keys::make_key(other));
    const std::string hash = dev_keys::root_key_hash(rot);
    ASSERT_EQ(hash.size(), 32u);
    // Only the first 32 bytes of the file are fused.
    std::ofstream(path, std::ios::binary) << hash << std::string(32, 'x');
    Json::Value release;
    release["security"]["rootPkHash"] = path;
    release["security"]["keys"][0]["option"] = "--nt-fw-key";
    release["security"]["keys"][0]["param"] = other;
    release["security"]["keys"][1]["option"] = "--rot-key";
    release["security"]["keys"][1]["param"] = rot;
    Fd out;
    ASSERT_EQ(image_generate_fuse(release, out.fd), 0);
    std::vector<uint8_t> b = read_fd(out.fd);
    ASSERT_EQ(b.size(), 128u);
    for (size_t i = 0; i < 128; ++i)
        ASSERT_EQ(b[i], (i >= 64 && i < 96) ? uint8_t(hash[i - 64]) : 0) << i;

    auto hex = [](const std::string& bytes) {
        std::string h;
        char two[3];
        for (unsigned char c : bytes) snprintf(two, sizeof two, "%02x", c), h += two;
        return h;
    };
    const std::string short_path = dir + "/short.bin", other_hash = dir + "/other.bin";
    std::ofstream(short_path, std::ios::binary) << hash.substr(0, 20);
    std::ofstream(other_hash, std::ios::binary) << dev_keys::root_key_hash(other);
    struct Case {
        std::string path, rot, line;
    } cases[] = {
        {short_path, rot, "error: root key hash \"" + short_path + "\" is shorter than 32 bytes.\n"},
        {dir, rot, "error: root key hash \"" + dir + "\" is not a regular file.\n"},
        {"", rot, "error: open raw image \"\" failed.\n"},
        // The hash of another key than the root key: every device would refuse the package.
        {other_hash, rot,
         "error: root key \"" + rot + "\" (hash " + hex(hash) + ") does not match the fused hash " +
             hex(dev_keys::root_key_hash(other)) + " of \"" + other_hash + "\".\n"},
        {path, dir + "/missing.pem", "error: root key \"" + dir + "/missing.pem\" cannot be loaded.\n"},
        {path, path, "error: root key \"" + path + "\" cannot be loaded.\n"},
        {path, "", "error: the key set names no root key (--rot-key) to check the fused hash against.\n"},
    };
    for (const Case& c : cases) {
        release["security"]["rootPkHash"] = c.path;
        if (c.rot.empty())
            release["security"]["keys"].resize(1);
        else
            release["security"]["keys"][1]["param"] = c.rot;
        Fd bad;
        testing::internal::CaptureStdout();
        EXPECT_EQ(image_generate_fuse(release, bad.fd), -1);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.line);
        EXPECT_TRUE(read_fd(bad.fd).empty());
    }
    EXPECT_EQ(system(("rm -rf '" + dir + "'").c_str()), 0);
}

TEST(FinfImage, TwoRecordsAndWriteBack) {
    Json::Value flashes = parse_json(R"([
      {"type": "nand", "erasedValue": "0xFF", "pebSize": "128KiB", "minIoSize": 2048, "flashSize": "8GiB",
       "devices": [{"name": "chip", "vendorId": "0x12D1", "deviceId": "4817"}]},
      {"type": "nor", "erasedValue": 0, "pageSize": "256", "flashSize": "16MiB",
       "devices": [{"name": "a", "vendorId": "1", "deviceId": "2"},
                   {"name": "bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb", "vendorId": "3", "deviceId": "0xffff"}]}])");
    Fd out;
    ASSERT_EQ(image_write_finf(flashes[0], out.fd, 1), 0);
    ASSERT_EQ(image_write_finf(flashes[1], out.fd, 0), 0);
    std::vector<uint8_t> b = read_fd(out.fd);
    ASSERT_EQ(b.size(), 504u);
    EXPECT_EQ(memcmp(b.data(), "FNIF", 4), 0);
    EXPECT_EQ(b[4] | b[5] << 8, 0x12D1);
    EXPECT_EQ(b[6] | b[7] << 8, 4817);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(&b[8])), "chip");
    EXPECT_EQ(std::string(reinterpret_cast<char*>(&b[72])), "nand");
    EXPECT_EQ(le32(b, 104), 2048u);
    EXPECT_EQ(le32(b, 108), 131072u);
    EXPECT_EQ(le32(b, 128), 0u);
    EXPECT_EQ(le32(b, 132), 2u);  // 8 GiB keeps its high bits
    EXPECT_EQ(b[136], 0xFF);
    EXPECT_EQ(b[137], 1);
    EXPECT_EQ(le32(b, 140), 1u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(&b[144 + 8])), "chip");
    const size_t second = 216;
    EXPECT_EQ(b[second + 137], 0);
    EXPECT_EQ(le32(b, second + 140), 2u);
    EXPECT_EQ(le32(b, second + 112), 256u);
    const size_t row2 = second + 144 + 72;
    EXPECT_EQ(b[row2 + 2] | b[row2 + 3] << 8, 0xFFFF);
    EXPECT_EQ(std::string(b.begin() + row2 + 8, b.begin() + row2 + 72), std::string(64, 'b'));

    EXPECT_TRUE(flashes[0]["pebSize"].isUInt());
    EXPECT_EQ(flashes[0]["pebSize"].asUInt(), 131072u);
    EXPECT_EQ(flashes[0]["erasedValue"].asUInt(), 255u);
    EXPECT_EQ(flashes[0]["flashSize"].asUInt64(), 8ull << 30);
    EXPECT_EQ(flashes[0]["devices"][0]["vendorId"].asUInt(), 0x12D1u);
    // A second generation reads the numbers back to the same record.
    Fd again;
    ASSERT_EQ(image_write_finf(flashes[0], again.fd, 1), 0);
    std::vector<uint8_t> c = read_fd(again.fd);
    EXPECT_TRUE(std::equal(c.begin(), c.end(), b.begin()));
}

TEST(FinfImage, NumberTexts) {
    struct Case { const char* erased; const char* vendor; int result; } cases[] = {
        {"255", "0x10", 0}, {"0x1FF", "16", 0}, {"-1", "1", -1}, {"255 ", "1", -1},
        {"0x", "1", -1},    {"1", "0x10000", -1}, {"1", "65536", -1}, {"1", "", -1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.erased) + "/" + c.vendor);
        Json::Value flash;
        flash["erasedValue"] = c.erased;
        flash["devices"][0]["vendorId"] = c.vendor;
        flash["devices"][0]["deviceId"] = "1";
        Fd out;
        EXPECT_EQ(image_write_finf(flash, out.fd, 0), c.result);
        EXPECT_EQ(read_fd(out.fd).size(), c.result == 0 ? 216u : 0u);
        if (c.result == 0) {
            EXPECT_EQ(flash["erasedValue"].asUInt(), 255u);
        }
    }
    Json::Value none = parse_json(R"({"devices": []})");
    Fd out;
    EXPECT_EQ(image_write_finf(none, out.fd, 0), -1);
}

}  // namespace
