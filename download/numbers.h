// Numbers and hex-encoded texts of the command channel.
#pragma once

#include <cstdint>

#include "tokenizer.h"

namespace frontend {

// 0, -3 (not a number), -4 (above the bound, or wider than 32 bits).
int parse_uint_token(const CommandToken& token, uint32_t* value, uint32_t upper_bound);

// Bytes written to out; 0 for empty, odd-length or invalid input. Writes no NUL.
uint32_t hex_decode(const char* text, uint32_t length, uint8_t* out);

}  // namespace frontend
