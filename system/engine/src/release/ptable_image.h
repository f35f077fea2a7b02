// The "aptb" partition-table image and the 128-byte fuse image.
#pragma once

#include <json/json.h>

constexpr unsigned kPartitionTableMagic = 0x41505442;
constexpr unsigned kPartitionTableRows = 32;
constexpr unsigned kPartitionRowSize = 68;
constexpr unsigned kFuseImageSize = 128;

// Both are declared in release/generators.h for the image factory.
int image_generate_aptb(Json::Value& release, int fd);
int image_generate_fuse(Json::Value& release, int fd);

// Writes all `size` bytes or reports false (a short write included).
bool release_write_fully(int fd, const void* data, size_t size);
