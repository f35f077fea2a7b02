#include "device/port_enum.h"

#include <atomic>
#include <memory>

#include "base/loop.h"
#include "platform/port_scan.h"

const char* const kBootRomDescription = "Ovix Usb Boot Port";

namespace {

std::atomic<bool> g_usb_only{false};

bool passes_filter(const PlatformPort& p) {
    bool bootRom = port_is_boot_rom(p.vendorId, p.productId);
    bool bootDescription = p.hasDescription && p.description == kBootRomDescription;
    if (g_usb_only.load()) return bootRom && bootDescription;
    return !bootRom || !p.hasDescription || bootDescription;
}

PortInfo to_port_info(const PlatformPort& p) {
    PortInfo info;
    info.path = p.path;
    info.vendorId = p.vendorId;
    info.productId = p.productId;
    info.displayName = p.hasDisplayName ? p.displayName : "Unknown name";
    // The location is only known together with the description.
    info.locationInfo = p.hasDescription && p.hasLocation ? p.locationInfo : "Unknown location";
    return info;
}

}  // namespace

bool port_is_boot_rom(uint32_t vendorId, uint32_t productId) {
    return vendorId == 0x2ECC && (productId == 0x3017 || productId == 0x3004);
}

void engine_set_usb_only(bool usbOnly) { g_usb_only.store(usbOnly); }

std::vector<PortInfo> serial_enumerate_ports() {
    std::vector<PortInfo> list;
    for (const auto& p : platform_list_ports())
        if (passes_filter(p)) list.push_back(to_port_info(p));
    return list;
}

bool serial_lookup_port(const std::string& name, PortInfo& out) {
    for (const auto& p : platform_list_ports()) {
        if (p.path != name) continue;
        if (!passes_filter(p)) return false;
        out = to_port_info(p);
        return true;
    }
    return false;
}

bool serial_port_passes(const PlatformPort& p, PortInfo& out) {
    if (!passes_filter(p)) return false;
    out = to_port_info(p);
    return true;
}

void serial_queue_enumerate(PortListDone done) {
    auto list = std::make_shared<std::vector<PortInfo>>();
    engine_queue_work([list] { *list = serial_enumerate_ports(); },
                      [list, done] {
                          if (done) done(*list);
                      });
}
