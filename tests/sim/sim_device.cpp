#include "sim_device.h"

#include <fcntl.h>
#include <stdarg.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace devsim {

namespace {
constexpr uint16_t kFastbootPort = 5554;
const uint8_t kWakeBytes[5] = {0x55, 0x55, 0x55, 0x55, 0x7E};
// The host writes a window without pauses; wake bytes after a quiet line are
// a new host (the old one stopped mid-window), not window data.
constexpr auto kQuietBeforeWake = std::chrono::milliseconds(500);
bool starts(const std::string& s, const std::string& p) { return s.compare(0, p.size(), p) == 0; }
int ms_until(SimDevice::Clock::time_point t) {
    auto d = std::chrono::duration_cast<std::chrono::milliseconds>(t - SimDevice::Clock::now()).count();
    return d < 0 ? 0 : int(d) + 1;
}
}  // namespace

SimDevice::SimDevice(const Config& cfg, int index)
    : cfg_(cfg),
      index_(index),
      cmd_(cfg, index, record_),
      seq_(cfg.packet_size),
      in_rate_(cfg.line_rate),
      out_rate_(cfg.line_rate),
      fault_used_(cfg.faults.size()) {
    unsigned pid = unsigned(getpid());
    mac_ = Mac{0x02, 0x6B, 0x64, uint8_t(pid), uint8_t(index >> 8), uint8_t(index)};
    ll_ = link_local_of(mac_);
}

void SimDevice::log(const char* fmt, ...) const {
    if (cfg_.quiet) return;
    char buf[512];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    fprintf(stderr, "devsim[%d]: %s\n", index_, buf);
}

bool SimDevice::open() {
    UniqueFd m(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    char name[128] = {};
    if (!m || grantpt(m.get()) != 0 || unlockpt(m.get()) != 0 || ptsname_r(m.get(), name, sizeof name) != 0) {
        fprintf(stderr, "kelvo-devsim: cannot create a pseudo-terminal: %s\n", strerror(errno));
        return false;
    }
    // Held open so the master never reads EIO while the host has the port closed.
    UniqueFd s(::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
    termios t{};
    if (!s || tcgetattr(s.get(), &t) != 0) {
        fprintf(stderr, "kelvo-devsim: cannot open %s: %s\n", name, strerror(errno));
        return false;
    }
    cfmakeraw(&t);
    cfsetispeed(&t, B115200);
    cfsetospeed(&t, B115200);
    tcsetattr(s.get(), TCSANOW, &t);
    fcntl(m.get(), F_SETFL, fcntl(m.get(), F_GETFL) | O_NONBLOCK);
    master_ = std::move(m);
    slave_ = std::move(s);
    path_ = name;

    std::string location = cfg_.location + "." + std::to_string(index_);
    Json::Value port;
    port["path"] = path_;
    port["vendorId"] = cfg_.vid;
    port["productId"] = cfg_.pid;
    port["description"] = cfg_.description;
    port["displayName"] = cfg_.description + " (" + path_ + ")";
    port["locationInfo"] = location;
    Json::StreamWriterBuilder b;
    std::string text = Json::writeString(b, port) + "\n";
    std::string stem = cfg_.ports_dir + "/devsim-" + std::to_string(getpid()) + "-" + std::to_string(index_);
    std::string tmp = stem + ".tmp";
    // Renamed into place so a watcher never reads half a file.
    if (!write_file(tmp, text.data(), text.size()) || rename(tmp.c_str(), (stem + ".json").c_str()) != 0) {
        fprintf(stderr, "kelvo-devsim: cannot publish %s.json: %s\n", stem.c_str(), strerror(errno));
        return false;
    }
    port_file_ = stem + ".json";
    Json::Value line;
    line["kind"] = "device";
    line["path"] = path_;
    line["location"] = location;
    line["address"] = ip6_text(ll_);
    record_.add(line);
    log("%s at %s, %s", path_.c_str(), location.c_str(), ip6_text(ll_).c_str());
    return true;
}

void SimDevice::unpublish() {
    if (!port_file_.empty()) unlink(port_file_.c_str());
    port_file_.clear();
}

bool SimDevice::wants_read() { return !gone_ && in_rate_.allowance() > 0; }
bool SimDevice::wants_write() { return !gone_ && out_pos_ < out_.size() && out_rate_.allowance() > 0; }

int SimDevice::next_timeout_ms() {
    if (gone_) return -1;
    int t = 200;
    auto take = [&](int v) { if (v >= 0 && v < t) t = v; };
    if (running_ && !done_) take(ms_until(silent() ? silent_until_ : next_keepalive_));
    if (out_pos_ < out_.size()) take(out_rate_.wait_ms());
    if (in_rate_.limited()) take(in_rate_.wait_ms());
    if (close_after_flush_) take(out_.empty() ? 20 : 200);
    return t;
}

void SimDevice::on_readable() {
    uint8_t buf[4096];
    size_t want = std::min(sizeof buf, in_rate_.allowance());
    if (want == 0 || gone_) return;
    ssize_t n = read(master_.get(), buf, want);
    if (n <= 0) return;
    in_rate_.consume(size_t(n));
    auto now = Clock::now();
    bool after_quiet = now - last_read_ >= kQuietBeforeWake;
    last_read_ = now;
    if (raw_remaining_ > 0 && after_quiet && size_t(n) >= sizeof kWakeBytes &&
        memcmp(buf, kWakeBytes, sizeof kWakeBytes) == 0)
        restart_receive("wake");
    handle_bytes(buf, size_t(n));
}

void SimDevice::on_writable() {
    if (gone_ || out_pos_ >= out_.size()) return;
    size_t n = std::min(out_.size() - out_pos_, out_rate_.allowance());
    if (n == 0) return;
    ssize_t w = write(master_.get(), out_.data() + out_pos_, n);
    if (w <= 0) return;
    out_rate_.consume(size_t(w));
    out_pos_ += size_t(w);
    if (out_pos_ == out_.size()) {
        out_.clear();
        out_pos_ = 0;
    }
}

void SimDevice::on_tick() {
    if (gone_) return;
    auto now = Clock::now();
    if (running_ && !done_ && !silent() && now >= next_keepalive_) {
        // The host takes more than 3 s of silence for a dead device.
        send_frame({0x00}, FRAME_KEEPALIVE);
        next_keepalive_ = now + std::chrono::milliseconds(200);
    }
    if (close_after_flush_ && out_.empty()) {
        if (close_at_ == Clock::time_point{}) {
            close_at_ = now + std::chrono::milliseconds(200);
        } else if (now >= close_at_) {
            master_.reset();
            slave_.reset();
            gone_ = true;
            close_after_flush_ = false;
            log("rebooted: port removed");
        }
    }
}

bool SimDevice::finished() const {
    return (gone_ || done_) && !close_after_flush_ && out_.empty();
}

void SimDevice::send_raw(const uint8_t* b, size_t n) {
    if (gone_) return;
    out_.insert(out_.end(), b, b + n);
}

void SimDevice::send_frame(const std::vector<uint8_t>& payload, uint8_t type) {
    if (gone_) return;
    auto f = encode_frame(payload, type);
    out_.insert(out_.end(), f.begin(), f.end());
}

void SimDevice::vanish(const char* why) {
    Json::Value line;
    line["kind"] = "vanish";
    line["reason"] = why;
    line["downloaded"] = Json::UInt64(cmd_.download_bytes());
    record_.add(line);
    log("vanishing: %s", why);
    unpublish();
    master_.reset();
    slave_.reset();
    out_.clear();
    out_pos_ = 0;
    gone_ = true;
    done_ = true;
}

bool SimDevice::check_silence(const std::string& command, bool at_start) {
    for (size_t i = 0; i < cfg_.faults.size(); ++i) {
        const Fault& f = cfg_.faults[i];
        if (f.kind != FaultKind::Silent || fault_used_[i] || (f.device >= 0 && f.device != index_)) continue;
        bool hit = at_start ? f.command.empty() : (!f.command.empty() && starts(command, f.command));
        if (!hit) continue;
        fault_used_[i] = true;
        silent_until_ = Clock::now() + std::chrono::milliseconds(f.n);
        Json::Value line;
        line["kind"] = "silent";
        line["ms"] = Json::UInt64(f.n);
        record_.add(line);
        return true;
    }
    return false;
}

void SimDevice::handle_bytes(const uint8_t* b, size_t n) {
    auto sink = [this](uint8_t type, const std::vector<uint8_t>& p) { on_frame(type, p); };
    for (size_t i = 0; i < n && !gone_;) {
        if (raw_remaining_ > 0) {
            size_t chunk = size_t(std::min<uint64_t>(raw_remaining_, n - i));
            cmd_.on_window_data(b + i, chunk);
            raw_remaining_ -= chunk;
            i += chunk;
            for (const Fault& f : cfg_.faults)
                if (f.kind == FaultKind::Vanish && (f.device < 0 || f.device == index_) &&
                    cmd_.download_bytes() >= f.n)
                    return vanish("download bytes reached");
            continue;
        }
        uint8_t c = b[i++];
        if (c == 0x55) {
            // Inside a frame 0x55 is payload, so a frame ending in four of
            // them is no wake; the run counts only from a frame boundary.
            if (wake_run_ > 0 || decoder_.at_boundary()) ++wake_run_;
        } else if (c == 0x7E && wake_run_ >= 4) {
            wake_run_ = 0;
            decoder_.open_frame();
            // Once its script has ended the device no longer answers, or it
            // would be programmed again.
            if (!done_ && !silent()) {
                restart_receive("wake");
                send_frame({'U', 'U', 'U', 'U'}, FRAME_DATA);
                Json::Value line;
                line["kind"] = "wake";
                record_.add(line);
            }
            continue;
        } else {
            wake_run_ = 0;
        }
        // "PROD", unframed, from a frame boundary like the wake bytes: a
        // port that last saw wake bytes is just past a flag.
        static const char kProd[] = "PROD";
        if (c == uint8_t(kProd[prod_pos_]) && (prod_pos_ > 0 || decoder_.at_boundary())) {
            if (++prod_pos_ == 4) {
                prod_pos_ = 0;
                decoder_.reset();
                send_raw(reinterpret_cast<const uint8_t*>(cfg_.prod_answer.data()), cfg_.prod_answer.size());
                Json::Value line;
                line["kind"] = "production";
                line["answer"] = cfg_.prod_answer;
                record_.add(line);
                continue;
            }
        } else {
            prod_pos_ = c == 'P' && decoder_.at_boundary() ? 1 : 0;
        }
        decoder_.feed(c, sink);
    }
}

// A boot ROM starts receiving afresh on a wake or a hello: what a stopped
// host left unfinished (a window, a data phase, a command, unread replies)
// would otherwise swallow the new host's frames.
void SimDevice::restart_receive(const char* why) {
    uint64_t window = raw_remaining_;
    raw_remaining_ = 0;
    if (window > 0) {
        decoder_.reset();
        wake_run_ = 0;
        prod_pos_ = 0;
    }
    if (!cmd_.restart_receive() && window == 0) return;
    Json::Value line;
    line["kind"] = "restart";
    line["reason"] = why;
    line["window"] = Json::UInt64(window);
    record_.add(line);
    log("receive restarted on a %s", why);
}

void SimDevice::on_frame(uint8_t type, const std::vector<uint8_t>& p) {
    switch (type) {
    case FRAME_DATA: on_ethernet(p); break;
    case FRAME_TEXT: on_text(p); break;
    case FRAME_HELLO:
        if (p.size() != 6 || silent()) break;
        memcpy(host_mac_.data(), p.data(), 6);
        if (!done_) restart_receive("hello");
        send_frame(std::vector<uint8_t>(mac_.begin(), mac_.end()), FRAME_HELLO_REPLY);
        if (!running_ && !done_) {
            running_ = true;
            next_keepalive_ = Clock::now();
            Json::Value line;
            line["kind"] = "hello";
            record_.add(line);
            check_silence("", true);
        }
        break;
    case FRAME_HELLO_REPLY:
        if (p.size() == 6) memcpy(host_mac_.data(), p.data(), 6);
        break;
    default: break;
    }
}

void SimDevice::on_ethernet(const std::vector<uint8_t>& f) {
    if (silent()) return;
    auto na = answer_neighbour_solicitation(f.data(), f.size(), mac_, ll_);
    if (!na.empty()) {
        send_frame(na, FRAME_DATA);
        return;
    }
    UdpDatagram d;
    if (!parse_udp(f.data(), f.size(), d) || d.dst != ll_ || d.dst_port != kFastbootPort) return;
    if (!d.checksum_ok) {
        Json::Value line;
        line["kind"] = "bad-checksum";
        record_.add(line);
        return;
    }
    FbPacket in;
    if (!parse_fb_packet(d.payload.data(), d.payload.size(), in)) return;
    handle_fastboot(in, "udp", &d);
}

void SimDevice::on_text(const std::vector<uint8_t>& p) {
    if (silent()) return;
    FbPacket in;
    if (!parse_fb_packet(p.data(), p.size(), in)) return;
    static const char kReq[] = "data-request:";
    if (p.size() == 4 + 13 + 8 && memcmp(p.data() + 4, kReq, 13) == 0) {
        std::string digits(p.begin() + 17, p.end());
        uint64_t n = strtoull(digits.c_str(), nullptr, 16);
        Json::Value line;
        line["kind"] = "window";
        line["seq"] = in.seq;
        line["flags"] = in.flags;
        line["size"] = Json::UInt64(n);
        record_.add(line);
        seq_.resync(in.seq);
        raw_remaining_ = n;
        return;
    }
    in.flags |= FB_NO_ACK;  // a text frame is never acknowledged
    handle_fastboot(in, "text", nullptr);
}

void SimDevice::handle_fastboot(const FbPacket& in, const char* carrier, const UdpDatagram* udp) {
    bool is_command = in.id == FB_DATA && !in.payload.empty() && !cmd_.in_data_phase();
    std::string text = is_command ? std::string(in.payload.begin(), in.payload.end()) : "";
    if (is_command && in.seq == seq_.expected() && check_silence(text, false)) return;

    FbOutcome o = seq_.handle(in, [this](const FbPacket& r) { return cmd_.on_data(r); });
    Json::Value line;
    line["kind"] = "packet";
    line["carrier"] = carrier;
    line["id"] = in.id;
    line["flags"] = in.flags;
    line["seq"] = in.seq;
    line["length"] = Json::UInt64(in.payload.size());
    line["retransmission"] = o.retransmission;
    if (o.ignored) line["ignored"] = true;
    if (is_command) line["command"] = text;
    record_.add(line);

    if (o.reply && udp) {
        FbPacket r = o.packet;
        if (o.executed && cmd_.take_bad_seq()) r.seq = uint16_t(r.seq + 1000);
        if (r.id == FB_DATA && !r.payload.empty() && !(r.flags & FB_CONTINUATION) && r.payload.size() <= 64 &&
            !o.retransmission) {
            Json::Value reply;
            reply["kind"] = "reply";
            reply["seq"] = r.seq;
            reply["text"] = std::string(r.payload.begin(), r.payload.end());
            record_.add(reply);
        }
        send_udp(*udp, r);
    }
    for (uint8_t pct : cmd_.take_progress()) send_frame({pct}, FRAME_PROGRESS);
    for (const Fault& f : cfg_.faults)
        if (f.kind == FaultKind::Vanish && (f.device < 0 || f.device == index_) && cmd_.download_bytes() >= f.n &&
            cmd_.download_bytes() > 0)
            return vanish("download bytes reached");
    check_end();
}

void SimDevice::send_udp(const UdpDatagram& req, const FbPacket& reply) {
    auto payload = encode_fb_packet(reply);
    auto frame = build_udp(mac_, req.src_mac, ll_, req.src, kFastbootPort, req.src_port, payload.data(),
                           payload.size());
    ++udp_frames_sent_;
    for (const Fault& f : cfg_.faults) {
        if ((f.kind != FaultKind::Drop && f.kind != FaultKind::Corrupt) || (f.device >= 0 && f.device != index_))
            continue;
        bool hit = f.every ? udp_frames_sent_ % f.n == 0 : udp_frames_sent_ == f.n;
        if (!hit) continue;
        Json::Value line;
        line["kind"] = f.kind == FaultKind::Drop ? "dropped" : "corrupted";
        line["frame"] = Json::UInt64(udp_frames_sent_);
        line["seq"] = reply.seq;
        record_.add(line);
        if (f.kind == FaultKind::Drop) return;
        frame.back() ^= 0x5A;  // breaks the UDP checksum
    }
    send_frame(frame, FRAME_DATA);
}

void SimDevice::check_end() {
    EndKind e = cmd_.ended();
    if (e == EndKind::None || done_) return;
    done_ = true;
    running_ = false;
    Json::Value line;
    line["kind"] = "end";
    line["how"] = e == EndKind::Reboot ? "reboot" : "complete";
    record_.add(line);
    log("%s", e == EndKind::Reboot ? "reboot" : "complete");
    if (e == EndKind::Reboot) {
        // USB re-enumeration: the port goes away.
        unpublish();
        close_after_flush_ = true;
    }
}

bool SimDevice::write_record(const std::string& dir) const {
    std::string base = dir + "/device-" + std::to_string(index_);
    std::string text;
    for (const auto& l : record_.lines()) text += l + "\n";
    bool ok = write_file(base + ".jsonl", text.data(), text.size());
    auto& storage = const_cast<CommandDevice&>(cmd_).storage();
    for (const auto& f : storage.flashes())
        ok = write_flash_record(base + ".flash." + f.name(), f, cfg_.sparse_record) && ok;
    for (const auto& kv : cmd_.images())
        ok = write_file(base + "." + kv.first + ".bin", kv.second.data(), kv.second.size()) && ok;
    return ok;
}

}  // namespace devsim
