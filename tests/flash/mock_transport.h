// A transport with scripted reads and recorded writes, for the request layer.
#pragma once

#include <cerrno>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "flash/thread_state.h"
#include "flash/transport.h"

class MockTransport : public Transport {
public:
    struct Write {
        uint32_t length;    // as handed over, bit 31 included
        std::string bytes;  // empty for writes too large to keep
    };

    // Next read returns these bytes (cut to the reader's capacity).
    MockTransport& reply(const std::string& bytes) {
        reads_.push_back({bytes, 0, false});
        return *this;
    }
    // Next read fails with errno `error` (0: a failure without a system error).
    MockTransport& read_error(int error) {
        reads_.push_back({"", error, true});
        return *this;
    }
    // Next write reports `result` instead of the full count.
    MockTransport& write_result(int64_t result, int error = EIO) {
        writeResults_.push_back({result, error});
        return *this;
    }

    int64_t ReadSome(uint8_t* buffer, size_t capacity) override {
        if (disconnected) return fail(ENOTCONN);
        if (reads_.empty()) return fail(ETIMEDOUT);
        Read r = reads_.front();
        reads_.pop_front();
        if (r.fails) return fail(r.error);
        size_t n = std::min(capacity, r.bytes.size());
        memcpy(buffer, r.bytes.data(), n);
        return static_cast<int64_t>(n);
    }
    int64_t WriteAll(const uint8_t* data, uint32_t length) override {
        if (disconnected) return fail(ENOTCONN);
        uint32_t count = length & ~kTransportNoAck;
        Write w{length, {}};
        if (count <= kKeepLimit) w.bytes.assign(reinterpret_cast<const char*>(data), count);
        writes.push_back(w);
        if (writeResults_.empty()) return count;
        auto [result, error] = writeResults_.front();
        writeResults_.pop_front();
        errno = error;
        return result;
    }
    int Disconnect() override {
        disconnected = true;
        ++disconnects;
        return 0;
    }

    size_t unread() const { return reads_.size(); }
    // Everything written after the first `skip` writes, concatenated.
    std::string payload(size_t skip = 1) const {
        std::string out;
        for (size_t i = skip; i < writes.size(); ++i) out += writes[i].bytes;
        return out;
    }

    std::vector<Write> writes;
    bool disconnected = false;
    int disconnects = 0;

private:
    static constexpr uint32_t kKeepLimit = 64u << 20;
    struct Read {
        std::string bytes;
        int error;
        bool fails;
    };
    static int64_t fail(int error) {
        errno = error;
        return -1;
    }
    std::deque<Read> reads_;
    std::deque<std::pair<int64_t, int>> writeResults_;
};

// Every test starts from a download thread's zero state.
inline void reset_thread_state() {
    DownloadThreadState& s = download_thread_state();
    s.connection = 0;
    s.noAck = false;
    s.lastError.clear();
    s.transportFill = 0;
}
