// Engine state owned by the loop thread, the start and stop of a download or
// production run, and the closing step.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum EngineMode : uint32_t { ENGINE_IDLE = 0, ENGINE_DOWNLOAD = 1, ENGINE_PRODUCTION = 2 };

struct StartParams {
    uint32_t baudRate = 0;
    bool usbOnly = false;
    bool usbAutoEnable = false;
    bool enableOnce = false;
    EngineMode mode = ENGINE_IDLE;
};

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

void engine_on_init();
void engine_on_exit();
void engine_start(const StartParams& params);
void engine_stop();
void engine_on_all_devices_closed();

// Any thread.
int engine_post_progress(uint32_t connection, uint32_t percentage);
bool engine_exit_requested();
void engine_set_exit_requested(bool value);

// Trainings list: appended on the caller's thread, read and emptied on the
// loop thread; guarded by a lock.
void trainings_append(const Training& t);
std::vector<Training> trainings_snapshot();
void trainings_clear();
