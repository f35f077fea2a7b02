// The command table of the channel: one line's tokens to one answer.
#pragma once

#include "front_state.h"
#include "tokenizer.h"

namespace frontend {

// Carries out command `number` (0 to 8) with its tokens; every command but 0
// writes exactly one record. Command 0 does not return.
void run_command(FrontEndState& fs, uint32_t number, const CommandToken* tokens, uint32_t count);

}  // namespace frontend
