// Tests that link the engine's internals: a call on the engine loop thread.
#pragma once

#include <functional>
#include <future>
#include <memory>

#include "base/loop.h"

// Runs `fn` on the loop thread and returns its value.
template <typename T>
T on_loop(const std::function<T()>& fn) {
    auto p = std::make_shared<std::promise<T>>();
    auto f = p->get_future();
    engine_post([p, fn] { p->set_value(fn()); });
    return f.get();
}
