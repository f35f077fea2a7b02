// Owner of one file descriptor.
#pragma once

#include <cerrno>
#include <unistd.h>

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    UniqueFd(UniqueFd&& o) noexcept : fd_(o.release()) {}
    UniqueFd& operator=(UniqueFd&& o) noexcept {
        if (this != &o) reset(o.release());
        return *this;
    }
    ~UniqueFd() { reset(); }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }
    // Closes now and reports the close's own result (0 or an errno value).
    int close_checked() {
        if (fd_ < 0) return EBADF_VALUE;
        int rc = ::close(fd_);
        fd_ = -1;
        return rc == 0 ? 0 : errno;
    }

private:
    static constexpr int EBADF_VALUE = 9;
    int fd_ = -1;
};
