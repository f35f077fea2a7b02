// Run-time loading of the engine library and the two outside download
// libraries, and the binding of their functions by name.
#pragma once

#include "front_state.h"

namespace frontend {

// Command 2. Failures are silent: what is missing stays unbound.
void load_libraries(FrontEndState& fs);

// Command 8: ends the boot-loader download, frees the instance record, stops
// the engine's download and lets go of all three libraries.
void unload_libraries(FrontEndState& fs);

// Both outside libraries are loaded and every function of theirs is bound.
bool outside_bound(const FrontEndState& fs);

}  // namespace frontend
