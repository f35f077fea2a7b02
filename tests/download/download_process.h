// Runs the real `download` program with pipes on its three standard streams
// and collects what it writes; records on standard error are parsed strictly.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace dltest {

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { reset(); }
    int get() const { return fd_; }
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_;
};

struct Record {
    std::string key, value;
    std::vector<std::string> fields;
    std::string bytes;
};

// FF key FC value {FD field} FE CR LF, back to back; false at the first byte
// that does not belong to such a record.
inline bool parse_records(const std::string& s, std::vector<Record>* out, std::string* why) {
    size_t i = 0;
    auto is_frame = [](unsigned char c) { return c >= 0xFC; };
    while (i < s.size()) {
        size_t begin = i;
        if (static_cast<unsigned char>(s[i]) != 0xFF) {
            *why = "no record start at " + std::to_string(i);
            return false;
        }
        ++i;
        Record r;
        std::string* part = &r.key;
        for (;;) {
            if (i >= s.size()) {
                *why = "truncated record at " + std::to_string(begin);
                return false;
            }
            unsigned char c = static_cast<unsigned char>(s[i++]);
            if (!is_frame(c)) {
                part->push_back(static_cast<char>(c));
                continue;
            }
            if (c == 0xFC && part == &r.key) {
                part = &r.value;
            } else if (c == 0xFD && part != &r.key) {
                r.fields.emplace_back();
                part = &r.fields.back();
            } else if (c == 0xFE && part != &r.key) {
                break;
            } else {
                *why = "misplaced framing byte at " + std::to_string(i - 1);
                return false;
            }
        }
        if (s.compare(i, 2, "\r\n") != 0) {
            *why = "no CR LF after record at " + std::to_string(begin);
            return false;
        }
        i += 2;
        if (r.key != "result" && r.key != "error" && r.key != "info") {
            *why = "unknown key " + r.key;
            return false;
        }
        r.bytes = s.substr(begin, i - begin);
        out->push_back(std::move(r));
    }
    return true;
}

// The bytes of one record.
inline std::string record(const std::string& key, const std::string& value,
                          const std::vector<std::string>& fields = {}) {
    std::string out = "\xFF" + key + "\xFC" + value;
    for (const auto& f : fields) out += "\xFD" + f;
    return out + "\xFE\r\n";
}

inline std::string hex(const std::string& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : bytes) {
        out.push_back(digits[c >> 4]);
        out.push_back(digits[c & 15]);
    }
    return out;
}

class DownloadProcess {
public:
    DownloadProcess(const std::string& exe, const std::vector<std::string>& env) {
        int in[2], out[2], err[2];
        if (::pipe2(in, O_CLOEXEC) || ::pipe2(out, O_CLOEXEC) || ::pipe2(err, O_CLOEXEC)) std::abort();
        std::vector<char*> envp;
        for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
        envp.push_back(nullptr);
        char* argv[] = {const_cast<char*>(exe.c_str()), nullptr};
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(in[0], 0);
            ::dup2(out[1], 1);
            ::dup2(err[1], 2);
            ::execve(exe.c_str(), argv, envp.data());
            ::_exit(127);
        }
        ::close(in[0]);
        ::close(out[1]);
        ::close(err[1]);
        in_.reset(in[1]);
        out_.reset(out[0]);
        err_.reset(err[0]);
        reader_ = std::thread([this] { read_streams(); });
    }
    DownloadProcess(const DownloadProcess&) = delete;
    DownloadProcess& operator=(const DownloadProcess&) = delete;

    ~DownloadProcess() {
        in_.reset();
        if (pid_ > 0 && wait_exit(3000) == kStillRunning) {
            ::kill(pid_, SIGKILL);
            wait_exit(3000);
        }
        if (reader_.joinable()) reader_.join();
    }

    void send(const std::string& bytes) {
        size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = ::write(in_.get(), bytes.data() + done, bytes.size() - done);
            if (n <= 0) return;
            done += static_cast<size_t>(n);
        }
    }
    void close_input() { in_.reset(); }

    // Waits until `pred` holds for standard error; false on time-out.
    bool wait_err(const std::function<bool(const std::string&)>& pred, int timeout_ms = 10000) {
        std::unique_lock<std::mutex> lock(mutex_);
        return cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                            [&] { return pred(err_text_); });
    }
    // Waits for `n` complete records on standard error.
    bool wait_records(size_t n, int timeout_ms = 10000) {
        return wait_err([n](const std::string& s) {
            size_t ends = 0;
            for (size_t p = s.find("\xFE\r\n"); p != std::string::npos; p = s.find("\xFE\r\n", p + 3)) ++ends;
            return ends >= n;
        }, timeout_ms);
    }
    std::string err() {
        std::lock_guard<std::mutex> lock(mutex_);
        return err_text_;
    }
    std::string out() {
        std::lock_guard<std::mutex> lock(mutex_);
        return out_text_;
    }
    std::vector<Record> records() {
        std::vector<Record> recs;
        std::string why;
        if (!parse_records(err(), &recs, &why)) recs.push_back(Record{"malformed", why, {}, ""});
        return recs;
    }

    static constexpr int kStillRunning = -1000;
    // The exit status, or a negative signal number, or kStillRunning.
    int wait_exit(int timeout_ms) {
        if (pid_ <= 0) return status_;
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        for (;;) {
            int st = 0;
            pid_t r = ::waitpid(pid_, &st, WNOHANG);
            if (r == pid_) {
                pid_ = -1;
                status_ = WIFEXITED(st) ? WEXITSTATUS(st) : -WTERMSIG(st);
                // Everything written before the exit is read before we answer.
                std::unique_lock<std::mutex> lock(mutex_);
                cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [this] { return streams_closed_; });
                return status_;
            }
            if (std::chrono::steady_clock::now() > until) return kStillRunning;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }

private:
    void read_streams() {
        pollfd fds[2] = {{out_.get(), POLLIN, 0}, {err_.get(), POLLIN, 0}};
        int open = 2;
        char buf[65536];
        while (open > 0) {
            if (::poll(fds, 2, -1) < 0) continue;
            for (int k = 0; k < 2; ++k) {
                if (fds[k].fd < 0 || !(fds[k].revents & (POLLIN | POLLHUP | POLLERR))) continue;
                ssize_t n = ::read(fds[k].fd, buf, sizeof buf);
                std::lock_guard<std::mutex> lock(mutex_);
                if (n <= 0) {
                    fds[k].fd = -1;
                    --open;
                } else {
                    (k == 0 ? out_text_ : err_text_).append(buf, static_cast<size_t>(n));
                }
                cv_.notify_all();
            }
        }
        std::lock_guard<std::mutex> lock(mutex_);
        streams_closed_ = true;
        cv_.notify_all();
    }

    pid_t pid_ = -1;
    int status_ = kStillRunning;
    Fd in_, out_, err_;
    std::thread reader_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::string out_text_, err_text_;
    bool streams_closed_ = false;
};

// A scratch directory, removed with everything in it.
class TempDir {
public:
    TempDir() {
        char tmpl[] = "/tmp/download_test_XXXXXX";
        if (!::mkdtemp(tmpl)) std::abort();
        path_ = tmpl;
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    const std::filesystem::path& path() const { return path_; }
    // Copies `file` in under its own name (or `name`); returns the new path.
    std::string add(const std::string& file, const std::string& name = "") {
        std::filesystem::path to = path_ / (name.empty() ? std::filesystem::path(file).filename().string() : name);
        std::filesystem::copy_file(file, to, std::filesystem::copy_options::overwrite_existing);
        return to.string();
    }

private:
    std::filesystem::path path_;
};

}  // namespace dltest
