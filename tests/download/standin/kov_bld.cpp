// Stand-in for the outside library KOV_BLD: instance records, boot-loader file
// reading and upload preparation. Results: STANDIN_MALLOC_NULL, STANDIN_READBLF,
// STANDIN_PREPARE; STANDIN_FLAGS_INIT seeds the flags word of new records.
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>

#include "instance_params.h"
#include "standin_common.h"

using namespace standin;

namespace {

std::atomic<uint32_t> g_serial{0};

std::string describe(const char* what, void* rec, const char16_t* path) {
    return std::string(what) + " " + std::to_string(get_word(rec, kSerialOffset)) + " " +
           units_hex(path) + " flags=" + std::to_string(get_word(rec, kFlagsOffset)) +
           " word56=" + std::to_string(get_word(rec, kUploadWordOffset));
}

}  // namespace

extern "C" __attribute__((visibility("default"))) void* MallocInstanceParams() {
    if (env_flag("STANDIN_MALLOC_NULL", false)) {
        log_line("malloc none");
        return nullptr;
    }
    void* rec = std::calloc(1, kInstanceSize);
    if (!rec) return nullptr;
    uint32_t serial = ++g_serial;
    put_word(rec, kSerialOffset, serial);
    if (const char* seed = std::getenv("STANDIN_FLAGS_INIT"))
        put_word(rec, kFlagsOffset, static_cast<uint32_t>(std::strtoul(seed, nullptr, 0)));
    log_line("malloc " + std::to_string(serial));
    return rec;
}

extern "C" __attribute__((visibility("default"))) void FreeInstanceParams(void* rec) {
    if (!rec) return;
    log_line("free " + std::to_string(get_word(rec, kSerialOffset)));
    std::free(rec);
}

extern "C" __attribute__((visibility("default"))) bool ReadBLF(void* rec, const char16_t* path) {
    log_line(describe("readblf", rec, path));
    return env_flag("STANDIN_READBLF", true);
}

extern "C" __attribute__((visibility("default"))) bool PrepareUpload(void* rec,
                                                                     const char16_t* path) {
    log_line(describe("prepare", rec, path));
    return env_flag("STANDIN_PREPARE", true);
}
