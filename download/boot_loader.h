// Commands 3, 4 and 5: the boot-loader download of the outside libraries,
// and the relay of its status callback.
#pragma once

#include "front_state.h"
#include "tokenizer.h"

namespace frontend {

uint32_t command_read_blf(FrontEndState& fs, const CommandToken& path);
uint32_t command_prepare_upload(FrontEndState& fs, const CommandToken& path,
                                const CommandToken& flag);
// Writes its own answer, since a success must be answered before state 1.
void command_start_boot_loader(FrontEndState& fs);

// Stored in the instance record; called on a thread of the outside library.
void on_bl_status(void* context, void* reserved, const void* status);

}  // namespace frontend
