// The engine's device table and its status machine.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct PortInfo;

struct DeviceRecord {
    std::string path;  // port name, "COM??" while offline
    uint32_t vendorId = 0;
    uint32_t productId = 0;
    std::string displayName;
    std::string locationInfo;
    uint32_t connection = 0;
    std::string status;  // "OFFLINE", "ONLINE", "CONNECTING", "RUNNING", "SUCCEEDED", "FAILED"
    uint32_t progress = 0;
    bool enabled = false;
    int32_t order = 0;
};

// Loop thread.
void device_table_for_each(const std::function<void(const DeviceRecord&)>& fn);
void device_table_take_all_offline(bool* anyEnabled);
void device_table_clear();
void device_enable_if_running(const std::string& path);
void device_set_progress(uint32_t connection, uint32_t percentage);
void device_on_port_list(std::vector<PortInfo>& ports);
void device_on_serial_data(uint32_t connection, const uint8_t* data, size_t length);
std::string device_path_by_connection(uint32_t connection);
std::string device_location_by_connection(uint32_t connection);
