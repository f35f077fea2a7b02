// The fastboot-style byte stream over UDP datagrams to one device.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "flash/socket.h"
#include "flash/transport.h"

namespace udp {

// Packet ids.
enum : uint8_t { kIdError = 0, kIdDeviceQuery = 1, kIdInitialization = 2, kIdFastboot = 3 };
// Flag bits.
enum : uint8_t { kFlagContinuation = 0x01, kFlagNoAck = 0x80 };

// The 4 bytes in front of every datagram's payload; the sequence is big-endian.
struct UdpPacketHeader {
    uint8_t id;
    uint8_t flags;
    uint8_t sequence[2];
};
static_assert(sizeof(UdpPacketHeader) == 4, "the header is 4 bytes on the wire");

constexpr size_t kHeaderSize = sizeof(UdpPacketHeader);
constexpr uint32_t kMinPacketSize = 512;   // the smallest size a device may announce
constexpr uint32_t kHostPacketSize = 8192; // the largest size the host uses
constexpr uint16_t kProtocolVersion = 1;

class UdpTransport : public Transport {
public:
    // A transport that has negotiated with the device, or none with `error` set.
    static std::unique_ptr<UdpTransport> Create(std::unique_ptr<Socket> socket, std::string* error);

    int64_t ReadSome(uint8_t* buffer, size_t capacity) override;
    int64_t WriteAll(const uint8_t* data, uint32_t length) override;
    int Disconnect() override;

private:
    explicit UdpTransport(std::unique_ptr<Socket> socket) : socket_(std::move(socket)) {}

    bool Negotiate(std::string* error);
    int64_t Transfer(uint8_t id, const uint8_t* tx, size_t txLength, uint8_t* rx, size_t rxCapacity,
                     int sends, std::string* error);
    int64_t ExchangePacket(UdpPacketHeader header, const uint8_t* data, size_t length, uint8_t* rx,
                           size_t rxCapacity, int sends, std::string* error);

    // Prints the failure and returns -1 with errno at the system error behind
    // it, 0 for a failure of the protocol or a silent device.
    int64_t Failed(const char* text);

    std::unique_ptr<Socket> socket_;
    int failErrno_ = 0;  // of the last exchange's failure
    int32_t sequence_ = -1;
    uint32_t maxDataLength_ = kMinPacketSize - kHeaderSize;
    std::vector<uint8_t> packet_;  // receive buffer: the largest datagram accepted
    bool noAck_ = false;
    bool drainPending_ = false;  // unacknowledged data went out since the last drain
};

// Tests: the sends of a data exchange before the multiplier divides them (120).
void SetDataSendBudget(int sends);

// Connects to host:port over the network stack and negotiates.
std::unique_ptr<Transport> OpenTransport(const std::string& host, int port, std::string* error);
// Negotiates over a socket already connected; sets the thread's time-out multiplier to 3.
std::unique_ptr<Transport> AdoptSocket(std::unique_ptr<Socket> socket, std::string* error);

}  // namespace udp
