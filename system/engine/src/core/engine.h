// Engine state owned by the loop thread, the start and stop of a download or
// production run, and the closing step.
#pragma once

#include <cstdint>

#include "base/run_state.h"

struct StartParams {
    uint32_t baudRate = 0;
    bool usbOnly = false;
    bool usbAutoEnable = false;
    bool enableOnce = false;
    EngineMode mode = ENGINE_IDLE;
};

void engine_on_init();
void engine_on_exit();
void engine_start(const StartParams& params);
void engine_stop();
void engine_on_all_devices_closed();

