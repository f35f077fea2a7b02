// Per-thread state of a download thread; zero on every other thread.
#pragma once

#include <cstdint>
#include <string>

struct DownloadThreadState {
    uint32_t connection = 0;   // the device's connection identifier
    uint16_t localPort = 0;    // local UDP port of the thread's transport
    uint32_t multiplier = 0;   // time-out multiplier of the UDP transport
    bool noAck = false;        // send sparse data without acknowledgement ("usb:" targets)
    std::string lastError;     // replaced by every failure, cleared by nothing
    uint8_t transportBuf[1024] = {};  // coalescing buffer of sparse downloads
    uint32_t transportFill = 0;
    std::string bootromVersion;  // the device's "version-bootrom", at most 64 bytes
};

DownloadThreadState& download_thread_state();

// The calling thread's connection identifier (0 off download threads).
inline uint32_t download_thread_connection() { return download_thread_state().connection; }
