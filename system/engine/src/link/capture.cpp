#include "link/capture.h"

#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>

#include "base/never_destroyed.h"

namespace {

std::atomic<bool> g_delivery{false};
UniqueFd& g_file = never_destroyed<UniqueFd>();  // loop thread

void put32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

bool write_all(int fd, const uint8_t* data, size_t length) {
    while (length > 0) {
        ssize_t n = ::write(fd, data, length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

UniqueFd capture_file_open(const char* name) {
    // Unbuffered: every record is on disk once written.
    UniqueFd fd(::open(name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!fd.valid()) {
        printf("Can't open dump file %s\n", name);
        return UniqueFd();
    }
    uint8_t header[24] = {};
    put32(header, 0xA1B2C3D4u);
    header[4] = 2;  // version 2.4
    header[6] = 4;
    put32(header + 16, 2048);  // snapshot length
    put32(header + 20, 1);     // Ethernet
    if (!write_all(fd.get(), header, sizeof header)) {
        printf("Can't write to %s\n", name);
        return UniqueFd();
    }
    return fd;
}

bool capture_file_write(int fd, const uint8_t* frame, size_t length) {
    struct timeval tv {};
    gettimeofday(&tv, nullptr);
    uint8_t record[16];
    put32(record, static_cast<uint32_t>(tv.tv_sec));
    put32(record + 4, static_cast<uint32_t>(tv.tv_usec));
    put32(record + 8, static_cast<uint32_t>(length));
    put32(record + 12, static_cast<uint32_t>(length));
    return write_all(fd, record, sizeof record) && write_all(fd, frame, length);
}

void capture_start(bool enable) {
    // A second start without a stop reopens the file; the first is closed.
    g_file.reset();
    if (enable) g_file = capture_file_open("kelvo.pcap");
    g_delivery.store(true);
}

void capture_stop() {
    g_delivery.store(false);
    g_file.reset();
}

bool capture_delivery_on() { return g_delivery.load(); }

void capture_frame(const uint8_t* frame, size_t length) {
    if (g_file.valid()) capture_file_write(g_file.get(), frame, length);
}
