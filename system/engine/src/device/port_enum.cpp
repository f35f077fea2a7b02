#include "device/port_enum.h"

namespace {
bool g_usb_only = false;
}

void engine_set_usb_only(bool usbOnly) { g_usb_only = usbOnly; }

void serial_queue_enumerate(PortListDone) {}
