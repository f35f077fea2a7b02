// The socket layer's own logic, without the network stack.
#include <gtest/gtest.h>

#include "mock_socket.h"

namespace {

TEST(SocketReceiveExactly, StopsAtTheFirstFailureOrEnd) {
    struct Case {
        const char* name;
        std::vector<Bytes> pieces;  // what the stream hands out, then silence
        bool peerClosed;
        size_t length;
        int64_t result;
        size_t receives;
    };
    const Case cases[] = {
        {"length 0 never receives", {Bytes{1}}, false, 0, 0, 0},
        {"whole in pieces", {Bytes{1, 2}, Bytes{3}, Bytes{4}}, false, 4, 4, 3},
        {"first receive fails", {}, false, 4, -1, 1},
        {"later receive fails", {Bytes{1, 2}}, false, 4, 2, 2},
        {"stream ends", {Bytes{1}}, true, 4, 1, 2},
        {"stream ends at once", {}, true, 4, -1, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto state = std::make_shared<MockSocketState>();
        state->stream = true;
        state->peerClosed = c.peerClosed;
        for (const Bytes& piece : c.pieces) state->Queue(piece);
        MockSocket socket(state);
        uint8_t buffer[8] = {};
        EXPECT_EQ(socket.ReceiveExactly(buffer, c.length, 700), c.result);
        EXPECT_EQ(state->waits.size(), c.receives);
        for (int wait : state->waits) EXPECT_EQ(wait, 700);  // the full time-out on every call
    }
}

struct GatherCall {
    std::vector<Bytes> pieces;
};

// Records each gathered call and answers with the next scripted count.
GatherSendFn ScriptedGather(std::vector<GatherCall>* calls, std::vector<int64_t> results) {
    auto next = std::make_shared<size_t>(0);
    return [calls, results, next](int, const SocketBuffer* pieces, size_t count) -> int64_t {
        GatherCall call;
        for (size_t i = 0; i < count; ++i) call.pieces.emplace_back(pieces[i].data, pieces[i].data + pieces[i].length);
        calls->push_back(call);
        return results.at((*next)++);
    };
}

TEST(TcpSocketSendGathered, ResumesAtTheFirstUnsentByte) {
    TcpSocket socket(-1);
    std::vector<GatherCall> calls;
    socket.SetGatherSend(ScriptedGather(&calls, {4 + 3, 1, 2}));
    const uint8_t header[] = {'h', 'h', 'h', 'h'};
    const uint8_t body[] = {1, 2, 3, 4, 5, 6};
    ASSERT_TRUE(socket.SendGathered({{header, 4}, {body, 6}}));
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].pieces.size(), 2u);
    ASSERT_EQ(calls[1].pieces.size(), 1u);
    EXPECT_EQ(calls[1].pieces[0], (Bytes{4, 5, 6}));
    EXPECT_EQ(calls[2].pieces[0], (Bytes{5, 6}));

    socket.SetGatherSend(ScriptedGather(&calls, {-1}));
    EXPECT_FALSE(socket.SendGathered({{header, 4}}));
}

TEST(UdpSocketSendGathered, OneCallTrueOnlyWhenEverythingWentOut) {
    const uint8_t header[] = {3, 0, 0, 1};
    for (int64_t sent : {4, 3, -1}) {
        SCOPED_TRACE(sent);
        UdpSocket socket(-1);
        std::vector<GatherCall> calls;
        socket.SetGatherSend(ScriptedGather(&calls, {sent}));
        EXPECT_EQ(socket.SendGathered({{header, 4}, {nullptr, 0}}), sent == 4);
        ASSERT_EQ(calls.size(), 1u);
        ASSERT_EQ(calls[0].pieces.size(), 2u);
        EXPECT_EQ(calls[0].pieces[0].size() + calls[0].pieces[1].size(), 4u);
    }
}

TEST(NetSendGathered, RefusesMoreThanSixteenPieces) {
    const uint8_t byte = 0;
    std::vector<SocketBuffer> pieces(17, SocketBuffer{&byte, 1});
    // The handle is never used: nothing reaches the stack.
    EXPECT_EQ(net_send_gathered(12345, pieces.data(), pieces.size()), -1);
}

TEST(SocketClosed, WaitsFailAndDisconnectClosesNothing) {
    UdpSocket socket(-1);
    EXPECT_EQ(socket.Disconnect(), 0);
    EXPECT_TRUE(socket.WaitReadable(0));  // no limit: the receive itself blocks
    EXPECT_FALSE(socket.WaitReadable(100));
    EXPECT_FALSE(socket.TimedOut());
    uint8_t buffer[4];
    EXPECT_EQ(socket.ReceiveSome(buffer, sizeof(buffer), 100), -1);
    EXPECT_EQ(socket.AcceptPeer(), nullptr);
}

TEST(SocketConnectClient, AddressThatDoesNotParseFails) {
    std::string error;
    EXPECT_EQ(Socket::ConnectClient(Socket::kUdp, "device.local", 5554, &error), nullptr);
    EXPECT_EQ(error, "Failed to connect to device.local:5554");
    EXPECT_EQ(Socket::ConnectClient(Socket::kTcp, "fe80::1%", 7, &error), nullptr);
    EXPECT_EQ(error, "Failed to connect to fe80::1%:7");
}

}  // namespace
