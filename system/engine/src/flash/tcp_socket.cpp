#include <cerrno>

#include "flash/socket.h"
#include "flash/socket_lwip.h"

bool TcpSocket::SendBytes(const void* data, size_t length) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    while (length > 0) {
        ssize_t sent;
        do {
            sent = lwip_send(handle_, bytes, length, 0);
        } while (sent < 0 && errno == EINTR);
        if (sent < 0) return false;
        bytes += sent;
        length -= static_cast<size_t>(sent);
    }
    return true;
}

bool TcpSocket::SendGathered(std::vector<SocketBuffer> pieces) {
    size_t first = 0;  // pieces before it are sent
    while (first < pieces.size()) {
        int64_t sent = gatherSend_(handle_, pieces.data() + first, pieces.size() - first);
        if (sent < 0) return false;
        // A stream may take only part of it: resume at the first unsent byte.
        while (first < pieces.size() && pieces[first].length <= sent) {
            sent -= pieces[first].length;
            ++first;
        }
        if (first < pieces.size()) {
            pieces[first].data += sent;
            pieces[first].length -= static_cast<uint32_t>(sent);
        }
    }
    return true;
}

int64_t TcpSocket::ReceiveSome(void* data, size_t capacity, int timeoutMs) {
    if (!WaitReadable(timeoutMs)) return -1;
    ssize_t got;
    do {
        got = lwip_recv(handle_, data, capacity, 0);
    } while (got < 0 && errno == EINTR);
    return got;
}

std::unique_ptr<Socket> TcpSocket::AcceptPeer() {
    const int peer = lwip_accept(handle_, nullptr, nullptr);
    if (peer < 0) return nullptr;
    return std::make_unique<TcpSocket>(peer);
}
