// Port enumeration and the port filter.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct PortInfo {
    std::string path;
    uint32_t vendorId = 0;
    uint32_t productId = 0;
    std::string description;
    std::string displayName;
    std::string locationInfo;
};

using PortListDone = void (*)(std::vector<PortInfo>& ports);

void engine_set_usb_only(bool usbOnly);
// Loop thread: enumerates on the worker pool, completes on the loop thread.
void serial_queue_enumerate(PortListDone done);
