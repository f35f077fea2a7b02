#include "link/ethos_transmit.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "link/ethos_flow.h"
#include "link/netif.h"
#include "link/serial_link.h"

namespace {

// Fixed positions of UDP over IPv6 in an Ethernet frame (no extension headers).
constexpr size_t kNextHeader = 20;
constexpr size_t kSrcAddr = 22;
constexpr size_t kDstAddr = 38;
constexpr size_t kSrcPort = 54;
constexpr size_t kDstPort = 56;
constexpr size_t kUdpLength = 58;
constexpr size_t kUdpChecksum = 60;
constexpr size_t kPacket = 62;       // id, flags, sequence
constexpr size_t kPacketFlags = 63;
constexpr size_t kPacketSeq = 64;
constexpr size_t kPayload = 66;
constexpr uint8_t kProtoUdp = 17;
constexpr uint8_t kProtoIcmp6 = 58;
constexpr uint8_t kNoAck = 0x80;

uint16_t be16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
void put_be16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

bool payload_starts(const uint8_t* frame, size_t length, const char* text, size_t n) {
    return length >= kPayload + n && memcmp(frame + kPayload, text, n) == 0;
}

void announce(SerialLink& link, const uint8_t* frame, uint32_t size) {
    uint8_t payload[4 + 32];
    memcpy(payload, frame + kPacket, 4);
    int n = snprintf(reinterpret_cast<char*>(payload + 4), sizeof payload - 4, "data-request:%08x", size);
    ethos_send_frame(link, payload, 4 + static_cast<size_t>(n), ETHOS_TEXT);
}

// The window's bytes go in pieces, so its held data is released as the port
// drains rather than all at once.
void flush_window(SerialLink& link, const uint8_t* frame, uint32_t size) {
    announce(link, frame, size);
    for (uint32_t at = 0; at < size; at += static_cast<uint32_t>(kFlowPortPiece)) {
        uint32_t piece = std::min(size - at, static_cast<uint32_t>(kFlowPortPiece));
        ethos_port_write(link, link.window.data() + at, piece, piece);
    }
}

bool is_no_ack(const uint8_t* frame, size_t length) { return length >= kPayload && (frame[kPacketFlags] & kNoAck); }

int64_t no_ack_payload(const uint8_t* frame, size_t length) {
    return is_no_ack(frame, length) ? static_cast<int64_t>(length - kPayload) : 0;
}

void send_without_ack(SerialLink& link, const uint8_t* frame, size_t length) {
    if (link.probe != PROBE_WINDOWS) {
        std::vector<uint8_t> text = ethos_frame_bytes(frame + kPacket, length - kPacket, ETHOS_TEXT);
        ethos_port_write(link, text.data(), text.size(), no_ack_payload(frame, length));
        return;
    }
    const uint8_t* data = frame + kPayload;
    uint32_t n = static_cast<uint32_t>(length - kPayload);
    link.remaining -= n;
    if (link.windowFill + n >= kBulkWindow) {
        uint32_t head = static_cast<uint32_t>(kBulkWindow) - link.windowFill;
        memcpy(link.window.data() + link.windowFill, data, head);
        flush_window(link, frame, static_cast<uint32_t>(kBulkWindow));
        memcpy(link.window.data(), data + head, n - head);
        link.windowFill = n - head;
    } else {
        memcpy(link.window.data() + link.windowFill, data, n);
        link.windowFill += n;
    }
    if (link.remaining == 0) {
        link.dataReplyTaken = false;  // the phase is over: the next reply is a new one
        if (link.windowFill != 0) {
            flush_window(link, frame, link.windowFill);
            link.windowFill = 0;
        }
        announce(link, frame, 0);
    }
    ethos_flow_set_parked(link, link.windowFill);
}

// The frame belongs to this link's download thread; unacknowledged data that
// goes nowhere leaves the flow's count at once.
void send_owned(SerialLink& link, const uint8_t* frame, size_t length) {
    if (link.stage != STAGE_RUNNING) {
        ethos_flow_release(link, no_ack_payload(frame, length));
        return;
    }
    if (link.closing || ethos_device_silent(link)) {
        ethos_flow_release(link, no_ack_payload(frame, length));
        std::vector<uint8_t> answer = ethos_no_response_frame(frame, length);
        if (!answer.empty()) ethos_deliver_ethernet(answer.data(), answer.size());
        return;
    }
    if (is_no_ack(frame, length)) {
        send_without_ack(link, frame, length);
        return;
    }
    if (length == 80 && link.probe == PROBE_NONE && payload_starts(frame, length, "getvar:version", 14)) {
        link.probe = PROBE_SENT;
        link.expectedSeq = static_cast<uint16_t>(be16(frame + kPacketSeq) + 1);
    }
    ethos_send_frame(link, frame, length, ETHOS_DATA);
}

uint32_t fold(uint32_t sum) {
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return sum;
}

}  // namespace

uint32_t ethos_checksum_accumulate(uint32_t sum, const uint8_t* data, size_t length, bool oddPosition) {
    for (size_t i = 0; i < length; ++i) {
        bool high = ((i & 1) == 0) != oddPosition;
        sum += high ? static_cast<uint32_t>(data[i]) << 8 : data[i];
        if (sum & 0xFFFF0000u) sum = fold(sum);
    }
    return fold(sum);
}

std::vector<uint8_t> ethos_no_response_frame(const uint8_t* req, size_t length) {
    if (length < kPayload) return {};
    static const char kText[] = "no response";
    const uint16_t udpLength = 8 + 4 + 11;
    std::vector<uint8_t> out(kPayload + 11, 0);
    uint8_t* f = out.data();
    memcpy(f, req + 6, 6);
    memcpy(f + 6, req, 6);
    memcpy(f + 12, req + 12, 2 + 4);  // EtherType, IPv6 version/class/flow
    put_be16(f + 18, udpLength);
    f[kNextHeader] = req[kNextHeader];
    f[21] = req[21];
    memcpy(f + kSrcAddr, req + kDstAddr, 16);
    memcpy(f + kDstAddr, req + kSrcAddr, 16);
    memcpy(f + kSrcPort, req + kDstPort, 2);
    memcpy(f + kDstPort, req + kSrcPort, 2);
    put_be16(f + kUdpLength, udpLength);
    f[kPacket] = 0;
    f[kPacket + 1] = 0;
    memcpy(f + kPacketSeq, req + kPacketSeq, 2);
    memcpy(f + kPayload, kText, 11);
    uint8_t pseudo[8] = {0, 0, 0, static_cast<uint8_t>(udpLength), 0, 0, 0, kProtoUdp};
    uint32_t sum = ethos_checksum_accumulate(0, f + kSrcAddr, 32, false);
    sum = ethos_checksum_accumulate(sum, pseudo, sizeof pseudo, false);
    sum = ethos_checksum_accumulate(sum, f + kSrcPort, udpLength, false);
    uint16_t check = static_cast<uint16_t>(~sum & 0xFFFF);
    put_be16(f + kUdpChecksum, check == 0 ? 0xFFFF : check);
    return out;
}

void ethos_transmit_ethernet(const uint8_t* frame, size_t length) {
    if (length < 14) return;
    bool multicast = frame[0] == 0x33 && frame[1] == 0x33;
    for (SerialLink* link : ethos_links()) {
        if (multicast) {
            if (link->stage == STAGE_RUNNING) ethos_send_frame(*link, frame, length, ETHOS_DATA);
            continue;
        }
        if (memcmp(frame, link->deviceMac, 6) != 0 || length <= kNextHeader) continue;
        uint8_t next = frame[kNextHeader];
        if (next == kProtoIcmp6) {
            if (link->stage == STAGE_RUNNING) ethos_send_frame(*link, frame, length, ETHOS_DATA);
            continue;
        }
        if (next == kProtoUdp && length >= kDstPort && be16(frame + kSrcPort) == link->hostPort) {
            send_owned(*link, frame, length);
            return;
        }
    }
    // No link took it: a download thread's unacknowledged data is dropped,
    // and its link no longer counts it.
    if (multicast || length < kPayload || frame[kNextHeader] != kProtoUdp) return;
    for (SerialLink* link : ethos_links())
        if (be16(frame + kSrcPort) == link->hostPort) {
            ethos_flow_release(*link, no_ack_payload(frame, length));
            return;
        }
}

void ethos_snoop_reply(SerialLink& link, const uint8_t* frame, size_t length) {
    if (length <= kNextHeader || frame[kNextHeader] != kProtoUdp) return;
    if (payload_starts(frame, length, "DATA", 4) && length >= kPayload + 12) {
        // A status read sent again while its reply was on the way is answered
        // twice; the repeat can come after the data has started, and counting
        // from it again would keep the last window from ever going out.
        uint16_t seq = be16(frame + kPacketSeq);
        if (link.dataReplyTaken && seq == link.dataReplySeq) return;
        link.dataReplyTaken = true;
        link.dataReplySeq = seq;
        uint32_t size = 0;
        for (size_t i = 0; i < 8; ++i) {
            uint8_t c = frame[kPayload + 4 + i];
            uint32_t digit;
            if (c >= '0' && c <= '9')
                digit = c - '0';
            else if (c >= 'a' && c <= 'f')
                digit = c - 'a' + 10u;
            else if (c >= 'A' && c <= 'F')
                digit = c - 'A' + 10u;
            else
                break;
            size = size * 16 + digit;
        }
        link.remaining = size;
        return;
    }
    if (link.probe != PROBE_SENT || length < kPayload || be16(frame + kPacketSeq) != link.expectedSeq) return;
    if (!payload_starts(frame, length, "OKAY", 4)) return;
    if (payload_starts(frame, length, "OKAY0.4", 7))
        link.probe = PROBE_FRAMED;
    else if (payload_starts(frame, length, "OKAY0.5", 7))
        link.probe = PROBE_WINDOWS;
    else
        link.probe = PROBE_NONE;
}
