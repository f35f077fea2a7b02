#include "device/device_table.h"

#include <algorithm>
#include <cstdio>
#include <deque>

#include <json/json.h>

#include "base/events.h"
#include "base/loop.h"
#include "base/run_state.h"
#include "base/never_destroyed.h"
#include "device/device_monitor.h"
#include "device/port_enum.h"
#include "device/serial_io.h"
#include "link/ethos_flow.h"
#include "link/ethos_link.h"

namespace {

// A deque keeps records in place while new ones are appended.
std::deque<DeviceRecord>& g_devices = never_destroyed<std::deque<DeviceRecord>>();

const char* const kOffline = "OFFLINE";
const char* const kOnline = "ONLINE";
const char* const kConnecting = "CONNECTING";

DeviceRecord* find_by_path(const std::string& path) {
    for (auto& d : g_devices)
        if (d.path == path) return &d;
    return nullptr;
}

DeviceRecord* find_by_location(const std::string& location) {
    for (auto& d : g_devices)
        if (d.locationInfo == location) return &d;
    return nullptr;
}

Json::Value record_json(const DeviceRecord& d, int event) {
    Json::Value v;
    v["event"] = event;
    v["path"] = d.path;
    v["vendorId"] = d.vendorId;
    v["productId"] = d.productId;
    v["displayName"] = d.displayName;
    v["locationInfo"] = d.locationInfo;
    v["status"] = d.status;
    v["progress"] = d.progress;
    v["enabled"] = d.enabled;
    v["order"] = d.order;
    return v;
}

void device_emit_arrived(const DeviceRecord& d) { engine_emit(record_json(d, 5)); }
void device_emit_changed(const DeviceRecord& d) { engine_emit(record_json(d, 6)); }

void drop_send_queue(DeviceRecord& d) {
    d.sendQueue.clear();
    d.writing = false;
}

void set_offline(DeviceRecord& d) {
    d.path = "COM??";
    d.status = kOffline;
    device_emit_changed(d);
}

void device_connect(DeviceRecord& d) {
    d.status = kConnecting;
    d.progress = 0;
    d.portGone = false;
    d.returned = false;
    drop_send_queue(d);
    printf("connecting to serial device <%s>...\n", d.path.c_str());
    // A close still in flight belongs to the old handle: its completion is
    // ignored once the record waits for a new port.
    d.port = PortState::Opening;
    serial_queue_open(d.path, d.path, engine_state().baudRate, device_on_port_opened);
    device_emit_changed(d);
}

void auto_enable(const DeviceRecord& d) {
    const EngineState& s = engine_state();
    if (port_is_boot_rom(d.vendorId, d.productId) && s.usbAutoEnable && !s.enableOnce && s.running)
        device_enable(d.path);
}

void append_record(const PortInfo& p) {
    DeviceRecord d;
    d.path = p.path;
    d.vendorId = p.vendorId;
    d.productId = p.productId;
    d.displayName = p.displayName;
    d.locationInfo = p.locationInfo;
    d.status = kOnline;
    g_devices.push_back(d);
    printf("<%s> new device arrived.\n", d.path.c_str());
    device_emit_arrived(d);
    auto_enable(d);
}

void assign_order(DeviceRecord& d) {
    for (const auto& t : trainings_snapshot())
        if (t.locationInfo == d.locationInfo) {
            d.order = t.order;
            break;
        }
    if (d.order == 0) d.order = ++engine_state().orderCounter;
}

void device_take_offline(DeviceRecord& d, LinkClose why) {
    d.progress = 0;
    drop_send_queue(d);
    EngineMode mode = engine_state().mode;
    if (d.enabled && d.status != kOnline) {
        if (mode == ENGINE_IDLE) return;
        if (mode == ENGINE_DOWNLOAD)
            printf("extinguishing device <%s>...\n", d.path.c_str());
        else
            printf("disconnecting from serial device <%s>...\n", d.path.c_str());
        if (d.port == PortState::Closing) return;  // its close takes it offline
        if (d.port == PortState::Open) {
            if (mode == ENGINE_DOWNLOAD) {
                d.portGone = d.portGone || why == LinkClose::PortGone;
                ethos_link_close(d.connectionId, why);
            } else {
                d.port = PortState::Closing;
                serial_queue_close(d.connectionId, device_on_port_closed);
            }
            return;
        }
        // No port yet (still opening, or the open failed): nothing to close;
        // an open that completes later finds no use and is closed at once.
    }
    d.port = PortState::None;
    set_offline(d);
}

void device_on_write_done(const SerialWriteResult& result);

// A port at the record's location: the record follows it.
void take_arrival(DeviceRecord& d, const PortInfo& p) {
    d.path = p.path;
    d.vendorId = p.vendorId;
    d.productId = p.productId;
    d.displayName = p.displayName;
    printf("<%s> device onlined\n", d.path.c_str());
    // A port already open or opening is not opened twice.
    if (d.port == PortState::Opening || d.port == PortState::Open) {
        device_emit_changed(d);
        return;
    }
    d.status = kOnline;
    device_emit_changed(d);
    if (d.enabled && !engine_state().enableOnce) device_connect(d);
}

void write_next(DeviceRecord& d, const uint8_t* data, size_t length) {
    d.writing = true;
    d.writeLength = length;
    serial_write_start(d.connectionId, data, length, device_on_write_done);
}

void device_on_write_done(const SerialWriteResult& result) {
    DeviceRecord* d = device_find_by_connection(result.handle);
    if (!d) return;
    if (!result.error.empty())
        printf("send data to serial device <%s> failed with error \"%s\"\n", d->path.c_str(),
               result.error.c_str());
    // Written or failed, the bytes have left the host.
    ethos_port_written(result.handle, d->writeLength);
    d->writeLength = 0;
    if (d->sendQueue.empty()) {
        d->writing = false;
        return;
    }
    std::vector<uint8_t> next = std::move(d->sendQueue.front());
    d->sendQueue.pop_front();
    write_next(*d, next.data(), next.size());
}

}  // namespace

void device_table_for_each(const std::function<void(const DeviceRecord&)>& fn) {
    for (const auto& d : g_devices) fn(d);
}

void device_table_take_all_offline(bool* anyEnabled) {
    bool any = false;
    for (size_t i = 0; i < g_devices.size(); ++i) {
        DeviceRecord& d = g_devices[i];
        if (d.status == kOffline) continue;
        if (d.enabled) any = true;
        device_take_offline(d, LinkClose::HostStop);
    }
    if (anyEnabled) *anyEnabled = any;
}

void device_table_clear() { g_devices.clear(); }

DeviceRecord* device_find_by_connection(uint32_t connectionId) {
    if (connectionId == 0) return nullptr;  // 0 names no port
    for (auto& d : g_devices)
        if (d.connectionId == connectionId) return &d;
    return nullptr;
}

void device_on_port_list(std::vector<PortInfo>& ports) {
    // A list whose run was stopped meanwhile belongs to no table.
    if (!engine_state().running) return;
    device_monitor_enable(true);
    for (const auto& p : ports) append_record(p);
}

void device_on_arrival(const PortInfo& p) {
    if (!engine_state().running) return;
    DeviceRecord* d = find_by_location(p.locationInfo);
    if (!d) {
        append_record(p);
        return;
    }
    if (d->port == PortState::Open && d->portGone) {
        // Back (after a reboot or a glitch) before the download on its old
        // port has ended: the record keeps the old port until that closes.
        d->returned = true;
        d->returnedPort = p;
        return;
    }
    take_arrival(*d, p);
}

void device_on_removal(const PortInfo& p) {
    if (!engine_state().running) return;
    DeviceRecord* d = find_by_path(p.path);
    if (!d) {
        // A port that came back and went again before it was taken.
        for (auto& r : g_devices)
            if (r.returned && r.returnedPort.path == p.path) r.returned = false;
        return;
    }
    printf("<%s> device offlined\n", d->path.c_str());
    device_take_offline(*d, LinkClose::PortGone);
}

void device_enable_if_running(const std::string& path) {
    if (engine_state().running) device_enable(path);
}

void device_enable(const std::string& path) {
    DeviceRecord* d = find_by_path(path);
    if (!d) return;
    const EngineState& s = engine_state();
    if (s.mode == ENGINE_DOWNLOAD)
        printf("enabling device <%s> into downloading mode...\n", d->path.c_str());
    else if (s.mode == ENGINE_PRODUCTION)
        printf("enabling device <%s> into production mode...\n", d->path.c_str());
    if (!d->enabled) {
        assign_order(*d);
        d->enabled = true;
    } else if (!s.enableOnce) {
        printf("device <%s> already enabled\n", d->path.c_str());
        return;
    }
    printf("device <%s> enabled successfully.\n", d->path.c_str());
    device_emit_changed(*d);
    if (d->status == kOnline) device_connect(*d);
}

bool device_on_port_opened(const SerialOpenResult& result) {
    DeviceRecord* d = find_by_path(result.devicePath);
    if (!result.opened) {
        if (d && d->port == PortState::Opening) d->port = PortState::None;
        return false;
    }
    // After a stop, or for a record that no longer waits for this port, the
    // port is closed again at once.
    if (!engine_state().running || !d || d->port != PortState::Opening) return false;
    d->port = PortState::Open;
    printf("connected to serial device <%s> successfully!\n", d->path.c_str());
    d->connectionId = result.handle;
    EngineMode mode = engine_state().mode;
    if (mode == ENGINE_DOWNLOAD) {
        printf("starting to fire device <%s>...\n", d->path.c_str());
        ethos_link_create(d->connectionId, port_is_boot_rom(d->vendorId, d->productId), d->order);
        printf("device <%s> fired successfully.\n", d->path.c_str());
    } else if (mode == ENGINE_PRODUCTION) {
        printf("sending production command to serial device <%s>...\n", d->path.c_str());
        static const uint8_t kProd[4] = {'P', 'R', 'O', 'D'};
        serial_send(d->connectionId, kProd, sizeof kProd);
    }
    return true;
}

void device_on_link_closed(uint32_t connectionId) {
    DeviceRecord* d = device_find_by_connection(connectionId);
    if (!d) return;
    printf("device <%s> extinguished successfully.\n", d->path.c_str());
    printf("disconnecting from serial device <%s>...\n", d->path.c_str());
    if (d->port == PortState::Open) d->port = PortState::Closing;
    serial_queue_close(connectionId, device_on_port_closed);
}

void device_on_port_closed(const SerialCloseResult& result) {
    DeviceRecord* d = device_find_by_connection(result.handle);
    // A record that meanwhile waits for a new port ignores the old handle.
    if (!d || d->port != PortState::Closing) return;
    if (result.success) {
        d->connectionId = 0;
        printf("disconnected from serial device <%s> successfully!\n", d->path.c_str());
    } else {
        printf("disconnected from serial device <%s> failed!\n", d->path.c_str());
    }
    d->port = PortState::None;
    d->portGone = false;
    if (d->returned && engine_state().running) {
        d->returned = false;
        PortInfo back = d->returnedPort;
        take_arrival(*d, back);
        return;
    }
    d->returned = false;
    set_offline(*d);
}

void device_set_status(uint32_t connectionId, const std::string& status) {
    DeviceRecord* d = device_find_by_connection(connectionId);
    if (!d) return;
    d->status = status;
    device_emit_changed(*d);
}

void device_set_progress(uint32_t connectionId, uint32_t percentage) {
    DeviceRecord* d = device_find_by_connection(connectionId);
    if (!d) return;
    d->progress = percentage;
    device_emit_changed(*d);
}

void device_on_serial_data(uint32_t connectionId, const uint8_t* data, size_t length) {
    const EngineState& s = engine_state();
    if (!s.running) return;
    if (s.mode == ENGINE_DOWNLOAD) {
        ethos_receive(connectionId, data, length);
    } else if (s.mode == ENGINE_PRODUCTION) {
        // The answer is a text: it ends at its first zero byte.
        size_t n = 0;
        while (n < length && data[n] != 0) ++n;
        std::string text(reinterpret_cast<const char*>(data), n);
        printf("received ack from <%s>: %s\n", device_path_by_connection(connectionId).c_str(), text.c_str());
    }
}

std::string device_path_by_connection(uint32_t connectionId) {
    DeviceRecord* d = connectionId ? device_find_by_connection(connectionId) : nullptr;
    return d ? d->path : std::string();
}

std::string device_location_by_connection(uint32_t connectionId) {
    DeviceRecord* d = connectionId ? device_find_by_connection(connectionId) : nullptr;
    return d ? d->locationInfo : std::string();
}

void serial_send(uint32_t connectionId, const uint8_t* data, size_t length) {
    if (!engine_state().running) return;
    DeviceRecord* d = device_find_by_connection(connectionId);
    if (!d || d->status == kOffline) return;
    if (!d->writing) {
        write_next(*d, data, length);
    } else {
        d->sendQueue.emplace_back(data, data + length);
    }
}

void device_report_trainings() {
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

int device_post_progress(uint32_t connection, uint32_t percentage) {
    engine_post([connection, percentage] { device_set_progress(connection, percentage); });
    return 0;
}
