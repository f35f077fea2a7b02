// Serial line set-up on Linux: open a tty raw 8N1 at any speed.
#pragma once

#include <cstdint>
#include <string>

#include "platform/unique_fd.h"

// "<prefix>: <reason>" for a Linux error number, in the engine's wording.
std::string platform_describe_error(const std::string& prefix, int err);

// Opens `name` non-blocking, without becoming its controlling terminal, and
// sets raw 8N1 at `baud` without flow control, DTR and RTS cleared and the
// buffers purged. On failure `error` holds the log text and `out` stays empty.
bool platform_serial_open(const std::string& name, uint32_t baud, UniqueFd& out, std::string& error);
