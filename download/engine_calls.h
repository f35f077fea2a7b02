// Command 6: calls into the engine library, and the relay of its events.
#pragma once

#include "front_state.h"
#include "tokenizer.h"

namespace frontend {

// Writes its own answer: the busy window covers it.
void command_call_engine(FrontEndState& fs, const CommandToken& sub_code,
                         const CommandToken& text);

// Registered with the engine; runs on the engine's loop thread.
void on_engine_event(const char* json, void* context);

}  // namespace frontend
