#include "base/events.h"

#include <algorithm>
#include <atomic>
#include <vector>

#include "base/json_text.h"
#include "device/device_table.h"

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

void engine_report_trainings() {
    std::vector<Json::Value> items;
    device_table_for_each([&](const DeviceRecord& d) {
        if (!d.enabled) return;
        Json::Value item;
        item["locationInfo"] = d.locationInfo;
        item["order"] = d.order;
        items.push_back(item);
    });
    std::sort(items.begin(), items.end(), [](const Json::Value& a, const Json::Value& b) {
        return a["order"].asInt() < b["order"].asInt();
    });
    Json::Value event;
    event["event"] = 4;
    event["trainings"] = Json::Value(Json::arrayValue);
    for (auto& item : items) event["trainings"].append(item);
    engine_emit(event);
}
