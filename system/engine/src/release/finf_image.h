// The "finf" flash-information image: one record per flash of the release,
// a header and one row per accepted flash device.
#pragma once

#include <json/json.h>

constexpr unsigned kFinfMagic = 0x46494E46;
constexpr unsigned kFinfHeaderSize = 144;
constexpr unsigned kFinfRowSize = 72;

// Appends one record at the descriptor's position and writes the parsed
// geometry back into `flash` as numbers. Declared in release/generators.h.
int image_write_finf(Json::Value& flash, int fd, int more);
