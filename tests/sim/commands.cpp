#include "commands.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace devsim {

namespace {
std::string hex(uint64_t v) {
    char b[24];
    snprintf(b, sizeof b, "0x%" PRIx64, v);
    return b;
}
// Exactly `digits` hex digits; false otherwise.
bool parse_hex_field(const std::string& s, size_t digits, uint64_t& out) {
    if (s.size() != digits) return false;
    out = 0;
    for (char c : s) {
        int d = (c >= '0' && c <= '9') ? c - '0' : (c >= 'a' && c <= 'f') ? c - 'a' + 10
              : (c >= 'A' && c <= 'F') ? c - 'A' + 10 : -1;
        if (d < 0) return false;
        out = out << 4 | uint64_t(d);
    }
    return true;
}
bool starts(const std::string& s, const char* prefix) { return s.compare(0, strlen(prefix), prefix) == 0; }
}  // namespace

CommandDevice::CommandDevice(const Config& cfg, int index, Record& record)
    : cfg_(cfg), index_(index), record_(record), storage_(cfg.flashes), one_shot_used_(cfg.faults.size()) {
    vars_["version"] = cfg.usb ? "0.5" : "0.4";
    vars_["version-bootrom"] = cfg.version_bootrom;
    vars_["platform"] = cfg.platform;
    vars_["max-download-size"] = hex(cfg.max_download_size);
    vars_["product"] = "devsim";
    char serial[32];
    snprintf(serial, sizeof serial, "SIM%04d", index);
    vars_["serialno"] = serial;
    for (const auto& kv : cfg.vars) vars_[kv.first] = kv.second;
}

std::string CommandDevice::variable(const std::string& name) const {
    auto it = vars_.find(name);
    if (it != vars_.end()) return it->second;
    auto part = [&](const char* prefix) -> const Partition* {
        return starts(name, prefix) ? storage_.find(name.substr(strlen(prefix))) : nullptr;
    };
    if (const Partition* p = part("partition-type:")) return p->type;
    if (const Partition* p = part("partition-size:")) return hex(p->size);
    if (const Partition* p = part("partition-start:")) return hex(p->start);
    return std::string("\x01", 1);  // marker: unknown
}

void CommandDevice::queue(const std::string& text, EndKind end) {
    Reply r;
    // The host reads a reply into 64 bytes and takes anything longer for
    // an overflow, so a long variable or message is cut, not sent whole.
    r.bytes.assign(text.begin(), text.begin() + long(std::min<size_t>(text.size(), kMaxReply)));
    r.end = end;
    replies_.push_back(std::move(r));
}

bool CommandDevice::fault_matches(FaultKind kind, const std::string& cmd, bool one_shot) {
    for (size_t i = 0; i < cfg_.faults.size(); ++i) {
        const Fault& f = cfg_.faults[i];
        if (f.kind != kind || (f.device >= 0 && f.device != index_)) continue;
        if (!starts(cmd, f.command.c_str())) continue;
        if (one_shot && one_shot_used_[i]) continue;
        one_shot_used_[i] = true;
        return true;
    }
    return false;
}

FbPacket CommandDevice::next_reply() {
    FbPacket r;
    r.id = FB_DATA;
    if (replies_.empty()) {
        r.payload.assign({'F', 'A', 'I', 'L', 'n', 'o', ' ', 'r', 'e', 'p', 'l', 'y'});
        return r;
    }
    Reply& front = replies_.front();
    if (front.bulk) {
        size_t chunk = std::min<size_t>(cfg_.packet_size - 4, front.bytes.size() - front.offset);
        r.payload.assign(front.bytes.begin() + long(front.offset), front.bytes.begin() + long(front.offset + chunk));
        front.offset += chunk;
        if (front.offset < front.bytes.size()) r.flags = FB_CONTINUATION;
        else replies_.pop_front();
        return r;
    }
    r.payload = front.bytes;
    if (front.end != EndKind::None) ended_ = front.end;
    replies_.pop_front();
    return r;
}

void CommandDevice::advance_progress(uint64_t weight) {
    progress_done_ += weight;
    if (!progress_total_) return;
    uint64_t pct = progress_done_ >= progress_total_ ? 100 : progress_done_ * 100 / progress_total_;
    progress_.push_back(uint8_t(pct));
    if (cfg_.prog_replies) queue("PROG" + std::to_string(pct));
}

void CommandDevice::data_received(size_t n) {
    download_total_ += n;
    if (data_remaining_ == 0) {
        Json::Value line;
        line["kind"] = "data-complete";
        line["size"] = Json::UInt64(download_.size());
        record_.add(line);
        queue("OKAY");
    }
    (void)n;
}

void CommandDevice::on_window_data(const uint8_t* data, size_t length) {
    size_t n = size_t(std::min<uint64_t>(length, data_remaining_));
    download_.insert(download_.end(), data, data + n);
    data_remaining_ -= n;
    if (n) data_received(n);
}

bool CommandDevice::restart_receive() {
    bool pending = data_remaining_ > 0 || !command_.empty() || !replies_.empty();
    if (data_remaining_ > 0) download_.clear();
    data_remaining_ = 0;
    command_.clear();
    replies_.clear();
    return pending;
}

FbPacket CommandDevice::on_data(const FbPacket& in) {
    FbPacket ack;
    ack.id = FB_DATA;
    if (in.payload.empty()) return next_reply();
    if (data_remaining_ > 0) {
        on_window_data(in.payload.data(), in.payload.size());
        return ack;
    }
    command_.insert(command_.end(), in.payload.begin(), in.payload.end());
    if (in.flags & FB_CONTINUATION) return ack;
    std::string cmd(command_.begin(), command_.end());
    command_.clear();
    execute(cmd, ack);
    return ack;
}

void CommandDevice::execute(const std::string& cmd, FbPacket& ack) {
    Json::Value line;
    line["kind"] = "command";
    line["command"] = cmd;
    record_.add(line);

    if (fault_matches(FaultKind::BadSeq, cmd, true)) bad_seq_ = true;
    if (fault_matches(FaultKind::ErrorPacket, cmd, true)) {
        ack.id = FB_ERROR;
        const char* t = "simulated error";
        ack.payload.assign(t, t + strlen(t));
        return;
    }
    if (fault_matches(FaultKind::DataInAck, cmd, true)) ack.payload.assign({'O', 'K', 'A', 'Y'});
    if (cmd.size() > 64) return queue("FAILcommand too long");
    if (fault_matches(FaultKind::Fail, cmd, false)) return queue("FAILsimulated failure");

    if (starts(cmd, "getvar:")) {
        std::string name = cmd.substr(7);
        if (name == "all") {
            for (const auto& kv : vars_) queue("INFO" + kv.first + ": " + kv.second);
            for (const auto& p : storage_.partitions()) {
                queue("INFO" + std::string("partition-type:") + p.name + ": " + p.type);
                queue("INFO" + std::string("partition-size:") + p.name + ": " + hex(p.size));
            }
            return queue("OKAY");
        }
        std::string v = variable(name);
        if (v == std::string("\x01", 1)) return queue("FAILunknown variable");
        return queue("OKAY" + v);
    }
    if (starts(cmd, "download:")) {
        uint64_t size = 0;
        if (!parse_hex_field(cmd.substr(9), 8, size)) return queue("FAILbad download size");
        if (size == 0 || size > cfg_.max_download_size) return queue("FAILdata too large");
        download_.clear();
        download_.reserve(size_t(size));
        data_remaining_ = size;
        char b[32];
        snprintf(b, sizeof b, "DATA%08" PRIx64, size);
        return queue(b);
    }
    if (starts(cmd, "flash:")) {
        const Partition* p = storage_.find(cmd.substr(6));
        if (!p) return queue("FAILunknown partition");
        if (download_.empty()) return queue("FAILno image downloaded");
        uint64_t written = 0;
        std::string err = storage_.write_image(*p, download_, written);
        if (!err.empty()) return queue("FAIL" + err);
        // A flash weighs its image plus its partition; the later pieces of
        // an image split for the download add only their own share. A piece
        // stands for the bytes it writes (a run of one value travels as a
        // few bytes), at least for what it took on the line (a container's
        // own headers count in the size the package gives its image).
        uint64_t share = std::max<uint64_t>(download_.size(), written);
        advance_progress(share + (p->name != last_flashed_ ? p->size : 0));
        last_flashed_ = p->name;
        queue("INFOwrote " + std::to_string(written) + " bytes");
        return queue("OKAY");
    }
    if (starts(cmd, "erase:")) {
        const Partition* p = storage_.find(cmd.substr(6));
        if (!p) return queue("FAILunknown partition");
        storage_.erase(*p);
        advance_progress(p->size);
        last_flashed_.clear();
        return queue("OKAY");
    }
    if (cmd == "partition") {
        std::string err = storage_.adopt_table(download_);
        if (!err.empty()) return queue("FAIL" + err);
        images_["partition"] = download_;
        // The table lives in its own partition when it has one.
        if (const Partition* t = storage_.find("ptable"))
            if (t->flash >= 0) {
                uint64_t w = 0;
                std::vector<uint8_t> table(download_.begin(), download_.begin() + long(std::min<uint64_t>(download_.size(), t->size)));
                storage_.write_image(*t, table, w);
            }
        return queue("OKAY");
    }
    if (cmd == "verify") return queue(download_.empty() ? "FAILno image downloaded" : "OKAY");
    if (cmd == "boot" || cmd == "call" || cmd == "fuse") {
        if (download_.empty()) return queue("FAILno image downloaded");
        images_[cmd] = download_;
        return queue("OKAY");
    }
    if (starts(cmd, "progress:")) {
        uint64_t v = 0;
        if (!parse_hex_field(cmd.substr(9), 8, v)) return queue("FAILbad progress");
        progress_total_ = v;
        progress_done_ = 0;
        last_flashed_.clear();
        return queue("OKAY");
    }
    if (cmd == "reboot") return queue("OKAY", EndKind::Reboot);
    if (cmd == "complete") return queue("OKAY", EndKind::Complete);
    if (starts(cmd, "useflash:")) {
        int f = storage_.flash_index(cmd.substr(9));
        if (f < 0) return queue("FAILunknown flash");
        upload_flash_ = f;
        stage_set_ = false;
        return queue("OKAY");
    }
    if (starts(cmd, "ulstage:")) {
        uint64_t start = 0, size = 0;
        if (cmd.size() != 8 + 17 || cmd[16] != ':' || !parse_hex_field(cmd.substr(8, 8), 8, start) ||
            !parse_hex_field(cmd.substr(17, 8), 8, size))
            return queue("FAILbad stage");
        if (upload_flash_ < 0) return queue("FAILno flash selected");
        if (start + size > storage_.flashes()[size_t(upload_flash_)].size()) return queue("FAILstage beyond flash");
        stage_start_ = start;
        stage_size_ = size;
        stage_set_ = true;
        return queue("OKAY");
    }
    if (cmd == "upload") {
        if (!stage_set_) return queue("FAILno upload stage");
        const Flash& flash = storage_.flashes()[size_t(upload_flash_)];
        char h[32];
        snprintf(h, sizeof h, "DATA%08" PRIx64, stage_size_);
        queue(h);
        if (stage_size_ > 0) {
            Reply r;
            r.bulk = true;
            r.bytes.resize(size_t(stage_size_));
            flash.read(stage_start_, r.bytes.data(), r.bytes.size());
            replies_.push_back(std::move(r));
        }
        return queue("OKAY");
    }
    queue("FAILunknown command");
}

}  // namespace devsim
