// A sparse file in sparse form with its CRC chunk, byte for byte what the
// sparse library gives with its CRC option, but with zlib's CRC-32: the
// library's own is taken a byte at a time (about 0.4 GB/s) and a flash needs
// it over every piece three times (two lengths and the write).
#pragma once

#include <cstddef>
#include <cstdint>

struct sparse_file;

// Length of `s` in sparse form with its CRC chunk; negative when the
// library cannot size it. Reads none of the data: the chunk is 16 bytes
// whatever it holds.
int64_t sparse_crc_length(sparse_file* s);

// Writes `s` in sparse form with its CRC chunk through `sink` (the sparse
// library's callback type); 0, or negative when the library or `sink` fails.
int sparse_crc_write(sparse_file* s, int (*sink)(void*, const void*, size_t), void* priv);
