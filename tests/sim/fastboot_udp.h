// Device side of the fastboot UDP packet layer: header, query and
// initialisation, and the sequence rules (one execution per sequence number,
// a repeated number gets the cached reply).
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

namespace devsim {

enum : uint8_t { FB_ERROR = 0, FB_QUERY = 1, FB_INIT = 2, FB_DATA = 3 };
enum : uint8_t { FB_CONTINUATION = 0x01, FB_NO_ACK = 0x80 };

struct FbPacket {
    uint8_t id = 0;
    uint8_t flags = 0;
    uint16_t seq = 0;
    std::vector<uint8_t> payload;
};

bool parse_fb_packet(const uint8_t* bytes, size_t length, FbPacket& out);
std::vector<uint8_t> encode_fb_packet(const FbPacket& p);

struct FbOutcome {
    bool reply = false;           // `packet` is to be sent
    bool retransmission = false;  // a repeated sequence number, answered from the cache
    bool executed = false;        // the handler ran
    bool ignored = false;         // out of sequence or unknown id
    FbPacket packet;
};

class FbSequencer {
public:
    // The handler runs once per fresh data packet; it fills id, flags and payload.
    using Handler = std::function<FbPacket(const FbPacket& request)>;
    explicit FbSequencer(uint16_t packet_size, uint16_t first_seq = 0)
        : packet_size_(packet_size), expected_(first_seq) {}
    FbOutcome handle(const FbPacket& in, const Handler& handler);
    uint16_t expected() const { return expected_; }
    // Windows of raw data carry the header of the last packet they hold.
    void resync(uint16_t last_seq) { expected_ = uint16_t(last_seq + 1); have_last_ = false; }

private:
    uint16_t packet_size_;
    uint16_t expected_;
    bool have_last_ = false;
    FbPacket last_;
};

}  // namespace devsim
