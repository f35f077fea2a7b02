// Sparse containers from a package, checked before the sparse library reads
// them: the library trusts its input (a block size of 0 divides by zero, a
// huge don't-care run is summed block by block) and prints its complaints
// straight to the process's standard error.
#pragma once

#include <cstdint>
#include <string>

struct sparse_file;

// True when the file in `fd` begins with the sparse container's magic.
bool sparse_image_has_magic(int fd);

// Checks the container in `fd` from its header to its last chunk: header
// sizes, version, a block size that is a non-zero multiple of 4, every chunk
// whole inside the file and of the size its type requires, no chunk past the
// declared block count, nothing after the last chunk, at most
// `maxExpanded` bytes once expanded, and every CRC chunk the CRC-32 of the
// image expanded up to it. False with the reason in `why`.
bool sparse_image_check(int fd, uint64_t maxExpanded, std::string& why);

// Imports a container that passed sparse_image_check (its CRC chunks are
// verified there, by zlib's CRC-32 rather than the library's bytewise one),
// without the library's messages; null when the library refuses it.
// Imports and wraps take turns: the library reads through one buffer of its
// own for the whole process.
sparse_file* sparse_image_import(int fd);

// Wraps the plain image in `fd` (a whole number of 4096-byte blocks) as a
// sparse file; null on failure.
sparse_file* sparse_image_wrap_plain(int fd);
