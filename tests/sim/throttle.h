// Token bucket that paces one direction of a line to a byte rate.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>

namespace devsim {

class Throttle {
public:
    using Clock = std::chrono::steady_clock;
    explicit Throttle(uint64_t rate) : rate_(rate), last_(Clock::now()) {
        // A short burst allowance: 5 ms of line time, at least one small frame.
        cap_ = rate ? std::max<double>(double(rate) / 200.0, 16.0) : 0;
        tokens_ = cap_;
    }
    bool limited() const { return rate_ != 0; }
    // Bytes that may pass now (SIZE_MAX when unthrottled).
    size_t allowance() {
        if (!rate_) return SIZE_MAX;
        refill();
        return tokens_ >= 1.0 ? size_t(tokens_) : 0;
    }
    void consume(size_t n) {
        if (rate_) tokens_ -= double(n);
    }
    // Milliseconds until at least one byte may pass.
    int wait_ms() {
        if (!rate_) return -1;
        refill();
        if (tokens_ >= 1.0) return 0;
        double ms = (1.0 - tokens_) * 1000.0 / double(rate_);
        return int(ms) + 1;
    }

private:
    uint64_t rate_;
    double cap_ = 0, tokens_ = 0;
    Clock::time_point last_;
    void refill() {
        auto now = Clock::now();
        double dt = std::chrono::duration<double>(now - last_).count();
        last_ = now;
        tokens_ = std::min(cap_, tokens_ + dt * double(rate_));
    }
};

}  // namespace devsim
