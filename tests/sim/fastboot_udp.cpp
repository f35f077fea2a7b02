#include "fastboot_udp.h"

#include <algorithm>

namespace devsim {

bool parse_fb_packet(const uint8_t* b, size_t n, FbPacket& out) {
    if (n < 4) return false;
    out.id = b[0];
    out.flags = b[1];
    out.seq = uint16_t(b[2] << 8 | b[3]);
    out.payload.assign(b + 4, b + n);
    return true;
}

std::vector<uint8_t> encode_fb_packet(const FbPacket& p) {
    std::vector<uint8_t> out(4 + p.payload.size());
    out[0] = p.id;
    out[1] = p.flags;
    out[2] = uint8_t(p.seq >> 8);
    out[3] = uint8_t(p.seq);
    std::copy(p.payload.begin(), p.payload.end(), out.begin() + 4);
    return out;
}

FbOutcome FbSequencer::handle(const FbPacket& in, const Handler& handler) {
    FbOutcome o;
    if (in.id == FB_QUERY) {
        // The query carries no state: it tells the host where to start.
        o.reply = true;
        o.packet.id = FB_QUERY;
        o.packet.seq = in.seq;
        o.packet.payload = {uint8_t(expected_ >> 8), uint8_t(expected_)};
        return o;
    }
    if (in.id != FB_INIT && in.id != FB_DATA) {
        o.ignored = true;
        return o;
    }
    if (in.flags & FB_NO_ACK) {
        // Nothing will be resent, so a gap is taken as lost packets, not as a
        // reason to stop; only an exact repeat is dropped.
        if (have_last_ && in.seq == last_.seq) {
            o.retransmission = true;
            return o;
        }
        handler(in);
        o.executed = true;
        expected_ = uint16_t(in.seq + 1);
        have_last_ = true;
        last_ = FbPacket{};
        last_.seq = in.seq;
        last_.id = in.id;
        return o;
    }
    if (have_last_ && in.seq == last_.seq && in.id == last_.id) {
        o.reply = true;
        o.retransmission = true;
        o.packet = last_;
        return o;
    }
    if (in.seq != expected_) {
        o.ignored = true;
        return o;
    }
    FbPacket r;
    if (in.id == FB_INIT) {
        r.id = FB_INIT;
        r.payload = {0x00, 0x01, uint8_t(packet_size_ >> 8), uint8_t(packet_size_)};
    } else {
        r = handler(in);
        o.executed = true;
    }
    r.seq = in.seq;
    expected_ = uint16_t(expected_ + 1);
    have_last_ = true;
    last_ = r;
    o.reply = true;
    o.packet = r;
    return o;
}

}  // namespace devsim
