#include "flash/tcp_transport.h"

#include <android-base/parseint.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace tcp {
namespace {

constexpr int kProtocolVersion = 1;
constexpr int kHandshakeWaitMs = 2000;
constexpr size_t kLengthSize = 8;

}  // namespace

std::unique_ptr<TcpTransport> TcpTransport::Create(std::unique_ptr<Socket> socket,
                                                   std::string* error) {
    std::string unused;
    if (!error) error = &unused;
    std::unique_ptr<TcpTransport> transport(new TcpTransport(std::move(socket)));
    if (!transport->Handshake(error)) return nullptr;
    return transport;
}

bool TcpTransport::Handshake(std::string* error) {
    char text[300];
    char hello[5];
    std::snprintf(hello, sizeof(hello), "FB%02d", kProtocolVersion);
    if (!socket_->SendBytes(hello, 4)) {
        std::snprintf(text, sizeof(text), "Failed to send initialization message (%s)",
                      Socket::LastErrorText().c_str());
        *error = text;
        return false;
    }
    char answer[4];
    errno = 0;
    if (socket_->ReceiveExactly(answer, sizeof(answer), kHandshakeWaitMs) != 4) {
        // A silent device or a closed stream leaves no error number of its own.
        const std::string cause = socket_->TimedOut() ? std::string(strerror(ETIMEDOUT))
                                  : errno == 0        ? std::string("connection closed")
                                                      : Socket::LastErrorText();
        std::snprintf(text, sizeof(text),
                      "No initialization message received (%s). Target may not support TCP fastboot",
                      cause.c_str());
        *error = text;
        return false;
    }
    if (answer[0] != 'F' || answer[1] != 'B') {
        *error = "Unrecognized initialization message. Target may not support TCP fastboot";
        return false;
    }
    const std::string version(answer + 2, 2);
    int deviceVersion = 0;
    if (!android::base::ParseInt(version, &deviceVersion, 1)) {
        std::snprintf(text, sizeof(text), "Unknown TCP protocol version %s (host version %02d)",
                      version.c_str(), kProtocolVersion);
        *error = text;
        return false;
    }
    error->clear();
    return true;
}

int64_t TcpTransport::ReadSome(uint8_t* buffer, size_t capacity) {
    // A peer that closed the stream leaves no system error: errno stays 0.
    errno = 0;
    if (!socket_) return -1;
    if (messageLeft_ == 0) {
        uint8_t length[kLengthSize];
        if (socket_->ReceiveExactly(length, sizeof(length), 0) != static_cast<int64_t>(sizeof(length)))
            return FailAndDisconnect();
        for (uint8_t byte : length) messageLeft_ = messageLeft_ << 8 | byte;
    }
    const size_t want = static_cast<size_t>(std::min<uint64_t>(capacity, messageLeft_));
    const int64_t got = socket_->ReceiveExactly(buffer, want, 0);
    if (got < 0) return FailAndDisconnect();
    messageLeft_ -= static_cast<uint64_t>(got);
    return got;
}

int64_t TcpTransport::WriteAll(const uint8_t* data, uint32_t length) {
    errno = 0;
    if (!socket_) return -1;
    // A stream has no unacknowledged mode; bit 31 taken as a length would
    // send 2 GiB from a smaller buffer.
    length &= ~kTransportNoAck;
    uint8_t prefix[kLengthSize] = {};
    for (size_t i = 0; i < 4; ++i) prefix[kLengthSize - 1 - i] = static_cast<uint8_t>(length >> (8 * i));
    if (!socket_->SendGathered({{prefix, sizeof(prefix)}, {data, length}})) return FailAndDisconnect();
    return length;
}

int64_t TcpTransport::FailAndDisconnect() {
    const int err = errno;
    Disconnect();
    errno = err;
    return -1;
}

int TcpTransport::Disconnect() {
    return disconnect_owned(socket_);
}

std::unique_ptr<Transport> AdoptSocket(std::unique_ptr<Socket> socket, std::string* error) {
    if (!socket) return nullptr;
    return TcpTransport::Create(std::move(socket), error);
}

std::unique_ptr<Transport> OpenTransport(const std::string& host, int port, std::string* error) {
    return AdoptSocket(Socket::ConnectClient(Socket::kTcp, host, port, error), error);
}

}  // namespace tcp
