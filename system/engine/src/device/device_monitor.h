// Hot-plug notifications for serial ports.
#pragma once

void device_monitor_enable(bool enable);
