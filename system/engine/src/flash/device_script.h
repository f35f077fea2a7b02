// One device's download script, run on its download thread.
#pragma once

#include <cstdint>

// `target` is "usb:udp:" or "uart:udp:" followed by the device's link-local
// address. 0 on success; 1 when the script did not start, a command failed
// or is unknown; -1 when an image failed to load or a "boot" image failed to
// download or verify; an upload's own result when an "upload" failed.
int device_run_script(const char* target, uint32_t connectionId, uint16_t localPort);
