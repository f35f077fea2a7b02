#include "base/run_state.h"

#include <atomic>
#include <mutex>

#include "base/never_destroyed.h"

namespace {
EngineState g_state;
std::atomic<bool> g_exit_flag{false};
std::mutex g_trainings_mutex;
std::vector<Training>& g_trainings = never_destroyed<std::vector<Training>>();
}  // namespace

EngineState& engine_state() { return g_state; }

bool engine_exit_requested() { return g_exit_flag.load(); }
void engine_set_exit_requested(bool value) { g_exit_flag.store(value); }

void trainings_append(const Training& t) {
    std::lock_guard<std::mutex> lock(g_trainings_mutex);
    g_trainings.push_back(t);
}

std::vector<Training> trainings_snapshot() {
    std::lock_guard<std::mutex> lock(g_trainings_mutex);
    return g_trainings;
}

void trainings_clear() {
    std::lock_guard<std::mutex> lock(g_trainings_mutex);
    g_trainings.clear();
}
