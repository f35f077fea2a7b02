#include "link/ethos_frame.h"

std::vector<uint8_t> ethos_frame_bytes(const uint8_t* payload, size_t length, uint8_t type) {
    std::vector<uint8_t> out;
    out.reserve(length + length / 8 + 4);
    out.push_back(kEthosFlag);
    if (type != ETHOS_DATA) {
        out.push_back(kEthosEscape);
        out.push_back(static_cast<uint8_t>(type ^ 0x20));
    }
    for (size_t i = 0; i < length; ++i) {
        uint8_t b = payload[i];
        if (b == kEthosFlag || b == kEthosEscape) {
            out.push_back(kEthosEscape);
            out.push_back(static_cast<uint8_t>(b ^ 0x20));
        } else {
            out.push_back(b);
        }
    }
    out.push_back(kEthosFlag);
    return out;
}

namespace {

void store(EthosDecoder& d, uint8_t b) {
    if (d.length < kEthosFrameBuffer)
        d.buffer[d.length] = b;
    else
        d.overflow = true;
    // Counted even when lost, so an overlong frame still ends at its flag.
    if (d.length < UINT32_MAX) ++d.length;
}

}  // namespace

void ethos_decode(EthosDecoder& d, const uint8_t* data, size_t length, const EthosFrameSink& sink) {
    for (size_t i = 0; i < length; ++i) {
        uint8_t b = data[i];
        switch (d.state) {
        case ETHOS_IDLE:
            if (b == kEthosFlag) {
                d.state = ETHOS_IN_FRAME;
                d.type = ETHOS_DATA;
                d.length = 0;
                d.overflow = false;
            }
            break;
        case ETHOS_IN_FRAME:
            if (b == kEthosEscape) {
                d.state = ETHOS_AFTER_ESCAPE;
            } else if (b == kEthosFlag) {
                // Back-to-back flags are one frame start.
                if (d.length == 0) break;
                if (!d.overflow) sink(d.type, d.buffer, d.length);
                d.state = ETHOS_IDLE;
                d.type = ETHOS_DATA;
                d.length = 0;
                d.overflow = false;
            } else {
                store(d, b);
            }
            break;
        default:
            d.state = ETHOS_IN_FRAME;
            if (b == 0x5E)
                store(d, kEthosFlag);
            else if (b == 0x5D)
                store(d, kEthosEscape);
            else if (b >= 0x21 && b <= 0x25)
                d.type = static_cast<uint8_t>(b ^ 0x20);
            // Anything else after an escape is lost.
            break;
        }
    }
}
