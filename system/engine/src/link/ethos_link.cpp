#include "link/ethos_link.h"

#include <arpa/inet.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <mutex>
#include <string>

#include "base/run_state.h"
#include "base/log_capture.h"
#include "base/loop.h"
#include "base/never_destroyed.h"
#include "link/ethos_flow.h"
#include "link/ethos_transmit.h"
#include "link/netif.h"
#include "link/serial_link.h"

namespace {
// The engine's closing step, run when the last link has closed.
void (*g_all_closed)() = nullptr;

LinkDeviceHooks g_device;
LinkPortWriter g_port_writer = nullptr;  // a test's, in front of the device table's

void write_port(uint32_t id, const uint8_t* data, size_t length) {
    LinkPortWriter w = g_port_writer ? g_port_writer : g_device.writePort;
    if (w) w(id, data, length);
}
void set_status(uint32_t id, const std::string& status) {
    if (g_device.setStatus) g_device.setStatus(id, status);
}
// The flashing client, handed down by the engine at init; a test's runner
// stands in front of it.
LinkScriptRunner g_engine_runner = nullptr;
LinkScriptRunner g_script_runner = nullptr;

const uint8_t kWakeBytes[5] = {0x55, 0x55, 0x55, 0x55, 0x7E};

void send_wake(const SerialLink& link) { ethos_port_write(link, kWakeBytes, sizeof kWakeBytes); }

SerialLink* new_link(uint32_t id, bool usb, int32_t order) {
    auto* link = new SerialLink();
    link->usb = usb;
    link->connectionId = id;
    link->stage = STAGE_WAKE;
    link->hostPort = static_cast<uint16_t>((static_cast<uint32_t>(order) + 60000u) & 0xFFFFu);
    link->window.resize(kBulkWindow);
    netif_host_mac(link->hostMac);
    return link;
}

// The record goes once its timer has closed.
void on_handle_closed(uv_handle_t* handle) {
    delete static_cast<SerialLink*>(handle->data);
}

void close_handles(SerialLink* link) { uv_close(reinterpret_cast<uv_handle_t*>(&link->timer), on_handle_closed); }

void on_job_done(SerialLink* link);

void remove_closed_link(SerialLink* link) {
    uint32_t id = link->connectionId;
    ethos_link_list_remove(link);
    if (g_device.linkClosed) g_device.linkClosed(id);
    if (link->closing) {
        // The port went away once the list had run: the device rebooted while
        // the script waited for "complete", whose outcome counts for nothing.
        bool ok = link->jobResult == 0 && !link->hostStop;
        set_status(id, ok ? "SUCCEEDED" : "FAILED");
    }
    close_handles(link);
    if (ethos_link_count() == 0 && g_all_closed) g_all_closed();
}

std::string link_local_text(const uint8_t mac[6]) {
    uint8_t addr[16] = {0xFE, 0x80};
    addr[8] = static_cast<uint8_t>(mac[0] ^ 0x02);
    addr[9] = mac[1];
    addr[10] = mac[2];
    addr[11] = 0xFF;
    addr[12] = 0xFE;
    addr[13] = mac[3];
    addr[14] = mac[4];
    addr[15] = mac[5];
    char text[64] = {};
    if (!inet_ntop(AF_INET6, addr, text, sizeof text)) return std::string();
    return text;
}

// The target is made on the loop thread: a hello arriving meanwhile may
// rewrite the device address. So is the device's tag: its lines keep the
// device's path once the port has closed.
void download_thread(SerialLink* link, std::string target, LogDeviceTag tag) {
    log_capture_tag_thread(std::move(tag));
    int result = 1;
    try {
        LinkScriptRunner run = g_script_runner ? g_script_runner : g_engine_runner;
        if (run) result = run(target.c_str(), link->connectionId, link->hostPort);
    } catch (const std::exception& e) {
        fprintf(stderr, "download thread: %s\n", e.what());
        result = -1;
    } catch (...) {
        result = -1;
    }
    link->jobResult = result;
    // Through the loop's queue, which refuses once the engine has exited: a
    // wake-up handle of its own would be signalled after it was closed.
    engine_post([link] { on_job_done(link); });
}

void start_download(SerialLink* link) {
    link->stage = STAGE_RUNNING;
    link->closing = false;
    link->hostStop = false;
    link->dataReplyTaken = false;  // a new session numbers its packets afresh
    ethos_flow_reset(*link);
    try {
        std::string target = (link->usb ? "usb:udp:" : "uart:udp:") + link_local_text(link->deviceMac);
        link->downloadThread =
            std::thread(download_thread, link, std::move(target), log_capture_device_tag(link->connectionId));
    } catch (const std::exception& e) {
        // No thread: the job ends at once as a failure.
        printf("cannot start the download thread: %s\n", e.what());
        link->jobResult = -1;
        engine_post([link] { on_job_done(link); });
    }
    set_status(link->connectionId, "RUNNING");
}

void on_job_done(SerialLink* link) {
    if (link->stage != STAGE_RUNNING) {
        fprintf(stderr, "ethos: assertion failed: serial->stage == STAGE_RUNNING\n");
        return;
    }
    if (link->downloadThread.joinable()) link->downloadThread.join();
    if (link->closing) {
        remove_closed_link(link);
        return;
    }
    bool ok = link->jobResult == 0;
    link->stage = ok ? STAGE_SUCCEEDED : STAGE_FAILED;
    set_status(link->connectionId, ok ? "SUCCEEDED" : "FAILED");
}

void on_link_timer(uv_timer_t* handle) {
    auto* link = static_cast<SerialLink*>(handle->data);
    if (!link) return;
    int32_t timeout = link->noResponseMs.load();
    switch (link->stage) {
    case STAGE_WAKE:
        send_wake(*link);
        break;
    case STAGE_HELLO:
        if (timeout == 0 || ethos_silence_ms(*link) <= timeout) {
            ethos_send_frame(*link, link->hostMac, 6, ETHOS_HELLO);
        } else {
            link->stage = STAGE_WAKE;
            send_wake(*link);
        }
        break;
    case STAGE_RUNNING:
        // A silent device's thread does not wait for its port.
        ethos_flow_set_waitless(*link, link->closing || ethos_device_silent(*link));
        break;
    case STAGE_FAILED:
    case STAGE_SUCCEEDED:
        // A device that went quiet after its download (a reboot) is woken
        // and, once its boot ROM answers, downloaded again.
        if (ethos_device_silent(*link)) {
            link->stage = STAGE_WAKE;
            set_status(link->connectionId, "CONNECTING");
            send_wake(*link);
        }
        break;
    }
}

void dispatch(SerialLink& link, uint8_t type, const uint8_t* p, size_t n) {
    switch (type) {
    case ETHOS_DATA:
        if (n == 4 && memcmp(p, "UUUU", 4) == 0) {
            if (link.stage == STAGE_WAKE) link.stage = STAGE_HELLO;
            return;
        }
        ethos_snoop_reply(link, p, n);
        ethos_deliver_ethernet(p, n);
        return;
    case ETHOS_TEXT: {
        size_t len = 0;
        while (len < n && p[len] != 0) ++len;
        message_queue_push(link.connectionId, "#=> " + std::string(reinterpret_cast<const char*>(p), len));
        return;
    }
    case ETHOS_HELLO:
        if (n != 6) return;
        memcpy(link.deviceMac, p, 6);
        ethos_send_frame(link, link.hostMac, 6, ETHOS_HELLO_REPLY);
        return;
    case ETHOS_HELLO_REPLY:
        if (n != 6) return;
        memcpy(link.deviceMac, p, 6);
        if (link.stage == STAGE_HELLO) start_download(&link);
        return;
    case ETHOS_PROGRESS:
        if (n >= 1 && g_device.postProgress) g_device.postProgress(link.connectionId, p[0]);
        return;
    default:
        return;
    }
}

}  // namespace

int64_t ethos_now_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

int32_t ethos_silence_ms(const SerialLink& link) {
    return static_cast<int32_t>(ethos_now_ms() - link.lastActivityMs);
}

bool ethos_device_silent(const SerialLink& link) {
    int32_t timeout = link.noResponseMs.load();
    return timeout != 0 && ethos_silence_ms(link) > timeout;
}

void ethos_port_write(const SerialLink& link, const uint8_t* data, size_t length, int64_t payload) {
    write_port(link.connectionId, data, length);
    ethos_flow_port_queued(link, length, payload);
}

void ethos_send_frame(const SerialLink& link, const uint8_t* payload, size_t length, uint8_t type) {
    std::vector<uint8_t> frame = ethos_frame_bytes(payload, length, type);
    ethos_port_write(link, frame.data(), frame.size());
}

void ethos_set_port_writer(LinkPortWriter writer) { g_port_writer = writer; }
void ethos_link_set_device_hooks(const LinkDeviceHooks& hooks) { g_device = hooks; }
void ethos_set_script_runner(LinkScriptRunner runner) { g_script_runner = runner; }
void ethos_set_engine_script_runner(LinkScriptRunner runner) { g_engine_runner = runner; }

void ethos_link_set_all_closed_handler(void (*handler)()) { g_all_closed = handler; }

void ethos_link_create(uint32_t connectionId, bool usb, int32_t order) {
    if (ethos_link_find(connectionId)) {
        // One link per port; a second is a programming error.
        fprintf(stderr, "ethos: assertion failed: serial->connectionId != connectionId\n");
        return;
    }
    SerialLink* link = new_link(connectionId, usb, order);
    uv_timer_init(engine_loop(), &link->timer);
    link->timer.data = link;
    uv_timer_start(&link->timer, on_link_timer, 100, 1000);
    ethos_link_list_add(link);
}

void ethos_link_close(uint32_t connectionId, LinkClose why) {
    SerialLink* link = ethos_link_find(connectionId);
    if (!link) return;
    uv_timer_stop(&link->timer);
    if (link->stage == STAGE_RUNNING) {
        // The end of the download thread completes the close. A stop that
        // follows a removal still fails the download.
        link->closing = true;
        if (why == LinkClose::HostStop) link->hostStop = true;
        ethos_flow_set_waitless(*link, true);
        return;
    }
    remove_closed_link(link);
}

void ethos_receive(uint32_t connectionId, const uint8_t* data, size_t length) {
    SerialLink* link = ethos_link_find(connectionId);
    if (!link) return;
    ethos_decode(link->decoder, data, length, [link](uint8_t type, const uint8_t* p, size_t n) {
        dispatch(*link, type, p, n);
        link->lastActivityMs = ethos_now_ms();
    });
}

SerialLink* ethos_link_add_detached(uint32_t connectionId, bool usb, int32_t order) {
    SerialLink* link = new_link(connectionId, usb, order);
    ethos_link_list_add(link);
    return link;
}

void ethos_link_remove_detached(uint32_t connectionId) {
    SerialLink* link = ethos_link_find(connectionId);
    if (!link) return;
    ethos_link_list_remove(link);
    delete link;
}
