// Link framing as the boot ROM sees it: flag 0x7E, escape 0x7D, optional type
// marker, no length and no checksum.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace devsim {

enum FrameType : uint8_t {
    FRAME_DATA = 0,
    FRAME_TEXT = 1,
    FRAME_HELLO = 2,
    FRAME_HELLO_REPLY = 3,
    FRAME_KEEPALIVE = 4,  // "reserved": the host accepts and ignores it
    FRAME_PROGRESS = 5,
};

std::vector<uint8_t> encode_frame(const uint8_t* payload, size_t length, uint8_t type);
inline std::vector<uint8_t> encode_frame(const std::vector<uint8_t>& p, uint8_t type) {
    return encode_frame(p.data(), p.size(), type);
}

// Byte-by-byte decoder with the same rules on both ends of the line.
class FrameDecoder {
public:
    using Sink = std::function<void(uint8_t type, const std::vector<uint8_t>& payload)>;
    explicit FrameDecoder(size_t limit = 65536) : limit_(limit) {}
    // Feeds one byte; a completed frame goes to `sink`.
    void feed(uint8_t byte, const Sink& sink);
    void feed(const uint8_t* bytes, size_t count, const Sink& sink) {
        for (size_t i = 0; i < count; ++i) feed(bytes[i], sink);
    }
    bool idle() const { return state_ == 0; }
    // Between frames, or right after an opening flag with nothing read yet:
    // where the host's unframed wake bytes can start.
    bool at_boundary() const { return state_ == 0 || (state_ == 1 && type_ == 0 && buf_.empty() && !overflow_); }
    // Acts as if a flag had just opened a frame (after the wake bytes).
    void open_frame() { state_ = 1; type_ = 0; buf_.clear(); overflow_ = false; }
    void reset() { state_ = 0; type_ = 0; buf_.clear(); overflow_ = false; }

private:
    size_t limit_;
    int state_ = 0;  // 0 idle, 1 in frame, 2 after escape
    uint8_t type_ = 0;
    bool overflow_ = false;
    std::vector<uint8_t> buf_;
};

}  // namespace devsim
