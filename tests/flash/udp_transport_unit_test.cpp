// The UDP transport against a scripted device behind a mock socket.
#include <gtest/gtest.h>

#include <cerrno>
#include <optional>

#include "flash/thread_state.h"
#include "flash/udp_transport.h"
#include "mock_socket.h"

namespace {

Bytes Packet(uint8_t id, uint8_t flags, uint16_t sequence, Bytes payload = {}) {
    Bytes p(4 + payload.size());
    p[0] = id;
    p[1] = flags;
    p[2] = static_cast<uint8_t>(sequence >> 8);
    p[3] = static_cast<uint8_t>(sequence);
    std::copy(payload.begin(), payload.end(), p.begin() + 4);
    return p;
}
Bytes Be16Pair(uint16_t a, uint16_t b) {
    return {static_cast<uint8_t>(a >> 8), static_cast<uint8_t>(a), static_cast<uint8_t>(b >> 8),
            static_cast<uint8_t>(b)};
}
uint16_t SequenceOf(const Bytes& p) { return static_cast<uint16_t>(p[2] << 8 | p[3]); }
Bytes PayloadOf(const Bytes& p) { return Bytes(p.begin() + 4, p.end()); }
Bytes Text(const char* s) { return Bytes(s, s + std::strlen(s)); }

// Answers as a well-behaved device, with hooks to misbehave.
struct FakeDevice {
    uint16_t startSequence = 0x1234;
    std::optional<Bytes> queryReply;          // payload; default: startSequence
    Bytes initReply = Be16Pair(1, 8192);
    int ignoreSends = 0;                      // stay silent for this many packets
    // Replies to one fastboot packet; default: an empty acknowledgement.
    std::function<std::vector<Bytes>(const Bytes& sent)> onData;

    void operator()(const Bytes& sent, MockSocketState& state) {
        if (ignoreSends > 0) {
            --ignoreSends;
            return;
        }
        const uint16_t seq = SequenceOf(sent);
        switch (sent[0]) {
        case udp::kIdDeviceQuery:
            state.Queue(Packet(1, 0, seq,
                               queryReply ? *queryReply
                                          : Bytes{static_cast<uint8_t>(startSequence >> 8),
                                                  static_cast<uint8_t>(startSequence)}));
            break;
        case udp::kIdInitialization:
            state.Queue(Packet(2, 0, seq, initReply));
            break;
        default:
            if (sent[1] & udp::kFlagNoAck) break;
            if (onData) {
                for (Bytes& reply : onData(sent)) state.Queue(std::move(reply));
            } else {
                state.Queue(Packet(sent[0], 0, seq));
            }
        }
    }
};

class UdpTransportTest : public ::testing::Test {
protected:
    void SetUp() override {
        download_thread_state().multiplier = 0;
        device = FakeDevice{};
        state->respond = [this](const Bytes& sent, MockSocketState& s) { device(sent, s); };
    }

    std::unique_ptr<Transport> Open() {
        auto transport = udp::AdoptSocket(std::make_unique<MockSocket>(state), &error);
        negotiated = state->sent.size();
        return transport;
    }
    // Packets sent after the negotiation.
    std::vector<Bytes> DataSent() const {
        return std::vector<Bytes>(state->sent.begin() + static_cast<std::ptrdiff_t>(negotiated),
                                  state->sent.end());
    }

    std::shared_ptr<MockSocketState> state = std::make_shared<MockSocketState>();
    FakeDevice device;
    std::string error;
    size_t negotiated = 0;
};

TEST_F(UdpTransportTest, NegotiationSendsQueryThenInitAndTakesTheDeviceSequence) {
    auto transport = Open();
    ASSERT_NE(transport, nullptr) << error;
    EXPECT_EQ(download_thread_state().multiplier, 3u);
    ASSERT_EQ(state->sent.size(), 2u);
    EXPECT_EQ(state->sent[0], Packet(1, 0, 0));
    EXPECT_EQ(state->sent[1], Packet(2, 0, 0x1234, {0x00, 0x01, 0x20, 0x00}));
    for (int wait : state->waits) EXPECT_EQ(wait, 1500);

    const uint8_t data[] = {'x'};
    ASSERT_EQ(transport->WriteAll(data, 1), 1);
    EXPECT_EQ(DataSent().at(0), Packet(3, 0, 0x1235, {'x'}));
}

TEST_F(UdpTransportTest, NegotiationFailures) {
    struct Case {
        const char* name;
        std::optional<Bytes> query;
        Bytes init;
        const char* error;
        size_t sends;
    };
    const Case cases[] = {
        {"short query reply", Bytes{0x00}, Be16Pair(1, 8192), "invalid query response from target", 1},
        {"short init reply", std::nullopt, Bytes{0, 1, 0x20}, "invalid initialization response from target", 2},
        {"version 0", std::nullopt, Be16Pair(0, 8192), "target reported invalid protocol version 0", 2},
        {"packet size 511", std::nullopt, Be16Pair(1, 511), "target reported invalid packet size 511", 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        state = std::make_shared<MockSocketState>();
        SetUp();
        device.queryReply = c.query;
        device.initReply = c.init;
        EXPECT_EQ(Open(), nullptr);
        EXPECT_EQ(error, c.error);
        EXPECT_EQ(state->sent.size(), c.sends);
    }
}

TEST_F(UdpTransportTest, SilentDeviceFailsNegotiationAfterFourQueries) {
    device.ignoreSends = 1000;
    EXPECT_EQ(Open(), nullptr);
    EXPECT_EQ(error, "no response from target");
    ASSERT_EQ(state->sent.size(), 4u);
    for (const Bytes& p : state->sent) EXPECT_EQ(p, Packet(1, 0, 0));
    EXPECT_EQ(state->waits, std::vector<int>(4, 1500));
}

TEST_F(UdpTransportTest, ErrorReplyDuringNegotiationCarriesTheDeviceText) {
    state->respond = [](const Bytes& sent, MockSocketState& s) {
        s.Queue(Packet(0, 0, SequenceOf(sent), Text("busy")));
    };
    EXPECT_EQ(Open(), nullptr);
    EXPECT_EQ(error, "target reported error: busy");
    EXPECT_EQ(state->sent.size(), 1u);  // errors are not retried
}

// The negotiated packet size bounds every payload; a higher device version is fine.
TEST_F(UdpTransportTest, PacketSizeIsClampedBetweenDeviceAndHost) {
    struct Case {
        uint16_t version, deviceSize;
        size_t payload;
    };
    for (const Case& c : {Case{1, 512, 508}, Case{7, 65535, 8188}, Case{1, 1000, 996}}) {
        SCOPED_TRACE(c.deviceSize);
        state = std::make_shared<MockSocketState>();
        SetUp();
        device.initReply = Be16Pair(c.version, c.deviceSize);
        auto transport = Open();
        ASSERT_NE(transport, nullptr) << error;
        // Exactly one packet's worth, then one byte more.
        const Bytes data(c.payload + 1, 0x5a);
        ASSERT_EQ(transport->WriteAll(data.data(), static_cast<uint32_t>(c.payload)),
                  static_cast<int64_t>(c.payload));
        ASSERT_EQ(transport->WriteAll(data.data(), static_cast<uint32_t>(data.size())),
                  static_cast<int64_t>(data.size()));
        const auto sent = DataSent();
        ASSERT_EQ(sent.size(), 3u);
        EXPECT_EQ(sent[0].size(), 4 + c.payload);
        EXPECT_EQ(sent[0][1], 0);
        EXPECT_EQ(sent[1].size(), 4 + c.payload);
        EXPECT_EQ(sent[1][1], udp::kFlagContinuation);
        EXPECT_EQ(sent[2].size(), 5u);
        EXPECT_EQ(sent[2][1], 0);
    }
}

TEST_F(UdpTransportTest, LargeWriteIsSplitWithContinuationAndEachPacketAcknowledged) {
    auto transport = Open();
    ASSERT_NE(transport, nullptr);
    Bytes data(20000);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
    const size_t waitsBefore = state->waits.size();
    ASSERT_EQ(transport->WriteAll(data.data(), 20000), 20000);

    const auto sent = DataSent();
    ASSERT_EQ(sent.size(), 3u);
    const uint8_t flags[] = {0x01, 0x01, 0x00};
    const size_t sizes[] = {8188, 8188, 3624};
    Bytes joined;
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(sent[i][0], 3);
        EXPECT_EQ(sent[i][1], flags[i]);
        EXPECT_EQ(SequenceOf(sent[i]), 0x1235 + i);
        EXPECT_EQ(sent[i].size() - 4, sizes[i]);
        const Bytes payload = PayloadOf(sent[i]);
        joined.insert(joined.end(), payload.begin(), payload.end());
    }
    EXPECT_EQ(joined, data);
    EXPECT_EQ(state->waits.size() - waitsBefore, 3u);
}

TEST_F(UdpTransportTest, NoAckWriteSendsBackToBackAndAwaitsNothing) {
    auto transport = Open();
    ASSERT_NE(transport, nullptr);
    const Bytes data(20000, 1);
    const size_t waitsBefore = state->waits.size();
    ASSERT_EQ(transport->WriteAll(data.data(), 20000 | kTransportNoAck), 20000);
    EXPECT_EQ(state->waits.size(), waitsBefore);

    // The next acknowledged write uses the sequence after the three sent.
    ASSERT_EQ(transport->WriteAll(data.data(), 1), 1);
    const auto sent = DataSent();
    ASSERT_EQ(sent.size(), 4u);
    const uint8_t flags[] = {0x81, 0x81, 0x80, 0x00};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(sent[i][1], flags[i]) << i;
        EXPECT_EQ(SequenceOf(sent[i]), 0x1235 + i);
    }
}

TEST_F(UdpTransportTest, ReadFollowsContinuationWithAnEmptyPrompt) {
    auto transport = Open();
    ASSERT_NE(transport, nullptr);
    device.onData = [](const Bytes& sent) -> std::vector<Bytes> {
        const uint16_t seq = SequenceOf(sent);
        if (seq == 0x1235) return {Packet(3, udp::kFlagContinuation, seq, Text("OKAY"))};
        return {Packet(3, 0, seq, Text("done"))};
    };
    uint8_t buffer[64] = {};
    ASSERT_EQ(transport->ReadSome(buffer, sizeof(buffer)), 8);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 8), "OKAYdone");
    const auto sent = DataSent();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0], Packet(3, 0, 0x1235));
    EXPECT_EQ(sent[1], Packet(3, 0, 0x1236));
}

TEST_F(UdpTransportTest, ReadOfMoreThanTheCapacityIsAnOverflow) {
    auto transport = Open();
    ASSERT_NE(transport, nullptr);
    device.onData = [](const Bytes& sent) -> std::vector<Bytes> {
        return {Packet(3, 0, SequenceOf(sent), Text("OKAY-and-more"))};
    };
    uint8_t buffer[4];
    testing::internal::CaptureStderr();
    EXPECT_EQ(transport->ReadSome(buffer, sizeof(buffer)), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "UDP error: receive overflow, target sent too much fastboot data\n");
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 4), "OKAY");
}

TEST_F(UdpTransportTest, TimeoutsResendTheSamePacketUpToTheMultipliersBudget) {
    struct Case {
        uint32_t multiplier;
        size_t sends;
        int wait;
    };
    for (const Case& c : {Case{3, 40, 1500}, Case{1, 120, 500}, Case{2, 60, 1000}}) {
        SCOPED_TRACE(c.multiplier);
        state = std::make_shared<MockSocketState>();
        SetUp();
        auto transport = Open();
        ASSERT_NE(transport, nullptr);
        download_thread_state().multiplier = c.multiplier;
        device.ignoreSends = 1000;
        const size_t waitsBefore = state->waits.size();
        const uint8_t data[] = {'x'};
        testing::internal::CaptureStderr();
        errno = EAGAIN;  // stale: a silent device sets no error number
        EXPECT_EQ(transport->WriteAll(data, 1), -1);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "UDP error: no response from target\n");
        EXPECT_EQ(errno, 0);
        const auto sent = DataSent();
        ASSERT_EQ(sent.size(), c.sends);
        for (const Bytes& p : sent) EXPECT_EQ(p, Packet(3, 0, 0x1235, {'x'}));
        EXPECT_EQ(std::vector<int>(state->waits.begin() + static_cast<std::ptrdiff_t>(waitsBefore),
                                   state->waits.end()),
                  std::vector<int>(c.sends, c.wait));
    }
}

TEST_F(UdpTransportTest, AnswerAfterTimeoutsSucceedsAndKeepsTheSequence) {
    auto transport = Open();
    ASSERT_NE(transport, nullptr);
    device.ignoreSends = 2;
    const uint8_t data[] = {'a', 'b'};
    ASSERT_EQ(transport->WriteAll(data, 2), 2);
    ASSERT_EQ(transport->WriteAll(data, 2), 2);
    const auto sent = DataSent();
    ASSERT_EQ(sent.size(), 4u);
    for (size_t i = 0; i < 3; ++i) EXPECT_EQ(SequenceOf(sent[i]), 0x1235);
    EXPECT_EQ(SequenceOf(sent[3]), 0x1236);
}

// Stale sequence numbers and foreign ids are skipped without using a send.
TEST_F(UdpTransportTest, StrayRepliesAreIgnored) {
    auto transport = Open();
    ASSERT_NE(transport, nullptr);
    device.onData = [](const Bytes& sent) -> std::vector<Bytes> {
        const uint16_t seq = SequenceOf(sent);
        return {Packet(3, 0, static_cast<uint16_t>(seq - 1), Text("old")), Packet(2, 0, seq, Text("id2")),
                Packet(3, 0, seq, Text("OKAY"))};
    };
    uint8_t buffer[16];
    ASSERT_EQ(transport->ReadSome(buffer, sizeof(buffer)), 4);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 4), "OKAY");
    EXPECT_EQ(DataSent().size(), 1u);
}

TEST_F(UdpTransportTest, ErrorPacketsEndTheExchangeWithTheirText) {
    auto transport = Open();
    ASSERT_NE(transport, nullptr);
    // A continued error message is collected over both packets.
    device.onData = [](const Bytes& sent) -> std::vector<Bytes> {
        const uint16_t seq = SequenceOf(sent);
        if (sent.size() > 4) return {Packet(0, udp::kFlagContinuation, seq, Text("no "))};
        return {Packet(0, 0, seq, Text("response"))};
    };
    const uint8_t data[] = {'x'};
    testing::internal::CaptureStderr();
    errno = EAGAIN;
    EXPECT_EQ(transport->WriteAll(data, 1), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "UDP error: target reported error: no response\n");
    EXPECT_EQ(errno, 0);
    const auto sent = DataSent();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1], Packet(0, 0, 0x1236));
}

TEST_F(UdpTransportTest, FailuresThatAreNotRetried) {
    struct Case {
        const char* name;
        std::function<void(MockSocketState&, uint16_t seq)> reply;
        const char* line;
        int error;  // errno after the failure: a system error, or 0
    };
    const Case cases[] = {
        {"short packet", [](MockSocketState& s, uint16_t) { s.Queue({3, 0, 0}); },
         "UDP error: protocol error: incomplete header\n", 0},
        {"receive error", [](MockSocketState& s, uint16_t) { s.QueueError(ECONNREFUSED); },
         "UDP error: Connection refused\n", ECONNREFUSED},
        {"data out of turn", [](MockSocketState& s, uint16_t seq) { s.Queue(Packet(3, 0, seq, Text("x"))); },
         "UDP error: target sent fastboot data out-of-turn\n", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        state = std::make_shared<MockSocketState>();
        SetUp();
        auto transport = Open();
        ASSERT_NE(transport, nullptr);
        state->respond = [&c](const Bytes& sent, MockSocketState& s) { c.reply(s, SequenceOf(sent)); };
        const uint8_t data[] = {'x'};
        testing::internal::CaptureStderr();
        errno = EAGAIN;
        EXPECT_EQ(transport->WriteAll(data, 1), -1);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.line);
        EXPECT_EQ(errno, c.error);
        EXPECT_EQ(DataSent().size(), 1u);
    }
}

TEST_F(UdpTransportTest, SendFailureReportsTheSocketError) {
    auto transport = Open();
    ASSERT_NE(transport, nullptr);
    state->failSends = true;
    uint8_t buffer[4];
    testing::internal::CaptureStderr();
    EXPECT_EQ(transport->ReadSome(buffer, sizeof(buffer)), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "UDP error: Network is unreachable\n");
    EXPECT_EQ(errno, ENETUNREACH);
}

TEST_F(UdpTransportTest, SequenceWrapsOnTheWire) {
    device.startSequence = 0xffff;
    auto transport = Open();
    ASSERT_NE(transport, nullptr);
    const uint8_t data[] = {'x'};
    ASSERT_EQ(transport->WriteAll(data, 1), 1);
    ASSERT_EQ(transport->WriteAll(data, 1), 1);
    EXPECT_EQ(SequenceOf(state->sent.at(1)), 0xffff);  // the initialisation
    const auto sent = DataSent();
    EXPECT_EQ(SequenceOf(sent.at(0)), 0x0000);
    EXPECT_EQ(SequenceOf(sent.at(1)), 0x0001);
}

TEST_F(UdpTransportTest, DisconnectedTransportFailsEveryTransfer) {
    auto transport = Open();
    ASSERT_NE(transport, nullptr);
    EXPECT_EQ(transport->Disconnect(), 0);
    EXPECT_EQ(state->disconnects, 1);
    EXPECT_EQ(transport->Disconnect(), 0);
    EXPECT_EQ(state->disconnects, 1);
    uint8_t buffer[4];
    testing::internal::CaptureStderr();
    errno = EAGAIN;
    EXPECT_EQ(transport->ReadSome(buffer, sizeof(buffer)), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "UDP error: socket is closed\n");
    EXPECT_EQ(errno, 0);
}

TEST_F(UdpTransportTest, AdoptWithoutSocketGivesNone) {
    EXPECT_EQ(udp::AdoptSocket(nullptr, &error), nullptr);
}

}  // namespace
