// Hot-plug notifications for serial ports: a monitor thread queues arrivals
// and removals under a lock, the loop thread drains them into the table.
#pragma once

#include <cstdint>

#include "device/port_enum.h"

struct PortNotification {
    uint32_t kind = 0;  // 0 arrival, 1 removal
    PortInfo port;      // a removal carries only the path
};

// Loop thread.
void device_monitor_enable(bool enable);
void device_monitor_drain();
