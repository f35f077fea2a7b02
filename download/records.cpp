#include "records.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <mutex>
#include <string>

namespace frontend {

namespace {

constexpr char kStart = '\xFF';
constexpr char kKeyEnd = '\xFC';
constexpr char kField = '\xFD';
constexpr char kEnd = '\xFE';

std::mutex& record_mutex() {
    static std::mutex* m = new std::mutex;  // outlives every thread that writes
    return *m;
}

bool representable(std::string_view text) {
    for (unsigned char c : text)
        if (c >= 0xFC) return false;
    return true;
}

// Standard error behaves as a text-mode stream: every LF leaves as CR LF.
void append_text(std::string& out, std::string_view text) {
    if (!representable(text)) return;  // a framing byte would break the record
    for (char c : text) {
        if (c == '\n') out.push_back('\r');
        out.push_back(c);
    }
}

void emit(std::string_view key, std::string_view value,
          std::initializer_list<RecordField> fields) noexcept {
    try {
        std::string out;
        out.reserve(64);
        out.push_back(kStart);
        append_text(out, key);
        out.push_back(kKeyEnd);
        append_text(out, value);
        for (const RecordField& f : fields) {
            out.push_back(kField);
            if (f.is_number)
                out += std::to_string(f.number);
            else
                append_text(out, f.text);
        }
        out.push_back(kEnd);
        out += "\r\n";
        std::lock_guard<std::mutex> lock(record_mutex());
        const char* p = out.data();
        size_t left = out.size();
        while (left > 0) {
            ssize_t n = ::write(STDERR_FILENO, p, left);
            if (n < 0) {
                if (errno == EINTR) continue;
                return;  // the reader went away; nothing to report it to
            }
            p += n;
            left -= static_cast<size_t>(n);
        }
    } catch (...) {
        // Out of memory: the record is lost, the caller carries on.
    }
}

}  // namespace

void write_result(uint32_t code) { emit("result", std::to_string(code), {}); }

void write_result(uint32_t code, std::initializer_list<RecordField> fields) {
    emit("result", std::to_string(code), fields);
}

void write_error(uint32_t code) { emit("error", std::to_string(code), {}); }

void write_info(std::string_view tag, std::initializer_list<RecordField> fields) {
    emit("info", tag, fields);
}

void exit_between_records(int status) {
    record_mutex().lock();
    _exit(status);
}

}  // namespace frontend
