#include "base/log_capture.h"

#include <cstring>
#include <deque>
#include <mutex>

#include <android/log.h>
#include <json/json.h>

#include "base/events.h"
#include "base/never_destroyed.h"
#include "base/text.h"

namespace {

constexpr size_t kLineBuffer = 2048;  // a line holds at most 2047 characters

struct MessageEntry {
    uint32_t connection;
    std::string text;
    LogDeviceTag tag;  // the printing thread's, empty for the rest
};

// Both line buffers and the queue lock live for the whole process: threads of
// the library may still print after the capture has stopped.
std::mutex g_line_mutex;
char g_narrow[kLineBuffer];
size_t g_narrow_fill = 0;
wchar_t g_wide[kLineBuffer];
size_t g_wide_fill = 0;

std::mutex g_queue_mutex;
std::deque<MessageEntry>& g_queue = never_destroyed<std::deque<MessageEntry>>();
bool g_capture = false;  // guarded by g_queue_mutex
uv_async_t g_wake;
LogSources g_sources;
thread_local LogDeviceTag t_tag;

uint32_t thread_connection() { return g_sources.threadConnection ? g_sources.threadConnection() : 0; }
std::string path_of(uint32_t c) { return g_sources.pathOf ? g_sources.pathOf(c) : std::string(); }
std::string location_of(uint32_t c) { return g_sources.locationOf ? g_sources.locationOf(c) : std::string(); }

void push_entry(MessageEntry entry) {
    std::lock_guard<std::mutex> lock(g_queue_mutex);
    if (!g_capture) return;
    g_queue.push_back(std::move(entry));
    // Signalled under the lock so the wake-up cannot be closed meanwhile.
    uv_async_send(&g_wake);
}

// A line of the calling thread, with its device as the thread knows it.
void push_thread_line(std::string text) {
    push_entry(MessageEntry{thread_connection(), std::move(text), t_tag});
}

void message_queue_drain(uv_async_t*) {
    std::unique_lock<std::mutex> lock(g_queue_mutex);
    while (!g_queue.empty()) {
        MessageEntry entry = std::move(g_queue.front());
        g_queue.pop_front();
        lock.unlock();
        Json::Value event;
        event["event"] = 0;
        if (entry.connection != 0) {
            // A line without its device's tag takes the device that holds the connection now.
            const LogDeviceTag tag = entry.tag.path.empty() ? log_capture_device_tag(entry.connection) : entry.tag;
            event["message"] = "<" + tag.path + "> " + entry.text;
            event["locationInfo"] = tag.location;
        } else {
            event["message"] = entry.text;
            event["locationInfo"] = "";
        }
        engine_emit(event);
        lock.lock();
    }
}

// Completes the narrow line; caller holds g_line_mutex.
void finish_narrow_line() {
    size_t len = strnlen(g_narrow, g_narrow_fill);
    size_t keep = g_narrow_fill;
    // A line cut at the length limit keeps its last multi-byte sequence whole:
    // the partial sequence starts the next line.
    if (len == g_narrow_fill && g_narrow[len - 1] != '\n')
        len = text_utf8_complete_prefix(g_narrow, len);
    std::string line = text_sanitize_utf8(std::string(g_narrow, len));
    size_t carry = (len < keep && strnlen(g_narrow, keep) == keep) ? keep - len : 0;
    if (carry) memmove(g_narrow, g_narrow + len, carry);
    g_narrow_fill = carry;
    if (line.empty()) return;
    push_thread_line(std::move(line));
}

void finish_wide_line() {
    size_t len = 0;
    while (len < g_wide_fill && g_wide[len] != 0) ++len;
    std::u16string units;
    for (size_t i = 0; i < len; ++i) {
        char32_t c = static_cast<char32_t>(g_wide[i]);
        if (c > 0x10FFFF) c = 0xFFFD;
        if (c >= 0x10000) {
            c -= 0x10000;
            units.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
            units.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
        } else {
            units.push_back(static_cast<char16_t>(c));
        }
    }
    g_wide_fill = 0;
    std::string line = text_narrow_utf8(units);
    if (line.empty()) return;
    push_thread_line(std::move(line));
}

// The zip and file-map libraries report through the Android log, which on a
// host writes to descriptor 2 itself; while the engine runs, their lines are
// the engine's lines like any other.
void library_log(const __android_logger_data* data, const char* message) {
    std::string line = data && data->tag ? std::string(data->tag) + ": " : std::string();
    line += message ? message : "";
    if (line.empty() || line.back() != '\n') line += '\n';
    push_thread_line(text_sanitize_utf8(line));
}

}  // namespace

void log_capture_set_sources(const LogSources& sources) { g_sources = sources; }

// The logger is swapped outside the queue lock: the log library calls
// library_log under a lock of its own, and library_log takes the queue lock.
void message_hook_init(uv_loop_t* loop) {
    {
        std::lock_guard<std::mutex> lock(g_queue_mutex);
        uv_async_init(loop, &g_wake, message_queue_drain);
        g_capture = true;
    }
    __android_log_set_logger(library_log);
}

void message_hook_shutdown() {
    {
        std::lock_guard<std::mutex> lock(g_queue_mutex);
        if (!g_capture) return;
        g_capture = false;
        g_queue.clear();
        uv_close(reinterpret_cast<uv_handle_t*>(&g_wake), nullptr);
    }
    __android_log_set_logger(__android_log_stderr_logger);
}

void message_queue_flush() { message_queue_drain(nullptr); }

void message_queue_push(uint32_t connection, std::string text) {
    push_entry(MessageEntry{connection, std::move(text), log_capture_device_tag(connection)});
}

LogDeviceTag log_capture_device_tag(uint32_t connection) {
    return LogDeviceTag{path_of(connection), location_of(connection)};
}

void log_capture_tag_thread(LogDeviceTag tag) { t_tag = std::move(tag); }

void log_capture_write(const char* text, size_t length) {
    std::lock_guard<std::mutex> lock(g_line_mutex);
    for (size_t i = 0; i < length; ++i) {
        g_narrow[g_narrow_fill++] = text[i];
        if (text[i] == '\n' || g_narrow_fill >= kLineBuffer - 1) finish_narrow_line();
    }
}

void log_capture_write_wide(const wchar_t* text, size_t length) {
    std::lock_guard<std::mutex> lock(g_line_mutex);
    for (size_t i = 0; i < length; ++i) {
        g_wide[g_wide_fill++] = text[i];
        if (text[i] == L'\n' || g_wide_fill >= kLineBuffer - 1) finish_wide_line();
    }
}
