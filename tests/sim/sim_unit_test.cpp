// The simulator's own framing, checksum and sequence logic against the
// byte vectors of the link's wire contract.
#include <gtest/gtest.h>

#include <cstring>

#include "commands.h"
#include "config.h"
#include "fastboot_udp.h"
#include "frame.h"
#include "net.h"
#include "storage.h"

using namespace devsim;
using Bytes = std::vector<uint8_t>;

namespace {
std::vector<std::pair<uint8_t, Bytes>> decode(const Bytes& in) {
    std::vector<std::pair<uint8_t, Bytes>> out;
    FrameDecoder d;
    d.feed(in.data(), in.size(), [&](uint8_t t, const Bytes& p) { out.emplace_back(t, p); });
    return out;
}
}  // namespace

TEST(Framing, EncodesEscapesAndTypeMarker) {
    EXPECT_EQ(encode_frame(Bytes{0x02, 0x7E, 0x7D, 0x00, 0x11, 0x22}, 2),
              (Bytes{0x7E, 0x7D, 0x22, 0x02, 0x7D, 0x5E, 0x7D, 0x5D, 0x00, 0x11, 0x22, 0x7E}));
    EXPECT_EQ(encode_frame(Bytes{}, 0), (Bytes{0x7E, 0x7E}));
    EXPECT_EQ(encode_frame(Bytes{0x55}, 5), (Bytes{0x7E, 0x7D, 0x25, 0x55, 0x7E}));
}

TEST(Framing, DecodesTheWireCases) {
    struct Case {
        Bytes wire;
        std::vector<std::pair<uint8_t, Bytes>> frames;
    } cases[] = {
        // Back-to-back flags act as one frame start.
        {{0x7E, 0x7E, 0x7D, 0x23, 1, 2, 3, 4, 5, 6, 0x7E}, {{3, {1, 2, 3, 4, 5, 6}}}},
        // The closing flag does not open the next frame; 42 is ignored.
        {{0x7E, 0x41, 0x7E, 0x42, 0x7E, 0x43, 0x7E}, {{0, {0x41}}, {0, {0x43}}}},
        {{0x7E, 0x55, 0x55, 0x55, 0x55, 0x7E}, {{0, {0x55, 0x55, 0x55, 0x55}}}},
        // An escape before anything else loses that byte only.
        {{0x7E, 0x41, 0x7D, 0x30, 0x42, 0x7E}, {{0, {0x41, 0x42}}}},
        {{0x7E, 0x7D, 0x5E, 0x7D, 0x5D, 0x7E}, {{0, {0x7E, 0x7D}}}},
        // The last type marker counts, wherever it stands.
        {{0x7E, 0x7D, 0x21, 0x6F, 0x7D, 0x25, 0x6B, 0x7E}, {{5, {0x6F, 0x6B}}}},
        {{0x7E, 0x7D, 0x25, 0xC8, 0x7E}, {{5, {0xC8}}}},
    };
    for (const auto& c : cases) EXPECT_EQ(decode(c.wire), c.frames);
}

TEST(Framing, RoundTripsEveryByteValue) {
    Bytes all;
    for (int i = 0; i < 256; ++i) all.push_back(uint8_t(i));
    for (uint8_t type = 0; type <= 5; ++type) {
        auto f = decode(encode_frame(all, type));
        ASSERT_EQ(f.size(), 1u);
        EXPECT_EQ(f[0].first, type);
        EXPECT_EQ(f[0].second, all);
    }
}

TEST(Framing, DiscardsFramesBeyondTheLimit) {
    FrameDecoder d(4);
    std::vector<Bytes> got;
    Bytes wire{0x7E, 1, 2, 3, 4, 5, 0x7E, 0x7E, 9, 0x7E};
    d.feed(wire.data(), wire.size(), [&](uint8_t, const Bytes& p) { got.push_back(p); });
    EXPECT_EQ(got, (std::vector<Bytes>{{9}}));
}

TEST(Checksum, InternetChecksumVectors) {
    // RFC 1071's example words and an odd last byte taken as a high byte.
    Bytes words{0x00, 0x01, 0xF2, 0x03, 0xF4, 0xF5, 0xF6, 0xF7};
    EXPECT_EQ(checksum_add(0, words.data(), words.size()), 0xDDF2u);
    EXPECT_EQ(checksum_fold(checksum_add(0, words.data(), words.size())), 0x220D);
    Bytes odd{0x01};
    EXPECT_EQ(checksum_add(0, odd.data(), 1), 0x0100u);
    Bytes carry{0xFF, 0xFF, 0x00, 0x01};
    EXPECT_EQ(checksum_add(0, carry.data(), carry.size()), 0x0001u);
}

TEST(Checksum, NoResponseAnswerIs77BytesAndVerifies) {
    Mac a{0x02, 0, 0, 0xAA, 0xBB, 0xCC}, b{0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
    Bytes payload{0x00, 0x00, 0x01, 0x80};
    const char* t = "no response";
    payload.insert(payload.end(), t, t + strlen(t));
    auto f = build_udp(b, a, link_local_of(b), link_local_of(a), 5554, 60007, payload.data(), payload.size());
    EXPECT_EQ(f.size(), 77u);
    EXPECT_EQ(f[19], 23);  // IPv6 payload length
    EXPECT_EQ(f[59], 23);  // UDP length
    UdpDatagram d;
    ASSERT_TRUE(parse_udp(f.data(), f.size(), d));
    EXPECT_TRUE(d.checksum_ok);
    EXPECT_EQ(d.src_port, 5554);
    EXPECT_EQ(d.dst_port, 60007);
    f[70] ^= 1;
    ASSERT_TRUE(parse_udp(f.data(), f.size(), d));
    EXPECT_FALSE(d.checksum_ok);
}

TEST(Address, LinkLocalFromModifiedEui64) {
    EXPECT_EQ(ip6_text(link_local_of(Mac{0x00, 0x11, 0x22, 0x33, 0x44, 0x55})), "fe80::211:22ff:fe33:4455");
    EXPECT_EQ(ip6_text(solicited_node_of(link_local_of(Mac{0x00, 0x11, 0x22, 0x33, 0x44, 0x55}))),
              "ff02::1:ff33:4455");
}

TEST(Sequence, QueryInitAndCachedReplies) {
    FbSequencer s(1028, 0x1234);
    int runs = 0;
    auto handler = [&](const FbPacket& in) {
        ++runs;
        FbPacket r;
        r.id = FB_DATA;
        r.payload = in.payload;
        return r;
    };
    FbOutcome q = s.handle(FbPacket{FB_QUERY, 0, 0, {}}, handler);
    ASSERT_TRUE(q.reply);
    EXPECT_EQ(q.packet.seq, 0);
    EXPECT_EQ(q.packet.payload, (Bytes{0x12, 0x34}));

    FbOutcome i = s.handle(FbPacket{FB_INIT, 0, 0x1234, {0x00, 0x01, 0x20, 0x00}}, handler);
    ASSERT_TRUE(i.reply);
    EXPECT_EQ(i.packet.payload, (Bytes{0x00, 0x01, 0x04, 0x04}));
    EXPECT_EQ(encode_fb_packet(i.packet), (Bytes{0x02, 0x00, 0x12, 0x34, 0x00, 0x01, 0x04, 0x04}));

    FbOutcome a = s.handle(FbPacket{FB_DATA, 0, 0x1235, {'x'}}, handler);
    FbOutcome again = s.handle(FbPacket{FB_DATA, 0, 0x1235, {'x'}}, handler);
    EXPECT_EQ(runs, 1);
    EXPECT_TRUE(again.retransmission);
    EXPECT_EQ(encode_fb_packet(again.packet), encode_fb_packet(a.packet));

    FbOutcome ahead = s.handle(FbPacket{FB_DATA, 0, 0x1240, {'y'}}, handler);
    EXPECT_TRUE(ahead.ignored);
    EXPECT_FALSE(ahead.reply);
    // A reply of another id with the right number is not a repeat.
    FbOutcome wrong_id = s.handle(FbPacket{FB_INIT, 0, 0x1235, {}}, handler);
    EXPECT_FALSE(wrong_id.retransmission);
    EXPECT_EQ(runs, 1);
}

TEST(Sequence, NoAckPacketsRunOnceAndAdvance) {
    FbSequencer s(1028, 0xFFFF);
    int runs = 0;
    auto handler = [&](const FbPacket&) { ++runs; return FbPacket{}; };
    EXPECT_FALSE(s.handle(FbPacket{FB_DATA, 0x81, 0xFFFF, {1}}, handler).reply);
    EXPECT_EQ(s.expected(), 0);  // wraps at 65536
    EXPECT_FALSE(s.handle(FbPacket{FB_DATA, 0x80, 0x0000, {2}}, handler).reply);
    s.handle(FbPacket{FB_DATA, 0x80, 0x0000, {2}}, handler);
    EXPECT_EQ(runs, 2);
    s.resync(0x017F);
    EXPECT_EQ(s.expected(), 0x0180);
}

TEST(Config, SizesAndFaults) {
    struct { const char* text; bool ok; uint64_t v; } sizes[] = {
        {"4096", true, 4096}, {"0x1000", true, 4096}, {"4KiB", true, 4096}, {"1m", true, 1 << 20},
        {"2GiB", true, 2ull << 30}, {"12MB", false, 0}, {"0x", false, 0}, {"-1", false, 0}, {"", false, 0},
    };
    for (const auto& c : sizes) {
        uint64_t v = 0;
        EXPECT_EQ(parse_size(c.text, v), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(v, c.v) << c.text;
        }
    }
    Fault f;
    ASSERT_TRUE(parse_fault("2/fail:flash:system", f));
    EXPECT_EQ(f.device, 2);
    EXPECT_EQ(f.kind, FaultKind::Fail);
    EXPECT_EQ(f.command, "flash:system");
    ASSERT_TRUE(parse_fault("silent:4000:getvar:platform", f));
    EXPECT_EQ(f.n, 4000u);
    EXPECT_EQ(f.command, "getvar:platform");
    ASSERT_TRUE(parse_fault("drop-every:3", f));
    EXPECT_TRUE(f.every);
    EXPECT_FALSE(parse_fault("drop:0", f));
    EXPECT_FALSE(parse_fault("explode:1", f));
}

TEST(Storage, PartitionTableAndBounds) {
    Storage s({{"external", 0x40000}, {"internal", 0x10000}});
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
    put32(4, 4);
    entry(0, "all", "group", 0, 0x50000);
    entry(1, "external", "flash", 0, 0x40000);
    entry(2, "boot", "raw", 0x10000, 0x20000);
    entry(3, "internal", "flash", 0, 0x10000);
    ASSERT_EQ(s.adopt_table(t), "");
    const Partition* boot = s.find("boot");
    ASSERT_TRUE(boot);
    EXPECT_EQ(boot->flash, 0);
    EXPECT_EQ(boot->start, 0x10000u);
    uint64_t w = 0;
    EXPECT_EQ(s.write_image(*boot, Bytes(0x20000, 0xAB), w), "");
    EXPECT_NE(s.write_image(*boot, Bytes(0x20001, 0xAB), w), "");
    EXPECT_EQ(s.flashes()[0].at(0xFFFF), 0xFF);
    EXPECT_EQ(s.flashes()[0].at(0x10000), 0xAB);
    EXPECT_EQ(s.flashes()[0].at(0x30000), 0xFF);
    // A partition beyond its flash is refused and the old table kept.
    entry(2, "boot", "raw", 0x30000, 0x20000);
    EXPECT_NE(s.adopt_table(t), "");
    EXPECT_EQ(s.find("boot")->start, 0x10000u);
    t[0] = 0;
    EXPECT_NE(s.adopt_table(t), "");
}

TEST(Storage, SparseChunksApplyAndOverrunsAreRefused) {
    Bytes img;
    auto put16 = [&](uint16_t v) { img.push_back(uint8_t(v)); img.push_back(uint8_t(v >> 8)); };
    auto put32 = [&](uint32_t v) { for (int i = 0; i < 4; ++i) img.push_back(uint8_t(v >> (8 * i))); };
    put32(0xED26FF3A); put16(1); put16(0); put16(28); put16(12);
    put32(4096); put32(4); put32(3); put32(0);
    put16(0xCAC1); put16(0); put32(1); put32(12 + 4096);
    img.insert(img.end(), 4096, 0x11);
    put16(0xCAC3); put16(0); put32(2); put32(12);
    put16(0xCAC2); put16(0); put32(1); put32(16); put32(0x44332211);
    Storage s({{"external", 5 * 4096}});
    uint64_t w = 0;
    ASSERT_EQ(s.write_image(*s.find("external"), img, w), "");
    auto b = [&](uint64_t at) { return s.flashes()[0].at(at); };
    EXPECT_EQ(b(0), 0x11);
    EXPECT_EQ(b(4096), 0xFF);
    EXPECT_EQ(b(3 * 4096), 0x11);
    EXPECT_EQ(b(3 * 4096 + 3), 0x44);
    EXPECT_EQ(b(4 * 4096), 0xFF);
    Storage small({{"external", 3 * 4096}});
    EXPECT_NE(small.write_image(*small.find("external"), img, w), "");
    EXPECT_EQ(small.flashes()[0].at(0), 0xFF);
}

TEST(Commands, RepliesFitTheHostsReadOf64Bytes) {
    Config cfg;
    cfg.vars = {{"short", "abc"}, {"exact", std::string(60, 'e')}, {"long", std::string(100, 'l')}};
    Record record;
    CommandDevice dev(cfg, 0, record);
    auto reply = [&](const std::string& cmd) {
        FbPacket c{FB_DATA, 0, 0, Bytes(cmd.begin(), cmd.end())};
        EXPECT_TRUE(dev.on_data(c).payload.empty()) << cmd;  // the command's own ack is empty
        Bytes r = dev.on_data(FbPacket{FB_DATA, 0, 0, {}}).payload;
        return std::string(r.begin(), r.end());
    };
    EXPECT_EQ(reply("getvar:short"), "OKAYabc");
    EXPECT_EQ(reply("getvar:exact"), "OKAY" + std::string(60, 'e'));
    EXPECT_EQ(reply("getvar:long"), "OKAY" + std::string(60, 'l'));
    EXPECT_EQ(reply("getvar:max-download-size"), "OKAY0x1000000");
    EXPECT_EQ(reply("download:00001000"), "DATA00001000");
}

TEST(Storage, LargeFlashHoldsOnlyWrittenBlocks) {
    Storage s({{"nand0", 256u << 20}});
    Flash& f = s.flashes()[0];
    EXPECT_EQ(f.resident_bytes(), 0u);
    EXPECT_EQ(f.at((256u << 20) - 1), 0xFF);
    // A write across a block boundary, then an erase of part of it.
    Bytes data(3000, 0x5A);
    f.write(Flash::kBlock - 1000, data.data(), data.size());
    EXPECT_EQ(f.resident_bytes(), 2 * Flash::kBlock);
    EXPECT_EQ(f.extents(), (std::vector<std::pair<uint64_t, uint64_t>>{{0, 2 * Flash::kBlock}}));
    Bytes back(3002);
    f.read(Flash::kBlock - 1001, back.data(), back.size());
    EXPECT_EQ(back.front(), 0xFF);
    EXPECT_EQ(Bytes(back.begin() + 1, back.end() - 1), data);
    EXPECT_EQ(back.back(), 0xFF);
    f.erase(Flash::kBlock - 500, Flash::kBlock + 500);  // the whole second block, half of the first
    EXPECT_EQ(f.resident_bytes(), Flash::kBlock);
    EXPECT_EQ(f.at(Flash::kBlock - 501), 0x5A);
    EXPECT_EQ(f.at(Flash::kBlock - 500), 0xFF);
    EXPECT_EQ(f.at(Flash::kBlock + 1000), 0xFF);
    s.erase(*s.find("nand0"));
    EXPECT_EQ(f.resident_bytes(), 0u);
}

TEST(Commands, ProgressFollowsThePackagesWeights) {
    // The package's total: a flash weighs its image and its partition, an
    // erase its partition; every other command weighs nothing.
    Config cfg;
    Record record;
    CommandDevice dev(cfg, 0, record);
    auto run = [&](const std::string& cmd) {
        dev.on_data(FbPacket{FB_DATA, 0, 0, Bytes(cmd.begin(), cmd.end())});
        Bytes r = dev.on_data(FbPacket{FB_DATA, 0, 0, {}}).payload;
        return std::string(r.begin(), r.end());
    };
    const uint64_t part = 8u << 20, image = 0x1000;
    char total[32];
    snprintf(total, sizeof total, "progress:%08llx", static_cast<unsigned long long>(image + 2 * part));
    EXPECT_EQ(run(total), "OKAY");
    EXPECT_EQ(run("download:00001000"), "DATA00001000");
    dev.on_data(FbPacket{FB_DATA, 0, 0, Bytes(image, 0x42)});
    EXPECT_EQ(dev.on_data(FbPacket{FB_DATA, 0, 0, {}}).payload, (Bytes{'O', 'K', 'A', 'Y'}));
    run("flash:external");
    EXPECT_EQ(dev.take_progress(), Bytes{50});
    run("erase:internal");
    EXPECT_EQ(dev.take_progress(), Bytes{100});
}

namespace {
struct SparseChunk {
    uint16_t type;
    uint32_t blocks;
    Bytes data;
};
// A sparse piece of `total` blocks of 4096 bytes, as the host sends one.
Bytes sparse_piece(uint32_t total, const std::vector<SparseChunk>& chunks) {
    Bytes s;
    auto put16 = [&](uint16_t v) { s.push_back(uint8_t(v)); s.push_back(uint8_t(v >> 8)); };
    auto put32 = [&](uint32_t v) { for (int i = 0; i < 4; ++i) s.push_back(uint8_t(v >> (8 * i))); };
    put32(0xED26FF3A); put16(1); put16(0); put16(28); put16(12);
    put32(4096); put32(total); put32(uint32_t(chunks.size())); put32(0);
    for (const auto& c : chunks) {
        put16(c.type); put16(0); put32(c.blocks); put32(uint32_t(12 + c.data.size()));
        s.insert(s.end(), c.data.begin(), c.data.end());
    }
    return s;
}
}  // namespace

TEST(Commands, ProgressOfAnImageEndsAt100HoweverItIsCut) {
    // The package weighs a flash by its image's size plus its partition's;
    // each piece adds what it stands for, so the last one reaches 100.
    const Bytes a(4096, 0x11), b(4096, 0x22), zero(4, 0);
    const uint16_t kRaw = 0xCAC1, kFill = 0xCAC2, kSkip = 0xCAC3;
    const Bytes container = sparse_piece(2, {{kRaw, 1, a}, {kRaw, 1, b}});
    const struct Case {
        const char* name;
        uint64_t image;  // its size in the package
        std::vector<Bytes> pieces;
    } cases[] = {
        {"plain image cut after a block of zeros", 3 * 4096,
         {sparse_piece(3, {{kRaw, 1, a}, {kFill, 1, zero}, {kSkip, 1, {}}}),
          sparse_piece(3, {{kSkip, 2, {}}, {kRaw, 1, b}})}},
        {"plain image of zeros in three pieces", 3 * 4096,
         {sparse_piece(3, {{kFill, 1, zero}, {kSkip, 2, {}}}),
          sparse_piece(3, {{kSkip, 1, {}}, {kFill, 1, zero}, {kSkip, 1, {}}}),
          sparse_piece(3, {{kSkip, 2, {}}, {kFill, 1, zero}})}},
        {"container sent as it is", container.size(), {container}},
        {"plain image, one piece", 4096, {a}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Config cfg;
        Record record;
        CommandDevice dev(cfg, 0, record);
        // The final reply of a command or a data phase (INFO lines skipped).
        auto final_reply = [&](const Bytes& packet) {
            dev.on_data(FbPacket{FB_DATA, 0, 0, packet});
            std::string r;
            do {
                Bytes b = dev.on_data(FbPacket{FB_DATA, 0, 0, {}}).payload;
                r.assign(b.begin(), b.end());
            } while (r.compare(0, 4, "INFO") == 0);
            return r;
        };
        auto run = [&](const std::string& cmd) { return final_reply(Bytes(cmd.begin(), cmd.end())); };
        char text[32];
        snprintf(text, sizeof text, "progress:%08llx", static_cast<unsigned long long>(c.image + (8u << 20)));
        ASSERT_EQ(run(text), "OKAY");
        Bytes seen;
        for (const Bytes& piece : c.pieces) {
            snprintf(text, sizeof text, "download:%08zx", piece.size());
            ASSERT_EQ(run(text).substr(0, 4), "DATA");
            ASSERT_EQ(final_reply(piece), "OKAY");
            ASSERT_EQ(run("flash:external"), "OKAY");
            Bytes p = dev.take_progress();
            seen.insert(seen.end(), p.begin(), p.end());
        }
        ASSERT_EQ(seen.size(), c.pieces.size());
        EXPECT_EQ(int(seen.back()), 100);
        if (seen.size() > 1) {
            EXPECT_LT(int(seen[seen.size() - 2]), 100);
        }
    }
}
