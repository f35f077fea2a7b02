// A socket that plays the device from a script: it records what the
// transport sends and hands back what the script queued.
#pragma once

#include <cerrno>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <vector>

#include "flash/socket.h"

using Bytes = std::vector<uint8_t>;

struct MockSocketState {
    // Datagrams keep their boundaries; a stream hands out any split.
    bool stream = false;
    // Called with every send; may queue replies.
    std::function<void(const Bytes& sent, MockSocketState& state)> respond;
    // Queued input: a datagram (or stream bytes), or an error number when
    // `errors` has a non-zero entry at the same place.
    std::deque<Bytes> input;
    std::deque<int> errors;
    bool peerClosed = false;  // an empty stream then reads 0 instead of timing out
    bool failSends = false;

    std::vector<Bytes> sent;
    std::vector<int> waits;  // the time-out of every receive
    int disconnects = 0;

    void Queue(Bytes bytes) {
        input.push_back(std::move(bytes));
        errors.push_back(0);
    }
    void QueueError(int error) {
        input.emplace_back();
        errors.push_back(error);
    }
};

class MockSocket : public Socket {
public:
    explicit MockSocket(std::shared_ptr<MockSocketState> state) : Socket(-1), state_(std::move(state)) {}

    bool SendBytes(const void* data, size_t length) override {
        const auto* bytes = static_cast<const uint8_t*>(data);
        return Record(Bytes(bytes, bytes + length));
    }
    bool SendGathered(std::vector<SocketBuffer> pieces) override {
        Bytes all;
        for (const SocketBuffer& piece : pieces) all.insert(all.end(), piece.data, piece.data + piece.length);
        return Record(std::move(all));
    }
    int64_t ReceiveSome(void* data, size_t capacity, int timeoutMs) override {
        MockSocketState& s = *state_;
        s.waits.push_back(timeoutMs);
        timedOut_ = false;
        if (s.input.empty()) {
            if (s.stream && s.peerClosed) return 0;
            timedOut_ = true;
            return -1;
        }
        if (s.errors.front() != 0) {
            errno = s.errors.front();
            s.input.pop_front();
            s.errors.pop_front();
            return -1;
        }
        Bytes& front = s.input.front();
        const size_t n = std::min(capacity, front.size());
        if (n > 0) std::memcpy(data, front.data(), n);  // an empty input may come with no buffer
        if (s.stream && n < front.size()) {
            front.erase(front.begin(), front.begin() + static_cast<std::ptrdiff_t>(n));
        } else {
            s.input.pop_front();
            s.errors.pop_front();
        }
        return static_cast<int64_t>(n);
    }
    int Disconnect() override {
        ++state_->disconnects;
        return Socket::Disconnect();
    }

private:
    bool Record(Bytes bytes) {
        if (state_->failSends) {
            errno = ENETUNREACH;
            return false;
        }
        state_->sent.push_back(bytes);
        if (state_->respond) state_->respond(state_->sent.back(), *state_);
        return true;
    }

    std::shared_ptr<MockSocketState> state_;
};
