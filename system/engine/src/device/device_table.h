// The engine's device table and its status machine (loop thread).
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "device/port_enum.h"

struct SerialOpenResult;
struct SerialCloseResult;

// Where the record's port stands: the status word alone cannot tell an open
// port from one still opening or closing.
enum class PortState { None, Opening, Open, Closing };

struct DeviceRecord {
    std::string path;  // port name, "COM??" while offline
    uint32_t vendorId = 0;
    uint32_t productId = 0;
    std::string displayName;
    std::string locationInfo;
    uint32_t connectionId = 0;
    std::string status;  // "OFFLINE", "ONLINE", "CONNECTING", "RUNNING", "SUCCEEDED", "FAILED"
    uint32_t progress = 0;
    bool enabled = false;
    int32_t order = 0;
    std::deque<std::vector<uint8_t>> sendQueue;
    bool writing = false;
    size_t writeLength = 0;  // of the write in flight
    PortState port = PortState::None;
    // Its port went away while a link used it: the link's end closes the port.
    bool portGone = false;
    // A port that arrived at its location meanwhile, taken once the old one
    // has closed.
    bool returned = false;
    PortInfo returnedPort;
};

// Event 4: the enabled devices by order.
void device_report_trainings();
void device_table_for_each(const std::function<void(const DeviceRecord&)>& fn);
// engine_stop's walk: every record not "OFFLINE" goes offline.
void device_table_take_all_offline(bool* anyEnabled);
void device_table_clear();
DeviceRecord* device_find_by_connection(uint32_t connectionId);

void device_on_port_list(std::vector<PortInfo>& ports);
void device_on_arrival(const PortInfo& port);
void device_on_removal(const PortInfo& port);
void device_enable_if_running(const std::string& path);
void device_enable(const std::string& path);
bool device_on_port_opened(const SerialOpenResult& result);
void device_on_port_closed(const SerialCloseResult& result);
void device_on_link_closed(uint32_t connectionId);
void device_set_status(uint32_t connectionId, const std::string& status);
void device_set_progress(uint32_t connection, uint32_t percentage);
// Any thread: the progress reaches the record on the loop thread.
int device_post_progress(uint32_t connection, uint32_t percentage);
void device_on_serial_data(uint32_t connection, const uint8_t* data, size_t length);
std::string device_path_by_connection(uint32_t connection);
std::string device_location_by_connection(uint32_t connection);

// The send queue: one write in flight per device, the rest queued in order.
void serial_send(uint32_t connectionId, const uint8_t* data, size_t length);
