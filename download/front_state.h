// The one state record of the front end: its state word, the loaded libraries
// with the functions bound from them, the outside library's instance record.
#pragma once

#include <atomic>
#include <cstdint>

#include "engine_run.h"

namespace frontend {

enum : uint32_t { kStateIdle = 0, kStateBootLoader = 1, kStateEngine = 2 };

using EngineEventCallback = void (*)(const char* json, void* user);

// Calling forms of the engine's exports, declared here so the program never
// needs the engine's headers or its link.
struct EngineFunctions {
    int (*engine_init)() = nullptr;
    int (*engine_exit)() = nullptr;
    void (*engine_register_cb)(EngineEventCallback, void*) = nullptr;
    void (*engine_unregister_cb)() = nullptr;
    int (*download_init)(const char*) = nullptr;
    int (*download_start)(const char*) = nullptr;
    int (*download_stop)() = nullptr;
    int (*download_enable_device)(const char*) = nullptr;
    int (*release_list_products)(const char*) = nullptr;
    int (*release_generate)(const char*) = nullptr;
};

// Status callback stored in the instance record: (context, reserved, status record).
using BlStatusCallback = void (*)(void* context, void* reserved, const void* status);

struct OutsideFunctions {
    void (*FreeInstanceParams)(void*) = nullptr;
    void* (*MallocInstanceParams)() = nullptr;
    bool (*ReadBLF)(void*, const char16_t*) = nullptr;
    bool (*PrepareUpload)(void*, const char16_t*) = nullptr;
    int (*InitializeBL)(void*) = nullptr;
    void (*TerminateBL)() = nullptr;
};

struct FrontEndState {
    uint32_t state = kStateIdle;
    void* engine_lib = nullptr;
    void* kov_bld_lib = nullptr;
    void* vorpt_lib = nullptr;
    EngineFunctions engine;
    OutsideFunctions outside;
    uint32_t command4_flag = 0;
    void* instance = nullptr;
    std::atomic<bool> busy{false};
    EngineRun run;
};

}  // namespace frontend
