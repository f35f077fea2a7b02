// Data phases of the request layer: downloads from a buffer, from an open
// file and from a sparse image, and an upload into a file.
#pragma once

#include <cstddef>
#include <cstdint>

#include "flash/transport.h"

struct sparse_file;

// 0 or -1; a size of 0 fails at once without a request.
int64_t fastboot_transfer_memory(Transport& transport, const void* data, uint32_t size);
// Sends `size` bytes of the open file from offset 0 in windows of at most 512 MiB.
int64_t fastboot_transfer_file(Transport& transport, int descriptor, uint32_t size);
// Sends the image in sparse form with CRC; 0 or -1.
int32_t fastboot_transfer_sparse(Transport& transport, sparse_file* file);
// The sparse library's write function; `priv` is the Transport. The length
// type follows the installed library's callback.
int fastboot_sparse_sink(void* priv, const void* data, size_t length);
// "upload" into `fileName`: 0 on success, -1 on failure; the start result
// (0 after a bare "OKAY") when the device does not start a data phase.
int64_t fastboot_save_upload(Transport& transport, const char* fileName);
