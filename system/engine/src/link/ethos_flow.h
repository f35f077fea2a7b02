// Flow of a download thread's unacknowledged data through the host: the
// thread waits while more than a few windows of it are held between the
// stack and the port, and its status read waits until all of it has left,
// so the read's retries start once the device can have received the data.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <utility>

struct SerialLink;

// Payload bytes a download thread may have in the host at once: the window
// being filled and the one the port is writing. A thread that had to wait
// goes on once no more than a window is held, not at every piece written.
constexpr int64_t kFlowHeldMax = 2 * 524288;
constexpr int64_t kFlowResume = 524288;
// A wait ends when nothing of the held data has left the host for this long
// (a port that no longer drains, data that went nowhere); the download then
// waits no more and the protocol's own time-outs take over.
constexpr std::chrono::seconds kFlowStall{60};
// Windows go to the port in pieces of this size, each released once written.
constexpr size_t kFlowPortPiece = 16384;

struct LinkFlow {
    using Clock = std::chrono::steady_clock;
    std::mutex m;
    std::condition_variable cv;
    int64_t held = 0;       // handed to the stack, not yet written to the port
    int64_t parked = 0;     // of those, bytes in a window not flushed yet
    bool waitless = false;  // link closing or device silent: nobody waits
    bool stalled = false;   // a wait saw nothing leave for kFlowStall
    Clock::time_point lastRelease{};
    // Loop thread only: bytes to the port and bytes it finished, and the
    // payload each write carries, released once the port has finished it.
    uint64_t portIn = 0;
    uint64_t portOut = 0;
    std::deque<std::pair<uint64_t, int64_t>> credits;  // (portIn after the write, payload)
};

// Download threads (connection 0 or without a link: nothing).
// Counts `bytes` more held, first waiting for room when they would pass
// kFlowHeldMax; negative gives back bytes that never reached the stack.
void ethos_flow_hold(uint32_t connectionId, int64_t bytes);
// Waits until every held byte has left for the port (a window that the
// announced size never fills is not waited for).
void ethos_flow_drain(uint32_t connectionId);

// Loop thread.
void ethos_flow_reset(SerialLink& link);
void ethos_flow_release(const SerialLink& link, int64_t bytes);
void ethos_flow_set_parked(SerialLink& link, int64_t bytes);
void ethos_flow_set_waitless(SerialLink& link, bool waitless);
// After bytes went to the port writer: `payload` bytes of held data are out
// once the port has finished them.
void ethos_flow_port_queued(const SerialLink& link, size_t length, int64_t payload);
// The port of `connectionId` finished a write of `length` bytes (written or
// failed: either way they left the host).
void ethos_port_written(uint32_t connectionId, size_t length);
