#include "device/serial_io.h"

#include <cerrno>
#include <cstdio>
#include <map>
#include <memory>
#include <vector>

#include <uv.h>

#include "base/loop.h"
#include "base/never_destroyed.h"
#include "platform/serial_port.h"
#include "platform/unique_fd.h"

namespace {

constexpr size_t kReadBufferSize = 512;

struct OpenPort {
    uint32_t id = 0;
    UniqueFd fd;
    uv_poll_t* poll = nullptr;
    int polled = 0;  // the events the poll watches now
    bool reading = false;
    SerialDataHandler handler = nullptr;
    bool writing = false;
    std::vector<uint8_t> writeBuf;
    size_t writeOffset = 0;
    SerialWriteDone writeDone = nullptr;
};

SerialDataHandler g_handler = nullptr;
std::map<uint32_t, std::unique_ptr<OpenPort>>& g_ports =
    never_destroyed<std::map<uint32_t, std::unique_ptr<OpenPort>>>();
uint32_t g_last_id = 0;

// Writes that went out at once, completed on the loop's next turn.
std::vector<uint32_t>& g_written = never_destroyed<std::vector<uint32_t>>();
uv_idle_t g_written_idle;
bool g_written_idle_made = false;

uint32_t next_id() {
    do {
        ++g_last_id;
    } while (g_last_id == 0 || g_ports.count(g_last_id));
    return g_last_id;
}

OpenPort* find_port(uint32_t id) {
    auto it = g_ports.find(id);
    return it == g_ports.end() ? nullptr : it->second.get();
}

void log_error(const std::string& text) { printf("%s\n", text.c_str()); }

void on_poll(uv_poll_t* handle, int status, int events);

// A restart of the poll takes the descriptor out of the kernel's set and puts
// it back: only a change of events does it.
void update_poll(OpenPort* port) {
    if (!port->poll) return;
    int events = (port->reading ? UV_READABLE : 0) | (port->writing ? UV_WRITABLE : 0);
    if (events == port->polled) return;
    port->polled = events;
    if (events == 0) {
        uv_poll_stop(port->poll);
        return;
    }
    int rc = uv_poll_start(port->poll, events, on_poll);
    if (rc != 0) port->polled = 0;
    if (rc != 0 && port->reading) {
        port->reading = false;
        log_error(platform_describe_error("Reading from COM port (ReadFileEx)", -rc));
    }
}

void finish_write(uint32_t id, const std::string& errorText) {
    OpenPort* port = find_port(id);
    if (!port || !port->writing) return;
    SerialWriteResult result;
    result.handle = id;
    result.written = port->writeOffset;
    SerialWriteDone done = port->writeDone;
    port->writing = false;
    port->writeBuf.clear();
    port->writeOffset = 0;
    port->writeDone = nullptr;
    update_poll(port);
    if (!errorText.empty()) {
        log_error(errorText);
        result.error = "system_error";
    }
    if (done) engine_run_guarded("serial write completion", [&] { done(result); });
}

void do_write(OpenPort* port) {
    size_t left = port->writeBuf.size() - port->writeOffset;
    ssize_t n = left ? ::write(port->fd.get(), port->writeBuf.data() + port->writeOffset, left) : 0;
    if (n > 0) port->writeOffset += static_cast<size_t>(n);
    if (n < 0 && errno != EAGAIN && errno != EINTR) {
        finish_write(port->id, platform_describe_error("Writing to COM port (WriteFileEx)", errno));
        return;
    }
    // A write of 0 bytes leaves the same bytes for the next round.
    if (port->writeOffset == port->writeBuf.size()) finish_write(port->id, "");
}

void on_written_idle(uv_idle_t* idle) {
    uv_idle_stop(idle);
    std::vector<uint32_t> done;
    done.swap(g_written);
    for (uint32_t id : done) finish_write(id, "");
}

// Most writes fit the port at once: written here, they need no writable
// wake-up, and only their completion waits for the loop's next turn.
bool write_at_once(OpenPort* port) {
    if (!g_written_idle_made || uv_is_closing(reinterpret_cast<uv_handle_t*>(&g_written_idle))) {
        if (uv_idle_init(engine_loop(), &g_written_idle) != 0) return false;
        g_written_idle_made = true;
        g_written.clear();
    }
    ssize_t n = ::write(port->fd.get(), port->writeBuf.data(), port->writeBuf.size());
    if (n > 0) port->writeOffset = static_cast<size_t>(n);
    if (n < 0 && errno != EAGAIN && errno != EINTR) return false;  // the poll's write reports it
    if (port->writeOffset != port->writeBuf.size()) return false;
    g_written.push_back(port->id);
    uv_idle_start(&g_written_idle, on_written_idle);
    return true;
}

void do_read(OpenPort* port) {
    uint8_t buf[kReadBufferSize];
    ssize_t n = ::read(port->fd.get(), buf, sizeof buf);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (n <= 0) {
        // End of file on a tty means its far end went away.
        int err = n == 0 ? EIO : errno;
        port->reading = false;
        update_poll(port);
        log_error(platform_describe_error("Reading from COM port (ReadFile)", err));
        return;
    }
    SerialDataHandler handler = port->handler;
    port->handler = g_handler;  // the next read starts now, with today's handler
    uint32_t id = port->id;
    if (handler)
        engine_run_guarded("serial data handler", [&] { handler(id, buf, static_cast<size_t>(n)); });
}

void on_poll(uv_poll_t* handle, int status, int events) {
    uint32_t id = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(handle->data));
    OpenPort* port = find_port(id);
    if (!port) return;
    if (status < 0) {
        if (port->reading) {
            port->reading = false;
            log_error(platform_describe_error("Reading from COM port (ReadIOCompletion)", -status));
        }
        update_poll(port);
        if (port->writing)
            finish_write(id, platform_describe_error("Writing to COM port (GetOverlappedResult)", -status));
        return;
    }
    if ((events & UV_WRITABLE) && port->writing) do_write(port);
    port = find_port(id);  // a completion may have closed it
    if (port && (events & UV_READABLE) && port->reading) do_read(port);
}

}  // namespace

void engine_set_serial_data_handler(SerialDataHandler handler) { g_handler = handler; }

void serial_queue_open(const std::string& portName, const std::string& devicePath, uint32_t baudRate,
                       SerialOpenDone done) {
    struct OpenJob {
        std::string name, devicePath, error;
        uint32_t baud = 0;
        UniqueFd fd;
    };
    auto job = std::make_shared<OpenJob>();
    job->name = portName;
    job->devicePath = devicePath;
    job->baud = baudRate;
    engine_queue_work([job] { platform_serial_open(job->name, job->baud, job->fd, job->error); },
                      [job, done] {
                          SerialOpenResult result;
                          result.devicePath = job->devicePath;
                          if (!job->fd.valid()) {
                              log_error(job->error);
                              if (done) done(result);
                              return;
                          }
                          auto port = std::make_unique<OpenPort>();
                          port->id = next_id();
                          port->fd = std::move(job->fd);
                          port->poll = new uv_poll_t;
                          if (uv_poll_init(engine_loop(), port->poll, port->fd.get()) != 0) {
                              delete port->poll;
                              port->poll = nullptr;
                          } else {
                              port->poll->data = reinterpret_cast<void*>(static_cast<uintptr_t>(port->id));
                          }
                          uint32_t id = port->id;
                          g_ports[id] = std::move(port);
                          result.handle = id;
                          result.opened = true;
                          if (!done || !done(result)) {
                              serial_queue_close(id, nullptr);
                              return;
                          }
                          serial_start_read(id);
                      });
}

void serial_start_read(uint32_t handle) {
    OpenPort* port = find_port(handle);
    if (!port || port->reading) return;
    if (!port->poll) {
        log_error(platform_describe_error("Reading from COM port (ReadFileEx)", EBADF));
        return;
    }
    port->reading = true;
    port->handler = g_handler;
    update_poll(port);
}

void serial_write_start(uint32_t handle, const uint8_t* data, size_t length, SerialWriteDone done) {
    OpenPort* port = find_port(handle);
    if (!port || port->writing || !port->poll) {
        // Reported later, like every write result.
        std::string text = platform_describe_error("Writing to COM port (WriteFileEx)", port ? EBUSY : EBADF);
        engine_post([handle, done, text] {
            log_error(text);
            SerialWriteResult result;
            result.handle = handle;
            result.error = "system_error";
            if (done) done(result);
        });
        return;
    }
    port->writing = true;
    port->writeBuf.assign(data, data + length);
    port->writeOffset = 0;
    port->writeDone = done;
    if (!write_at_once(port)) update_poll(port);
}

void serial_queue_close(uint32_t handle, SerialCloseDone done) {
    auto it = g_ports.find(handle);
    if (it == g_ports.end()) {
        engine_queue_work([] {}, [handle, done] {
            log_error(platform_describe_error("Closing connection (CloseHandle)", EBADF));
            if (done) done(SerialCloseResult{handle, false});
        });
        return;
    }
    std::shared_ptr<OpenPort> port(std::move(it->second));
    g_ports.erase(it);
    if (port->poll) {
        uv_close(reinterpret_cast<uv_handle_t*>(port->poll),
                 [](uv_handle_t* h) { delete reinterpret_cast<uv_poll_t*>(h); });
        port->poll = nullptr;
    }
    if (port->reading) {
        port->reading = false;
        log_error(platform_describe_error("Reading from COM port (ReadIOCompletion)", ECANCELED));
    }
    if (port->writing) {
        SerialWriteDone wdone = port->writeDone;
        SerialWriteResult result{handle, port->writeOffset, "system_error"};
        port->writing = false;
        log_error(platform_describe_error("Writing to COM port (GetOverlappedResult)", ECANCELED));
        if (wdone) engine_run_guarded("serial write completion", [&] { wdone(result); });
    }
    auto err = std::make_shared<int>(0);
    engine_queue_work([port, err] { *err = port->fd.close_checked(); },
                      [handle, done, err] {
                          if (*err != 0) log_error(platform_describe_error("Closing connection (CloseHandle)", *err));
                          if (done) done(SerialCloseResult{handle, *err == 0});
                      });
}

size_t serial_open_port_count() { return g_ports.size(); }
