// Capture of everything the library prints to standard output and standard
// error: cut into lines, converted to UTF-8, tied to the printing thread's
// device and sent to the host as event 0 by the loop thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cwchar>
#include <string>

#include <uv.h>

// Who printed a line, and where that device sits: handed down by the engine
// at init, since the capture stands below the areas that know it. Unset, every
// line is the engine's own.
struct LogSources {
    uint32_t (*threadConnection)() = nullptr;   // any thread: its device, 0 if none
    std::string (*pathOf)(uint32_t) = nullptr;  // loop thread
    std::string (*locationOf)(uint32_t) = nullptr;
};
void log_capture_set_sources(const LogSources& sources);

// The device a download thread works for, as it was when the download
// started: the thread's lines keep its path and location after its port has
// closed, when no record holds its connection any more.
struct LogDeviceTag {
    std::string path;
    std::string location;
};
// Loop thread: the device that holds `connection` now (empty without one).
LogDeviceTag log_capture_device_tag(uint32_t connection);
// Any thread: its own lines carry `tag` from now on; an empty path leaves
// them to the lookup at delivery.
void log_capture_tag_thread(LogDeviceTag tag);

// Loop thread (engine init and exit steps).
void message_hook_init(uv_loop_t* loop);
void message_hook_shutdown();

// Loop thread: delivers every line queued so far, at once. A job's lines
// travel on their own wake-up, which may come after the job's completion;
// the job's event is sent behind this.
void message_queue_flush();

// Loop thread: a line of the device that holds `connection`, which keeps
// the device's path and location as they are now. Dropped while the capture
// is off.
void message_queue_push(uint32_t connection, std::string text);

// The line buffers behind the library's standard streams.
void log_capture_write(const char* text, size_t length);
void log_capture_write_wide(const wchar_t* text, size_t length);
