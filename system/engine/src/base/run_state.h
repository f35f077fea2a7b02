// The run's settings and flags that the areas read: filled by the engine's
// start and stop steps above them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum EngineMode : uint32_t { ENGINE_IDLE = 0, ENGINE_DOWNLOAD = 1, ENGINE_PRODUCTION = 2 };

struct Training {
    std::string locationInfo;
    int32_t order = 0;
};

// Loop-thread state.
struct EngineState {
    EngineMode mode = ENGINE_IDLE;
    bool running = false;
    uint32_t baudRate = 0;
    bool usbAutoEnable = false;
    bool enableOnce = false;
    int32_t orderCounter = 0;
};
EngineState& engine_state();

// Any thread.
bool engine_exit_requested();
void engine_set_exit_requested(bool value);

// Trainings list: appended on the caller's thread, read and emptied on the
// loop thread; guarded by a lock.
void trainings_append(const Training& t);
std::vector<Training> trainings_snapshot();
void trainings_clear();
