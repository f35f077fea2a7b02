// A scripted host for tests and benchmarks: starts kelvo-devsim and speaks
// the link's wire format to a device directly on its pseudo-terminal.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include <json/json.h>

#include "fastboot_udp.h"
#include "frame.h"
#include "net.h"
#include "unique_fd.h"

namespace devsim {

std::string make_temp_dir(const std::string& tag);
void remove_tree(const std::string& dir);
std::vector<uint8_t> read_file(const std::string& path);
std::vector<Json::Value> read_json_lines(const std::string& path);

// A running kelvo-devsim with its own ports and record directories.
class SimProcess {
public:
    SimProcess() = default;
    ~SimProcess();
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;
    // Starts with --ports-dir and --record added; waits for `count` port files.
    bool start(const std::vector<std::string>& args, int count = 1);
    // SIGTERM (unless it already exits by itself) and wait; the exit status.
    int stop(int timeout_ms = 10000);
    bool wait_exit(int timeout_ms, int& status);
    std::vector<Json::Value> ports() const;  // port files currently present
    const std::string& ports_dir() const { return ports_dir_; }
    const std::string& record_dir() const { return record_dir_; }
    std::string root() const { return root_; }
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    std::string root_, ports_dir_, record_dir_;
};

// What the engine's link does with unacknowledged packets once the device
// has answered "0.5": payloads gathered into 512 KiB windows, each written
// raw after a text-frame announcement carrying the header of the packet being
// sent, and a last partial window plus a zero announcement once the size that
// "DATA" announced is used up.
class WindowGatherer {
public:
    static constexpr size_t kWindow = 524288;
    explicit WindowGatherer(uint32_t remaining) : remaining_(remaining) {}
    // One packet (4-byte header and payload); appends the port bytes to `wire`.
    void packet(const std::vector<uint8_t>& packet, std::vector<uint8_t>& wire);

private:
    uint32_t remaining_;
    std::vector<uint8_t> window_;
    void announce(const uint8_t* header, size_t size, std::vector<uint8_t>& wire);
};

class WireHost {
public:
    Mac mac{0x02, 0x00, 0x00, 0xAA, 0xBB, 0xCC};
    Mac device_mac{};
    Ip6 address{};         // host link-local
    Ip6 device_address{};  // fe80::EUI-64 of device_mac
    uint16_t port = 60000;
    uint16_t seq = 0;
    uint16_t packet_size = 512;

    bool open(const std::string& path);
    void close() { fd_.reset(); }
    bool send(const std::vector<uint8_t>& bytes);
    bool send_frame(const std::vector<uint8_t>& payload, uint8_t type) {
        return send(encode_frame(payload, type));
    }
    // Next frame of one of the wanted types (keep-alive frames skipped unless asked).
    bool read_frame(uint8_t& type, std::vector<uint8_t>& payload, int timeout_ms,
                    bool keepalive_too = false);
    // Raw bytes (production answers); whatever arrives within the time.
    std::vector<uint8_t> read_raw(int timeout_ms, size_t want);

    bool wake(int timeout_ms = 2000);
    bool hello(int timeout_ms = 2000);
    // Neighbour solicitation for `target`; true when an advertisement came back.
    bool solicit(const Ip6& target, std::vector<uint8_t>* advert, int timeout_ms = 1000);

    // One UDP exchange of a fastboot packet; the reply with the same sequence.
    bool exchange(const FbPacket& out, FbPacket& reply, int timeout_ms = 1000);
    bool send_udp_packet(const FbPacket& out);
    bool receive_udp_packet(FbPacket& reply, int timeout_ms);
    bool negotiate(uint16_t* init_version = nullptr);
    // A whole command: the reply texts up to and including the final one.
    bool command(const std::string& text, std::vector<std::string>& replies, int timeout_ms = 3000);
    std::string command(const std::string& text);  // final reply, "" on failure
    // A download data phase, acknowledged per packet; the final reply.
    std::string download(const std::vector<uint8_t>& data);
    // A download whose data goes out unacknowledged in writes of `write_size`
    // bytes, each cut into packets, carried in raw windows (usb links after
    // "0.5"); the final reply.
    std::string download_windows(const std::vector<uint8_t>& data, size_t write_size = 65536);
    // An upload's data: reads DATA, the bulk and the final reply.
    bool upload(std::vector<uint8_t>& data, std::string& final_reply);

    // Prompts for the next reply of the current command.
    bool read_reply_text(std::string& text, int timeout_ms);

private:
    UniqueFd fd_;
    FrameDecoder decoder_{65536};
    std::vector<std::pair<uint8_t, std::vector<uint8_t>>> pending_;
};

}  // namespace devsim
