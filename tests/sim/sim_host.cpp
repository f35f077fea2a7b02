#include "sim_host.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

namespace devsim {

namespace {
using Clock = std::chrono::steady_clock;
int remaining_ms(Clock::time_point end) {
    auto d = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
    return d < 0 ? 0 : int(d);
}
std::string devsim_path() {
    const char* e = getenv("KELVO_DEVSIM");
    return e && *e ? e : KELVO_DEVSIM_PATH;
}
}  // namespace

std::string make_temp_dir(const std::string& tag) {
    std::string t = "/tmp/devsim-" + tag + "-XXXXXX";
    std::vector<char> buf(t.begin(), t.end());
    buf.push_back(0);
    return mkdtemp(buf.data()) ? buf.data() : "";
}

void remove_tree(const std::string& dir) {
    if (dir.size() < 6 || dir.compare(0, 5, "/tmp/") != 0) return;
    DIR* d = opendir(dir.c_str());
    if (!d) return;
    while (dirent* e = readdir(d)) {
        std::string n = e->d_name;
        if (n == "." || n == "..") continue;
        std::string p = dir + "/" + n;
        struct stat st {};
        if (lstat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) remove_tree(p);
        else unlink(p.c_str());
    }
    closedir(d);
    rmdir(dir.c_str());
}

std::vector<uint8_t> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::vector<Json::Value> read_json_lines(const std::string& path) {
    std::vector<Json::Value> out;
    std::ifstream in(path);
    std::string line;
    Json::CharReaderBuilder b;
    while (std::getline(in, line)) {
        Json::Value v;
        std::string errs;
        std::istringstream s(line);
        if (Json::parseFromStream(b, s, &v, &errs)) out.push_back(v);
    }
    return out;
}

SimProcess::~SimProcess() {
    stop(3000);
    remove_tree(root_);
}

bool SimProcess::start(const std::vector<std::string>& args, int count) {
    root_ = make_temp_dir("run");
    if (root_.empty()) return false;
    ports_dir_ = root_ + "/ports";
    record_dir_ = root_ + "/record";
    mkdir(ports_dir_.c_str(), 0755);
    std::vector<std::string> all{devsim_path(), "--ports-dir", ports_dir_, "--record", record_dir_, "--quiet"};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t parent = getpid();
    pid_ = fork();
    if (pid_ < 0) return false;
    if (pid_ == 0) {
        // A host that crashes takes its simulator along (the signal comes when
        // the forking thread ends); otherwise it would keep the host's
        // inherited descriptors open, and a pipe reading them would never end.
        if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent) _exit(127);
        execv(argv[0], argv.data());
        _exit(127);
    }
    auto end = Clock::now() + std::chrono::seconds(5);
    while (Clock::now() < end) {
        if (int(ports().size()) >= count) return true;
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

bool SimProcess::wait_exit(int timeout_ms, int& status) {
    if (pid_ < 0) return true;
    auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
    do {
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    } while (Clock::now() < end);
    return false;
}

int SimProcess::stop(int timeout_ms) {
    if (pid_ < 0) return 0;
    int status = 0;
    kill(pid_, SIGTERM);
    if (!wait_exit(timeout_ms, status)) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
        pid_ = -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::vector<Json::Value> SimProcess::ports() const {
    std::vector<Json::Value> out;
    DIR* d = opendir(ports_dir_.c_str());
    if (!d) return out;
    std::vector<std::string> names;
    while (dirent* e = readdir(d)) {
        std::string n = e->d_name;
        if (n.size() > 5 && n.compare(n.size() - 5, 5, ".json") == 0) names.push_back(n);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    for (const auto& n : names) {
        std::ifstream in(ports_dir_ + "/" + n);
        Json::Value v;
        Json::CharReaderBuilder b;
        std::string errs;
        if (Json::parseFromStream(b, in, &v, &errs)) out.push_back(v);
    }
    return out;
}

bool WireHost::open(const std::string& path) {
    fd_.reset(::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK));
    if (!fd_) return false;
    termios t{};
    tcgetattr(fd_.get(), &t);
    cfmakeraw(&t);
    tcsetattr(fd_.get(), TCSANOW, &t);
    address = link_local_of(mac);
    decoder_.reset();
    pending_.clear();
    return true;
}

bool WireHost::send(const std::vector<uint8_t>& bytes) {
    size_t off = 0;
    while (off < bytes.size()) {
        ssize_t n = write(fd_.get(), bytes.data() + off, bytes.size() - off);
        if (n > 0) {
            off += size_t(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
        pollfd p{fd_.get(), POLLOUT, 0};
        if (poll(&p, 1, 5000) <= 0) return false;
    }
    return true;
}

bool WireHost::read_frame(uint8_t& type, std::vector<uint8_t>& payload, int timeout_ms, bool keepalive_too) {
    auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        while (!pending_.empty()) {
            auto f = std::move(pending_.front());
            pending_.erase(pending_.begin());
            if (f.first == FRAME_KEEPALIVE && !keepalive_too) continue;
            type = f.first;
            payload = std::move(f.second);
            return true;
        }
        pollfd p{fd_.get(), POLLIN, 0};
        int r = poll(&p, 1, remaining_ms(end));
        if (r <= 0) return false;
        uint8_t buf[4096];
        ssize_t n = read(fd_.get(), buf, sizeof buf);
        if (n <= 0) {
            if (n < 0 && errno == EAGAIN) continue;
            return false;
        }
        decoder_.feed(buf, size_t(n), [this](uint8_t t, const std::vector<uint8_t>& pl) {
            pending_.emplace_back(t, pl);
        });
    }
}

std::vector<uint8_t> WireHost::read_raw(int timeout_ms, size_t want) {
    std::vector<uint8_t> out;
    auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (out.size() < want) {
        pollfd p{fd_.get(), POLLIN, 0};
        if (poll(&p, 1, remaining_ms(end)) <= 0) break;
        uint8_t buf[512];
        ssize_t n = read(fd_.get(), buf, sizeof buf);
        if (n <= 0) break;
        out.insert(out.end(), buf, buf + n);
    }
    return out;
}

bool WireHost::wake(int timeout_ms) {
    if (!send({0x55, 0x55, 0x55, 0x55, 0x7E})) return false;
    auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
    uint8_t t;
    std::vector<uint8_t> p;
    while (read_frame(t, p, remaining_ms(end)))
        if (t == FRAME_DATA && p == std::vector<uint8_t>{'U', 'U', 'U', 'U'}) return true;
    return false;
}

bool WireHost::hello(int timeout_ms) {
    if (!send_frame(std::vector<uint8_t>(mac.begin(), mac.end()), FRAME_HELLO)) return false;
    auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
    uint8_t t;
    std::vector<uint8_t> p;
    while (read_frame(t, p, remaining_ms(end)))
        if (t == FRAME_HELLO_REPLY && p.size() == 6) {
            memcpy(device_mac.data(), p.data(), 6);
            device_address = link_local_of(device_mac);
            return true;
        }
    return false;
}

bool WireHost::solicit(const Ip6& target, std::vector<uint8_t>* advert, int timeout_ms) {
    Ip6 group = solicited_node_of(target);
    std::vector<uint8_t> f(14 + 40 + 32, 0);
    f[0] = 0x33; f[1] = 0x33; f[2] = 0xFF; f[3] = target[13]; f[4] = target[14]; f[5] = target[15];
    memcpy(&f[6], mac.data(), 6);
    f[12] = 0x86; f[13] = 0xDD; f[14] = 0x60;
    f[19] = 32; f[20] = 58; f[21] = 255;
    memcpy(&f[22], address.data(), 16);
    memcpy(&f[38], group.data(), 16);
    uint8_t* icmp = &f[54];
    icmp[0] = 135;
    memcpy(icmp + 8, target.data(), 16);
    icmp[24] = 1; icmp[25] = 1;  // source link-layer address
    memcpy(icmp + 26, mac.data(), 6);
    uint16_t c = ipv6_upper_checksum(address, group, 58, icmp, 32);
    icmp[2] = uint8_t(c >> 8); icmp[3] = uint8_t(c);
    if (!send_frame(f, FRAME_DATA)) return false;
    auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
    uint8_t t;
    std::vector<uint8_t> p;
    while (read_frame(t, p, remaining_ms(end)))
        if (t == FRAME_DATA && p.size() >= 54 + 24 && p[20] == 58 && p[54] == 136) {
            if (advert) *advert = p;
            return true;
        }
    return false;
}

bool WireHost::send_udp_packet(const FbPacket& out) {
    auto bytes = encode_fb_packet(out);
    return send_frame(build_udp(mac, device_mac, address, device_address, port, 5554, bytes.data(), bytes.size()),
                      FRAME_DATA);
}

bool WireHost::receive_udp_packet(FbPacket& reply, int timeout_ms) {
    auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
    uint8_t t;
    std::vector<uint8_t> p;
    while (read_frame(t, p, remaining_ms(end))) {
        UdpDatagram d;
        if (t != FRAME_DATA || !parse_udp(p.data(), p.size(), d) || !d.checksum_ok || d.dst_port != port) continue;
        if (parse_fb_packet(d.payload.data(), d.payload.size(), reply)) return true;
    }
    return false;
}

bool WireHost::exchange(const FbPacket& out, FbPacket& reply, int timeout_ms) {
    if (!send_udp_packet(out)) return false;
    auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
    // Another number, or another id that is not an error, is not the answer.
    while (receive_udp_packet(reply, remaining_ms(end)))
        if (reply.seq == out.seq && (reply.id == out.id || reply.id == FB_ERROR)) return true;
    return false;
}

bool WireHost::negotiate(uint16_t* init_version) {
    FbPacket q{FB_QUERY, 0, 0, {}}, r;
    if (!exchange(q, r) || r.id != FB_QUERY || r.payload.size() < 2) return false;
    seq = uint16_t(r.payload[0] << 8 | r.payload[1]);
    FbPacket init{FB_INIT, 0, seq, {0x00, 0x01, 0x20, 0x00}};
    if (!exchange(init, r) || r.id != FB_INIT || r.payload.size() < 4) return false;
    ++seq;
    uint16_t version = uint16_t(r.payload[0] << 8 | r.payload[1]);
    uint16_t size = uint16_t(r.payload[2] << 8 | r.payload[3]);
    if (init_version) *init_version = version;
    if (version == 0 || size < 512) return false;
    packet_size = std::min<uint16_t>(size, 8192);
    return true;
}

bool WireHost::read_reply_text(std::string& text, int timeout_ms) {
    FbPacket prompt{FB_DATA, 0, seq, {}}, r;
    if (!exchange(prompt, r, timeout_ms) || r.id != FB_DATA) return false;
    ++seq;
    text.assign(r.payload.begin(), r.payload.end());
    return true;
}

bool WireHost::command(const std::string& text, std::vector<std::string>& replies, int timeout_ms) {
    FbPacket c{FB_DATA, 0, seq, std::vector<uint8_t>(text.begin(), text.end())}, r;
    if (!exchange(c, r, timeout_ms) || !r.payload.empty()) return false;
    ++seq;
    for (;;) {
        std::string t;
        if (!read_reply_text(t, timeout_ms)) return false;
        replies.push_back(t);
        if (t.compare(0, 4, "INFO") != 0 && t.compare(0, 4, "PROG") != 0) return true;
    }
}

std::string WireHost::command(const std::string& text) {
    std::vector<std::string> r;
    return command(text, r) ? r.back() : "";
}

std::string WireHost::download(const std::vector<uint8_t>& data) {
    char c[32];
    snprintf(c, sizeof c, "download:%08zx", data.size());
    std::string d = command(c);
    if (d.compare(0, 4, "DATA") != 0) return d;
    size_t chunk = packet_size - 4;
    for (size_t off = 0; off < data.size(); off += chunk) {
        size_t n = std::min(chunk, data.size() - off);
        FbPacket p{FB_DATA, uint8_t(off + n < data.size() ? FB_CONTINUATION : 0), seq,
                   std::vector<uint8_t>(data.begin() + long(off), data.begin() + long(off + n))};
        FbPacket r;
        if (!exchange(p, r) || !r.payload.empty()) return "";
        ++seq;
    }
    std::string t;
    return read_reply_text(t, 5000) ? t : "";
}

void WindowGatherer::announce(const uint8_t* header, size_t size, std::vector<uint8_t>& wire) {
    char t[32];
    snprintf(t, sizeof t, "data-request:%08zx", size);
    std::vector<uint8_t> f(header, header + 4);
    f.insert(f.end(), t, t + strlen(t));
    auto frame = encode_frame(f, FRAME_TEXT);
    wire.insert(wire.end(), frame.begin(), frame.end());
}

void WindowGatherer::packet(const std::vector<uint8_t>& p, std::vector<uint8_t>& wire) {
    if (p.size() < 4) return;
    const uint8_t* data = p.data() + 4;
    size_t n = p.size() - 4;
    remaining_ -= uint32_t(n);
    if (window_.size() + n >= kWindow) {
        size_t head = kWindow - window_.size();
        window_.insert(window_.end(), data, data + head);
        announce(p.data(), kWindow, wire);
        wire.insert(wire.end(), window_.begin(), window_.end());
        window_.assign(data + head, data + n);
    } else {
        window_.insert(window_.end(), data, data + n);
    }
    if (remaining_ == 0) {
        if (!window_.empty()) {
            announce(p.data(), window_.size(), wire);
            wire.insert(wire.end(), window_.begin(), window_.end());
            window_.clear();
        }
        announce(p.data(), 0, wire);
    }
}

std::string WireHost::download_windows(const std::vector<uint8_t>& data, size_t write_size) {
    char c[32];
    snprintf(c, sizeof c, "download:%08zx", data.size());
    std::string d = command(c);
    if (d.compare(0, 4, "DATA") != 0) return d;
    WindowGatherer link(uint32_t(strtoul(d.c_str() + 4, nullptr, 16)));
    // Each write is cut into packets as the transport does it: continuation
    // on all but the last packet of the write, one sequence number each.
    size_t max_data = packet_size - 4;
    std::vector<uint8_t> wire;
    for (size_t w = 0; w < data.size(); w += write_size) {
        size_t w_end = std::min(data.size(), w + write_size);
        for (size_t off = w; off < w_end; off += max_data) {
            size_t n = std::min(max_data, w_end - off);
            uint8_t flags = uint8_t(FB_NO_ACK | (w_end - off > max_data ? FB_CONTINUATION : 0));
            FbPacket pkt{FB_DATA, flags, seq, std::vector<uint8_t>(data.begin() + long(off), data.begin() + long(off + n))};
            std::vector<uint8_t> p = encode_fb_packet(pkt);
            ++seq;
            link.packet(p, wire);
            if (wire.size() >= 65536) {
                if (!send(wire)) return "";
                wire.clear();
            }
        }
    }
    if (!send(wire)) return "";
    std::string t;
    return read_reply_text(t, 60000) ? t : "";
}

bool WireHost::upload(std::vector<uint8_t>& data, std::string& final_reply) {
    std::string d = command("upload");
    if (d.compare(0, 4, "DATA") != 0) return false;
    size_t size = strtoul(d.c_str() + 4, nullptr, 16);
    data.clear();
    uint8_t id = FB_DATA;
    while (data.size() < size) {
        FbPacket prompt{id, 0, seq, {}}, r;
        if (!exchange(prompt, r)) return false;
        ++seq;
        data.insert(data.end(), r.payload.begin(), r.payload.end());
        if (!(r.flags & FB_CONTINUATION)) break;
        id = r.id;
    }
    return read_reply_text(final_reply, 3000);
}

}  // namespace devsim
