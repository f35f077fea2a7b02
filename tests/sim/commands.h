// What the boot ROM does with fastboot-style commands: variables, data
// phases, flashing, uploads; replies are queued and handed out one per read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "config.h"
#include "fastboot_udp.h"
#include "record.h"
#include "storage.h"

namespace devsim {

enum class EndKind { None, Complete, Reboot };

// Longest reply of a command, status code included.
constexpr size_t kMaxReply = 64;

class CommandDevice {
public:
    CommandDevice(const Config& cfg, int index, Record& record);

    // A fresh data packet (acknowledged or not); returns the id-3 reply.
    FbPacket on_data(const FbPacket& in);
    // Raw window bytes of the current data phase.
    void on_window_data(const uint8_t* data, size_t length);

    // A new session (wake or hello): an unfinished data phase or command and
    // the replies nobody read are dropped. True when there was any.
    bool restart_receive();

    EndKind ended() const { return ended_; }
    bool in_data_phase() const { return data_remaining_ > 0; }
    uint64_t download_bytes() const { return download_total_; }
    bool take_bad_seq() { bool b = bad_seq_; bad_seq_ = false; return b; }
    std::vector<uint8_t> take_progress() { auto p = progress_; progress_.clear(); return p; }
    Storage& storage() { return storage_; }
    const std::map<std::string, std::vector<uint8_t>>& images() const { return images_; }
    std::string variable(const std::string& name) const;

private:
    struct Reply {
        std::vector<uint8_t> bytes;
        bool bulk = false;
        size_t offset = 0;
        EndKind end = EndKind::None;
    };
    const Config& cfg_;
    int index_;
    Record& record_;
    Storage storage_;
    std::map<std::string, std::string> vars_;
    std::deque<Reply> replies_;
    std::vector<uint8_t> command_;   // a command split over continuation packets
    std::vector<uint8_t> download_;  // the last completed data phase
    uint64_t data_remaining_ = 0;
    uint64_t download_total_ = 0;
    int upload_flash_ = -1;
    uint64_t stage_start_ = 0, stage_size_ = 0;
    bool stage_set_ = false;
    // Progress counts the weights the package gives its commands: a flash
    // its image and partition sizes, an erase its partition size.
    uint64_t progress_total_ = 0, progress_done_ = 0;
    std::string last_flashed_;
    std::vector<uint8_t> progress_;
    std::map<std::string, std::vector<uint8_t>> images_;  // fuse, boot, call, partition
    std::vector<bool> one_shot_used_;
    EndKind ended_ = EndKind::None;
    bool bad_seq_ = false;

    void queue(const std::string& text, EndKind end = EndKind::None);
    void execute(const std::string& cmd, FbPacket& ack);
    void data_received(size_t n);
    void advance_progress(uint64_t weight);
    FbPacket next_reply();
    bool fault_matches(FaultKind kind, const std::string& cmd, bool one_shot);
};

}  // namespace devsim
