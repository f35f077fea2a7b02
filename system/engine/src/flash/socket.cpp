#include "flash/socket.h"

#include <android-base/errors.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "flash/socket_lwip.h"

extern "C" {
#include <lwip/netif.h>
}
#include "flash/thread_state.h"

namespace {

// Fills `addr` from an address text; an IPv6 text may carry a zone after '%'
// (an interface index or name of the stack).
bool parse_host(const std::string& host, int port, sockaddr_storage* addr, socklen_t* size) {
    std::memset(addr, 0, sizeof(*addr));
    const size_t percent = host.find('%');
    const std::string text = host.substr(0, percent);
    auto* in6 = reinterpret_cast<sockaddr_in6*>(addr);
    if (lwip_inet_pton(AF_INET6, text.c_str(), &in6->sin6_addr) == 1) {
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(static_cast<uint16_t>(port));
        if (percent != std::string::npos) {
            const std::string zone = host.substr(percent + 1);
            if (zone.empty()) return false;
            char* end = nullptr;
            unsigned long index = std::strtoul(zone.c_str(), &end, 10);
            if (*end != '\0') {
                // The stack's own name lookup is built without its interface API.
                sys_lock_tcpip_core();
                index = netif_name_to_index(zone.c_str());
                sys_unlock_tcpip_core();
            }
            if (index == 0 || index > 255) return false;  // the stack keeps zones in a byte
            in6->sin6_scope_id = static_cast<uint32_t>(index);
        }
        *size = sizeof(sockaddr_in6);
        return true;
    }
    auto* in4 = reinterpret_cast<sockaddr_in*>(addr);
    if (percent == std::string::npos && lwip_inet_pton(AF_INET, text.c_str(), &in4->sin_addr) == 1) {
        in4->sin_family = AF_INET;
        in4->sin_port = htons(static_cast<uint16_t>(port));
        *size = sizeof(sockaddr_in);
        return true;
    }
    return false;
}

}  // namespace

// The stack has no name resolution: the host is an address text.
int net_connect_client(const std::string& host, int port, int type) {
    sockaddr_storage peer;
    socklen_t peerSize = 0;
    if (!parse_host(host, port, &peer, &peerSize)) {
        errno = EINVAL;
        return -1;
    }
    const int handle = lwip_socket(peer.ss_family, type, 0);
    if (handle < 0) return -1;

    // The serial link knows this thread's datagrams by their source port.
    sockaddr_storage local;
    std::memset(&local, 0, sizeof(local));
    socklen_t localSize;
    const uint16_t localPort = htons(download_thread_state().localPort);
    if (peer.ss_family == AF_INET6) {
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&local);
        in6->sin6_family = AF_INET6;
        in6->sin6_addr = in6addr_any;
        in6->sin6_port = localPort;
        localSize = sizeof(sockaddr_in6);
    } else {
        auto* in4 = reinterpret_cast<sockaddr_in*>(&local);
        in4->sin_family = AF_INET;
        in4->sin_port = localPort;
        localSize = sizeof(sockaddr_in);
    }
    if (lwip_bind(handle, reinterpret_cast<sockaddr*>(&local), localSize) != 0 ||
        lwip_connect(handle, reinterpret_cast<sockaddr*>(&peer), peerSize) != 0) {
        const int saved = errno;
        lwip_close(handle);
        errno = saved;
        return -1;
    }
    return handle;
}

int net_release_socket(int handle) { return lwip_close(handle); }

int64_t net_send_gathered(int handle, const SocketBuffer* pieces, size_t count) {
    constexpr size_t kMaxPieces = 16;
    if (count > kMaxPieces) {
        errno = EINVAL;
        return -1;
    }
    iovec vec[kMaxPieces];
    for (size_t i = 0; i < count; ++i) {
        vec[i].iov_base = const_cast<uint8_t*>(pieces[i].data);
        vec[i].iov_len = pieces[i].length;
    }
    ssize_t sent;
    do {
        sent = lwip_writev(handle, vec, static_cast<int>(count));
    } while (sent < 0 && errno == EINTR);
    return sent;
}

std::unique_ptr<Socket> Socket::ConnectClient(int protocol, const std::string& host, int port,
                                              std::string* error) {
    const bool udp = protocol == kUdp;
    const int handle = net_connect_client(host, port, udp ? SOCK_DGRAM : SOCK_STREAM);
    if (handle < 0) {
        if (error) {
            char text[300];
            std::snprintf(text, sizeof(text), "Failed to connect to %s:%d", host.c_str(), port);
            *error = text;
        }
        return nullptr;
    }
    if (udp) return std::make_unique<UdpSocket>(handle);
    return std::make_unique<TcpSocket>(handle);
}

std::string Socket::LastErrorText() { return android::base::SystemErrorCodeToString(errno); }

Socket::Socket(int handle) : handle_(handle), gatherSend_(net_send_gathered) {}

Socket::~Socket() {
    if (handle_ != -1) net_release_socket(handle_);
}

int Socket::Disconnect() {
    if (handle_ == -1) return 0;
    const int result = net_release_socket(handle_);
    handle_ = -1;
    return result;
}

int disconnect_owned(std::unique_ptr<Socket>& socket) {
    if (!socket) return 0;
    const int result = socket->Disconnect();
    socket.reset();
    return result;
}

std::unique_ptr<Socket> Socket::AcceptPeer() { return nullptr; }

bool Socket::WaitReadable(int timeoutMs) {
    timedOut_ = false;
    if (timeoutMs <= 0) return true;
    if (handle_ == -1) {
        errno = ENOTCONN;
        return false;
    }
    pollfd entry{handle_, POLLIN, 0};
    int ready;
    do {
        entry.revents = 0;
        ready = lwip_poll(&entry, 1, timeoutMs);
    } while (ready < 0 && errno == EINTR);
    if (ready == 1) return true;
    if (ready == 0) timedOut_ = true;
    return false;
}

int64_t Socket::ReceiveExactly(void* data, size_t length, int timeoutMs) {
    auto* bytes = static_cast<uint8_t*>(data);
    size_t total = 0;
    while (total < length) {
        const int64_t got = ReceiveSome(bytes + total, length - total, timeoutMs);
        // 0 is a stream whose peer has closed: nothing more will come.
        if (got <= 0) return total > 0 ? static_cast<int64_t>(total) : -1;
        total += static_cast<size_t>(got);
    }
    return static_cast<int64_t>(total);
}
