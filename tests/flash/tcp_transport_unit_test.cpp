// The TCP transport against a scripted stream behind a mock socket.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "flash/tcp_transport.h"
#include "mock_socket.h"

namespace {

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes Message(const std::string& body) {
    Bytes m(8 + body.size());
    for (int i = 0; i < 4; ++i) m[7 - i] = static_cast<uint8_t>(body.size() >> (8 * i));
    std::copy(body.begin(), body.end(), m.begin() + 8);
    return m;
}

class TcpTransportTest : public ::testing::Test {
protected:
    TcpTransportTest() { state->stream = true; }

    std::unique_ptr<Transport> Open(const std::string& answer) {
        state->Queue(Text(answer));
        return tcp::AdoptSocket(std::make_unique<MockSocket>(state), &error);
    }

    std::shared_ptr<MockSocketState> state = std::make_shared<MockSocketState>();
    std::string error;
};

TEST_F(TcpTransportTest, Handshake) {
    struct Case {
        std::string answer;
        const char* error;  // empty: accepted
    };
    const Case cases[] = {
        {"FB01", ""},
        {"FB02", ""},
        {"FB00", "Unknown TCP protocol version 00 (host version 01)"},
        {"FBx1", "Unknown TCP protocol version x1 (host version 01)"},
        {"XX01", "Unrecognized initialization message. Target may not support TCP fastboot"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.answer);
        state = std::make_shared<MockSocketState>();
        state->stream = true;
        error = "stale";
        auto transport = Open(c.answer);
        EXPECT_EQ(transport != nullptr, *c.error == '\0');
        EXPECT_EQ(error, c.error);
        ASSERT_EQ(state->sent.size(), 1u);
        EXPECT_EQ(state->sent[0], Text("FB01"));
    }
}

// The cause in brackets is what happened, never an error number left over.
TEST_F(TcpTransportTest, SilentOrShortHandshakeFails) {
    const std::string timedOut = strerror(ETIMEDOUT);
    struct Case {
        std::string answer;
        bool peerClosed;
        std::string cause;
    };
    // An empty answer reads as the end of the stream.
    for (const Case& c : {Case{"", false, "connection closed"}, Case{"FB", false, timedOut},
                          Case{"FB", true, "connection closed"}}) {
        SCOPED_TRACE(c.answer + (c.peerClosed ? " closed" : ""));
        state = std::make_shared<MockSocketState>();
        state->stream = true;
        state->peerClosed = c.peerClosed;
        errno = EAGAIN;
        EXPECT_EQ(Open(c.answer), nullptr);
        EXPECT_EQ(error, "No initialization message received (" + c.cause + "). Target may not support TCP fastboot");
        for (int wait : state->waits) EXPECT_EQ(wait, 2000);
    }
}

TEST_F(TcpTransportTest, LongMessageIsReadOverSeveralCalls) {
    auto transport = Open("FB01");
    ASSERT_NE(transport, nullptr) << error;
    std::string body;
    for (int i = 0; i < 64; ++i) body += static_cast<char>('A' + i % 26);
    state->Queue(Message(body));
    state->Queue(Message("OKAY"));

    std::string got;
    uint8_t buffer[16];
    for (int i = 0; i < 4; ++i) {
        ASSERT_EQ(transport->ReadSome(buffer, sizeof(buffer)), 16);
        got.append(reinterpret_cast<char*>(buffer), 16);
    }
    EXPECT_EQ(got, body);
    ASSERT_EQ(transport->ReadSome(buffer, sizeof(buffer)), 4);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 4), "OKAY");
    for (size_t i = 1; i < state->waits.size(); ++i) EXPECT_EQ(state->waits[i], 0);  // no time limit
}

TEST_F(TcpTransportTest, WriteSendsTheLengthPrefixAndTheData) {
    auto transport = Open("FB01");
    ASSERT_NE(transport, nullptr);
    const uint8_t data[] = {1, 2, 3, 4};
    ASSERT_EQ(transport->WriteAll(data, 4), 4);
    // A stream has no unacknowledged mode: the bit is dropped, not sent as length.
    ASSERT_EQ(transport->WriteAll(data, 4 | kTransportNoAck), 4);
    const Bytes expected{0, 0, 0, 0, 0, 0, 0, 4, 1, 2, 3, 4};
    ASSERT_EQ(state->sent.size(), 3u);
    EXPECT_EQ(state->sent[1], expected);
    EXPECT_EQ(state->sent[2], expected);
}

// A peer that closes mid-message, or a failed write, ends the transport for good.
TEST_F(TcpTransportTest, FailuresDisconnect) {
    auto transport = Open("FB01");
    ASSERT_NE(transport, nullptr);
    Bytes partial = Message("OKAY");
    partial.resize(10);
    state->Queue(partial);
    state->peerClosed = true;
    uint8_t buffer[16];
    EXPECT_EQ(transport->ReadSome(buffer, sizeof(buffer)), 2);  // what arrived before the end
    errno = EAGAIN;
    EXPECT_EQ(transport->ReadSome(buffer, sizeof(buffer)), -1);
    EXPECT_EQ(errno, 0);  // a closed stream is no system error
    EXPECT_EQ(state->disconnects, 1);
    EXPECT_EQ(transport->WriteAll(buffer, 1), -1);
    EXPECT_EQ(transport->Disconnect(), 0);
    EXPECT_EQ(state->disconnects, 1);

    auto second = std::make_shared<MockSocketState>();
    second->stream = true;
    second->Queue(Text("FB01"));
    auto other = tcp::AdoptSocket(std::make_unique<MockSocket>(second), &error);
    ASSERT_NE(other, nullptr);
    second->failSends = true;
    EXPECT_EQ(other->WriteAll(buffer, 1), -1);
    EXPECT_EQ(errno, ENETUNREACH);
    EXPECT_EQ(second->disconnects, 1);
}

}  // namespace
