// Whether the engine runs a download or production mode, as its events tell:
// the unload asks for the stop and must not unbind the engine while the stop
// is still under way (a later load would find it busy and refuse the init).
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace frontend {

struct EngineRun {
    std::mutex mutex;
    std::condition_variable changed;
    bool running = false;  // event 2 or 9 seen, no 3 or 10 since
};

// The number of the event in `json` (the top-level "event" member), -1 when none.
int engine_event_number(const char* json);

// Notes a start (2, 9) or a stop (3, 10); any thread.
void engine_run_note(EngineRun& run, const char* json);

// Waits until no download or production mode runs, at most `limit`; true when none does.
bool engine_run_wait_stopped(EngineRun& run, std::chrono::milliseconds limit);

}  // namespace frontend
