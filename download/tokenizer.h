// Splits a command line into at most 32 tokens.
#pragma once

#include <cstdint>

namespace frontend {

constexpr uint32_t kMaxTokens = 32;

struct LineCursor {
    const char* text = nullptr;
    uint32_t pos = 0;
    uint32_t length = 0;
};

struct CommandToken {
    uint32_t length = 0;
    const char* start = nullptr;  // none for an empty token
    uint8_t quoted = 0;
};

// 0, -3 for a malformed line, -4 for more than 32 tokens.
int split_command_line(LineCursor& cursor, CommandToken* tokens, uint32_t* count);

}  // namespace frontend
