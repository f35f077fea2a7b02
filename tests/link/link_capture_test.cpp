// The capture file and the interface's random hardware address.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "link/capture.h"
#include "link/netif.h"

namespace {

std::vector<uint8_t> slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

uint32_t le32(const std::vector<uint8_t>& b, size_t at) {
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24;
}

TEST(LinkCapture, FileHoldsHeaderAndOneRecordPerFrame) {
    char dir[] = "/tmp/kelvo-capture-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string path = std::string(dir) + "/kelvo.pcap";
    std::vector<uint8_t> frame(60);
    for (size_t i = 0; i < frame.size(); ++i) frame[i] = uint8_t(i * 3);
    std::vector<uint8_t> big(1514, 0xAB);  // longer than nothing cuts: no snapshot cut either
    {
        UniqueFd fd = capture_file_open(path.c_str());
        ASSERT_TRUE(fd.valid());
        ASSERT_TRUE(capture_file_write(fd.get(), frame.data(), frame.size()));
        // Unbuffered: the record is in the file before the close.
        EXPECT_EQ(slurp(path).size(), 100u);
        ASSERT_TRUE(capture_file_write(fd.get(), big.data(), big.size()));
    }
    auto b = slurp(path);
    ASSERT_EQ(b.size(), 24u + 16 + 60 + 16 + 1514);
    EXPECT_EQ((std::vector<uint8_t>(b.begin(), b.begin() + 4)), (std::vector<uint8_t>{0xD4, 0xC3, 0xB2, 0xA1}));
    EXPECT_EQ(b[4] | b[5] << 8, 2);
    EXPECT_EQ(b[6] | b[7] << 8, 4);
    EXPECT_EQ(le32(b, 8), 0u);
    EXPECT_EQ(le32(b, 12), 0u);
    EXPECT_EQ(le32(b, 16), 2048u);
    EXPECT_EQ(le32(b, 20), 1u);
    EXPECT_GT(le32(b, 24), 1600000000u);  // seconds of the time of day
    EXPECT_LT(le32(b, 28), 1000000u);
    EXPECT_EQ(le32(b, 32), 60u);
    EXPECT_EQ(le32(b, 36), 60u);
    EXPECT_EQ((std::vector<uint8_t>(b.begin() + 40, b.begin() + 100)), frame);
    EXPECT_EQ(le32(b, 108), 1514u);
    EXPECT_EQ(le32(b, 112), 1514u);
    // A path that cannot be opened gives no file and no descriptor.
    EXPECT_FALSE(capture_file_open((std::string(dir) + "/missing/kelvo.pcap").c_str()).valid());
    std::string cmd = std::string("rm -rf '") + dir + "'";
    ASSERT_EQ(system(cmd.c_str()), 0);
}

TEST(LinkCapture, StartWithoutDumpCreatesNoFileAndStopTurnsDeliveryOff) {
    char dir[] = "/tmp/kelvo-capture-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    char old[4096];
    ASSERT_NE(getcwd(old, sizeof old), nullptr);
    ASSERT_EQ(chdir(dir), 0);
    EXPECT_FALSE(capture_delivery_on());
    capture_start(false);
    EXPECT_TRUE(capture_delivery_on());
    EXPECT_NE(access("kelvo.pcap", F_OK), 0);
    capture_stop();
    EXPECT_FALSE(capture_delivery_on());
    capture_start(true);
    capture_frame(reinterpret_cast<const uint8_t*>("0123456789abcdef"), 16);
    capture_start(true);  // a second start truncates and starts over
    capture_frame(reinterpret_cast<const uint8_t*>("0123456789"), 10);
    capture_stop();
    capture_frame(reinterpret_cast<const uint8_t*>("after"), 5);  // no file any more
    EXPECT_EQ(slurp("kelvo.pcap").size(), 24u + 16 + 10);
    ASSERT_EQ(chdir(old), 0);
    std::string cmd = std::string("rm -rf '") + dir + "'";
    ASSERT_EQ(system(cmd.c_str()), 0);
}

TEST(LinkNetif, RandomHardwareAddressIsUnicastFromFifteenBitDraws) {
    bool sawLocal = false, sawGlobal = false;
    for (unsigned seed = 0; seed < 2000; ++seed) {
        uint8_t mac[6];
        pcapif2_random_hwaddr(seed * 7919u, mac);
        ASSERT_TRUE(mac[0] == 0x00 || mac[0] == 0x02) << seed;
        ASSERT_LE(mac[1], 0x7F);
        ASSERT_LE(mac[3], 0x7F);
        ASSERT_LE(mac[5], 0x7F);
        (mac[0] ? sawLocal : sawGlobal) = true;
    }
    EXPECT_TRUE(sawLocal && sawGlobal);
    uint8_t a[6], b[6];
    pcapif2_random_hwaddr(1234, a);
    pcapif2_random_hwaddr(1234, b);
    EXPECT_EQ(0, memcmp(a, b, 6)) << "the time seeds the draw";
}

}  // namespace
