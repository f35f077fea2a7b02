#include "tools/fiptool/fip_package.h"

#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <new>
#include <vector>

#include "tools/common/tool_invocation.h"
#include "tools/fiptool/fip_log.h"

namespace {

uint64_t align_up(uint64_t x, uint32_t a) { return (x + a - 1) & ~static_cast<uint64_t>(a - 1); }

// Zero-filled buffer of `size` bytes, or the run fails with "malloc: <what>".
std::vector<uint8_t> alloc_buffer(uint64_t size, const char* what) {
    try {
        return std::vector<uint8_t>(static_cast<size_t>(size));
    } catch (const std::exception&) {
        fip_fail("malloc: %s", what);
    }
}

void write_zeros(FILE* f, uint64_t n, const char* name) {
    static const uint8_t zeros[4096] = {};
    while (n > 0) {
        size_t chunk = n < sizeof zeros ? static_cast<size_t>(n) : sizeof zeros;
        if (fwrite(zeros, 1, chunk, f) != chunk) fip_fail("Failed to write %s", name);
        n -= chunk;
    }
}

}  // namespace

void fip_load_images(FipRun& run) {
    for (auto& rec : run.records) {
        if (rec->action != FipAction::pack) continue;
        const char* arg = rec->argument.c_str();
        errno = EBADF;  // a text that is no descriptor number sets nothing itself
        ToolFile in = tool_open_input(arg);
        if (!in) fip_fail_errno("fopen %s", arg);
        struct stat st;
        if (fstat(fileno(in.get()), &st) != 0) fip_fail("fstat %s", arg);

        auto image = std::make_unique<FipImage>();
        image->payload = alloc_buffer(static_cast<uint64_t>(st.st_size), "failed to allocate image buffer");
        size_t size = image->payload.size();
        if (fread(image->payload.data(), 1, size, in.get()) != size) fip_fail("Failed to read %s", arg);
        in.reset();

        image->toc.uuid = rec->uuid;
        image->toc.size = size;
        if (rec->image)
            fip_debug("Replacing %s with %s", rec->option.c_str(), arg);
        else
            fip_debug("Adding image %s", arg);
        rec->image = std::move(image);
    }
}

void fip_write_package(FipRun& run, FipOutput out, uint64_t toc_flags, uint32_t align) {
    size_t n = 0;
    for (auto& rec : run.records)
        if (rec->image) ++n;

    const size_t toc_size = kFipTocHeaderSize + kFipTocEntrySize * (n + 1);
    std::vector<uint8_t> toc;
    try {
        toc.resize(toc_size);
    } catch (const std::exception&) {
        errno = ENOMEM;
        fip_fail_errno("calloc");
    }
    FipTocHeader header;
    header.flags = toc_flags;
    fip_put_header(toc.data(), header);

    uint64_t running = toc_size;
    uint64_t payload_size = 0;
    uint8_t* entry = toc.data() + kFipTocHeaderSize;
    for (auto& rec : run.records) {
        if (!rec->image) continue;
        FipTocItem& item = rec->image->toc;
        if (rec->fixed_offset == 0) {
            item.offset = align_up(running, align);
            running = item.offset + item.size;
        } else {
            item.offset = rec->fixed_offset;
            running = align_up(running, align);
        }
        item.uuid = rec->uuid;
        item.flags = 0;
        payload_size += item.size;
        fip_put_item(entry, item);
        entry += kFipTocEntrySize;
    }
    FipTocItem terminator;
    terminator.offset = align_up(running, align);
    fip_put_item(entry, terminator);

    ToolFile f;
    if (out.by_path) {
        f.reset(fopen(out.text, "wb"));
    } else {
        errno = EBADF;
        f = tool_open_fd(out.text, "wb");
    }
    if (!f) fip_fail_errno("fopen %s", out.text);
    fip_debug("Metadata size: %zu bytes", toc_size);

    if (fwrite(toc.data(), 1, toc_size, f.get()) != toc_size) fip_fail("Failed to write %s", out.text);
    fip_debug("Payload size: %zu bytes", static_cast<size_t>(payload_size));

    for (auto& rec : run.records) {
        if (!rec->image || rec->fixed_offset != 0) continue;
        const FipImage& image = *rec->image;
        // Positions are kept below 2 GiB, the limit of a signed 32-bit file position.
        if (image.toc.offset > static_cast<uint64_t>(INT32_MAX) ||
            fseeko(f.get(), static_cast<off_t>(image.toc.offset), SEEK_SET) != 0)
            fip_fail("Failed to set file position");
        if (fwrite(image.payload.data(), 1, image.payload.size(), f.get()) != image.payload.size())
            fip_fail("Failed to write %s", out.text);
    }

    off_t end = ftello(f.get());
    if (end >= 0 && static_cast<uint64_t>(end) < terminator.offset)
        write_zeros(f.get(), terminator.offset - static_cast<uint64_t>(end), out.text);

    // A write that fails only when the buffer is flushed is still a failure.
    if (fclose(f.release()) != 0) fip_fail("Failed to write %s", out.text);
}

FipTocHeader fip_read_package(FipRun& run, const char* path) {
    ToolFile f(fopen(path, "rb"));
    if (!f) fip_fail_errno("fopen %s", path);
    struct stat st;
    if (fstat(fileno(f.get()), &st) != 0) fip_fail_errno("fstat %s", path);
    std::vector<uint8_t> data = alloc_buffer(static_cast<uint64_t>(st.st_size), "failed to load file into memory");
    if (fread(data.data(), 1, data.size(), f.get()) != data.size()) fip_fail("Failed to read %s", path);
    f.reset();

    const uint64_t file_size = data.size();
    if (file_size < kFipTocHeaderSize) fip_fail("FIP %s is truncated", path);
    FipTocHeader header = fip_get_header(data.data());
    if (header.name != kFipTocHeaderName) fip_fail("%s is not a FIP file", path);

    bool terminated = false;
    for (uint64_t pos = kFipTocHeaderSize; pos + kFipTocEntrySize <= file_size; pos += kFipTocEntrySize) {
        FipTocItem item = fip_get_item(data.data() + pos);
        if (fip_uuid_is_zero(item.uuid)) {
            terminated = true;
            break;
        }
        // Bounds first, so that a corrupted size never reaches the allocator.
        if (item.offset + item.size < item.offset || item.offset + item.size > file_size)
            fip_fail("FIP %s is corrupted", path);
        auto image = std::make_unique<FipImage>();
        image->toc = item;
        image->payload =
            alloc_buffer(item.size, "failed to allocate image buffer, is FIP file corrupted?");
        std::copy(data.begin() + static_cast<std::ptrdiff_t>(item.offset),
                  data.begin() + static_cast<std::ptrdiff_t>(item.offset + item.size), image->payload.begin());

        FipImageRecord* rec = fip_record_for_uuid(run, item.uuid);
        if (!rec) {
            std::string text = fip_uuid_format(item.uuid);
            rec = &fip_make_record(run, item.uuid, text, "blob");
            fip_assign_action(*rec, FipAction::unpack, (text + ".bin").c_str());
        }
        if (rec->image) fip_fail("FIP %s holds the image %s more than once", path, fip_uuid_format(item.uuid).c_str());
        rec->image = std::move(image);
    }
    if (!terminated) fip_fail("FIP %s does not have a ToC terminator entry", path);
    return header;
}
