#include "flash/flash_upload.h"

#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include <android-base/file.h>

#include "flash/actions.h"
#include "flash/client_util.h"
#include "flash/fastboot.h"
#include "flash/partition_json.h"
#include "platform/unique_fd.h"


namespace {

// "0x..." as a signed 64-bit number, the whole text used.
bool parse_hex64(const std::string& text, int64_t& value) {
    if (text.compare(0, 2, "0x") != 0) return false;
    errno = 0;
    char* end = nullptr;
    long long v = strtoll(text.c_str(), &end, 16);
    if (errno != 0 || end != text.c_str() + text.size() || end == text.c_str() + 2) return false;
    value = v;
    return true;
}

bool write_file(const std::string& path, const char* data, size_t length) {
    UniqueFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!fd.valid() || !android::base::WriteFully(fd.get(), data, length)) return false;
    return fd.close_checked() == 0;
}

// Dumps `size` bytes of `flash` from `start` in stages onto `dump`.
int dump_flash(Transport& transport, const std::string& flash, int64_t start, int64_t size,
               std::string& dump) {
    uint32_t offset = static_cast<uint32_t>(start);
    int64_t left = size;
    std::string stage;
    while (left > 0) {
        uint32_t stageSize = static_cast<uint32_t>(std::min<int64_t>(left, kUploadStageMax));
        if (fastboot_upload_stage(transport, flash, offset, stageSize, stage) != 0) return -1;
        dump += stage;
        offset += stageSize;
        left -= stageSize;
    }
    return 0;
}

// Every flash of the group in turn, "external" first, until the group's size is used up.
int dump_group(Transport& transport, int64_t groupSize, std::string& dump) {
    int64_t remaining = groupSize;
    for (int pass = 0; remaining > 0; ++pass) {
        const char* flash = pass == 0 ? "external" : "internal";
        std::string type;
        int64_t start = 0, size = 0;
        if (fastboot_query_partition(transport, flash, type, start, size) != 0) return -1;
        // A flash of no size would never use the group up.
        if (remaining < size || size <= 0) {
            fprintf(stderr, "error flash size in partition table\n");
            return -1;
        }
        if (dump_flash(transport, flash, start, size, dump) != 0) return -1;
        remaining -= size;
    }
    return 0;
}

// Split names come from the device: refuse anything that would leave "upload/".
bool safe_file_part(const std::string& part) {
    return part.find('/') == std::string::npos && part.find('\\') == std::string::npos;
}

int write_piece(const std::string& dump, uint64_t position, uint32_t length, const std::string& file) {
    if (position > dump.size()) {
        fprintf(stderr, "write to '%s' failed\n", file.c_str());
        return -1;
    }
    size_t count = std::min<uint64_t>(length, dump.size() - position);
    if (!write_file(file, dump.data() + position, count)) {
        fprintf(stderr, "write to '%s' failed\n", file.c_str());
        return -1;
    }
    return 0;
}

}  // namespace

bool upload_name_ok(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find_first_of(std::string("/\\\0", 3)) == std::string::npos;
}

std::string fastboot_normalize_hex(const std::string& text) {
    size_t begin = 0, end = text.size();
    while (begin < end && isspace(static_cast<unsigned char>(text[begin]))) ++begin;
    while (end > begin && isspace(static_cast<unsigned char>(text[end - 1]))) --end;
    std::string out = text.substr(begin, end - begin);
    if (out.compare(0, 2, "0x") != 0) out = "0x" + out;
    return out;
}

int fastboot_query_partition(Transport& transport, const std::string& name, std::string& type,
                             int64_t& start, int64_t& size) {
    std::string typeText, sizeText, startText;
    if (!fastboot_read_variable(transport, ("partition-type:" + name).c_str(), typeText)) {
        fprintf(stderr, "Can't determine partition type.\n");
        return -1;
    }
    if (!fastboot_read_variable(transport, ("partition-size:" + name).c_str(), sizeText)) {
        fprintf(stderr, "Unable to get partition size\n");
        return -1;
    }
    sizeText = fastboot_normalize_hex(sizeText);
    if (!fastboot_read_variable(transport, ("partition-start:" + name).c_str(), startText)) {
        fprintf(stderr, "Unable to get partition start\n");
        return -1;
    }
    startText = fastboot_normalize_hex(startText);
    int64_t startValue = 0, sizeValue = 0;
    if (!parse_hex64(startText, startValue)) {
        fprintf(stderr, "Couldn't parse partition(%s) start '%s'.\n", name.c_str(), startText.c_str());
        return -1;
    }
    if (!parse_hex64(sizeText, sizeValue)) {
        fprintf(stderr, "Couldn't parse partition(%s) size '%s'.\n", name.c_str(), sizeText.c_str());
        return -1;
    }
    type = typeText;
    start = startValue;
    size = sizeValue;
    return 0;
}

int fastboot_upload_stage(Transport& transport, const std::string& flash, uint32_t start,
                          uint32_t size, std::string& data) {
    if (!upload_name_ok(flash)) {
        fprintf(stderr, "error: flash '%s' cannot name a stage file in upload/\n", flash.c_str());
        return -1;
    }
    std::string file = format_text("upload/%s.%s.%d", flash.c_str(), "flash", static_cast<int32_t>(start));
    action_add_command(format_text("useflash:%s", flash.c_str()).c_str(),
                       format_text("prepare \"%s\" flash for uploading", flash.c_str()).c_str());
    action_add_command(format_text("ulstage:%08x:%08x", start, size).c_str(),
                       format_text("upload stage for flash \"%s\", start=0x%08X, size=0x%08X",
                                    flash.c_str(), start, size)
                           .c_str());
    action_add_upload(file.c_str());
    if (action_run_all(transport) != 0) return -1;
    data.clear();
    if (!android::base::ReadFileToString(file, &data)) return -1;
    if (unlink(file.c_str()) != 0) return -1;
    return 0;
}

int upload_split_partitions(const std::string& dump, int64_t tableStart) {
    std::vector<PartitionRow> rows;
    if (tableStart < 0 || static_cast<uint64_t>(tableStart) >= dump.size() ||
        partition_table_rows(reinterpret_cast<const uint8_t*>(dump.data()) + tableStart,
                             dump.size() - static_cast<size_t>(tableStart), rows) != 0) {
        fprintf(stderr, "Not a ptable file\n");
        return -1;
    }
    uint64_t flashBase = 0;
    uint64_t previousFlashSize = 0;
    for (const PartitionRow& row : rows) {
        if (row.name == "all") continue;
        if (row.type == "flash") {
            flashBase += previousFlashSize;
            previousFlashSize = row.size;
        }
        if (!safe_file_part(row.name) || !safe_file_part(row.type)) {
            fprintf(stderr, "error: partition '%s' of type '%s' cannot name a file\n",
                    row.name.c_str(), row.type.c_str());
            return -1;
        }
        std::string file = format_text("upload/%s.%s", row.name.c_str(), row.type.c_str());
        fprintf(stderr, "extracting partition '%s' to '%s'\n", row.name.c_str(), file.c_str());
        uint64_t position = static_cast<uint32_t>(flashBase) + uint64_t(row.start);
        if (write_piece(dump, position, row.size, file) != 0) return -1;
        if (row.size != row.vsize && row.type == "raw") {
            file = format_text("upload/%s.%s", row.name.c_str(), "img");
            fprintf(stderr, "extracting image in '%s' to '%s'\n", row.name.c_str(), file.c_str());
            if (write_piece(dump, position, row.vsize, file) != 0) return -1;
        }
    }
    return 0;
}

int upload_partition(Transport& transport, const std::string& partition, const std::string& path) {
    // Stage and split file names carry no device: uploads of several devices
    // take turns so that none reads or removes another's stage file.
    if (!upload_name_ok(partition)) {
        fprintf(stderr, "error: partition '%s' cannot name a file in upload/\n", partition.c_str());
        return -1;
    }
    static std::mutex uploads;
    std::lock_guard<std::mutex> turn(uploads);
    std::string type;
    int64_t start = 0, size = 0;
    if (fastboot_query_partition(transport, partition, type, start, size) != 0) return -1;

    std::string dump;
    if (partition == "all" && type == "group") {
        if (dump_group(transport, size, dump) != 0) return -1;
    } else if (type == "flash") {
        if (dump_flash(transport, partition, start, size, dump) != 0) return -1;
    } else {
        fprintf(stderr, "not support upload sub-partition\n");
        return -1;
    }
    if (!write_file(path, dump.data(), dump.size())) {
        fprintf(stderr, "write to '%s' failed\n", path.c_str());
        return -1;
    }
    if (partition != "all") return 0;

    int64_t tableStart = 0, tableSize = 0;
    if (fastboot_query_partition(transport, "ptable", type, tableStart, tableSize) != 0) return -1;
    return upload_split_partitions(dump, tableStart);
}
