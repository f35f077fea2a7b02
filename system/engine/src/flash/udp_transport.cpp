#include "flash/udp_transport.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "flash/thread_state.h"
#include "link/ethos_flow.h"

namespace udp {
namespace {

constexpr int kNegotiationSends = 4;
constexpr uint32_t kReplyWaitMs = 500;
// Divided by the multiplier: about 60 s either way.
std::atomic<int> g_data_send_budget{120};

// The thread's multiplier; a thread that never set one counts as 1 rather
// than dividing by zero.
uint32_t multiplier() { return std::max<uint32_t>(download_thread_state().multiplier, 1); }

int data_sends() { return g_data_send_budget.load() / static_cast<int>(multiplier()); }

uint16_t read_be16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

std::string format_error(const char* format, int value) {
    char text[96];
    std::snprintf(text, sizeof(text), format, value);
    return text;
}

}  // namespace

std::unique_ptr<UdpTransport> UdpTransport::Create(std::unique_ptr<Socket> socket,
                                                   std::string* error) {
    std::string unused;
    if (!error) error = &unused;
    std::unique_ptr<UdpTransport> transport(new UdpTransport(std::move(socket)));
    if (!transport->Negotiate(error)) return nullptr;
    return transport;
}

bool UdpTransport::Negotiate(std::string* error) {
    sequence_ = 0;
    packet_.assign(kMinPacketSize, 0);
    noAck_ = false;

    uint8_t reply[4];
    int64_t got = Transfer(kIdDeviceQuery, nullptr, 0, reply, sizeof(reply), kNegotiationSends, error);
    if (got < 0) return false;
    if (got < 2) {
        *error = "invalid query response from target";
        return false;
    }
    sequence_ = read_be16(reply);

    const uint8_t init[4] = {0, kProtocolVersion, kHostPacketSize >> 8, kHostPacketSize & 0xFF};
    got = Transfer(kIdInitialization, init, sizeof(init), reply, sizeof(reply), kNegotiationSends, error);
    if (got < 0) return false;
    if (got < 4) {
        *error = "invalid initialization response from target";
        return false;
    }
    const uint16_t version = read_be16(reply);
    const uint16_t deviceSize = read_be16(reply + 2);
    if (version == 0) {
        *error = format_error("target reported invalid protocol version %d", version);
        return false;
    }
    if (deviceSize < kMinPacketSize) {
        *error = format_error("target reported invalid packet size %d", deviceSize);
        return false;
    }
    const uint32_t packetSize = std::min<uint32_t>(deviceSize, kHostPacketSize);
    maxDataLength_ = packetSize - kHeaderSize;
    packet_.assign(packetSize, 0);
    return true;
}

int64_t UdpTransport::Transfer(uint8_t id, const uint8_t* tx, size_t txLength, uint8_t* rx,
                               size_t rxCapacity, int sends, std::string* error) {
    failErrno_ = 0;
    if (!socket_) {
        *error = "socket is closed";
        return -1;
    }
    // Acknowledged traffic after unacknowledged data waits until that data has
    // left the host: the retries of this exchange count from then on.
    if (!noAck_ && drainPending_) {
        ethos_flow_drain(download_thread_connection());
        drainPending_ = false;
    }
    int64_t total = 0;
    do {
        const bool more = txLength > maxDataLength_;
        const size_t slice = more ? maxDataLength_ : txLength;
        UdpPacketHeader header;
        header.id = id;
        header.flags = static_cast<uint8_t>((more ? kFlagContinuation : 0) | (noAck_ ? kFlagNoAck : 0));
        header.sequence[0] = static_cast<uint8_t>(sequence_ >> 8);
        header.sequence[1] = static_cast<uint8_t>(sequence_);
        const int64_t got = ExchangePacket(header, tx, slice, rx, rxCapacity, sends, error);
        if (got < 0) return -1;
        total += got;
        if (static_cast<uint64_t>(got) < rxCapacity) {
            rx += got;
            rxCapacity -= static_cast<size_t>(got);
        } else {
            rxCapacity = 0;  // the rest is counted, not stored
        }
        tx += slice;
        txLength -= slice;
    } while (txLength > 0);
    return total;
}

int64_t UdpTransport::ExchangePacket(UdpPacketHeader header, const uint8_t* data, size_t length,
                                     uint8_t* rx, size_t rxCapacity, int sends, std::string* error) {
    error->clear();
    if (sends <= 0) {
        *error = "no response from target";
        return -1;
    }
    int64_t count = 0;
    int sendsLeft = sends;
    bool lastWasError = false;
    for (;;) {
        std::vector<SocketBuffer> pieces{{reinterpret_cast<const uint8_t*>(&header), kHeaderSize},
                                         {data, static_cast<uint32_t>(length)}};
        // Unacknowledged data waits for room in the host rather than piling up.
        const int64_t held = noAck_ ? static_cast<int64_t>(length) : 0;
        ethos_flow_hold(download_thread_connection(), held);
        if (!socket_->SendGathered(std::move(pieces))) {
            failErrno_ = errno;
            *error = Socket::LastErrorText();
            ethos_flow_hold(download_thread_connection(), -held);
            return -1;
        }
        if (noAck_) {
            ++sequence_;
            drainPending_ = true;
            return 0;
        }

        // Wait for the reply to this packet, skipping strays and stale ones.
        int64_t got;
        bool resend = false;
        for (;;) {
            got = socket_->ReceiveSome(packet_.data(), packet_.size(),
                                       static_cast<int>(kReplyWaitMs * multiplier()));
            if (got < 0) {
                if (!socket_->TimedOut()) {
                    failErrno_ = errno;
                    *error = Socket::LastErrorText();
                    return -1;
                }
                if (--sendsLeft > 0) {
                    resend = true;
                    break;
                }
                *error = "no response from target";
                return -1;
            }
            if (got < static_cast<int64_t>(kHeaderSize)) {
                *error = "protocol error: incomplete header";
                return -1;
            }
            const uint8_t replyId = packet_[0];
            const bool sameSequence =
                packet_[2] == header.sequence[0] && packet_[3] == header.sequence[1];
            if (sameSequence && (replyId == header.id || replyId == kIdError)) break;
        }
        if (resend) continue;  // the same packet, the same sequence number

        ++sequence_;
        const uint8_t replyId = packet_[0];
        const uint8_t replyFlags = packet_[1];
        const uint8_t* payload = packet_.data() + kHeaderSize;
        const size_t payloadLength = static_cast<size_t>(got) - kHeaderSize;
        lastWasError = replyId == kIdError;
        if (lastWasError) {
            error->append(reinterpret_cast<const char*>(payload), payloadLength);
        } else {
            count += static_cast<int64_t>(payloadLength);
            const size_t stored = std::min(payloadLength, rxCapacity);
            if (stored > 0) std::memcpy(rx, payload, stored);
            rx += stored;
            rxCapacity -= stored;
        }
        if (!(replyFlags & kFlagContinuation)) break;

        // The device has more: prompt for it with an empty packet of its id.
        header.id = replyId;
        header.flags = 0;
        header.sequence[0] = static_cast<uint8_t>(sequence_ >> 8);
        header.sequence[1] = static_cast<uint8_t>(sequence_);
        data = nullptr;
        length = 0;
        sendsLeft = sends;
    }
    if (lastWasError) {
        *error = "target reported error: " + *error;
        return -1;
    }
    return count;
}

int64_t UdpTransport::Failed(const char* text) {
    std::fprintf(stderr, "UDP error: %s\n", text);
    errno = failErrno_;
    return -1;
}

int64_t UdpTransport::ReadSome(uint8_t* buffer, size_t capacity) {
    std::string error;
    const int64_t got = Transfer(kIdFastboot, nullptr, 0, buffer, capacity, data_sends(), &error);
    if (got < 0) return Failed(error.c_str());
    if (static_cast<uint64_t>(got) > capacity)
        return Failed("receive overflow, target sent too much fastboot data");
    return got;
}

int64_t UdpTransport::WriteAll(const uint8_t* data, uint32_t length) {
    if (length & kTransportNoAck) {
        length &= ~kTransportNoAck;
        noAck_ = true;
    }
    std::string error;
    const int64_t got = Transfer(kIdFastboot, data, length, nullptr, 0, data_sends(), &error);
    noAck_ = false;
    if (got < 0) return Failed(error.c_str());
    if (got > 0) return Failed("target sent fastboot data out-of-turn");
    return length;
}

void SetDataSendBudget(int sends) { g_data_send_budget.store(sends); }

int UdpTransport::Disconnect() {
    return disconnect_owned(socket_);
}

std::unique_ptr<Transport> AdoptSocket(std::unique_ptr<Socket> socket, std::string* error) {
    if (!socket) return nullptr;
    download_thread_state().multiplier = 3;
    return UdpTransport::Create(std::move(socket), error);
}

std::unique_ptr<Transport> OpenTransport(const std::string& host, int port, std::string* error) {
    return AdoptSocket(Socket::ConnectClient(Socket::kUdp, host, port, error), error);
}

}  // namespace udp
