#include <cerrno>
#include <cstring>

#include "flash/socket.h"
#include "flash/socket_lwip.h"

UdpSocket::UdpSocket(int handle, bool holdPeer) : Socket(handle) {
    if (holdPeer) {
        peer_.emplace();
        std::memset(&*peer_, 0, sizeof(*peer_));
        peerSize_ = sizeof(sockaddr_in6);
    }
}

bool UdpSocket::SendBytes(const void* data, size_t length) {
    const sockaddr* to = peer_ ? reinterpret_cast<const sockaddr*>(&*peer_) : nullptr;
    const socklen_t toSize = peer_ ? peerSize_ : 0;
    ssize_t sent;
    do {
        sent = lwip_sendto(handle_, data, length, 0, to, toSize);
    } while (sent < 0 && errno == EINTR);
    return sent >= 0 && static_cast<size_t>(sent) == length;
}

bool UdpSocket::SendGathered(std::vector<SocketBuffer> pieces) {
    int64_t total = 0;
    for (const SocketBuffer& piece : pieces) total += piece.length;
    return gatherSend_(handle_, pieces.data(), pieces.size()) == total;
}

int64_t UdpSocket::ReceiveSome(void* data, size_t capacity, int timeoutMs) {
    if (!WaitReadable(timeoutMs)) return -1;
    sockaddr* from = nullptr;
    socklen_t* fromSize = nullptr;
    socklen_t size = 0;
    if (peer_) {
        size = sizeof(sockaddr_in6);
        from = reinterpret_cast<sockaddr*>(&*peer_);
        fromSize = &size;
    }
    ssize_t got;
    do {
        got = lwip_recvfrom(handle_, data, capacity, 0, from, fromSize);
    } while (got < 0 && errno == EINTR);
    if (peer_ && got >= 0) peerSize_ = size;
    return got;
}
