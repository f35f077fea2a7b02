// A stand-in engine library for the busy window and the binding checks. It
// logs every call with its text to STANDIN_LOG, and from kelvo_download_init
// sends one event while the call is still running (from another thread, as
// the real engine's loop thread would) and one more after it returned, when
// the test writes a byte into the FIFO named by FAKE_ENGINE_TRIGGER: only the
// test knows when the front end has left its busy window (a timed delay does
// not, on a loaded machine). FAKE_ENGINE_RESULT sets what the JSON calls
// return. Built without kelvo_download_start, so a command that needs it
// finds it unbound.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

#include "standin_common.h"

using namespace standin;

namespace {

using Callback = void (*)(const char*, void*);
std::mutex g_mutex;
Callback g_cb = nullptr;
void* g_user = nullptr;

void emit(const char* text) noexcept {
    try {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (g_cb) g_cb(text, g_user);
    } catch (...) {
    }
}

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }

private:
    int fd_;
};

// Waits for one trigger byte, then sends the event; the test keeps a writer
// open, so the open does not block and end of file means the test is gone.
void emit_on_trigger(const std::string& fifo) noexcept {
    try {
        Fd fd(::open(fifo.c_str(), O_RDONLY | O_CLOEXEC));
        if (fd.get() < 0) return;
        char byte;
        ssize_t n;
        do n = ::read(fd.get(), &byte, 1);
        while (n < 0 && errno == EINTR);
        if (n == 1) emit("after the call\n");
    } catch (...) {
    }
}

int result() {
    const char* v = std::getenv("FAKE_ENGINE_RESULT");
    return v ? std::atoi(v) : 0;
}

}  // namespace

#define EXPORT extern "C" __attribute__((visibility("default")))

EXPORT int kelvo_engine_init() {
    log_line("engine_init");
    return 0;
}

EXPORT int kelvo_engine_exit() {
    log_line("engine_exit");
    return 0;
}

EXPORT void kelvo_engine_register_cb(Callback cb, void* user) {
    log_line(std::string("register_cb ") + (cb ? "1" : "0") + " " + (user ? "1" : "0"));
    std::lock_guard<std::mutex> lock(g_mutex);
    g_cb = cb;
    g_user = user;
}

EXPORT void kelvo_engine_unregister_cb() {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_cb = nullptr;
}

EXPORT int kelvo_download_init(const char* json) {
    try {
        log_line(std::string("download_init [") + json + "]");
        std::thread([] { emit("during the call\n"); }).join();
        if (const char* fifo = std::getenv("FAKE_ENGINE_TRIGGER"))
            std::thread(emit_on_trigger, std::string(fifo)).detach();
    } catch (...) {
        return -1;
    }
    return result();
}

EXPORT int kelvo_download_enable_device(const char* json) {
    log_line(std::string("enable_device [") + json + "]");
    return result();
}

EXPORT int kelvo_download_stop() {
    log_line("download_stop");
    return 0;
}
