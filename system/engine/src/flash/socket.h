// Sockets of the engine's own network stack, as the fastboot transports use
// them. A socket lives on the download thread that made it.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// One piece of a gathered send.
struct SocketBuffer {
    const uint8_t* data;
    uint32_t length;
};

// Writes the pieces with one vectored call: the result of writev, or -1.
using GatherSendFn = std::function<int64_t(int handle, const SocketBuffer* pieces, size_t count)>;

class Socket {
public:
    enum Protocol { kTcp = 0, kUdp = 1 };

    // A stack socket connected to host:port, bound to the calling thread's
    // local UDP port; none on failure, with "Failed to connect to %s:%d".
    static std::unique_ptr<Socket> ConnectClient(int protocol, const std::string& host, int port,
                                                 std::string* error);
    // The text for the calling thread's current error number.
    static std::string LastErrorText();

    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    virtual ~Socket();

    virtual bool SendBytes(const void* data, size_t length) = 0;
    virtual bool SendGathered(std::vector<SocketBuffer> pieces) = 0;
    // Up to `capacity` bytes; waits at most `timeoutMs` (<= 0: no limit). -1 on failure.
    virtual int64_t ReceiveSome(void* data, size_t capacity, int timeoutMs) = 0;
    // Repeats ReceiveSome until `length` bytes arrived; what was got when one
    // fails or the stream ends, -1 when nothing was.
    virtual int64_t ReceiveExactly(void* data, size_t length, int timeoutMs);
    virtual int Disconnect();
    virtual std::unique_ptr<Socket> AcceptPeer();

    // True when the handle is readable within `timeoutMs` (at once for <= 0).
    bool WaitReadable(int timeoutMs);
    // Whether the last wait ended by time-out.
    bool TimedOut() const { return timedOut_; }
    int handle() const { return handle_; }
    // Tests replace the vectored write to see how partial sends are resumed.
    void SetGatherSend(GatherSendFn fn) { gatherSend_ = std::move(fn); }

protected:
    explicit Socket(int handle);

    int handle_;
    bool timedOut_ = false;
    GatherSendFn gatherSend_;
};

class TcpSocket : public Socket {
public:
    explicit TcpSocket(int handle) : Socket(handle) {}
    bool SendBytes(const void* data, size_t length) override;
    bool SendGathered(std::vector<SocketBuffer> pieces) override;
    int64_t ReceiveSome(void* data, size_t capacity, int timeoutMs) override;
    std::unique_ptr<Socket> AcceptPeer() override;
};

class UdpSocket : public Socket {
public:
    // With `holdPeer` the socket sends to the last sender it received from;
    // without, the handle must be connected.
    explicit UdpSocket(int handle, bool holdPeer = false);
    bool SendBytes(const void* data, size_t length) override;
    bool SendGathered(std::vector<SocketBuffer> pieces) override;
    int64_t ReceiveSome(void* data, size_t capacity, int timeoutMs) override;

private:
    std::optional<sockaddr_in6> peer_;
    uint32_t peerSize_ = 0;
};

// Disconnects and drops a transport's socket; 0 when it has none.
int disconnect_owned(std::unique_ptr<Socket>& socket);

// Free functions on raw stack socket handles.
int net_connect_client(const std::string& host, int port, int type);
int net_release_socket(int handle);
int64_t net_send_gathered(int handle, const SocketBuffer* pieces, size_t count);
