// A thread that follows serial port arrivals and removals: inotify on the
// virtual-port directory, or the udev netlink monitor for real ttys.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <thread>

#include "platform/port_scan.h"
#include "platform/unique_fd.h"

struct HotplugEvent {
    bool arrival = false;
    std::string path;       // the port's device node
    bool described = false; // virtual ports arrive with their description
    PlatformPort port;
};

class HotplugWatcher {
public:
    using Callback = std::function<void(const HotplugEvent&)>;

    HotplugWatcher() = default;
    HotplugWatcher(const HotplugWatcher&) = delete;
    HotplugWatcher& operator=(const HotplugWatcher&) = delete;
    ~HotplugWatcher() { stop(); }

    // Registers for notifications and starts the thread; false (with
    // `error` set to a log line) when registration fails.
    bool start(Callback cb, std::string& error);
    // Ends the thread and waits for it; harmless when not started.
    void stop();

private:
    void run_virtual();
    void run_udev();
    void scan_virtual_dir();
    void on_virtual_file(const std::string& name, bool arrived);

    Callback cb_;
    std::string dir_;
    UniqueFd wake_;     // eventfd that ends the thread
    UniqueFd inotify_;
    void* udev_ = nullptr;
    void* monitor_ = nullptr;
    std::map<std::string, std::string> files_;  // virtual-port file -> port path
    std::thread thread_;
};
