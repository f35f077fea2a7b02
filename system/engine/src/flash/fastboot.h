// Fastboot-style requests: one command text, the device's replies until a
// final one, and the bytes of a data phase. Failures are reported by the
// result and the calling thread's last error text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "flash/transport.h"

// Longest command the protocol takes.
constexpr size_t kFastbootCommandMax = 64;
// A response buffer handed to the request layer holds at least this many bytes.
constexpr size_t kFastbootResponseSize = 65;

// Sends `command` and reads the replies. `expectedSize` 0: no data phase may
// follow. `response` (null or at least 65 bytes) receives the text after "OKAY".
// 0 after "OKAY", the size announced by "DATA", or -1.
int64_t fastboot_request_begin(Transport& transport, const char* command, uint32_t expectedSize,
                               char* response);

// Reads replies until a final one; same results as fastboot_request_begin.
int64_t fastboot_read_response(Transport& transport, uint32_t expectedSize, char* response);

// Writes a data phase. Bit 31 of `length` (kTransportNoAck) is passed to the
// transport unchanged; the result is the byte count written or -1.
int64_t fastboot_send_payload(Transport& transport, const void* data, uint32_t length);

// No data phase, no response text: 0 or -1.
int64_t fastboot_request_okay(Transport& transport, const char* command);

// No data phase; on 0 `response` (at least 65 bytes) holds the text after "OKAY".
int64_t fastboot_request_reply(Transport& transport, const char* command, char* response);

// "getvar:<name>"; on success replaces `value` with the reply's text.
bool fastboot_read_variable(Transport& transport, const char* name, std::string& value);

// A copy of the calling thread's last error text.
std::string fastboot_last_error();

// Replaces the calling thread's last error text (printf-style).
void fastboot_set_error(const char* format, ...) __attribute__((format(printf, 1, 2)));

// After a failed transport read or write: "<what> (<system error>)", or
// "<what>" alone when errno is 0 (the transport's failure had no system error).
void fastboot_set_transport_error(const char* what);

// Where valid "PROG" percentages go, with the thread's connection identifier;
// the engine's progress post unless replaced (tests). Returns the previous
// sink; null restores the default.
using FastbootProgressSink = void (*)(uint32_t connection, uint32_t percent);
FastbootProgressSink fastboot_set_progress_sink(FastbootProgressSink sink);
