// Per-thread state of a download thread; zero on every other thread.
#pragma once

#include <cstdint>

struct DownloadThreadState {
    uint32_t connection = 0;  // the device's connection identifier
    uint16_t localPort = 0;   // local UDP port of the thread's transport
};

DownloadThreadState& download_thread_state();

// The calling thread's connection identifier (0 off download threads).
inline uint32_t download_thread_connection() { return download_thread_state().connection; }
