// Loading member images, writing a package and reading one back.
#pragma once

#include <cstdint>

#include "tools/fiptool/fip_format.h"
#include "tools/fiptool/fip_records.h"

// Reads the image of every descriptor marked for packing from the
// descriptor number in its argument, replacing an image it already holds.
void fip_load_images(FipRun& run);

// Where a package goes: a descriptor number (the caller's convention) or a path.
struct FipOutput {
    const char* text;
    bool by_path;
};
// Lays out and writes the images held by the descriptors, in list order.
void fip_write_package(FipRun& run, FipOutput out, uint64_t toc_flags, uint32_t align);

// Reads the package at `path`, attaching each image to its descriptor
// (a new "blob" descriptor for an unknown UUID).
FipTocHeader fip_read_package(FipRun& run, const char* path);
