// The machine's serial ports: the virtual-port directory when
// KELVO_VIRTUAL_PORTS names one, the USB-aware sysfs walk otherwise.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct PlatformPort {
    std::string path;  // device node, e.g. /dev/ttyACM0
    uint32_t vendorId = 0;
    uint32_t productId = 0;
    bool hasDescription = false;  // bus-reported description
    std::string description;
    bool hasDisplayName = false;
    std::string displayName;
    bool hasLocation = false;
    std::string locationInfo;
};

// The virtual-port directory, empty when ports come from sysfs.
std::string platform_virtual_ports_dir();

// Every port present now, in a stable order (file names or sysfs names).
std::vector<PlatformPort> platform_list_ports();

// Reads one virtual-port file; false when it is not a usable description.
bool platform_read_virtual_port(const std::string& file, PlatformPort& out);

// True for the names of virtual-port files ("<anything>.json").
bool platform_is_virtual_port_file(const std::string& name);
