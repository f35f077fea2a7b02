#include "link/ethos_flow.h"

#include <algorithm>

#include "base/run_state.h"
#include "link/serial_link.h"

namespace {

// A wait looks at the engine's exit this often: after an exit nothing
// releases held bytes any more.
constexpr auto kPoll = std::chrono::milliseconds(200);

// Waits under the flow's lock until `ready`, the link needs no waiting, the
// engine exits, or nothing has left the host for kFlowStall; after a stall
// the download waits no more.
template <typename Ready>
void wait_until(LinkFlow& flow, std::unique_lock<std::mutex>& lock, Ready ready) {
    auto since = LinkFlow::Clock::now();
    while (!flow.waitless && !flow.stalled && !ready() && !engine_exit_requested()) {
        auto now = LinkFlow::Clock::now();
        if (now - std::max(since, flow.lastRelease) > kFlowStall) {
            flow.stalled = true;
            return;
        }
        flow.cv.wait_for(lock, kPoll);
    }
}

}  // namespace

void ethos_flow_hold(uint32_t connectionId, int64_t bytes) {
    LinkFlow* flow = connectionId && bytes ? ethos_link_flow(connectionId) : nullptr;
    if (!flow) return;
    std::unique_lock<std::mutex> lock(flow->m);
    if (bytes > 0 && flow->held > 0 && flow->held + bytes > kFlowHeldMax)
        wait_until(*flow, lock, [&] { return flow->held <= kFlowResume; });
    flow->held += bytes;
}

void ethos_flow_drain(uint32_t connectionId) {
    LinkFlow* flow = connectionId ? ethos_link_flow(connectionId) : nullptr;
    if (!flow) return;
    std::unique_lock<std::mutex> lock(flow->m);
    wait_until(*flow, lock, [&] { return flow->held - flow->parked <= 0; });
}

void ethos_flow_reset(SerialLink& link) {
    LinkFlow& flow = link.flow;
    std::lock_guard<std::mutex> lock(flow.m);
    flow.held = 0;
    flow.parked = 0;
    flow.waitless = false;
    flow.stalled = false;
    flow.credits.clear();
}

void ethos_flow_release(const SerialLink& link, int64_t bytes) {
    if (bytes == 0) return;
    LinkFlow& flow = link.flow;
    std::lock_guard<std::mutex> lock(flow.m);
    int64_t before = flow.held;
    flow.held -= bytes;
    flow.lastRelease = LinkFlow::Clock::now();
    // Woken only when what it waits for has come: a resume or the end of a drain.
    if ((before > kFlowResume && flow.held <= kFlowResume) || flow.held - flow.parked <= 0) flow.cv.notify_all();
}

void ethos_flow_set_parked(SerialLink& link, int64_t bytes) {
    std::lock_guard<std::mutex> lock(link.flow.m);
    link.flow.parked = bytes;
}

void ethos_flow_set_waitless(SerialLink& link, bool waitless) {
    LinkFlow& flow = link.flow;
    std::lock_guard<std::mutex> lock(flow.m);
    if (flow.waitless == waitless) return;
    flow.waitless = waitless;
    flow.cv.notify_all();
}

void ethos_flow_port_queued(const SerialLink& link, size_t length, int64_t payload) {
    LinkFlow& flow = link.flow;
    flow.portIn += length;
    if (payload != 0) flow.credits.emplace_back(flow.portIn, payload);
}

void ethos_port_written(uint32_t connectionId, size_t length) {
    SerialLink* link = ethos_link_find(connectionId);
    if (!link) return;
    LinkFlow& flow = link->flow;
    flow.portOut += length;
    int64_t out = 0;
    while (!flow.credits.empty() && flow.credits.front().first <= flow.portOut) {
        out += flow.credits.front().second;
        flow.credits.pop_front();
    }
    ethos_flow_release(*link, out);
}
