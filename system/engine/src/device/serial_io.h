// Serial port input and output off the loop thread.
#pragma once

#include <cstddef>
#include <cstdint>

using SerialDataHandler = void (*)(uint32_t connection, const uint8_t* data, size_t length);

void engine_set_serial_data_handler(SerialDataHandler handler);
