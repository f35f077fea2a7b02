// Sockets and transports over the real network stack: a test interface that
// loops packets to its own link-local address stands in for a device link.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <future>
#include <thread>

#include "flash/socket_lwip.h"
#include "flash/tcp_transport.h"
#include "flash/thread_state.h"
#include "flash/udp_transport.h"

extern "C" {
#include <lwip/netif.h>
#include <lwip/tcpip.h>
}

namespace {

constexpr const char* kSelf = "fe80::1";

netif g_netif;

err_t DropOutput(netif*, pbuf*, const ip6_addr_t*) { return ERR_OK; }
err_t DropLinkOutput(netif*, pbuf*) { return ERR_OK; }

err_t InitTestNetif(netif* n) {
    n->name[0] = 't';
    n->name[1] = 't';
    n->mtu = 1500;
    n->output_ip6 = DropOutput;
    n->linkoutput = DropLinkOutput;
    n->flags = NETIF_FLAG_LINK_UP;
    return ERR_OK;
}

// Runs on the stack's core thread, which holds the core lock.
void BringUp(void* done) {
    netif_add_noaddr(&g_netif, nullptr, InitTestNetif, tcpip_input);
    ip6_addr_t self;
    ip6addr_aton(kSelf, &self);
    netif_ip6_addr_set(&g_netif, 0, &self);
    // Preferred at once: no duplicate-address detection to wait for.
    netif_ip6_addr_set_state(&g_netif, 0, IP6_ADDR_PREFERRED);
    netif_set_default(&g_netif);
    netif_set_up(&g_netif);
    netif_set_link_up(&g_netif);
    static_cast<std::promise<void>*>(done)->set_value();
}

// A stack socket bound to :: and `port`.
int BoundSocket(int type, uint16_t port) {
    const int handle = lwip_socket(AF_INET6, type, 0);
    sockaddr_in6 any{};
    any.sin6_family = AF_INET6;
    any.sin6_addr = in6addr_any;
    any.sin6_port = htons(port);
    if (lwip_bind(handle, reinterpret_cast<sockaddr*>(&any), sizeof(any)) != 0) ADD_FAILURE() << "bind " << port;
    return handle;
}

class StackTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        static std::once_flag once;
        std::call_once(once, [] {
            std::promise<void> done;
            tcpip_init(BringUp, &done);
            done.get_future().wait();
        });
    }

    void SetUp() override { download_thread_state().localPort = 60001; }

};

// Answers the fastboot UDP negotiation and acknowledges data until stopped.
class UdpDevice {
public:
    explicit UdpDevice(uint16_t packetSize)
        : socket_(std::make_unique<UdpSocket>(BoundSocket(SOCK_DGRAM, 5554), true)), packetSize_(packetSize), thread_([this] { Run(); }) {}
    ~UdpDevice() {
        stop_ = true;
        thread_.join();
    }
    size_t DataPackets() const { return dataPackets_; }
    size_t DataBytes() const { return dataBytes_; }

private:
    void Run() {
        uint8_t packet[8192];
        while (!stop_) {
            const int64_t got = socket_->ReceiveSome(packet, sizeof(packet), 50);
            if (got < 4) continue;
            uint8_t reply[8] = {packet[0], 0, packet[2], packet[3]};
            size_t size = 4;
            if (packet[0] == udp::kIdDeviceQuery) {
                reply[4] = 0x00;
                reply[5] = 0x10;
                size = 6;
            } else if (packet[0] == udp::kIdInitialization) {
                const uint8_t init[] = {0, 1, static_cast<uint8_t>(packetSize_ >> 8),
                                        static_cast<uint8_t>(packetSize_)};
                std::memcpy(reply + 4, init, 4);
                size = 8;
            } else {
                ++dataPackets_;
                dataBytes_ += static_cast<size_t>(got) - 4;
            }
            socket_->SendBytes(reply, size);
        }
    }

    std::unique_ptr<UdpSocket> socket_;
    uint16_t packetSize_;
    std::atomic<bool> stop_{false};
    std::atomic<size_t> dataPackets_{0}, dataBytes_{0};
    std::thread thread_;
};

TEST_F(StackTest, UdpTransportNegotiatesAndWritesOverTheStack) {
    for (const std::string& host : {std::string(kSelf), std::string(kSelf) + "%1", std::string(kSelf) + "%tt0"}) {
        SCOPED_TRACE(host);
        UdpDevice device(1024);
        std::string error;
        auto transport = udp::OpenTransport(host, 5554, &error);
        ASSERT_NE(transport, nullptr) << error;
        std::vector<uint8_t> data(3000, 0x42);
        ASSERT_EQ(transport->WriteAll(data.data(), static_cast<uint32_t>(data.size())), 3000);
        EXPECT_EQ(device.DataPackets(), 3u);  // 1020 payload bytes each
        EXPECT_EQ(device.DataBytes(), 3000u);
    }
}

TEST_F(StackTest, ConnectClientFailures) {
    std::string error;
    auto first = Socket::ConnectClient(Socket::kUdp, kSelf, 5554, &error);
    ASSERT_NE(first, nullptr);
    // The thread's local port is taken by the first socket.
    EXPECT_EQ(Socket::ConnectClient(Socket::kUdp, kSelf, 5554, &error), nullptr);
    EXPECT_EQ(error, "Failed to connect to fe80::1:5554");
    EXPECT_EQ(Socket::LastErrorText(), "Address already in use");
    EXPECT_EQ(Socket::ConnectClient(Socket::kUdp, "fe80::1%9", 5554, &error), nullptr);
    EXPECT_EQ(error, "Failed to connect to fe80::1%9:5554");
    EXPECT_EQ(Socket::ConnectClient(Socket::kUdp, "fe80::1%xx0", 5554, &error), nullptr);
    EXPECT_EQ(first->Disconnect(), 0);
    EXPECT_EQ(first->Disconnect(), 0);
    auto again = Socket::ConnectClient(Socket::kUdp, kSelf, 5554, &error);
    EXPECT_NE(again, nullptr) << "the port is free again after a disconnect";
}

TEST_F(StackTest, UdpSocketsExchangeDatagramsAndTimeOut) {
    auto device = std::make_unique<UdpSocket>(BoundSocket(SOCK_DGRAM, 5554), true);
    std::string error;
    auto client = Socket::ConnectClient(Socket::kUdp, kSelf, 5554, &error);
    ASSERT_NE(client, nullptr) << error;

    uint8_t buffer[16];
    EXPECT_EQ(client->ReceiveSome(buffer, sizeof(buffer), 50), -1);
    EXPECT_TRUE(client->TimedOut());

    const uint8_t header[] = {3, 0, 0, 7};
    const uint8_t payload[] = {'a', 'b', 'c'};
    ASSERT_TRUE(client->SendGathered({{header, 4}, {payload, 3}}));
    ASSERT_EQ(device->ReceiveSome(buffer, sizeof(buffer), 2000), 7);  // one datagram
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer + 4), 3), "abc");

    // The device answers the sender it recorded; a short buffer cuts the datagram.
    ASSERT_TRUE(device->SendBytes("OKAYdata", 8));
    EXPECT_EQ(client->ReceiveSome(buffer, 4, 2000), 4);
    EXPECT_FALSE(client->TimedOut());
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 4), "OKAY");

    // A time-out of 0 waits without limit: the receive itself blocks.
    ASSERT_TRUE(device->SendBytes("DATA", 4));
    EXPECT_EQ(client->ReceiveSome(buffer, sizeof(buffer), 0), 4);
}

TEST_F(StackTest, TcpTransportOverAcceptedStream) {
    auto listener = std::make_unique<TcpSocket>(BoundSocket(SOCK_STREAM, 5555));
    ASSERT_EQ(lwip_listen(listener->handle(), 1), 0);
    std::thread device([&listener] {
        auto peer = listener->AcceptPeer();
        if (!peer) return;
        char hello[4];
        if (peer->ReceiveExactly(hello, 4, 2000) != 4 || std::string(hello, 4) != "FB01") return;
        peer->SendBytes("FB01", 4);
        uint8_t request[12];
        if (peer->ReceiveExactly(request, sizeof(request), 2000) != 12) return;
        const uint8_t reply[] = {0, 0, 0, 0, 0, 0, 0, 6, 'O', 'K', 'A', 'Y', request[10], request[11]};
        peer->SendGathered({{reply, 8}, {reply + 8, 6}});
        peer->ReceiveSome(request, 1, 2000);  // until the client closes
    });
    std::string error;
    auto transport = tcp::OpenTransport(kSelf, 5555, &error);
    ASSERT_NE(transport, nullptr) << error;
    const uint8_t data[] = {'p', 'i', 'n', 'g'};
    ASSERT_EQ(transport->WriteAll(data, 4), 4);
    uint8_t buffer[4];
    std::string got;
    while (got.size() < 6) {
        const int64_t n = transport->ReadSome(buffer, sizeof(buffer));
        ASSERT_GT(n, 0);
        got.append(reinterpret_cast<char*>(buffer), static_cast<size_t>(n));
    }
    EXPECT_EQ(got, "OKAYng");
    EXPECT_EQ(transport->Disconnect(), 0);
    device.join();
}

}  // namespace
