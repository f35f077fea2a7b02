#include "platform/serial_port.h"

#include <asm/termbits.h>
#include <fcntl.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstdio>

namespace {

struct SpeedConstant {
    uint32_t rate;
    unsigned int bits;
};

// Rates with their own constant keep it, so plain termios readers see them.
const SpeedConstant kSpeeds[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

}  // namespace

std::string platform_describe_error(const std::string& prefix, int err) {
    const char* reason = nullptr;
    switch (err) {
    case ENOENT:
    case ENXIO:
    case ENODEV:
        reason = "File not found";
        break;
    case EACCES:
    case EPERM:
    case EBUSY:
        reason = "Access denied";
        break;
    case EBADF:
        reason = "Invalid handle";
        break;
    case EINVAL:
    case ENOTTY:
        reason = "The parameter is incorrect";
        break;
    case ECANCELED:
        reason = "Operation aborted";
        break;
    default:
        break;
    }
    char buf[1024];
    if (reason)
        snprintf(buf, sizeof buf, "%s: %s", prefix.c_str(), reason);
    else
        snprintf(buf, sizeof buf, "%s: Unknown error code %d", prefix.c_str(), err);
    return buf;
}

bool platform_serial_open(const std::string& name, uint32_t baud, UniqueFd& out, std::string& error) {
    UniqueFd fd(::open(name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid()) {
        error = platform_describe_error("Opening " + name, errno);
        return false;
    }
    struct termios2 tio {};
    if (ioctl(fd.get(), TCGETS2, &tio) != 0) {
        error = platform_describe_error("Open (GetCommState)", errno);
        return false;
    }
    // A rate of 0 would mean "hang up the line".
    if (baud == 0) {
        error = platform_describe_error("Open (SetCommState)", EINVAL);
        return false;
    }
    tio.c_iflag = 0;  // binary, no XON/XOFF, no CR/NL mapping
    tio.c_oflag = 0;
    tio.c_lflag = 0;
    tio.c_cflag = CS8 | CREAD | CLOCAL;  // 8N1, no CTS/RTS handshake
    unsigned int bits = BOTHER;
    for (const auto& s : kSpeeds)
        if (s.rate == baud) bits = s.bits;
    tio.c_cflag |= bits;
    tio.c_cflag |= bits << IBSHIFT;
    tio.c_ispeed = baud;
    tio.c_ospeed = baud;
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    if (ioctl(fd.get(), TCSETS2, &tio) != 0) {
        error = platform_describe_error("Open (SetCommState)", errno);
        return false;
    }
    // Pseudo-terminals have no modem lines: the failure there is expected.
    int lines = TIOCM_DTR | TIOCM_RTS;
    (void)ioctl(fd.get(), TIOCMBIC, &lines);
    (void)ioctl(fd.get(), TCFLSH, TCIOFLUSH);
    out = std::move(fd);
    return true;
}
