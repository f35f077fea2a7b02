// Test host: loads the built engine library by name at run time, registers a
// callback and records every event with the thread that delivered it.
#pragma once

#include <dlfcn.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <json/json.h>

struct HostEvent {
    std::string text;
    Json::Value json;  // null for a text that is not an object (the idle stop's "null\n")
    std::thread::id thread;
    int number() const { return json.isObject() ? json["event"].asInt() : -1; }
    std::string message() const { return json.isObject() ? json["message"].asString() : ""; }
};

class EngineHost {
public:
    using Cb = void (*)(const char*, void*);
    int (*engine_init)() = nullptr;
    int (*engine_exit)() = nullptr;
    void (*register_cb)(Cb, void*) = nullptr;
    void (*unregister_cb)() = nullptr;
    int (*download_init)(const char*) = nullptr;
    int (*download_start)(const char*) = nullptr;
    int (*download_stop)() = nullptr;
    int (*enable_device)(const char*) = nullptr;
    int (*config_trainings)(const char*) = nullptr;
    int (*get_trainings)() = nullptr;
    int (*prodmode_start)() = nullptr;
    int (*prodmode_stop)() = nullptr;
    int (*release_generate)(const char*) = nullptr;
    int (*release_list_products)(const char*) = nullptr;

    // One library per process, found by name on the library path, or the
    // file KELVO_ENGINE_LIBRARY names (a benchmark's other build).
    static EngineHost& instance() {
        static EngineHost* host = new EngineHost();  // never destroyed: engine threads may outlive main
        return *host;
    }

    // Register the recording callback, then kelvo_engine_init.
    // The network stack starts on its own thread at init and prints its start
    // lines meanwhile; an event with no callback registered is dropped, so the
    // callback goes first. The lines are awaited here so they never fall
    // between the lines a test compares.
    void start() {
        register_cb(&EngineHost::on_event, this);
        engine_init();
        if (stackAwaited_) return;
        stackAwaited_ = true;
        wait_for([](const HostEvent& e) {
            return e.number() == 0 && e.message().rfind("ip6 linklocal address", 0) == 0;
        });
    }

    std::vector<HostEvent> events() {
        std::lock_guard<std::mutex> lock(mutex_);
        return events_;
    }

    void clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        events_.clear();
    }

    // Waits until an event satisfies `pred`; returns it through `out`.
    bool wait_for(const std::function<bool(const HostEvent&)>& pred, int timeout_ms = 5000,
                  HostEvent* out = nullptr) {
        std::unique_lock<std::mutex> lock(mutex_);
        bool found = cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
            for (const auto& e : events_)
                if (pred(e)) {
                    if (out) *out = e;
                    return true;
                }
            return false;
        });
        return found;
    }

    bool wait_event(int number, int timeout_ms = 5000, HostEvent* out = nullptr) {
        return wait_for([number](const HostEvent& e) { return e.number() == number; }, timeout_ms, out);
    }

    // Waits for a log line (event 0) whose message equals `line` exactly.
    bool wait_log(const std::string& line, int timeout_ms = 5000) {
        return wait_for([&](const HostEvent& e) { return e.number() == 0 && e.message() == line; },
                        timeout_ms);
    }

    // Log lines received so far, in order.
    std::vector<std::string> logs() {
        std::vector<std::string> out;
        for (const auto& e : events())
            if (e.number() == 0) out.push_back(e.message());
        return out;
    }

    // Waits until the engine has carried out everything posted so far: a
    // trainings report is posted behind it and awaited. Log lines travel on
    // their own wake-up, so a short grace period follows.
    void settle(int timeout_ms = 5000) {
        size_t before = count_number(4);
        get_trainings();
        wait_for([&](const HostEvent&) { return count_number(4, true) > before; }, timeout_ms);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }

private:
    bool stackAwaited_ = false;

    EngineHost() {
        const char* file = getenv("KELVO_ENGINE_LIBRARY");
        handle_ = dlopen(file && *file ? file : "libkelvo.so", RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
        if (!handle_) {
            fprintf(stderr, "cannot load libkelvo.so: %s\n", dlerror());
            abort();
        }
        bind(engine_init, "kelvo_engine_init");
        bind(engine_exit, "kelvo_engine_exit");
        bind(register_cb, "kelvo_engine_register_cb");
        bind(unregister_cb, "kelvo_engine_unregister_cb");
        bind(download_init, "kelvo_download_init");
        bind(download_start, "kelvo_download_start");
        bind(download_stop, "kelvo_download_stop");
        bind(enable_device, "kelvo_download_enable_device");
        bind(config_trainings, "kelvo_download_config_trainings");
        bind(get_trainings, "kelvo_download_get_trainings");
        bind(prodmode_start, "kelvo_prodmode_start");
        bind(prodmode_stop, "kelvo_prodmode_stop");
        bind(release_generate, "kelvo_release_generate");
        bind(release_list_products, "kelvo_release_list_products");
    }

    template <typename F>
    void bind(F& fn, const char* name) {
        fn = reinterpret_cast<F>(dlsym(handle_, name));
        if (!fn) {
            fprintf(stderr, "missing export %s\n", name);
            abort();
        }
    }

    size_t count_number(int n, bool locked = false) {
        auto count = [&] {
            size_t c = 0;
            for (const auto& e : events_)
                if (e.number() == n) ++c;
            return c;
        };
        if (locked) return count();
        std::lock_guard<std::mutex> lock(mutex_);
        return count();
    }

    static void on_event(const char* json, void* user) {
        auto* self = static_cast<EngineHost*>(user);
        HostEvent e;
        e.text = json;
        e.thread = std::this_thread::get_id();
        Json::CharReaderBuilder b;
        std::string errs;
        std::unique_ptr<Json::CharReader> r(b.newCharReader());
        Json::Value v;
        if (r->parse(e.text.data(), e.text.data() + e.text.size(), &v, &errs)) e.json = v;
        {
            std::lock_guard<std::mutex> lock(self->mutex_);
            self->events_.push_back(std::move(e));
        }
        self->cv_.notify_all();
    }

    void* handle_ = nullptr;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<HostEvent> events_;
};
