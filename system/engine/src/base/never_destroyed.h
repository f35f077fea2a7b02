// Process-wide state that engine threads can reach is created once and never
// destroyed. A host may exit without kelvo_engine_exit: the loop thread, pool
// jobs and the device monitor then keep running while exit() runs the static
// destructors, and must not find their queues and tables freed under them.
#pragma once

#include <utility>

template <typename T, typename... Args>
T& never_destroyed(Args&&... args) {
    return *new T(std::forward<Args>(args)...);
}
