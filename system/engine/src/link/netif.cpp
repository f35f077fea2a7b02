#include "link/netif.h"

#include <arpa/inet.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <exception>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

extern "C" {
#include <lwip/opt.h>
#include <lwip/ethip6.h>
#include <lwip/netif.h>
#include <netif/ethernet.h>
#include <lwip/pbuf.h>
#include <lwip/sys.h>
#include <lwip/tcpip.h>
}

#include "base/run_state.h"
#include "base/never_destroyed.h"
#include "link/capture.h"
#include "link/ethos_transmit.h"

namespace {

// lwIP here has no Ethernet padding in front of a frame; these are the
// limits of a frame with it taken off.
constexpr size_t kMinFrame = 60;
constexpr size_t kMaxFrame = 1517;

struct netif g_netif;
std::atomic<bool> g_netif_ready{false};
uint8_t g_hwaddr[6] = {};
bool g_stack_started = false;  // network thread; the stack runs until the process ends
// Never destroyed: a host that never exits the engine leaves it running.
std::thread& g_network_thread = never_destroyed<std::thread>();
// Ready once the network thread has started the stack (loop thread).
std::shared_future<void>& g_stack_up = never_destroyed<std::shared_future<void>>();

std::mutex g_queue_mutex;
std::deque<std::vector<uint8_t>>& g_queue = never_destroyed<std::deque<std::vector<uint8_t>>>();
bool g_queue_open = false;  // guarded by g_queue_mutex
uv_async_t g_queue_wake;

void on_frames_queued(uv_async_t*) {
    std::unique_lock<std::mutex> lock(g_queue_mutex);
    while (!g_queue.empty()) {
        std::vector<uint8_t> frame = std::move(g_queue.front());
        g_queue.pop_front();
        lock.unlock();
        capture_frame(frame.data(), frame.size());
        ethos_transmit_ethernet(frame.data(), frame.size());
        lock.lock();
    }
}

err_t pcapif2_linkoutput(struct netif*, struct pbuf* p) {
    size_t length = p->tot_len;
    if (length > kMaxFrame) return ERR_BUF;
    std::vector<uint8_t> frame(std::max(length, kMinFrame), 0);
    pbuf_copy_partial(p, frame.data(), static_cast<u16_t>(length), 0);
    pcapif2_queue_frame(frame.data(), frame.size());
    return ERR_OK;
}

// A device's address is the link-local one made from the hardware address of
// its hello, so a frame to it takes that hardware address from the IPv6 one.
// The stack's neighbour cache (10 entries as installed) is never asked: with
// more devices than entries it recycles entries whose solicitation is still
// unanswered and frees the packets queued on them without a word, and an
// unacknowledged packet is never sent again. Every other destination goes
// the stack's own way.
err_t netif_output_ip6(struct netif* netif, struct pbuf* p, const ip6_addr_t* dst) {
    uint8_t mac[6];
    if (netif_mac_of_link_local(reinterpret_cast<const uint8_t*>(dst->addr), mac))
        return ethernet_output(netif, p, reinterpret_cast<const struct eth_addr*>(netif->hwaddr),
                               reinterpret_cast<const struct eth_addr*>(mac), ETHTYPE_IPV6);
    return ethip6_output(netif, p, dst);
}

err_t pcapif2_setup_netif(struct netif* netif) {
    if (!netif->input) {
        fprintf(stderr, "pcapif needs an input callback\n");
        return ERR_IF;
    }
    netif->name[0] = 'e';
    netif->name[1] = '0';
    netif->linkoutput = pcapif2_linkoutput;
    netif->output_ip6 = netif_output_ip6;
    netif->mtu = 1500;
    netif->flags = NETIF_FLAG_BROADCAST | NETIF_FLAG_ETHARP | NETIF_FLAG_ETHERNET | NETIF_FLAG_IGMP |
                   NETIF_FLAG_MLD6;
    netif->hwaddr_len = 6;
    pcapif2_random_hwaddr(static_cast<unsigned>(time(nullptr)), netif->hwaddr);
    memcpy(g_hwaddr, netif->hwaddr, 6);
    netif->flags |= NETIF_FLAG_LINK_UP;
    return ERR_OK;
}

// On the stack's thread, which holds the core lock.
void lwip_app_init_done(void* arg) {
    printf("Starting lwIP, IPv4 disable\n");
    if (netif_add_noaddr(&g_netif, nullptr, pcapif2_setup_netif, tcpip_input)) {
        netif_set_default(&g_netif);
        netif_create_ip6_linklocal_address(&g_netif, 1);
        // The address is ours alone on every link: usable at once, without
        // the stack's duplicate detection delaying the first download.
        netif_ip6_addr_set_state(&g_netif, 0, IP6_ADDR_PREFERRED);
        netif_set_ip6_autoconfig_enabled(&g_netif, 1);
        char text[64] = {};
        inet_ntop(AF_INET6, netif_ip6_addr(&g_netif, 0)->addr, text, sizeof text);
        printf("ip6 linklocal address: %s\n", text);
        netif_set_up(&g_netif);
        g_netif_ready.store(true, std::memory_order_release);
    }
    sys_sem_signal(static_cast<sys_sem_t*>(arg));
}

// `up` is kept once the stack has started (or had started before).
void engine_network_thread(std::promise<void> up) {
    try {
        if (!g_stack_started) {
            sys_sem_t sem;
            if (sys_sem_new(&sem, 0) != ERR_OK) {
                fprintf(stderr, "failed to create init_sem\n");
                abort();
            }
            tcpip_init(lwip_app_init_done, &sem);
            sys_sem_wait(&sem);
            sys_sem_free(&sem);
            g_stack_started = true;
        }
        up.set_value();
        while (!engine_exit_requested()) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    } catch (...) {
    }
}

void receive_frame(const uint8_t* frame, size_t length) {
    if (!g_netif_ready.load(std::memory_order_acquire) || length < 14) return;
    const uint8_t* dst = frame;
    static const uint8_t kBroadcast[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    bool accept = memcmp(dst, g_hwaddr, 6) == 0 || (dst[0] == 0x01 && dst[1] == 0x00 && dst[2] == 0x5E && dst[3] < 0x80) ||
                  (dst[0] == 0x33 && dst[1] == 0x33) || memcmp(dst, kBroadcast, 6) == 0;
    if (!accept || length > 0xFFFF) return;
    // One contiguous buffer of the frame's size: this build's pool elements
    // are smaller than what its pbuf_alloc puts into one of them.
    struct pbuf* p = pbuf_alloc(PBUF_RAW, static_cast<u16_t>(length), PBUF_RAM);
    if (!p) return;
    pbuf_take(p, frame, static_cast<u16_t>(length));
    // Taken in on this thread under the stack's core lock rather than posted
    // to the stack's thread: a reply reaches its download thread with one
    // wake-up instead of two.
    LOCK_TCPIP_CORE();
    err_t err = ethernet_input(p, &g_netif);
    UNLOCK_TCPIP_CORE();
    if (err != ERR_OK) pbuf_free(p);
}

}  // namespace

void pcapif2_random_hwaddr(unsigned seed, uint8_t out[6]) {
    // Three draws of 0..32767, like the C runtime's rand().
    unsigned r1 = static_cast<unsigned>(rand_r(&seed)) & 0x7FFF;
    unsigned r2 = static_cast<unsigned>(rand_r(&seed)) & 0x7FFF;
    unsigned r3 = static_cast<unsigned>(rand_r(&seed)) & 0x7FFF;
    out[0] = static_cast<uint8_t>(r1 & 0x02);
    out[1] = static_cast<uint8_t>(r1 >> 8);
    out[2] = static_cast<uint8_t>(r2);
    out[3] = static_cast<uint8_t>(r2 >> 8);
    out[4] = static_cast<uint8_t>(r3);
    out[5] = static_cast<uint8_t>(r3 >> 8);
}

bool netif_mac_of_link_local(const uint8_t address[16], uint8_t mac[6]) {
    static const uint8_t kPrefix[8] = {0xFE, 0x80, 0, 0, 0, 0, 0, 0};
    if (memcmp(address, kPrefix, 8) != 0 || address[11] != 0xFF || address[12] != 0xFE) return false;
    mac[0] = static_cast<uint8_t>(address[8] ^ 0x02);
    mac[1] = address[9];
    mac[2] = address[10];
    mac[3] = address[13];
    mac[4] = address[14];
    mac[5] = address[15];
    return true;
}

void netif_host_mac(uint8_t out[6]) {
    // Written on the stack's thread before the flag.
    if (g_netif_ready.load(std::memory_order_acquire))
        memcpy(out, g_hwaddr, 6);
    else
        memset(out, 0, 6);
}

int pcapif2_queue_frame(const uint8_t* frame, size_t length) {
    if (!capture_delivery_on()) return 0;
    std::lock_guard<std::mutex> lock(g_queue_mutex);
    if (!g_queue_open) return 0;
    g_queue.emplace_back(frame, frame + length);
    // Signalled under the lock so the wake-up cannot be closed meanwhile.
    uv_async_send(&g_queue_wake);
    return 0;
}

void ethos_deliver_ethernet(const uint8_t* frame, size_t length) {
    if (!capture_delivery_on()) return;
    capture_frame(frame, length);
    receive_frame(frame, length);
}

void frame_queue_create(uv_loop_t* loop) {
    std::lock_guard<std::mutex> lock(g_queue_mutex);
    uv_async_init(loop, &g_queue_wake, on_frames_queued);
    g_queue_open = true;
}

void frame_queue_close() {
    std::lock_guard<std::mutex> lock(g_queue_mutex);
    if (!g_queue_open) return;
    g_queue_open = false;
    g_queue.clear();
    uv_close(reinterpret_cast<uv_handle_t*>(&g_queue_wake), nullptr);
}

void network_thread_start() {
    try {
        std::promise<void> up;
        g_stack_up = up.get_future().share();
        g_network_thread = std::thread(engine_network_thread, std::move(up));
    } catch (const std::exception& e) {
        printf("cannot start the network thread: %s\n", e.what());
    }
}

void network_stack_wait() {
    if (g_stack_up.valid()) g_stack_up.wait();
}

void network_thread_join() {
    if (g_network_thread.joinable()) g_network_thread.join();
}
