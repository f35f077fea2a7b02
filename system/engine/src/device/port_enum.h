// Port enumeration and the port filter.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct PortInfo {
    std::string path;
    uint32_t vendorId = 0;
    uint32_t productId = 0;
    std::string displayName;   // "Unknown name" when not available
    std::string locationInfo;  // "Unknown location" when not available
};

using PortListDone = void (*)(std::vector<PortInfo>& ports);

extern const char* const kBootRomDescription;  // "Ovix Usb Boot Port"
bool port_is_boot_rom(uint32_t vendorId, uint32_t productId);

// Loop thread, before an enumeration is queued; read by every walk.
void engine_set_usb_only(bool usbOnly);

// Loop thread: enumerates on the worker pool, completes on the loop thread
// (also with an empty list).
void serial_queue_enumerate(PortListDone done);

// Any thread: every present port that passes the filter, in walk order.
std::vector<PortInfo> serial_enumerate_ports();

// Any thread: describes the port named `name` (exact match) when it exists
// and passes the filter.
bool serial_lookup_port(const std::string& name, PortInfo& out);

// Any thread: the filter and description for a port already described (a
// virtual port that arrived with its file).
struct PlatformPort;
bool serial_port_passes(const PlatformPort& port, PortInfo& out);
