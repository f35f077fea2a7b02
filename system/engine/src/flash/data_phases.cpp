#include "flash/data_phases.h"

#include <fcntl.h>
#include <unistd.h>
#include <utils/FileMap.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "flash/client_util.h"
#include "flash/fastboot.h"
#include "flash/sparse_crc_stream.h"
#include "flash/thread_state.h"
#include "platform/unique_fd.h"

namespace {

constexpr uint32_t kBlock = sizeof(DownloadThreadState::transportBuf);
constexpr uint64_t kFileWindow = 0x20000000;
constexpr uint32_t kUploadMax = 2147483647;

std::string download_command(uint32_t size) {
    char command[32];
    snprintf(command, sizeof command, "download:%08x", size);
    return command;
}

// Sparse data, and only sparse data, may go without acknowledgement.
int64_t send_sparse(Transport& transport, const void* data, uint32_t length) {
    uint32_t flagged = download_thread_state().noAck ? (length | kTransportNoAck) : length;
    return fastboot_send_payload(transport, data, flagged);
}

bool write_whole(int fd, const uint8_t* data, size_t length) {
    while (length > 0) {
        ssize_t n = ::write(fd, data, length);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

int64_t fastboot_transfer_memory(Transport& transport, const void* data, uint32_t size) {
    if (size == 0) return -1;
    if (fastboot_request_begin(transport, download_command(size).c_str(), size, nullptr) < 0) return -1;
    if (fastboot_send_payload(transport, data, size) < 0) return -1;
    return fastboot_read_response(transport, 0, nullptr) == 0 ? 0 : -1;
}

int64_t fastboot_transfer_file(Transport& transport, int descriptor, uint32_t size) {
    if (fastboot_request_begin(transport, download_command(size).c_str(), size, nullptr) < 0) return -1;
    uint64_t offset = 0;
    uint64_t remaining = size;
    while (remaining > 0) {
        size_t window = static_cast<size_t>(std::min(remaining, kFileWindow));
        android::FileMap map;
        if (!map.create(nullptr, descriptor, static_cast<off64_t>(offset), window, true)) return -1;
        if (fastboot_send_payload(transport, map.getDataPtr(), static_cast<uint32_t>(window)) < 0) return -1;
        offset += window;
        remaining -= window;
    }
    return fastboot_read_response(transport, 0, nullptr) == 0 ? 0 : -1;
}

int fastboot_sparse_sink(void* priv, const void* data, size_t length) {
    Transport& transport = *static_cast<Transport*>(priv);
    DownloadThreadState& state = download_thread_state();
    const uint8_t* piece = static_cast<const uint8_t*>(data);

    if (state.transportFill > 0) {
        size_t take = std::min<size_t>(length, kBlock - state.transportFill);
        memcpy(state.transportBuf + state.transportFill, piece, take);
        state.transportFill += static_cast<uint32_t>(take);
        piece += take;
        length -= take;
        if (state.transportFill == kBlock) {
            if (send_sparse(transport, state.transportBuf, kBlock) != kBlock) return -1;
            state.transportFill = 0;
        }
    }
    if (length > kBlock) {
        // Large pieces go straight from the library's memory, in whole blocks.
        size_t whole = length - length % kBlock;
        while (whole > 0) {
            // A single write carries at most 31 bits of length.
            uint32_t chunk = static_cast<uint32_t>(std::min<size_t>(whole, 0x40000000));
            if (send_sparse(transport, piece, chunk) != chunk) return -1;
            piece += chunk;
            length -= chunk;
            whole -= chunk;
        }
    }
    if (length > 0) {
        memcpy(state.transportBuf, piece, length);
        state.transportFill = static_cast<uint32_t>(length);
    }
    return 0;
}

int32_t fastboot_transfer_sparse(Transport& transport, sparse_file* file) {
    int32_t length = static_cast<int32_t>(sparse_crc_length(file));
    if (length <= 0) return -1;
    DownloadThreadState& state = download_thread_state();
    state.transportFill = 0;
    uint32_t size = static_cast<uint32_t>(length);
    if (fastboot_request_begin(transport, download_command(size).c_str(), size, nullptr) < 0) return -1;
    if (sparse_crc_write(file, fastboot_sparse_sink, &transport) < 0) return -1;
    if (state.transportFill > 0) {
        uint32_t fill = state.transportFill;
        state.transportFill = 0;
        if (send_sparse(transport, state.transportBuf, fill) != fill) return -1;
    }
    return fastboot_read_response(transport, 0, nullptr) == 0 ? 0 : -1;
}

int64_t fastboot_save_upload(Transport& transport, const char* fileName) {
    int64_t announced = fastboot_request_begin(transport, "upload", kUploadMax, nullptr);
    if (announced <= 0) {
        // The request layer's own text says why (the device's "remote: ..."
        // among them); the error number means nothing here.
        std::string cause = announced < 0 ? fastboot_last_error() : std::string("no data phase");
        fastboot_set_error("command start failed (%s)", cause.c_str());
        return announced;
    }
    std::unique_ptr<uint8_t[]> bytes(new (std::nothrow) uint8_t[static_cast<size_t>(announced)]);
    if (!bytes) fatal_error("out of memory");
    int64_t got = transport.ReadSome(bytes.get(), static_cast<size_t>(announced));
    if (got < 0) {
        fastboot_set_transport_error("data read failure");
        transport.Disconnect();
        return -1;
    }
    if (got != announced) {
        fastboot_set_error("data read failure (short transfer)");
        transport.Disconnect();
        return -1;
    }
    UniqueFd out(::open(fileName, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!out.valid() || !write_whole(out.get(), bytes.get(), static_cast<size_t>(got)) ||
        out.close_checked() != 0) {
        fastboot_set_error("write to '%s' failed", fileName);
        return -1;
    }
    return fastboot_read_response(transport, 0, nullptr) == 0 ? 0 : -1;
}
