#include "device/device_monitor.h"

#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>

#include "base/loop.h"
#include "base/never_destroyed.h"
#include "device/device_table.h"
#include "platform/hotplug.h"

namespace {

std::mutex g_mutex;  // lives for the process: the monitor thread may post late
std::deque<PortNotification>& g_queue = never_destroyed<std::deque<PortNotification>>();
std::unique_ptr<HotplugWatcher>& g_watcher = never_destroyed<std::unique_ptr<HotplugWatcher>>();
bool g_started = false;

// Monitor thread: describe an arrival (the filter applies here) and queue it.
void on_hotplug(const HotplugEvent& ev) {
    PortNotification n;
    if (ev.arrival) {
        bool ok = ev.described ? serial_port_passes(ev.port, n.port) : serial_lookup_port(ev.path, n.port);
        if (!ok) return;
        n.kind = 0;
    } else {
        n.kind = 1;
        n.port.path = ev.path;
    }
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_queue.push_back(n);
    }
    engine_post(device_monitor_drain);
}

void device_monitor_start() {
    if (g_started) return;
    g_started = true;
    g_watcher = std::make_unique<HotplugWatcher>();
    std::string error;
    if (!g_watcher->start(on_hotplug, error)) {
        // The start enumeration still stands; only hot-plug is lost.
        printf("%s\n", error.c_str());
        g_watcher.reset();
    }
    bool pending;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        pending = !g_queue.empty();
    }
    if (pending) engine_post(device_monitor_drain);
}

void device_monitor_stop() {
    if (!g_started) return;
    if (g_watcher) g_watcher->stop();
    g_watcher.reset();
    g_started = false;
}

}  // namespace

void device_monitor_enable(bool enable) {
    if (enable)
        device_monitor_start();
    else
        device_monitor_stop();
}

void device_monitor_drain() {
    // Entries left over from a stopped monitor wait for its next start.
    if (!g_started) return;
    std::unique_lock<std::mutex> lock(g_mutex);
    while (!g_queue.empty()) {
        PortNotification n = std::move(g_queue.front());
        g_queue.pop_front();
        lock.unlock();
        if (n.kind == 0)
            device_on_arrival(n.port);
        else
            device_on_removal(n.port);
        lock.lock();
    }
}
