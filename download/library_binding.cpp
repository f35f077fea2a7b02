#include "library_binding.h"

#include <dlfcn.h>
#include <unistd.h>

#include <string>

namespace frontend {

namespace {

const char kEngineLib[] = "libkelvo.so";
const char kKovBldLib[] = "libKOV_BLD.so";
const char kVorptLib[] = "libVorptDownLoad.so";

std::string executable_dir() {
    char buf[4096];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return std::string();
    std::string path(buf, static_cast<size_t>(n));
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

// Beside the program first, then the library path.
void* open_library(const char* name, int extra_flags) {
    int flags = RTLD_NOW | RTLD_LOCAL | extra_flags;
    std::string dir = executable_dir();
    if (!dir.empty()) {
        std::string beside = dir + "/" + name;
        if (::access(beside.c_str(), F_OK) == 0) {
            if (void* h = ::dlopen(beside.c_str(), flags)) return h;
        }
    }
    return ::dlopen(name, flags);
}

template <typename Fn>
void bind(void* handle, const char* name, Fn& fn) {
    fn = handle ? reinterpret_cast<Fn>(::dlsym(handle, name)) : nullptr;
}

// A handle that is replaced by a new one of the same library drops its
// reference; a library that no longer loads stays mapped, since a thread of
// it may still run.
void replace_handle(void*& slot, void* fresh) {
    if (slot && fresh) ::dlclose(slot);
    slot = fresh;
}

void bind_engine(FrontEndState& fs) {
    EngineFunctions& e = fs.engine;
    void* h = fs.engine_lib;
    bind(h, "kelvo_engine_init", e.engine_init);
    bind(h, "kelvo_engine_exit", e.engine_exit);
    bind(h, "kelvo_engine_register_cb", e.engine_register_cb);
    bind(h, "kelvo_engine_unregister_cb", e.engine_unregister_cb);
    bind(h, "kelvo_download_init", e.download_init);
    bind(h, "kelvo_download_start", e.download_start);
    bind(h, "kelvo_download_stop", e.download_stop);
    bind(h, "kelvo_download_enable_device", e.download_enable_device);
    bind(h, "kelvo_release_list_products", e.release_list_products);
    bind(h, "kelvo_release_generate", e.release_generate);
}

void bind_outside(FrontEndState& fs) {
    OutsideFunctions& o = fs.outside;
    bool both = fs.kov_bld_lib && fs.vorpt_lib;
    void* kov = both ? fs.kov_bld_lib : nullptr;
    void* vorpt = both ? fs.vorpt_lib : nullptr;
    bind(kov, "FreeInstanceParams", o.FreeInstanceParams);
    bind(kov, "MallocInstanceParams", o.MallocInstanceParams);
    bind(kov, "ReadBLF", o.ReadBLF);
    bind(kov, "PrepareUpload", o.PrepareUpload);
    bind(vorpt, "InitializeBL", o.InitializeBL);
    bind(vorpt, "TerminateBL", o.TerminateBL);
}

}  // namespace

void load_libraries(FrontEndState& fs) {
    // The engine's threads (the network stack's core thread among them) never
    // end, so the engine is never unmapped; a later load binds it again.
    replace_handle(fs.engine_lib, open_library(kEngineLib, RTLD_NODELETE));
    bind_engine(fs);
    replace_handle(fs.kov_bld_lib, open_library(kKovBldLib, 0));
    replace_handle(fs.vorpt_lib, open_library(kVorptLib, 0));
    bind_outside(fs);
}

void unload_libraries(FrontEndState& fs) {
    if (fs.kov_bld_lib) {
        if (fs.outside.TerminateBL) fs.outside.TerminateBL();
        if (fs.instance && fs.outside.FreeInstanceParams) fs.outside.FreeInstanceParams(fs.instance);
        fs.instance = nullptr;
        ::dlclose(fs.kov_bld_lib);
        fs.kov_bld_lib = nullptr;
        if (fs.vorpt_lib) ::dlclose(fs.vorpt_lib);
        fs.vorpt_lib = nullptr;
        fs.outside = OutsideFunctions{};
    }
    if (fs.engine_lib) {
        // The stop is only posted; the engine is unbound once it has ended,
        // within a bound so that an engine that never reports it cannot hang
        // the front end.
        if (fs.engine.download_stop) {
            fs.engine.download_stop();
            engine_run_wait_stopped(fs.run, std::chrono::seconds(30));
        }
        ::dlclose(fs.engine_lib);
        fs.engine_lib = nullptr;
        fs.engine = EngineFunctions{};
    }
}

bool outside_bound(const FrontEndState& fs) {
    const OutsideFunctions& o = fs.outside;
    return fs.kov_bld_lib && fs.vorpt_lib && o.FreeInstanceParams && o.MallocInstanceParams &&
           o.ReadBLF && o.PrepareUpload && o.InitializeBL && o.TerminateBL;
}

}  // namespace frontend
