// A scripted host drives kelvo-devsim over a real pseudo-terminal.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <random>

#include "sim_host.h"

using namespace devsim;
using Bytes = std::vector<uint8_t>;

namespace {
Bytes random_bytes(size_t n, unsigned seed) {
    std::mt19937 g(seed);
    Bytes b(n);
    for (auto& x : b) x = uint8_t(g());
    return b;
}

struct Session {
    SimProcess sim;
    WireHost host;
    bool start(const std::vector<std::string>& args) {
        if (!sim.start(args)) return false;
        auto ports = sim.ports();
        return !ports.empty() && host.open(ports[0]["path"].asString());
    }
    bool connect() { return host.wake() && host.hello() && host.solicit(link_local_of(host.device_mac), nullptr) &&
                            host.negotiate(); }
    // Waits until the simulator exits by itself; a flash it recorded, or
    // nothing when it did not exit.
    Bytes flash_after_exit(const std::string& flash, int* status = nullptr) {
        int st = -1;
        if (!sim.wait_exit(5000, st)) return {};
        if (status) *status = st;
        return read_file(sim.record_dir() + "/device-0.flash." + flash + ".bin");
    }
    // Downloads `image` in acknowledged packets, flashes it to "external"
    // and completes; then the flash as recorded once the simulator exited.
    void flash_and_complete(const Bytes& image, size_t flash_size) {
        EXPECT_EQ(host.download(image), "OKAY");
        EXPECT_EQ(host.command("flash:external"), "OKAY");
        EXPECT_EQ(host.command("complete"), "OKAY");
        Bytes flash = flash_after_exit("external");
        ASSERT_EQ(flash.size(), flash_size);
        EXPECT_EQ(Bytes(flash.begin(), flash.begin() + long(image.size())), image);
    }
    std::vector<Json::Value> records(const std::string& kind) {
        std::vector<Json::Value> out;
        for (auto& v : read_json_lines(sim.record_dir() + "/device-0.jsonl"))
            if (v["kind"].asString() == kind) out.push_back(v);
        return out;
    }
};
}  // namespace

TEST(DevsimHost, WakeHelloDiscoveryDownloadFlashAndRecord) {
    Session s;
    ASSERT_TRUE(s.start({"--flash", "external:1MiB,internal:64KiB", "--exit-when-done", "--location", "bench"}));
    auto port = s.sim.ports()[0];
    EXPECT_EQ(port["vendorId"].asUInt(), 11980u);
    EXPECT_EQ(port["productId"].asUInt(), 12311u);
    EXPECT_EQ(port["description"].asString(), "Ovix Usb Boot Port");
    EXPECT_EQ(port["locationInfo"].asString(), "bench.0");

    ASSERT_TRUE(s.host.wake());
    ASSERT_TRUE(s.host.hello());
    Bytes na;
    ASSERT_TRUE(s.host.solicit(s.host.device_address, &na));
    EXPECT_EQ(na[21], 255);  // hop limit
    EXPECT_EQ(Bytes(na.begin() + 62, na.begin() + 78), Bytes(s.host.device_address.begin(), s.host.device_address.end()));
    Ip6 src{}, dst{};
    memcpy(src.data(), &na[22], 16);
    memcpy(dst.data(), &na[38], 16);
    EXPECT_EQ(ipv6_upper_checksum(src, dst, 58, &na[54], na.size() - 54), 0);
    // Only its own address is answered.
    Ip6 other = s.host.device_address;
    other[15] ^= 1;
    EXPECT_FALSE(s.host.solicit(other, nullptr, 300));

    uint16_t version = 0;
    ASSERT_TRUE(s.host.negotiate(&version));
    EXPECT_EQ(version, 1);
    EXPECT_EQ(s.host.packet_size, 1028);
    // The link reads the version answer only on the first prompt after the
    // request, so nothing may come before it.
    std::vector<std::string> version_replies;
    ASSERT_TRUE(s.host.command("getvar:version", version_replies));
    EXPECT_EQ(version_replies, std::vector<std::string>{"OKAY0.5"});
    EXPECT_EQ(s.host.command("getvar:platform"), "OKAY" "SILICON");
    EXPECT_EQ(s.host.command("getvar:nonesuch").substr(0, 4), "FAIL");

    // A repeated sequence number gets the cached reply and no second run.
    FbPacket cmd{FB_DATA, 0, s.host.seq, Bytes{'e', 'r', 'a', 's', 'e', ':', 'x'}}, r1, r2;
    ASSERT_TRUE(s.host.exchange(cmd, r1));
    ASSERT_TRUE(s.host.exchange(cmd, r2));
    ++s.host.seq;
    EXPECT_EQ(encode_fb_packet(r1), encode_fb_packet(r2));
    std::string t;
    ASSERT_TRUE(s.host.read_reply_text(t, 1000));
    EXPECT_EQ(t, "FAILunknown partition");

    Bytes image = random_bytes(3 * 1024, 7);
    EXPECT_EQ(s.host.download(image), "OKAY");
    EXPECT_EQ(s.host.command("flash:external"), "OKAY");
    EXPECT_EQ(s.host.command("complete"), "OKAY");
    int status = -1;
    Bytes flash = s.flash_after_exit("external", &status);
    EXPECT_EQ(status, 0);
    ASSERT_EQ(flash.size(), 1u << 20);
    EXPECT_EQ(Bytes(flash.begin(), flash.begin() + long(image.size())), image);
    EXPECT_EQ(flash[image.size()], 0xFF);
    EXPECT_EQ(flash.back(), 0xFF);

    int erase_runs = 0, retransmissions = 0;
    for (auto& v : s.records("command"))
        if (v["command"].asString() == "erase:x") ++erase_runs;
    for (auto& v : s.records("packet"))
        if (v["retransmission"].asBool()) ++retransmissions;
    EXPECT_EQ(erase_runs, 1);
    EXPECT_EQ(retransmissions, 1);
    EXPECT_TRUE(s.sim.ports().empty());
}

TEST(DevsimHost, SparseImageThroughWindowsAndUploadStages) {
    if (system("command -v img2simg >/dev/null 2>&1") != 0) GTEST_SKIP() << "img2simg missing";
    std::string dir = make_temp_dir("sparse");
    Bytes plain(64 * 4096, 0);
    Bytes a = random_bytes(8192, 3), b = random_bytes(4096, 4);
    std::copy(a.begin(), a.end(), plain.begin());
    std::copy(b.begin(), b.end(), plain.begin() + 40 * 4096);
    {
        std::ofstream(dir + "/plain.img", std::ios::binary).write(reinterpret_cast<char*>(plain.data()), long(plain.size()));
    }
    ASSERT_EQ(system(("img2simg " + dir + "/plain.img " + dir + "/sparse.img >/dev/null 2>&1").c_str()), 0);
    Bytes sparse = read_file(dir + "/sparse.img");
    remove_tree(dir);
    ASSERT_LT(sparse.size(), plain.size());

    Session s;
    ASSERT_TRUE(s.start({"--flash", "external:512KiB"}));
    ASSERT_TRUE(s.connect());
    EXPECT_EQ(s.host.command("getvar:version"), "OKAY0.5");
    EXPECT_EQ(s.host.download_windows(sparse, 8192), "OKAY");
    EXPECT_EQ(s.host.command("flash:external"), "OKAY");
    // The sequence continues after the windows.
    EXPECT_EQ(s.host.command("useflash:external"), "OKAY");
    EXPECT_EQ(s.host.command("ulstage:00000000:00040000"), "OKAY");
    Bytes up;
    std::string final_reply;
    ASSERT_TRUE(s.host.upload(up, final_reply));
    EXPECT_EQ(final_reply, "OKAY");
    EXPECT_EQ(up, plain);
    EXPECT_EQ(s.host.command("ulstage:00070000:00020000").substr(0, 4), "FAIL");
}

TEST(DevsimHost, PartitionTableGivesVariables) {
    Session s;
    ASSERT_TRUE(s.start({"--flash", "external:256KiB", "--transport", "uart"}));
    ASSERT_TRUE(s.connect());
    EXPECT_EQ(s.host.command("getvar:version"), "OKAY0.4");
    Bytes t(2184, 0);
    auto put32 = [&](size_t off, uint32_t v) { for (int i = 0; i < 4; ++i) t[off + i] = uint8_t(v >> (8 * i)); };
    auto entry = [&](int i, const char* name, const char* type, uint32_t start, uint32_t size) {
        size_t e = 8 + size_t(i) * 68;
        memcpy(&t[e], name, strlen(name));
        memcpy(&t[e + 32], type, strlen(type));
        put32(e + 48, start);
        put32(e + 52, size);
        put32(e + 60, size);
    };
    put32(0, 0x41505442);
    put32(4, 3);
    entry(0, "all", "group", 0, 0x40000);
    entry(1, "external", "flash", 0, 0x40000);
    entry(2, "boot", "raw", 0x10000, 0x8000);
    EXPECT_EQ(s.host.download(t), "OKAY");
    EXPECT_EQ(s.host.command("partition"), "OKAY");
    EXPECT_EQ(s.host.command("getvar:partition-type:boot"), "OKAYraw");
    EXPECT_EQ(s.host.command("getvar:partition-start:boot"), "OKAY0x10000");
    EXPECT_EQ(s.host.command("getvar:partition-size:boot"), "OKAY0x8000");
    EXPECT_EQ(s.host.command("getvar:partition-type:all"), "OKAYgroup");
    EXPECT_EQ(s.host.download(Bytes(0x8001, 1)), "OKAY");
    EXPECT_EQ(s.host.command("flash:boot").substr(0, 4), "FAIL");
}

TEST(DevsimHost, KeepAliveAndNoWakeAfterComplete) {
    Session s;
    ASSERT_TRUE(s.start({}));
    ASSERT_TRUE(s.connect());
    int keepalives = 0;
    uint8_t type;
    Bytes p;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(1100);
    while (std::chrono::steady_clock::now() < end)
        if (s.host.read_frame(type, p, 100, true) && type == FRAME_KEEPALIVE) ++keepalives;
    EXPECT_GE(keepalives, 3);
    EXPECT_LE(keepalives, 8);
    EXPECT_EQ(s.host.command("complete"), "OKAY");
    EXPECT_FALSE(s.host.wake(1000));
    keepalives = 0;
    while (s.host.read_frame(type, p, 500, true))
        if (type == FRAME_KEEPALIVE) ++keepalives;
    EXPECT_EQ(keepalives, 0);
}

TEST(DevsimHost, ProductionCommandAndRebootRemovesPort) {
    Session s;
    ASSERT_TRUE(s.start({"--prod-answer", "SN=0042"}));
    ASSERT_TRUE(s.host.send({'P', 'R', 'O', 'D'}));
    Bytes answer = s.host.read_raw(2000, 7);
    EXPECT_EQ(std::string(answer.begin(), answer.end()), "SN=0042");
    // A port last used by a download-mode link may have seen wake bytes
    // with no frame after them; the command is still answered.
    ASSERT_TRUE(s.host.wake());
    ASSERT_TRUE(s.host.send({'P', 'R', 'O', 'D'}));
    answer = s.host.read_raw(2000, 7);
    EXPECT_EQ(std::string(answer.begin(), answer.end()), "SN=0042");
    ASSERT_TRUE(s.connect());
    EXPECT_EQ(s.host.command("reboot"), "OKAY");
    usleep(200 * 1000);
    EXPECT_TRUE(s.sim.ports().empty());
}

TEST(DevsimHost, Faults) {
    Session s;
    ASSERT_TRUE(s.start({"--fault", "fail:flash:", "--fault", "drop:5", "--fault", "error-packet:erase:",
                         "--fault", "data-in-ack:getvar:product"}));
    ASSERT_TRUE(s.connect());
    // Frames 1 and 2 were the query and init replies.
    EXPECT_EQ(s.host.command("getvar:platform"), "OKAYSILICON");
    FbPacket c{FB_DATA, 0, s.host.seq, Bytes{'g', 'e', 't', 'v', 'a', 'r', ':', 'x'}}, r;
    EXPECT_FALSE(s.host.exchange(c, r, 300));  // the fifth frame is dropped
    ASSERT_TRUE(s.host.exchange(c, r, 1000));  // the retry gets the cached ack
    ++s.host.seq;
    std::string t;
    ASSERT_TRUE(s.host.read_reply_text(t, 1000));
    EXPECT_EQ(t, "FAILunknown variable");
    EXPECT_EQ(s.host.download(Bytes(100, 1)), "OKAY");
    EXPECT_EQ(s.host.command("flash:external"), "FAILsimulated failure");
    FbPacket e{FB_DATA, 0, s.host.seq, Bytes{'e', 'r', 'a', 's', 'e', ':', 'a', 'l', 'l'}};
    ASSERT_TRUE(s.host.exchange(e, r));
    EXPECT_EQ(r.id, FB_ERROR);
    ++s.host.seq;
    FbPacket g{FB_DATA, 0, s.host.seq, Bytes{'g', 'e', 't', 'v', 'a', 'r', ':', 'p', 'r', 'o', 'd', 'u', 'c', 't'}};
    ASSERT_TRUE(s.host.exchange(g, r));
    EXPECT_FALSE(r.payload.empty());
}

TEST(DevsimHost, VanishesDuringADownload) {
    Session s;
    ASSERT_TRUE(s.start({"--fault", "vanish:2048"}));
    ASSERT_TRUE(s.connect());
    EXPECT_EQ(s.host.download(Bytes(8192, 1)), "");
    EXPECT_TRUE(s.sim.ports().empty());
}

TEST(DevsimHost, UnacknowledgedTextFramesCarryData) {
    Session s;
    ASSERT_TRUE(s.start({"--flash", "external:64KiB", "--exit-when-done"}));
    ASSERT_TRUE(s.connect());
    Bytes image = random_bytes(2500, 11);
    EXPECT_EQ(s.host.command("download:000009c4"), "DATA000009c4");
    for (size_t off = 0; off < image.size(); off += 1024) {
        size_t n = std::min<size_t>(1024, image.size() - off);
        Bytes f{FB_DATA, uint8_t(FB_NO_ACK | (off + n < image.size() ? FB_CONTINUATION : 0)),
                uint8_t(s.host.seq >> 8), uint8_t(s.host.seq)};
        f.insert(f.end(), image.begin() + long(off), image.begin() + long(off + n));
        ASSERT_TRUE(s.host.send_frame(f, FRAME_TEXT));
        ++s.host.seq;
    }
    std::string t;
    ASSERT_TRUE(s.host.read_reply_text(t, 2000));
    EXPECT_EQ(t, "OKAY");
    EXPECT_EQ(s.host.command("flash:external"), "OKAY");
    EXPECT_EQ(s.host.command("reboot"), "OKAY");
    Bytes flash = s.flash_after_exit("external");
    ASSERT_EQ(flash.size(), 65536u);
    EXPECT_EQ(Bytes(flash.begin(), flash.begin() + long(image.size())), image);
}

TEST(DevsimHost, WrongSequenceAndSilence) {
    Session s;
    ASSERT_TRUE(s.start({"--fault", "bad-seq:getvar:platform", "--fault", "silent:600:getvar:product"}));
    ASSERT_TRUE(s.connect());
    FbPacket c{FB_DATA, 0, s.host.seq, Bytes{'g', 'e', 't', 'v', 'a', 'r', ':', 'p', 'l', 'a', 't', 'f', 'o', 'r', 'm'}}, r;
    EXPECT_FALSE(s.host.exchange(c, r, 300));  // answered under another number
    ASSERT_TRUE(s.host.exchange(c, r, 1000));  // the retry is answered right
    ++s.host.seq;
    std::string t;
    ASSERT_TRUE(s.host.read_reply_text(t, 1000));
    EXPECT_EQ(t, "OKAYSILICON");
    FbPacket p{FB_DATA, 0, s.host.seq, Bytes{'g', 'e', 't', 'v', 'a', 'r', ':', 'p', 'r', 'o', 'd', 'u', 'c', 't'}};
    EXPECT_FALSE(s.host.exchange(p, r, 400));
    uint8_t type;
    Bytes payload;
    EXPECT_FALSE(s.host.read_frame(type, payload, 100, true));  // no keep-alive either
    usleep(300 * 1000);
    ASSERT_TRUE(s.host.exchange(p, r, 1000));
    ++s.host.seq;
    ASSERT_TRUE(s.host.read_reply_text(t, 1000));
    EXPECT_EQ(t, "OKAYdevsim");
}

// A host stopped in the middle of a data phase leaves the device waiting for
// the rest; the next host's wake and hello start it over, whether the data
// came in a raw window or in acknowledged packets.
TEST(DevsimHost, ADataPhaseCutByAStoppedHostGivesWayToTheNextHost) {
    for (bool window : {true, false}) {
        SCOPED_TRACE(window ? "raw window" : "acknowledged packets");
        Session s;
        ASSERT_TRUE(s.start({"--flash", "external:1MiB", "--exit-when-done"}));
        ASSERT_TRUE(s.connect());
        ASSERT_EQ(s.host.command("download:00100000"), "DATA00100000");
        Bytes part = random_bytes(10000, 3);
        if (window) {
            std::string announce = "data-request:00080000";
            Bytes f{FB_DATA, uint8_t(FB_NO_ACK | FB_CONTINUATION), uint8_t(s.host.seq >> 8), uint8_t(s.host.seq)};
            f.insert(f.end(), announce.begin(), announce.end());
            ASSERT_TRUE(s.host.send_frame(f, FRAME_TEXT));
            ASSERT_TRUE(s.host.send(part));
        } else {
            FbPacket p{FB_DATA, FB_CONTINUATION, s.host.seq, Bytes(part.begin(), part.begin() + 1000)}, r;
            ASSERT_TRUE(s.host.exchange(p, r));
            ++s.host.seq;
        }
        // The host stops, and a new one opens the port a moment later.
        std::string path = s.sim.ports()[0]["path"].asString();
        s.host.close();
        usleep(700 * 1000);
        ASSERT_TRUE(s.host.open(path));
        // Woken as the engine does, once a second until the device answers.
        bool woke = false;
        for (int i = 0; i < 3 && !woke; ++i) woke = s.host.wake(1000);
        ASSERT_TRUE(woke);
        ASSERT_TRUE(s.connect());
        EXPECT_EQ(s.host.command("getvar:platform"), "OKAYSILICON");
        s.flash_and_complete(random_bytes(5000, 4), 1u << 20);
        auto restarts = s.records("restart");
        ASSERT_EQ(restarts.size(), 1u);
        EXPECT_EQ(restarts[0]["reason"].asString(), "wake");
        EXPECT_EQ(restarts[0]["window"].asUInt64(), window ? 524288u - 10000u : 0u);
    }
}

TEST(DevsimHost, PayloadEndingInWakeBytesIsNoWake) {
    // Inside a frame 55 55 55 55 7E is four data bytes and a closing flag:
    // an image of 0x55 bytes ends every data packet that way.
    Session s;
    ASSERT_TRUE(s.start({"--flash", "external:64KiB", "--exit-when-done"}));
    // A wake leaves the device just past a flag; the next one still counts.
    ASSERT_TRUE(s.host.wake());
    ASSERT_TRUE(s.connect());
    s.flash_and_complete(Bytes(3000, 0x55), 65536u);
    EXPECT_EQ(s.records("wake").size(), 2u);
}

namespace {
// Splits the port bytes the stand-in link writes into announcements (header
// and size) and the raw bytes that follow each.
struct Announcement {
    uint16_t seq;
    uint8_t flags;
    size_t size;
    bool operator==(const Announcement& o) const { return seq == o.seq && flags == o.flags && size == o.size; }
};
std::vector<Announcement> split_windows(const Bytes& wire, Bytes& raw) {
    std::vector<Announcement> out;
    FrameDecoder d;
    size_t raw_left = 0;
    for (uint8_t b : wire) {
        if (raw_left) {
            raw.push_back(b);
            --raw_left;
            continue;
        }
        d.feed(b, [&](uint8_t type, const Bytes& p) {
            if (type != FRAME_TEXT || p.size() != 25) return;
            Announcement a{uint16_t(p[2] << 8 | p[3]), p[1], strtoul(std::string(p.begin() + 17, p.end()).c_str(), nullptr, 16)};
            out.push_back(a);
            raw_left = a.size;
        });
    }
    return out;
}
}  // namespace

TEST(DevsimHost, StandInLinkGathersWindowsAsTheEngineDoes) {
    struct Case {
        uint32_t data_size;
        std::vector<size_t> packets;  // payload sizes, sent with sequence 0x0100 onwards
        std::vector<Announcement> expected;
    };
    std::vector<Case> cases{
        // 1 MiB in 1024-byte packets: two full windows, then the zero announcement.
        {0x100000, std::vector<size_t>(1024, 1024), {{0x02FF, 0x80, 0x80000}, {0x04FF, 0x80, 0x80000}, {0x04FF, 0x80, 0}}},
        // 1500 bytes in 1024 and 476: the second packet flushes 0x5dc bytes.
        {1500, {1024, 476}, {{0x0101, 0x80, 0x5DC}, {0x0101, 0x80, 0}}},
        // A window boundary inside a packet: the rest starts the next window.
        {524288 + 1000, {524000, 1288}, {{0x0101, 0x80, 0x80000}, {0x0101, 0x80, 1000}, {0x0101, 0x80, 0}}},
    };
    for (const auto& c : cases) {
        WindowGatherer link(c.data_size);
        Bytes wire, sent;
        uint16_t seq = 0x0100;
        unsigned value = 0;
        for (size_t n : c.packets) {
            Bytes p{FB_DATA, FB_NO_ACK, uint8_t(seq >> 8), uint8_t(seq)};
            for (size_t i = 0; i < n; ++i) p.push_back(uint8_t(value++ * 13));
            sent.insert(sent.end(), p.begin() + 4, p.end());
            link.packet(p, wire);
            ++seq;
        }
        Bytes raw;
        EXPECT_EQ(split_windows(wire, raw), c.expected) << c.data_size;
        EXPECT_EQ(raw, sent) << c.data_size;
    }
}

TEST(DevsimHost, WindowsAcrossTheFullWindowSize) {
    // More than one 512 KiB window, in writes of packets with continuation.
    Session s;
    ASSERT_TRUE(s.start({"--flash", "external:1MiB", "--exit-when-done"}));
    ASSERT_TRUE(s.connect());
    EXPECT_EQ(s.host.command("getvar:version"), "OKAY0.5");
    Bytes image = random_bytes(600 * 1024 + 123, 5);
    uint16_t first = s.host.seq;
    EXPECT_EQ(s.host.download_windows(image, 40 * 1024), "OKAY");
    EXPECT_EQ(s.host.command("flash:external"), "OKAY");
    EXPECT_EQ(s.host.command("complete"), "OKAY");
    Bytes flash = s.flash_after_exit("external");
    ASSERT_EQ(flash.size(), 1u << 20);
    EXPECT_EQ(Bytes(flash.begin(), flash.begin() + long(image.size())), image);
    // The command and its reply prompt take two numbers, then one per
    // 1024-byte packet; the window fills at packet 512.
    // The first announcement arrives mid-write (continuation set), the last
    // two with the final packet (continuation clear).
    auto w = s.records("window");
    ASSERT_EQ(w.size(), 3u);
    uint16_t last = uint16_t(first + 2 + (image.size() + 1023) / 1024 - 1);
    EXPECT_EQ(w[0]["size"].asUInt(), 524288u);
    EXPECT_EQ(w[0]["seq"].asUInt(), uint16_t(first + 2 + 511));
    EXPECT_EQ(w[0]["flags"].asUInt(), 0x81u);
    EXPECT_EQ(w[1]["size"].asUInt(), image.size() - 524288);
    EXPECT_EQ(w[1]["seq"].asUInt(), last);
    EXPECT_EQ(w[1]["flags"].asUInt(), 0x80u);
    EXPECT_EQ(w[2]["size"].asUInt(), 0u);
    EXPECT_EQ(w[2]["seq"].asUInt(), last);
}

TEST(DevsimHost, LargeFlashesCostWhatWasWritten) {
    // Four devices of 256 MiB each: resident memory and the record hold the
    // written blocks only.
    SimProcess sim;
    ASSERT_TRUE(sim.start({"--count", "4", "--flash", "nand0:256MiB", "--sparse-record", "--exit-when-done"}, 4));
    auto ports = sim.ports();
    ASSERT_EQ(ports.size(), 4u);
    Bytes image = random_bytes(70000, 3);  // two blocks
    for (auto& port : ports) {
        WireHost host;
        ASSERT_TRUE(host.open(port["path"].asString()));
        ASSERT_TRUE(host.wake() && host.hello() && host.solicit(link_local_of(host.device_mac), nullptr) &&
                    host.negotiate());
        ASSERT_EQ(host.download(image), "OKAY");
        ASSERT_EQ(host.command("flash:nand0"), "OKAY");
        ASSERT_EQ(host.command("complete"), "OKAY");
    }
    std::ifstream status("/proc/" + std::to_string(sim.pid()) + "/status");
    uint64_t rss_kib = 0;
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0) rss_kib = std::stoull(line.substr(6));
    EXPECT_GT(rss_kib, 0u);
    EXPECT_LT(rss_kib, 64u << 10);
    int st = -1;
    ASSERT_TRUE(sim.wait_exit(10000, st));
    EXPECT_EQ(st, 0);
    for (int i = 0; i < 4; ++i) {
        std::string base = sim.record_dir() + "/device-" + std::to_string(i) + ".flash.nand0";
        struct stat sb {};
        ASSERT_EQ(stat((base + ".bin").c_str(), &sb), 0);
        EXPECT_EQ(uint64_t(sb.st_size), 256u << 20);
        EXPECT_LT(uint64_t(sb.st_blocks) * 512, 1u << 20);
        Bytes head(image.size());
        std::ifstream((base + ".bin").c_str(), std::ios::binary).read(reinterpret_cast<char*>(head.data()), long(head.size()));
        EXPECT_EQ(head, image);
        Bytes map = read_file(base + ".extents.json");
        EXPECT_EQ(std::string(map.begin(), map.end()),
                  "{\"erasedValue\":255,\"extents\":[[0,131072]],\"size\":268435456}\n");
    }
}

// A host that dies without stopping its simulator: the simulator goes with it,
// so the host's standard output (inherited by the simulator) reaches its end.
TEST(SimProcess, DiesWithItsHost) {
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    pid_t host = fork();
    ASSERT_GE(host, 0);
    if (host == 0) {
        close(out[0]);
        dup2(out[1], 1);
        close(out[1]);
        auto* sim = new SimProcess();  // never stopped, never destroyed
        if (!sim->start({"--count", "1"})) _exit(3);
        std::string dir = sim->ports_dir() + "\n";  // for the test to remove
        _exit(write(1, dir.data(), dir.size()) == ssize_t(dir.size()) ? 0 : 4);
    }
    close(out[1]);
    int status = 0;
    ASSERT_EQ(waitpid(host, &status, 0), host);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the host could not start its simulator";
    pollfd p{out[0], POLLIN, 0};
    bool ended = false;
    std::string text;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!ended && std::chrono::steady_clock::now() < end) {
        if (poll(&p, 1, 100) <= 0) continue;
        char buf[256];
        ssize_t n = read(out[0], buf, sizeof buf);
        ended = n == 0;
        if (n > 0) text.append(buf, size_t(n));
    }
    close(out[0]);
    EXPECT_TRUE(ended) << "the simulator outlived its host";
    size_t cut = text.rfind("/ports\n");
    if (cut != std::string::npos) remove_tree(text.substr(0, cut));
}
