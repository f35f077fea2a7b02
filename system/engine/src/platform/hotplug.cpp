#include "platform/hotplug.h"

#include <dirent.h>
#include <libudev.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <vector>

namespace {

udev* as_udev(void* p) { return static_cast<udev*>(p); }
udev_monitor* as_monitor(void* p) { return static_cast<udev_monitor*>(p); }

// Waits for the stop eventfd or `fd`; true when `fd` is readable.
bool wait_readable(int wake, int fd) {
    for (;;) {
        pollfd fds[2] = {{wake, POLLIN, 0}, {fd, POLLIN, 0}};
        int rc = ::poll(fds, 2, -1);
        if (rc < 0 && errno == EINTR) continue;
        if (rc < 0 || (fds[0].revents & POLLIN)) return false;
        if (fds[1].revents & (POLLERR | POLLNVAL)) return false;
        if (fds[1].revents & POLLIN) return true;
    }
}

}  // namespace

bool HotplugWatcher::start(Callback cb, std::string& error) {
    stop();
    cb_ = std::move(cb);
    dir_ = platform_virtual_ports_dir();
    wake_.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!wake_.valid()) {
        error = std::string("Failed to create the device monitor wake-up: ") + strerror(errno);
        return false;
    }
    if (!dir_.empty()) {
        inotify_.reset(inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
        if (!inotify_.valid() ||
            inotify_add_watch(inotify_.get(), dir_.c_str(),
                              IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE) < 0) {
            error = "Failed to watch the virtual port directory " + dir_ + ": " + strerror(errno);
            inotify_.reset();
            return false;
        }
        scan_virtual_dir();
        thread_ = std::thread([this] { run_virtual(); });
        return true;
    }
    udev_ = udev_new();
    if (udev_) {
        // Without a udev daemon only the kernel's own events arrive.
        const char* source = access("/run/udev/control", F_OK) == 0 ? "udev" : "kernel";
        monitor_ = udev_monitor_new_from_netlink(as_udev(udev_), source);
    }
    if (!monitor_ || udev_monitor_filter_add_match_subsystem_devtype(as_monitor(monitor_), "tty", nullptr) < 0 ||
        udev_monitor_enable_receiving(as_monitor(monitor_)) < 0) {
        error = std::string("Failed to register the kelvo device notifications: ") + strerror(errno);
        if (monitor_) udev_monitor_unref(as_monitor(monitor_));
        if (udev_) udev_unref(as_udev(udev_));
        monitor_ = udev_ = nullptr;
        return false;
    }
    thread_ = std::thread([this] { run_udev(); });
    return true;
}

void HotplugWatcher::stop() {
    if (thread_.joinable()) {
        uint64_t one = 1;
        (void)!write(wake_.get(), &one, sizeof one);
        thread_.join();
    }
    if (monitor_) udev_monitor_unref(as_monitor(monitor_));
    if (udev_) udev_unref(as_udev(udev_));
    monitor_ = udev_ = nullptr;
    inotify_.reset();
    wake_.reset();
    files_.clear();
}

// Ports of the start enumeration are known already; their paths are kept
// so that a later removal of their file names the port.
void HotplugWatcher::scan_virtual_dir() {
    files_.clear();
    std::vector<std::string> names;
    if (DIR* d = opendir(dir_.c_str())) {
        while (dirent* e = readdir(d)) names.push_back(e->d_name);
        closedir(d);
    }
    for (const auto& n : names) {
        if (!platform_is_virtual_port_file(n)) continue;
        PlatformPort p;
        if (platform_read_virtual_port(dir_ + "/" + n, p)) files_[n] = p.path;
    }
}

void HotplugWatcher::on_virtual_file(const std::string& name, bool arrived) {
    if (!platform_is_virtual_port_file(name)) return;
    HotplugEvent ev;
    ev.arrival = arrived;
    if (arrived) {
        PlatformPort p;
        if (!platform_read_virtual_port(dir_ + "/" + name, p)) return;
        files_[name] = p.path;
        ev.path = p.path;
        ev.described = true;
        ev.port = p;
    } else {
        auto it = files_.find(name);
        if (it == files_.end()) return;
        ev.path = it->second;
        files_.erase(it);
    }
    cb_(ev);
}

void HotplugWatcher::run_virtual() {
    alignas(inotify_event) char buf[8192];
    while (wait_readable(wake_.get(), inotify_.get())) {
        ssize_t n = read(inotify_.get(), buf, sizeof buf);
        if (n <= 0) continue;
        for (ssize_t off = 0; off + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
            auto* e = reinterpret_cast<inotify_event*>(buf + off);
            off += sizeof(inotify_event) + e->len;
            if (off > n || e->len == 0) continue;
            std::string name(e->name, strnlen(e->name, e->len));
            try {
                on_virtual_file(name, (e->mask & (IN_CLOSE_WRITE | IN_MOVED_TO)) != 0);
            } catch (const std::exception&) {
                // a notification that cannot be handled is dropped
            }
        }
    }
}

void HotplugWatcher::run_udev() {
    int fd = udev_monitor_get_fd(as_monitor(monitor_));
    while (wait_readable(wake_.get(), fd)) {
        udev_device* dev = udev_monitor_receive_device(as_monitor(monitor_));
        if (!dev) continue;
        const char* action = udev_device_get_action(dev);
        const char* node = udev_device_get_devnode(dev);
        const char* name = udev_device_get_sysname(dev);
        std::string path = node ? node : (name ? std::string("/dev/") + name : std::string());
        bool add = action && strcmp(action, "add") == 0;
        bool remove = action && strcmp(action, "remove") == 0;
        udev_device_unref(dev);
        if (path.empty() || (!add && !remove)) continue;
        HotplugEvent ev;
        ev.arrival = add;
        ev.path = path;
        try {
            cb_(ev);
        } catch (const std::exception&) {
        }
    }
}
