// Serial port input and output. Opens and closes run on the worker pool;
// reads and writes are driven by the loop's own polling of the port, so every
// result and every completion arrives on the loop thread. A port is known by
// its connection identifier, taken from a counter (never a descriptor, which
// Linux hands out again at once).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

using SerialDataHandler = void (*)(uint32_t connection, const uint8_t* data, size_t length);

// Loop thread. A read already armed keeps the handler it was armed with.
void engine_set_serial_data_handler(SerialDataHandler handler);

struct SerialOpenResult {
    std::string devicePath;  // key of the device that asked for the port
    uint32_t handle = 0;     // connection identifier, 0 when the open failed
    bool opened = false;
};
// Called on the loop thread for every open; a failed open has been logged
// already. Returns false when nobody wants the opened port: it is closed at
// once and never read.
using SerialOpenDone = bool (*)(const SerialOpenResult& result);

struct SerialWriteResult {
    uint32_t handle = 0;
    size_t written = 0;
    std::string error;  // empty, or "system_error"
};
using SerialWriteDone = void (*)(const SerialWriteResult& result);

struct SerialCloseResult {
    uint32_t handle = 0;
    bool success = false;
};
using SerialCloseDone = void (*)(const SerialCloseResult& result);

// Loop thread.
void serial_queue_open(const std::string& portName, const std::string& devicePath, uint32_t baudRate,
                       SerialOpenDone done);
void serial_start_read(uint32_t handle);
// One write at a time per port; the completion always comes later, on the
// loop thread.
void serial_write_start(uint32_t handle, const uint8_t* data, size_t length, SerialWriteDone done);
// Cancels the port's pending read and write and closes it on the pool;
// `done` may be null.
void serial_queue_close(uint32_t handle, SerialCloseDone done);
// Ports open now (tests and diagnostics).
size_t serial_open_port_count();
