#include "engine_run.h"

#include <cctype>
#include <cstring>

namespace frontend {

int engine_event_number(const char* json) {
    if (!json) return -1;
    // A quote inside a JSON string is escaped, so an unescaped "event" is a
    // member name; the engine's events have no nested member of that name.
    for (const char* p = strstr(json, "\"event\""); p; p = strstr(p + 1, "\"event\"")) {
        if (p > json && p[-1] == '\\') continue;
        const char* q = p + 7;
        while (*q == ' ' || *q == '\t' || *q == '\r' || *q == '\n') ++q;
        if (*q++ != ':') continue;
        while (*q == ' ' || *q == '\t' || *q == '\r' || *q == '\n') ++q;
        if (!isdigit(static_cast<unsigned char>(*q))) return -1;
        int n = 0;
        while (isdigit(static_cast<unsigned char>(*q)) && n < 1000) n = n * 10 + (*q++ - '0');
        return n;
    }
    return -1;
}

void engine_run_note(EngineRun& run, const char* json) {
    int n = engine_event_number(json);
    if (n != 2 && n != 3 && n != 9 && n != 10) return;
    {
        std::lock_guard<std::mutex> lock(run.mutex);
        run.running = n == 2 || n == 9;
    }
    run.changed.notify_all();
}

bool engine_run_wait_stopped(EngineRun& run, std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(run.mutex);
    return run.changed.wait_for(lock, limit, [&] { return !run.running; });
}

}  // namespace frontend
