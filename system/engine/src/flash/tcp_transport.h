// The fastboot-style byte stream over a stream socket: a 4-byte handshake,
// then every message behind an 8-byte big-endian length.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "flash/socket.h"
#include "flash/transport.h"

namespace tcp {

class TcpTransport : public Transport {
public:
    // A transport that has shaken hands with the device, or none with `error` set.
    static std::unique_ptr<TcpTransport> Create(std::unique_ptr<Socket> socket, std::string* error);

    int64_t ReadSome(uint8_t* buffer, size_t capacity) override;
    // The no-acknowledgement bit of `length` is dropped: a stream acknowledges all.
    int64_t WriteAll(const uint8_t* data, uint32_t length) override;
    int Disconnect() override;

private:
    explicit TcpTransport(std::unique_ptr<Socket> socket) : socket_(std::move(socket)) {}
    bool Handshake(std::string* error);
    // Disconnects and returns -1, errno kept as the failure left it.
    int64_t FailAndDisconnect();

    std::unique_ptr<Socket> socket_;
    uint64_t messageLeft_ = 0;  // unread rest of the current incoming message
};

std::unique_ptr<Transport> OpenTransport(const std::string& host, int port, std::string* error);
std::unique_ptr<Transport> AdoptSocket(std::unique_ptr<Socket> socket, std::string* error);

}  // namespace tcp
