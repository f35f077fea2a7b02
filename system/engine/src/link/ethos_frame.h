// The serial link's framing: flag-delimited frames with byte stuffing and a
// type marker, no length and no checksum.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

enum EthosFrameKind : uint8_t {
    ETHOS_DATA = 0,         // an Ethernet frame (or the "UUUU" wake answer)
    ETHOS_TEXT = 1,         // device text, or an unacknowledged packet to the device
    ETHOS_HELLO = 2,        // the sender's hardware address
    ETHOS_HELLO_REPLY = 3,  // the sender's hardware address
    ETHOS_RESERVED = 4,
    ETHOS_PROGRESS = 5,     // one byte of progress in percent
};

constexpr uint8_t kEthosFlag = 0x7E;
constexpr uint8_t kEthosEscape = 0x7D;
constexpr size_t kEthosFrameBuffer = 2000;

// The bytes of one frame as they go on the wire.
std::vector<uint8_t> ethos_frame_bytes(const uint8_t* payload, size_t length, uint8_t type);

enum EthosDecodeState : uint8_t { ETHOS_IDLE = 0, ETHOS_IN_FRAME = 1, ETHOS_AFTER_ESCAPE = 2 };

struct EthosDecoder {
    uint8_t state = ETHOS_IDLE;
    uint8_t type = 0;
    uint32_t length = 0;
    bool overflow = false;  // the frame outgrew the buffer; it is discarded
    uint8_t buffer[kEthosFrameBuffer] = {};
};

using EthosFrameSink = std::function<void(uint8_t type, const uint8_t* payload, size_t length)>;

// Feeds bytes read from the port; every complete frame goes to `sink`
// before the next byte is read.
void ethos_decode(EthosDecoder& decoder, const uint8_t* data, size_t length, const EthosFrameSink& sink);
