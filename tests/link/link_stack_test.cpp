// The network stack's frames to more devices than its neighbour cache holds:
// every device's download thread sends a burst of unacknowledged packets at
// the same moment, and every packet reaches that device's port in order.
// The devices are link records with a recording port; like real ones they
// answer a neighbour solicitation after the line's delay.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

extern "C" {
#include <lwip/opt.h>
#include <lwip/sockets.h>
}

#include "base/loop.h"
#include "kelvo.h"
#include "link/capture.h"
#include "link/ethos_frame.h"
#include "link/netif.h"
#include "link/serial_link.h"
#include "net.h"
#include "on_loop.h"

namespace {

constexpr int kDevices = 24;  // the installed stack caches 10 neighbours
constexpr int kPackets = 40;
constexpr size_t kPayload = 1000;
constexpr auto kLineDelay = std::chrono::milliseconds(20);

devsim::Mac device_mac(int i) { return {0x02, 0x6B, 0x64, 0x10, 0x00, static_cast<uint8_t>(i)}; }
uint32_t connection_of(int i) { return 500 + static_cast<uint32_t>(i); }

// Answers that reach the stack after the line's delay.
class Air {
public:
    Air() : thread_([this] { run(); }) {}
    ~Air() {
        {
            std::lock_guard<std::mutex> lock(m_);
            stop_ = true;
        }
        cv_.notify_all();
        thread_.join();
    }
    void send_later(std::vector<uint8_t> frame) {
        {
            std::lock_guard<std::mutex> lock(m_);
            due_.emplace_back(std::chrono::steady_clock::now() + kLineDelay, std::move(frame));
        }
        cv_.notify_all();
    }

private:
    using Due = std::pair<std::chrono::steady_clock::time_point, std::vector<uint8_t>>;
    std::mutex m_;
    std::condition_variable cv_;
    std::deque<Due> due_;
    bool stop_ = false;
    std::thread thread_;

    void run() {
        std::unique_lock<std::mutex> lock(m_);
        while (!stop_) {
            if (due_.empty()) {
                cv_.wait(lock);
                continue;
            }
            if (cv_.wait_until(lock, due_.front().first, [this] { return stop_; })) break;
            if (std::chrono::steady_clock::now() < due_.front().first) continue;
            auto frame = std::make_shared<std::vector<uint8_t>>(std::move(due_.front().second));
            due_.pop_front();
            engine_post([frame] { ethos_deliver_ethernet(frame->data(), frame->size()); });
        }
    }
};

// Loop thread only: what each device's port received.
struct Port {
    EthosDecoder decoder;
    std::vector<uint16_t> sequences;  // of the unacknowledged packets, in order
    bool bad = false;
};
std::map<uint32_t, Port>& ports() {
    static std::map<uint32_t, Port> p;
    return p;
}
Air* g_air = nullptr;

void device_port(uint32_t connection, const uint8_t* data, size_t length) {
    int index = static_cast<int>(connection - connection_of(0));
    Port& port = ports()[connection];
    ethos_decode(port.decoder, data, length, [&](uint8_t type, const uint8_t* p, size_t n) {
        if (type == ETHOS_TEXT) {
            if (n != 4 + kPayload || p[0] != 3 || p[1] != 0x80 || p[4] != uint8_t(index)) port.bad = true;
            port.sequences.push_back(static_cast<uint16_t>(p[2] << 8 | p[3]));
        } else if (type == ETHOS_DATA) {
            devsim::Mac mac = device_mac(index);
            auto advert = devsim::answer_neighbour_solicitation(p, n, mac, devsim::link_local_of(mac));
            if (!advert.empty()) g_air->send_later(std::move(advert));
        }
    });
}

// A download thread's burst, without acknowledgement.
bool send_burst(int index, std::promise<void>* ready, std::shared_future<void> go) {
    int s = lwip_socket(AF_INET6, SOCK_DGRAM, 0);
    sockaddr_in6 local{};
    local.sin6_family = AF_INET6;
    local.sin6_port = htons(static_cast<uint16_t>(60001 + index));
    bool ok = s >= 0 && lwip_bind(s, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0;
    sockaddr_in6 dst{};
    dst.sin6_family = AF_INET6;
    dst.sin6_port = htons(5554);
    dst.sin6_scope_id = 1;
    devsim::Ip6 address = devsim::link_local_of(device_mac(index));
    memcpy(&dst.sin6_addr, address.data(), 16);
    ready->set_value();
    go.wait();
    std::vector<uint8_t> packet(4 + kPayload, static_cast<uint8_t>(index));
    for (int k = 0; ok && k < kPackets; ++k) {
        packet[0] = 3;
        packet[1] = 0x80;
        packet[2] = static_cast<uint8_t>(k >> 8);
        packet[3] = static_cast<uint8_t>(k);
        ok = lwip_sendto(s, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&dst), sizeof dst) ==
             static_cast<ssize_t>(packet.size());
    }
    if (s >= 0) lwip_close(s);
    return ok;
}

TEST(LinkStack, EveryUnacknowledgedPacketReachesItsPortWithMoreDevicesThanTheNeighbourCache) {
    ASSERT_EQ(kelvo_engine_init(), 0);
    uint8_t host[6] = {};
    for (int i = 0; i < 500 && !std::any_of(host, host + 6, [](uint8_t b) { return b != 0; }); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        netif_host_mac(host);
    }
    Air air;
    g_air = &air;
    on_loop<int>([] {
        ethos_set_port_writer(device_port);
        capture_start(false);
        for (int i = 0; i < kDevices; ++i) {
            SerialLink* link = ethos_link_add_detached(connection_of(i), true, i + 1);
            link->stage = STAGE_RUNNING;
            link->noResponseMs.store(0);
            devsim::Mac mac = device_mac(i);
            memcpy(link->deviceMac, mac.data(), 6);
        }
        return 0;
    });

    std::promise<void> go;
    std::shared_future<void> started = go.get_future().share();
    std::vector<std::promise<void>> ready(kDevices);
    std::vector<std::future<bool>> sent;
    for (int i = 0; i < kDevices; ++i)
        sent.push_back(std::async(std::launch::async, send_burst, i, &ready[i], started));
    for (auto& r : ready) r.get_future().wait();
    go.set_value();
    for (int i = 0; i < kDevices; ++i) EXPECT_TRUE(sent[i].get()) << "device " << i << ": a send failed";

    auto all_arrived = [] {
        return on_loop<bool>([] {
            for (int i = 0; i < kDevices; ++i)
                if (ports()[connection_of(i)].sequences.size() < size_t(kPackets)) return false;
            return true;
        });
    };
    for (int i = 0; i < 300 && !all_arrived(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));

    std::vector<uint16_t> inOrder(kPackets);
    for (int k = 0; k < kPackets; ++k) inOrder[k] = static_cast<uint16_t>(k);
    on_loop<int>([&] {
        for (int i = 0; i < kDevices; ++i) {
            const Port& port = ports()[connection_of(i)];
            EXPECT_FALSE(port.bad) << "device " << i << ": a packet for another device or cut short";
            EXPECT_EQ(port.sequences, inOrder) << "device " << i << " got " << port.sequences.size();
        }
        capture_stop();
        for (int i = 0; i < kDevices; ++i) ethos_link_remove_detached(connection_of(i));
        ethos_set_port_writer(nullptr);
        return 0;
    });
    g_air = nullptr;
}

TEST(LinkStack, HardwareAddressInsideALinkLocalAddress) {
    struct Case {
        const char* address;
        bool found;
        uint8_t mac[6];
    };
    const Case cases[] = {
        {"fe80::6b:64ff:fe10:7", true, {0x02, 0x6B, 0x64, 0x10, 0x00, 0x07}},
        {"fe80::212:34ff:fe56:789a", true, {0x00, 0x12, 0x34, 0x56, 0x78, 0x9A}},
        {"fe80::1", false, {}},                    // no ff:fe in the middle
        {"fe80:0:0:1:6b:64ff:fe10:7", false, {}},  // not the /64 prefix alone
        {"2001:db8::6b:64ff:fe10:7", false, {}},
        {"ff02::1:ff10:7", false, {}},
    };
    for (const Case& c : cases) {
        uint8_t address[16];
        ASSERT_EQ(inet_pton(AF_INET6, c.address, address), 1) << c.address;
        uint8_t mac[6] = {};
        EXPECT_EQ(netif_mac_of_link_local(address, mac), c.found) << c.address;
        if (c.found) { EXPECT_EQ(memcmp(mac, c.mac, 6), 0) << c.address; }
    }
}

}  // namespace
