// One simulated device on its pseudo-terminal: wake bytes, hello, frames,
// neighbour discovery, UDP, windows of raw data, keep-alive and faults.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "commands.h"
#include "config.h"
#include "fastboot_udp.h"
#include "frame.h"
#include "net.h"
#include "record.h"
#include "throttle.h"
#include "unique_fd.h"

namespace devsim {

class SimDevice {
public:
    using Clock = std::chrono::steady_clock;
    SimDevice(const Config& cfg, int index);
    // Creates the terminal and publishes the port file; false with a message.
    bool open();

    int fd() const { return master_.get(); }
    bool wants_read();
    bool wants_write();
    // Milliseconds until the device has something to do on its own.
    int next_timeout_ms();
    void on_readable();
    void on_writable();
    void on_tick();

    // Finished: script ended (or vanished) and everything written.
    bool finished() const;
    void unpublish();
    bool write_record(const std::string& dir) const;
    const std::string& path() const { return path_; }

private:
    const Config& cfg_;
    int index_;
    Record record_;
    CommandDevice cmd_;
    FbSequencer seq_;
    FrameDecoder decoder_;
    UniqueFd master_, slave_;
    std::string path_, port_file_;
    Mac mac_{}, host_mac_{};
    Ip6 ll_{};
    std::vector<uint8_t> out_;
    size_t out_pos_ = 0;
    Throttle in_rate_, out_rate_;
    int wake_run_ = 0;
    size_t prod_pos_ = 0;  // bytes of "PROD" matched
    uint64_t raw_remaining_ = 0;
    Clock::time_point last_read_{};
    bool running_ = false, done_ = false, gone_ = false;
    bool close_after_flush_ = false;
    Clock::time_point next_keepalive_{}, silent_until_{}, close_at_{};
    uint64_t udp_frames_sent_ = 0;
    std::vector<bool> fault_used_;

    void handle_bytes(const uint8_t* b, size_t n);
    void restart_receive(const char* why);
    void on_frame(uint8_t type, const std::vector<uint8_t>& payload);
    void on_ethernet(const std::vector<uint8_t>& frame);
    void on_text(const std::vector<uint8_t>& payload);
    void handle_fastboot(const FbPacket& in, const char* carrier, const UdpDatagram* udp);
    void send_frame(const std::vector<uint8_t>& payload, uint8_t type);
    void send_raw(const uint8_t* b, size_t n);
    void send_udp(const UdpDatagram& req, const FbPacket& reply);
    bool silent() const { return Clock::now() < silent_until_; }
    bool check_silence(const std::string& command, bool at_start);
    void check_end();
    void vanish(const char* why);
    void log(const char* fmt, ...) const __attribute__((format(printf, 2, 3)));
};

}  // namespace devsim
