#include "frame.h"

namespace devsim {

std::vector<uint8_t> encode_frame(const uint8_t* payload, size_t length, uint8_t type) {
    std::vector<uint8_t> out;
    out.reserve(length + length / 16 + 4);
    out.push_back(0x7E);
    if (type != 0) {
        out.push_back(0x7D);
        out.push_back(type ^ 0x20);
    }
    for (size_t i = 0; i < length; ++i) {
        uint8_t b = payload[i];
        if (b == 0x7E || b == 0x7D) {
            out.push_back(0x7D);
            out.push_back(b ^ 0x20);
        } else {
            out.push_back(b);
        }
    }
    out.push_back(0x7E);
    return out;
}

void FrameDecoder::feed(uint8_t b, const Sink& sink) {
    switch (state_) {
    case 0:
        if (b == 0x7E) open_frame();
        return;
    case 1:
        if (b == 0x7D) {
            state_ = 2;
        } else if (b == 0x7E) {
            if (buf_.empty()) return;  // back-to-back flags: still one frame start
            // An over-long frame is discarded whole rather than passed on cut.
            if (!overflow_) sink(type_, buf_);
            reset();
        } else if (buf_.size() < limit_) {
            buf_.push_back(b);
        } else {
            overflow_ = true;
        }
        return;
    default:
        state_ = 1;
        if (b == 0x5E || b == 0x5D) {
            if (buf_.size() < limit_) buf_.push_back(b ^ 0x20);
            else overflow_ = true;
        } else if (b >= 0x21 && b <= 0x25) {
            type_ = b - 0x20;
        }
        return;
    }
}

}  // namespace devsim
