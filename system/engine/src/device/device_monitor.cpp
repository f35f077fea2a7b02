#include "device/device_monitor.h"

void device_monitor_enable(bool) {}
