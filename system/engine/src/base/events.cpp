#include "base/events.h"

#include <atomic>

#include "base/json_text.h"

namespace {
std::atomic<EngineEventCallback> g_callback{nullptr};
std::atomic<void*> g_user{nullptr};
}  // namespace

void engine_set_callback(EngineEventCallback cb, void* user) {
    g_user.store(user);
    g_callback.store(cb);
}

void engine_emit_event(const std::string& text) {
    EngineEventCallback cb = g_callback.load();
    if (cb) cb(text.c_str(), g_user.load());
}

void engine_emit(const Json::Value& event) { engine_emit_event(json_styled(event)); }
