#include "flash/fastboot.h"

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "device/device_table.h"
#include "flash/client_util.h"
#include "flash/thread_state.h"

namespace {

void post_to_engine(uint32_t connection, uint32_t percent) { device_post_progress(connection, percent); }

std::atomic<FastbootProgressSink> g_progress_sink{post_to_engine};

int64_t fail_and_disconnect(Transport& transport) {
    transport.Disconnect();
    return -1;
}

// A "PROG" text counts only when it is a whole number of at most 100.
void post_progress_text(const char* text) {
    int base = (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) ? 16 : 10;
    errno = 0;
    char* end = nullptr;
    unsigned long long value = strtoull(text, &end, base);
    if (errno != 0 || end == text || *end != '\0' || value > 100) return;
    g_progress_sink.load()(download_thread_connection(), static_cast<uint32_t>(value));
}

}  // namespace

void fastboot_set_error(const char* format, ...) {
    va_list args;
    va_start(args, format);
    download_thread_state().lastError = format_text_v(format, args);
    va_end(args);
}

void fastboot_set_transport_error(const char* what) {
    const int err = errno;
    if (err != 0)
        fastboot_set_error("%s (%s)", what, strerror(err));
    else
        fastboot_set_error("%s", what);
}

std::string fastboot_last_error() { return download_thread_state().lastError; }

FastbootProgressSink fastboot_set_progress_sink(FastbootProgressSink sink) {
    return g_progress_sink.exchange(sink ? sink : post_to_engine);
}

int64_t fastboot_read_response(Transport& transport, uint32_t expectedSize, char* response) {
    for (;;) {
        char reply[kFastbootResponseSize];
        int64_t got = transport.ReadSome(reinterpret_cast<uint8_t*>(reply), kFastbootCommandMax);
        if (got < 0) {
            fastboot_set_transport_error("status read failed");
            return fail_and_disconnect(transport);
        }
        // A transport never hands back more than asked; do not trust it to.
        if (got > static_cast<int64_t>(kFastbootCommandMax)) got = kFastbootCommandMax;
        reply[got] = '\0';
        if (got < 4) {
            fastboot_set_error("status malformed (%d bytes)", static_cast<int>(got));
            return fail_and_disconnect(transport);
        }
        const char* text = reply + 4;
        if (memcmp(reply, "INFO", 4) == 0) {
            fprintf(stderr, "(flasher) %s\n", text);
            continue;
        }
        if (memcmp(reply, "PROG", 4) == 0) {
            post_progress_text(text);
            continue;
        }
        if (memcmp(reply, "OKAY", 4) == 0) {
            if (response) {
                // The text after "OKAY", NUL-padded to the whole field.
                const size_t n = strnlen(text, kFastbootResponseSize - 5);
                memcpy(response, text, n);
                memset(response + n, 0, kFastbootResponseSize - 4 - n);
            }
            return 0;
        }
        if (memcmp(reply, "FAIL", 4) == 0) {
            if (got == 4)
                fastboot_set_error("remote failure");
            else
                fastboot_set_error("remote: %s", text);
            return -1;
        }
        if (expectedSize != 0 && memcmp(reply, "DATA", 4) == 0) {
            long size = strtol(text, nullptr, 16);
            // A size beyond 32 bits would otherwise slip through the unsigned
            // 32-bit comparison truncated.
            if (size < 0 || static_cast<unsigned long>(size) > expectedSize) {
                fastboot_set_error("data size too large (%d)", static_cast<int>(size));
                return fail_and_disconnect(transport);
            }
            return size;
        }
        fastboot_set_error("unknown status code");
        return fail_and_disconnect(transport);
    }
}

int64_t fastboot_request_begin(Transport& transport, const char* command, uint32_t expectedSize,
                               char* response) {
    size_t length = strlen(command);
    if (length > kFastbootCommandMax) {
        fastboot_set_error("command too large (%zu)", length);
        return -1;
    }
    if (response) response[0] = '\0';
    int64_t written = transport.WriteAll(reinterpret_cast<const uint8_t*>(command),
                                         static_cast<uint32_t>(length));
    if (written != static_cast<int64_t>(length)) {
        fastboot_set_transport_error("command write failed");
        return fail_and_disconnect(transport);
    }
    return fastboot_read_response(transport, expectedSize, response);
}

int64_t fastboot_send_payload(Transport& transport, const void* data, uint32_t length) {
    int64_t written = transport.WriteAll(static_cast<const uint8_t*>(data), length);
    if (written < 0) {
        fastboot_set_transport_error("data write failure");
        return fail_and_disconnect(transport);
    }
    if (written != static_cast<int64_t>(length & ~kTransportNoAck)) {
        fastboot_set_error("data write failure (short transfer)");
        return fail_and_disconnect(transport);
    }
    return written;
}

int64_t fastboot_request_okay(Transport& transport, const char* command) {
    return fastboot_request_begin(transport, command, 0, nullptr);
}

int64_t fastboot_request_reply(Transport& transport, const char* command, char* response) {
    return fastboot_request_begin(transport, command, 0, response);
}

bool fastboot_read_variable(Transport& transport, const char* name, std::string& value) {
    std::string command = std::string("getvar:") + name;
    char reply[kFastbootResponseSize] = {};
    if (fastboot_request_reply(transport, command.c_str(), reply) != 0) return false;
    value = reply;
    return true;
}
