#include "device/serial_io.h"

namespace {
SerialDataHandler g_handler = nullptr;
}

void engine_set_serial_data_handler(SerialDataHandler handler) { g_handler = handler; }
