// The link record of one port in download mode and the list of links.
// Everything here belongs to the engine loop thread unless noted.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <thread>
#include <vector>

#include <uv.h>

#include "link/ethos_flow.h"
#include "link/ethos_frame.h"

enum LinkStage : uint8_t {
    STAGE_WAKE = 0,       // wake bytes every second until "UUUU"
    STAGE_HELLO = 1,      // hello frames until a hello reply
    STAGE_RUNNING = 2,    // the download thread runs
    STAGE_FAILED = 3,
    STAGE_SUCCEEDED = 4,
};

enum ProbeState : uint8_t {
    PROBE_NONE = 0,
    PROBE_SENT = 1,     // "getvar:version" went to the device
    PROBE_FRAMED = 2,   // "0.4": unacknowledged packets go as text frames
    PROBE_WINDOWS = 3,  // "0.5": unacknowledged data goes in raw windows
};

constexpr size_t kBulkWindow = 524288;
constexpr int32_t kDefaultNoResponseMs = 3000;

struct SerialLink {
    std::thread downloadThread;
    uv_timer_t timer{};    // data: the link while open
    LinkStage stage = STAGE_WAKE;
    uint32_t connectionId = 0;
    int32_t jobResult = 0;  // written by the download thread before it posts its end
    bool closing = false;
    bool hostStop = false;  // closing because the host stops the engine
    bool usb = false;
    int64_t lastActivityMs = 0;  // monotonic
    // Set by the download thread, read by the timer and the transmit path.
    std::atomic<int32_t> noResponseMs{kDefaultNoResponseMs};
    std::vector<uint8_t> window;  // the bulk window, allocated with the link
    uint32_t windowFill = 0;
    uint32_t remaining = 0;
    // The sequence number of the "DATA" reply that set `remaining`, until its
    // data phase is over: the same reply again answers a repeated request and
    // is not a new data phase.
    uint16_t dataReplySeq = 0;
    bool dataReplyTaken = false;
    ProbeState probe = PROBE_NONE;
    uint16_t expectedSeq = 0;
    uint16_t hostPort = 0;
    EthosDecoder decoder;
    uint8_t hostMac[6] = {};
    uint8_t deviceMac[6] = {};
    // Shared with the download thread; its port counts change with every
    // write, also through a const link.
    mutable LinkFlow flow;
};

// Loop thread: a link enters the list once made and leaves it once closed.
void ethos_link_list_add(SerialLink* link);
void ethos_link_list_remove(SerialLink* link);
// The links in order of creation.
const std::vector<SerialLink*>& ethos_links();
SerialLink* ethos_link_find(uint32_t connectionId);
// Download threads: the flow record of the link of `connectionId`, or none.
// A link outlives its download thread.
LinkFlow* ethos_link_flow(uint32_t connectionId);

// Milliseconds on the monotonic clock.
int64_t ethos_now_ms();
// How long the device has been silent, as a signed 32-bit number.
int32_t ethos_silence_ms(const SerialLink& link);
// The device has been silent for longer than a non-zero time-out.
bool ethos_device_silent(const SerialLink& link);

// Bytes to the link's port: frames, wake bytes and raw windows; `payload`
// bytes of the download thread's held data leave the host with them.
void ethos_port_write(const SerialLink& link, const uint8_t* data, size_t length, int64_t payload = 0);
void ethos_send_frame(const SerialLink& link, const uint8_t* payload, size_t length, uint8_t type);

// Seams for tests: where port bytes go (the device table's by default) and what a
// download thread runs in place of the engine's script runner.
using LinkPortWriter = void (*)(uint32_t connectionId, const uint8_t* data, size_t length);
using LinkScriptRunner = int (*)(const char* target, uint32_t connectionId, uint16_t localPort);
void ethos_set_port_writer(LinkPortWriter writer);
void ethos_set_script_runner(LinkScriptRunner runner);
// The flashing client a download thread runs, handed down by the engine at
// init (the link stands below it).
void ethos_set_engine_script_runner(LinkScriptRunner runner);

// Tests only: a record in the list without loop handles, and its removal.
SerialLink* ethos_link_add_detached(uint32_t connectionId, bool usb, int32_t order);
void ethos_link_remove_detached(uint32_t connectionId);
