// Command 8 in the middle of a download against simulated devices: the stop
// it asks for has ended when it answers, so a load, init and start right
// after it start the download again.
#include <gtest/gtest.h>

#include "fleet.h"
#include "test_env.h"

using namespace dltest;

namespace {

const std::string kStart = hex(R"({"baudRate": 115200, "usbAutoEnable": true})");

size_t count_of(const std::string& hay, const std::string& needle, size_t from = 0) {
    size_t n = 0;
    for (size_t p = hay.find(needle, from); p != std::string::npos; p = hay.find(needle, p + 1)) ++n;
    return n;
}

// Where the `n`th answer record ("result" or "error") starts, npos before it.
size_t answer_at(const std::string& s, size_t n) {
    size_t seen = 0;
    for (size_t p = 0; (p = s.find('\xFF', p)) != std::string::npos; ++p)
        if ((s.compare(p + 1, 6, "result") == 0 || s.compare(p + 1, 5, "error") == 0) && ++seen == n) return p;
    return std::string::npos;
}

}  // namespace

TEST(Unload, MidDownloadItWaitsForTheStopAndALaterStartRuns) {
    const int kDevices = 4;
    const std::string image = fleet::image_pattern(96 * 1024, 7);
    fleet::Fleet sims;
    // A slow line keeps the download running when the unload comes.
    ASSERT_TRUE(sims.start(kDevices, kDevices,
                           {"--flash", "external:" + std::to_string(fleet::flash_size_for(image.size())),
                            "--line-rate", "40000", "--exit-when-done"}));
    const std::string pkg = sims.root() + "/pkg.zip";
    ASSERT_TRUE(fleet::write_image_package(pkg, image));
    const std::string init = hex("{\"path\": \"" + pkg + "\"}");

    DownloadProcess p(DOWNLOAD_EXE, clean_env({"KELVO_VIRTUAL_PORTS=" + sims.ports_dir()}));
    p.send("2\n6,0," + init + "\n6,1," + kStart + "\n");
    ASSERT_TRUE(p.wait_err([](const std::string& s) { return s.find("\"RUNNING\"") != std::string::npos; }, 20000))
        << p.err();
    p.send("8\n");
    ASSERT_TRUE(p.wait_err([](const std::string& s) { return answer_at(s, 4) != std::string::npos; }, 40000));
    std::string s = p.err();
    // The stop's event was relayed before the unload answered.
    size_t stopped = s.find("\"event\" : 3");
    ASSERT_NE(stopped, std::string::npos) << "no stop event before the answer";
    EXPECT_LT(stopped, answer_at(s, 4));

    // The engine takes the new start and wakes every device again. (Whether
    // a device cut off in its data phase answers is the device's affair.)
    const size_t reload = s.size();
    p.send("2\n6,0," + init + "\n6,1," + kStart + "\n");
    ASSERT_TRUE(p.wait_err(
        [&](const std::string& t) { return count_of(t, "fired successfully", reload) >= size_t(kDevices); }, 30000))
        << p.err().substr(reload);
    EXPECT_EQ(count_of(p.err(), "started failed", reload), 0u);
    EXPECT_EQ(count_of(p.err(), "release package not opened", reload), 0u);
    p.send("8\n0\n");
    EXPECT_EQ(p.wait_exit(40000), 0);
}
