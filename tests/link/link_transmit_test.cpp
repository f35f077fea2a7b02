// The transmit path from the stack to the links, the reply snoop and the
// receive dispatch, against link records without a loop and a recording port.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <future>
#include <string>
#include <vector>

#include "link/ethos_link.h"
#include "link/ethos_transmit.h"
#include "link/serial_link.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Write {
    uint32_t connection;
    Bytes bytes;
};
std::vector<Write> g_writes;

void record_write(uint32_t connection, const uint8_t* data, size_t length) {
    g_writes.push_back({connection, Bytes(data, data + length)});
}

const uint8_t kDevMac[2][6] = {{0x02, 0x11, 0x22, 0x33, 0x44, 0x55}, {0x02, 0x11, 0x22, 0x33, 0x44, 0x66}};
const uint8_t kHostMac[6] = {0x00, 0x12, 0x34, 0x56, 0x78, 0x9A};

// An Ethernet frame with IPv6 and UDP (or only the next header given).
Bytes udp_frame(const uint8_t* dst, uint16_t srcPort, uint8_t flags, uint16_t seq, const std::string& payload,
                uint8_t next = 17) {
    Bytes f(66, 0);
    memcpy(f.data(), dst, 6);
    memcpy(f.data() + 6, kHostMac, 6);
    f[12] = 0x86;
    f[13] = 0xDD;
    f[14] = 0x60;
    uint16_t udpLen = static_cast<uint16_t>(8 + 4 + payload.size());
    f[18] = static_cast<uint8_t>(udpLen >> 8);
    f[19] = static_cast<uint8_t>(udpLen);
    f[20] = next;
    f[21] = 64;
    f[22] = 0xFE;
    f[23] = 0x80;
    f[37] = 1;  // fe80::1
    f[38] = 0xFE;
    f[39] = 0x80;
    f[53] = 2;  // fe80::2
    f[54] = static_cast<uint8_t>(srcPort >> 8);
    f[55] = static_cast<uint8_t>(srcPort);
    f[56] = 0x15;  // 5554
    f[57] = 0xB2;
    f[58] = f[18];
    f[59] = f[19];
    f[62] = 3;
    f[63] = flags;
    f[64] = static_cast<uint8_t>(seq >> 8);
    f[65] = static_cast<uint8_t>(seq);
    f.resize(66 + payload.size());
    if (!payload.empty()) memcpy(f.data() + 66, payload.data(), payload.size());
    return f;
}

Bytes frame_of(const Bytes& payload, uint8_t type) { return ethos_frame_bytes(payload.data(), payload.size(), type); }

// The announcement of a window: the packet's header and "data-request:%08x".
Bytes announcement(const Bytes& packetFrame, const char* hex) {
    Bytes p(packetFrame.begin() + 62, packetFrame.begin() + 66);
    std::string text = std::string("data-request:") + hex;
    p.insert(p.end(), text.begin(), text.end());
    return frame_of(p, 1);
}

class LinkTransmit : public ::testing::Test {
protected:
    void SetUp() override {
        g_writes.clear();
        ethos_set_port_writer(record_write);
    }
    void TearDown() override {
        for (uint32_t id : ids_) ethos_link_remove_detached(id);
        ethos_set_port_writer(nullptr);
    }
    SerialLink* add(uint32_t id, int order, LinkStage stage, const uint8_t* mac) {
        SerialLink* l = ethos_link_add_detached(id, true, order);
        l->stage = stage;
        memcpy(l->deviceMac, mac, 6);
        l->lastActivityMs = ethos_now_ms();
        ids_.push_back(id);
        return l;
    }
    void send(const Bytes& f) { ethos_transmit_ethernet(f.data(), f.size()); }
    std::vector<uint32_t> ids_;
};

TEST_F(LinkTransmit, HostPortIsSixtyThousandPlusOrderWrapped) {
    EXPECT_EQ(add(1, 7, STAGE_WAKE, kDevMac[0])->hostPort, 60007);
    EXPECT_EQ(add(2, 5536, STAGE_WAKE, kDevMac[0])->hostPort, 0);
    EXPECT_EQ(add(3, 0, STAGE_WAKE, kDevMac[0])->hostPort, 60000);
}

TEST_F(LinkTransmit, RoutesByDestinationProtocolAndSourcePort) {
    add(1, 1, STAGE_RUNNING, kDevMac[0]);
    add(2, 2, STAGE_RUNNING, kDevMac[1]);
    add(3, 3, STAGE_HELLO, kDevMac[1]);
    const uint8_t multicast[6] = {0x33, 0x33, 0xFF, 0x33, 0x44, 0x55};
    const uint8_t other[6] = {0x02, 0, 0, 0, 0, 9};

    Bytes mc = udp_frame(multicast, 60001, 0, 0, "", 58);
    send(mc);
    ASSERT_EQ(g_writes.size(), 2u) << "every running link, not the one in the hello stage";
    EXPECT_EQ(g_writes[0].connection, 1u);
    EXPECT_EQ(g_writes[1].connection, 2u);
    EXPECT_EQ(g_writes[0].bytes, frame_of(mc, 0));

    struct Case {
        const char* what;
        Bytes frame;
        std::vector<uint32_t> to;
    } cases[] = {
        {"ICMPv6 to a running device", udp_frame(kDevMac[1], 1, 0, 0, "", 58), {2}},
        {"UDP from the device's host port", udp_frame(kDevMac[1], 60002, 0, 0, "getvar:x"), {2}},
        {"UDP from another link's port", udp_frame(kDevMac[1], 60001, 0, 0, "getvar:x"), {}},
        {"UDP to a device not running", udp_frame(kDevMac[1], 60003, 0, 0, "getvar:x"), {}},
        {"unknown unicast", udp_frame(other, 60001, 0, 0, "getvar:x"), {}},
        {"other protocol", udp_frame(kDevMac[0], 60001, 0, 0, "", 6), {}},
    };
    for (const auto& c : cases) {
        g_writes.clear();
        send(c.frame);
        std::vector<uint32_t> to;
        for (const auto& w : g_writes) to.push_back(w.connection);
        EXPECT_EQ(to, c.to) << c.what;
        for (const auto& w : g_writes) EXPECT_EQ(w.bytes, frame_of(c.frame, 0)) << c.what;
    }
}

TEST_F(LinkTransmit, VersionProbeFollowsTheDevicesAnswer) {
    struct Case {
        std::string answer;
        uint16_t seq;
        ProbeState after;
    } cases[] = {
        {"OKAY0.5", 0x0180, PROBE_WINDOWS}, {"OKAY0.4", 0x0180, PROBE_FRAMED}, {"OKAY0.3", 0x0180, PROBE_NONE},
        {"INFOwait", 0x0180, PROBE_SENT},   {"OKAY0.5", 0x0181, PROBE_SENT},
    };
    for (const auto& c : cases) {
        SerialLink* l = add(1, 1, STAGE_RUNNING, kDevMac[0]);
        Bytes q = udp_frame(kDevMac[0], 60001, 0, 0x017F, "getvar:version");
        ASSERT_EQ(q.size(), 80u);
        send(q);
        EXPECT_EQ(l->probe, PROBE_SENT);
        EXPECT_EQ(l->expectedSeq, 0x0180);
        Bytes a = udp_frame(kHostMac, 5554, 0, c.seq, c.answer);
        ethos_snoop_reply(*l, a.data(), a.size());
        EXPECT_EQ(l->probe, c.after) << c.answer << " " << c.seq;
        // A probe starts only from state 0.
        l->expectedSeq = 0;
        send(q);
        EXPECT_EQ(l->expectedSeq, c.after == PROBE_NONE ? 0x0180 : 0);
        ethos_link_remove_detached(1);
        ids_.clear();
    }
}

TEST_F(LinkTransmit, DataReplySetsTheRemainingSize) {
    SerialLink* l = add(1, 1, STAGE_RUNNING, kDevMac[0]);
    struct Case {
        std::string reply;
        uint32_t remaining;
    } cases[] = {{"DATA00100000", 0x00100000}, {"DATA000005dc", 1500}, {"DATA00ff-xyz", 0xFF}, {"DATA1234", 0xFF}};
    uint16_t seq = 9;
    for (const auto& c : cases) {
        Bytes a = udp_frame(kHostMac, 5554, 0, seq++, c.reply);
        ethos_snoop_reply(*l, a.data(), a.size());
        EXPECT_EQ(l->remaining, c.remaining) << c.reply;
    }
}

TEST_F(LinkTransmit, UnacknowledgedPacketsBeforeWindowsGoAsTextFrames) {
    SerialLink* l = add(1, 1, STAGE_RUNNING, kDevMac[0]);
    l->probe = PROBE_FRAMED;
    Bytes p = udp_frame(kDevMac[0], 60001, 0x80, 42, std::string(100, 'x'));
    send(p);
    ASSERT_EQ(g_writes.size(), 1u);
    EXPECT_EQ(g_writes[0].bytes, frame_of(Bytes(p.begin() + 62, p.end()), 1));
}

bool is_announcement(const Bytes& write) {
    EthosDecoder decoder;
    bool found = false;
    ethos_decode(decoder, write.data(), write.size(), [&](uint8_t type, const uint8_t* p, size_t n) {
        found = type == 1 && n > 4 && memcmp(p + 4, "data-request:", std::min<size_t>(n - 4, 13)) == 0;
    });
    return found;
}

// The port's writes with the pieces of each window joined; every piece is
// at most the flow's piece size.
std::vector<Write> joined(const std::vector<Write>& writes) {
    std::vector<Write> out;
    bool raw = false;
    for (const Write& w : writes) {
        bool announcement = is_announcement(w.bytes);
        if (!announcement) {
            EXPECT_LE(w.bytes.size(), kFlowPortPiece);
        }
        if (!announcement && raw)
            out.back().bytes.insert(out.back().bytes.end(), w.bytes.begin(), w.bytes.end());
        else
            out.push_back(w);
        raw = !announcement;
    }
    return out;
}

// Packets of `sizes` data bytes each, unacknowledged, after "DATA" for
// `total`; the port's writes, a window's pieces joined.
std::vector<Write> windows(SerialLink* l, uint32_t total, const std::vector<size_t>& sizes,
                           std::vector<Bytes>* packets, Bytes* data) {
    l->probe = PROBE_WINDOWS;
    l->remaining = total;
    g_writes.clear();
    uint16_t seq = 100;
    for (size_t n : sizes) {
        std::string payload(n, 0);
        for (size_t i = 0; i < n; ++i) payload[i] = static_cast<char>((data->size() + i) * 7);
        data->insert(data->end(), payload.begin(), payload.end());
        packets->push_back(udp_frame(kDevMac[0], 60001, 0x80, seq++, payload));
        ethos_transmit_ethernet(packets->back().data(), packets->back().size());
    }
    return joined(g_writes);
}

TEST_F(LinkTransmit, FullWindowsThenTheZeroAnnouncement) {
    SerialLink* l = add(1, 1, STAGE_RUNNING, kDevMac[0]);
    std::vector<Bytes> packets;
    Bytes data;
    auto w = windows(l, 0x00100000, std::vector<size_t>(1024, 1024), &packets, &data);
    ASSERT_EQ(w.size(), 5u);
    EXPECT_EQ(w[0].bytes, announcement(packets[511], "00080000"));
    EXPECT_EQ(w[1].bytes, Bytes(data.begin(), data.begin() + 524288));
    EXPECT_EQ(w[2].bytes, announcement(packets[1023], "00080000"));
    EXPECT_EQ(w[3].bytes, Bytes(data.begin() + 524288, data.end()));
    EXPECT_EQ(w[4].bytes, announcement(packets[1023], "00000000"));
    EXPECT_EQ(l->windowFill, 0u);
    EXPECT_EQ(l->remaining, 0u);
}

TEST_F(LinkTransmit, LastPartialWindowGoesOutWhenTheSizeIsUsedUp) {
    SerialLink* l = add(1, 1, STAGE_RUNNING, kDevMac[0]);
    std::vector<Bytes> packets;
    Bytes data;
    auto w = windows(l, 1500, {1024, 476}, &packets, &data);
    ASSERT_EQ(w.size(), 3u);
    EXPECT_EQ(w[0].bytes, announcement(packets[1], "000005dc"));
    EXPECT_EQ(w[1].bytes, data);
    EXPECT_EQ(w[2].bytes, announcement(packets[1], "00000000"));
}

// The status read before the data was sent again while its "DATA" reply was
// on the way: the device's repeat of that reply, arriving once the data has
// started, leaves the count alone and the last window still goes out. A
// later data phase's reply counts again.
TEST_F(LinkTransmit, RepeatedDataReplyMidPhaseKeepsTheCount) {
    SerialLink* l = add(1, 1, STAGE_RUNNING, kDevMac[0]);
    l->probe = PROBE_WINDOWS;
    Bytes reply = udp_frame(kHostMac, 5554, 0, 22, "DATA000005dc");
    ethos_snoop_reply(*l, reply.data(), reply.size());
    Bytes first = udp_frame(kDevMac[0], 60001, 0x80, 23, std::string(1024, 'a'));
    send(first);
    ethos_snoop_reply(*l, reply.data(), reply.size());
    EXPECT_EQ(l->remaining, 476u);
    Bytes last = udp_frame(kDevMac[0], 60001, 0x80, 24, std::string(476, 'b'));
    send(last);
    auto w = joined(g_writes);
    ASSERT_EQ(w.size(), 3u);
    EXPECT_EQ(w[0].bytes, announcement(last, "000005dc"));
    EXPECT_EQ(w[1].bytes.size(), 1500u);
    EXPECT_EQ(w[2].bytes, announcement(last, "00000000"));

    Bytes next = udp_frame(kHostMac, 5554, 0, 30, "DATA00000010");
    ethos_snoop_reply(*l, next.data(), next.size());
    EXPECT_EQ(l->remaining, 16u);
}

TEST_F(LinkTransmit, WindowSplitsAPacketThatCrossesItsEnd) {
    SerialLink* l = add(1, 1, STAGE_RUNNING, kDevMac[0]);
    std::vector<Bytes> packets;
    Bytes data;
    // 524 packets of 1000 bytes leave 288 bytes of room: the 525th fills
    // the window and carries 712 bytes into the next one.
    std::vector<size_t> sizes(525, 1000);
    uint32_t total = 0;
    for (size_t n : sizes) total += static_cast<uint32_t>(n);
    auto w = windows(l, total, sizes, &packets, &data);
    ASSERT_EQ(w.size(), 5u);
    EXPECT_EQ(w[0].bytes, announcement(packets[524], "00080000"));
    EXPECT_EQ(w[1].bytes, Bytes(data.begin(), data.begin() + 524288));
    EXPECT_EQ(w[2].bytes, announcement(packets[524], "000002c8"));
    EXPECT_EQ(w[3].bytes, Bytes(data.begin() + 524288, data.end()));
    EXPECT_EQ(w[4].bytes, announcement(packets[524], "00000000"));
}

// A download thread's held data leaves the count once the port has written
// the bytes that carry it, or at once when it goes nowhere.
TEST_F(LinkTransmit, HeldDataLeavesOnceWrittenOrDropped) {
    SerialLink* l = add(1, 1, STAGE_RUNNING, kDevMac[0]);
    l->flow.held = 1500;
    std::vector<Bytes> packets;
    Bytes data;
    auto w = windows(l, 1500, {1024, 476}, &packets, &data);
    ASSERT_EQ(w.size(), 3u);
    EXPECT_EQ(l->flow.held, 1500) << "nothing written yet";
    ethos_port_written(1, w[0].bytes.size() + 1499);
    EXPECT_EQ(l->flow.held, 1500) << "one byte of the window still to write";
    ethos_port_written(1, 1 + w[2].bytes.size());
    EXPECT_EQ(l->flow.held, 0);

    l->probe = PROBE_FRAMED;
    l->flow.held = 100;
    g_writes.clear();
    send(udp_frame(kDevMac[0], 60001, 0x80, 1, std::string(100, 'x')));
    ASSERT_EQ(g_writes.size(), 1u);
    ethos_port_written(1, g_writes[0].bytes.size());
    EXPECT_EQ(l->flow.held, 0) << "a text frame";

    struct Case {
        const char* what;
        LinkStage stage;
        bool closing;
        const uint8_t* dst;
    } cases[] = {
        {"link not running", STAGE_FAILED, false, kDevMac[0]},
        {"link closing", STAGE_RUNNING, true, kDevMac[0]},
        {"no link with that address", STAGE_RUNNING, false, kDevMac[1]},
    };
    for (const auto& c : cases) {
        l->stage = c.stage;
        l->closing = c.closing;
        l->flow.held = 100;
        g_writes.clear();
        send(udp_frame(c.dst, 60001, 0x80, 2, std::string(100, 'y')));
        EXPECT_TRUE(g_writes.empty()) << c.what;
        EXPECT_EQ(l->flow.held, 0) << c.what;
    }
}

// A download thread's holds and drain against the loop's releases.
TEST_F(LinkTransmit, HoldWaitsForRoomAndDrainForTheLastByteUnlessTheLinkCloses) {
    SerialLink* l = add(1, 1, STAGE_RUNNING, kDevMac[0]);
    // Still waiting after 300 ms counts as waiting; a wait that should end is
    // given as long as a loaded machine may need.
    auto settles = [](std::future<void>& f) { return f.wait_for(std::chrono::milliseconds(300)) == std::future_status::ready; };
    auto ends = [](std::future<void>& f) { return f.wait_for(std::chrono::seconds(20)) == std::future_status::ready; };

    ethos_flow_hold(1, kFlowHeldMax);
    auto hold = std::async(std::launch::async, [] { ethos_flow_hold(1, 1024); });
    EXPECT_FALSE(settles(hold)) << "no room for more";
    ethos_flow_release(*l, kFlowHeldMax - kFlowResume - 1);
    EXPECT_FALSE(settles(hold)) << "not yet down to the resume level";
    ethos_flow_release(*l, 1);
    EXPECT_TRUE(ends(hold));
    EXPECT_EQ(l->flow.held, kFlowResume + 1024);

    ethos_flow_set_parked(*l, 1024);  // a window the announced size never fills
    auto drain = std::async(std::launch::async, [] { ethos_flow_drain(1); });
    EXPECT_FALSE(settles(drain));
    ethos_flow_release(*l, kFlowResume);
    EXPECT_TRUE(ends(drain)) << "only the parked bytes are left";

    ethos_flow_set_parked(*l, 0);
    drain = std::async(std::launch::async, [] { ethos_flow_drain(1); });
    EXPECT_FALSE(settles(drain));
    ethos_flow_set_waitless(*l, true);  // the link closes
    EXPECT_TRUE(ends(drain));
    ethos_flow_hold(1, 2 * kFlowHeldMax);  // and holds no longer wait
    EXPECT_EQ(ethos_link_flow(2), nullptr);
}

TEST_F(LinkTransmit, SilentOrClosingLinkAnswersItselfAndSendsNothing) {
    SerialLink* l = add(1, 1, STAGE_RUNNING, kDevMac[0]);
    Bytes q = udp_frame(kDevMac[0], 60001, 0, 7, "getvar:product");
    struct Case {
        const char* what;
        int32_t timeout;
        int64_t silence;
        bool closing;
        bool sent;
    } cases[] = {
        {"silent beyond the time-out", 3000, 3001, false, false},
        {"silent just to the time-out", 3000, 2990, false, true},
        {"time-out 0 turns the test off", 0, 60000, false, true},
        {"closing", 0, 0, true, false},
    };
    for (const auto& c : cases) {
        g_writes.clear();
        l->noResponseMs = c.timeout;
        l->lastActivityMs = ethos_now_ms() - c.silence;
        l->closing = c.closing;
        send(q);
        EXPECT_EQ(g_writes.size(), c.sent ? 1u : 0u) << c.what;
    }
}

TEST_F(LinkTransmit, SetTimeoutReachesOnlyItsLink) {
    SerialLink* a = add(1, 1, STAGE_RUNNING, kDevMac[0]);
    SerialLink* b = add(2, 2, STAGE_RUNNING, kDevMac[1]);
    ethos_link_set_timeout(2, 4500);
    ethos_link_set_timeout(9, 1);  // no such link
    EXPECT_EQ(a->noResponseMs.load(), 3000);
    EXPECT_EQ(b->noResponseMs.load(), 4500);
}

// Verifies an IPv6 UDP checksum independently of the code under test.
uint16_t udp6_sum(const Bytes& f) {
    uint32_t sum = 0;
    auto add16 = [&](uint32_t v) { sum += v; };
    for (size_t i = 22; i < 54; i += 2) add16(uint32_t(f[i] << 8 | f[i + 1]));
    size_t udpLen = size_t(f[58] << 8 | f[59]);
    add16(uint32_t(udpLen));
    add16(17);
    for (size_t i = 0; i < udpLen; i += 2) {
        uint32_t hi = f[54 + i], lo = i + 1 < udpLen ? f[54 + i + 1] : 0;
        add16(hi << 8 | lo);
    }
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return uint16_t(sum);
}

TEST(LinkNoResponse, AnswerMirrorsTheRequest) {
    Bytes q = udp_frame(kDevMac[0], 60001, 0, 0xBEEF, "getvar:product");
    EXPECT_TRUE(ethos_no_response_frame(q.data(), 65).empty());
    Bytes a = ethos_no_response_frame(q.data(), q.size());
    ASSERT_EQ(a.size(), 77u);
    EXPECT_EQ(Bytes(a.begin(), a.begin() + 6), Bytes(q.begin() + 6, q.begin() + 12));
    EXPECT_EQ(Bytes(a.begin() + 6, a.begin() + 12), Bytes(q.begin(), q.begin() + 6));
    EXPECT_EQ(Bytes(a.begin() + 22, a.begin() + 38), Bytes(q.begin() + 38, q.begin() + 54));
    EXPECT_EQ(Bytes(a.begin() + 38, a.begin() + 54), Bytes(q.begin() + 22, q.begin() + 38));
    EXPECT_EQ(a[54], q[56]);
    EXPECT_EQ(a[55], q[57]);
    EXPECT_EQ(a[56], q[54]);
    EXPECT_EQ(a[57], q[55]);
    EXPECT_EQ(a[19], 23);
    EXPECT_EQ(a[59], 23);
    EXPECT_EQ(a[20], 17);
    EXPECT_EQ(a[21], 64);
    EXPECT_EQ(Bytes(a.begin() + 62, a.begin() + 66), (Bytes{0, 0, 0xBE, 0xEF}));
    EXPECT_EQ(std::string(a.begin() + 66, a.end()), "no response");
    EXPECT_EQ(udp6_sum(a), 0xFFFF) << "checksum verifies";
}

TEST(LinkChecksum, SumsBigEndianWordsWithOddTailAndParity) {
    const uint8_t words[] = {0x00, 0x01, 0xF2, 0x03, 0xF4, 0xF5, 0xF6, 0xF7};
    // RFC 1071's example: the folded sum is 0xDDF2.
    EXPECT_EQ(ethos_checksum_accumulate(0, words, 8, false), 0xDDF2u);
    // Split at an odd position, the second half continues on the low byte.
    uint32_t s = ethos_checksum_accumulate(0, words, 3, false);
    EXPECT_EQ(ethos_checksum_accumulate(s, words + 3, 5, true), 0xDDF2u);
    const uint8_t odd[] = {0x12};
    EXPECT_EQ(ethos_checksum_accumulate(0, odd, 1, false), 0x1200u);
}

class LinkReceive : public LinkTransmit {};

void receive(uint32_t id, const Bytes& wire) { ethos_receive(id, wire.data(), wire.size()); }

TEST_F(LinkReceive, WakeAnswerMovesOnlyTheWakeStage) {
    SerialLink* l = add(1, 1, STAGE_WAKE, kDevMac[0]);
    l->lastActivityMs = 0;
    Bytes uuuu{0x7E, 0x55, 0x55, 0x55, 0x55, 0x7E};
    receive(1, uuuu);
    EXPECT_EQ(l->stage, STAGE_HELLO);
    EXPECT_GT(l->lastActivityMs, 0) << "the frame starts the hello stage with a fresh time";
    l->stage = STAGE_FAILED;
    l->lastActivityMs = 0;
    receive(1, uuuu);
    EXPECT_EQ(l->stage, STAGE_FAILED);
    EXPECT_GT(l->lastActivityMs, 0);
    EXPECT_TRUE(g_writes.empty());
}

TEST_F(LinkReceive, HelloIsAnsweredAndAddressesAreTaken) {
    SerialLink* l = add(1, 1, STAGE_WAKE, kDevMac[0]);
    memcpy(l->hostMac, kHostMac, 6);
    Bytes mac{0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
    receive(1, frame_of(mac, 2));
    ASSERT_EQ(g_writes.size(), 1u);
    EXPECT_EQ(g_writes[0].bytes, frame_of(Bytes(kHostMac, kHostMac + 6), 3));
    EXPECT_EQ(Bytes(l->deviceMac, l->deviceMac + 6), mac);
    // A hello reply in the wake stage only records the address.
    Bytes mac2{0x00, 0x11, 0x22, 0x33, 0x44, 0x77};
    receive(1, frame_of(mac2, 3));
    EXPECT_EQ(l->stage, STAGE_WAKE);
    EXPECT_EQ(Bytes(l->deviceMac, l->deviceMac + 6), mac2);
    // Other lengths are ignored.
    receive(1, frame_of(Bytes{1, 2, 3, 4, 5}, 2));
    receive(1, frame_of(Bytes{1, 2, 3, 4, 5, 6, 7}, 3));
    EXPECT_EQ(g_writes.size(), 1u);
    EXPECT_EQ(Bytes(l->deviceMac, l->deviceMac + 6), mac2);
    // Bytes for a port without a link are ignored.
    receive(2, frame_of(mac, 2));
    EXPECT_EQ(g_writes.size(), 1u);
}

}  // namespace
