#include "device/device_table.h"

#include "device/port_enum.h"

namespace {
std::vector<DeviceRecord> g_devices;
}

void device_table_for_each(const std::function<void(const DeviceRecord&)>& fn) {
    for (const auto& d : g_devices) fn(d);
}

void device_table_take_all_offline(bool* anyEnabled) { *anyEnabled = false; }

void device_table_clear() { g_devices.clear(); }

void device_enable_if_running(const std::string&) {}

void device_set_progress(uint32_t, uint32_t) {}

void device_on_port_list(std::vector<PortInfo>&) {}

void device_on_serial_data(uint32_t, const uint8_t*, size_t) {}

std::string device_path_by_connection(uint32_t connection) {
    for (const auto& d : g_devices)
        if (d.connection == connection) return d.path;
    return "";
}

std::string device_location_by_connection(uint32_t connection) {
    for (const auto& d : g_devices)
        if (d.connection == connection) return d.locationInfo;
    return "";
}
