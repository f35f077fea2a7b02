// Generates a release package through the engine library's exports, printing
// the engine's progress lines, then the package's path and contents.
//
//   kelvo-release [config-dir [product [variant [output]]]]
//
// Without a product the first listed product and its first listed variant are
// used; the listing sorts names, so of "release" and "debug" that is "debug".
// A variant the product does not list is refused.
// The library is the one of the build tree, or KELVO_LIBRARY.
#include <dlfcn.h>

#include <ziparchive/zip_archive.h>

#include <climits>
#include <cstdlib>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include <json/json.h>

namespace {

struct Engine {
    int (*init)() = nullptr;
    int (*exit)() = nullptr;
    void (*register_cb)(void (*)(const char*, void*), void*) = nullptr;
    int (*release_generate)(const char*) = nullptr;
    int (*list_products)(const char*) = nullptr;
};

std::mutex mutex;
std::condition_variable cv;
Json::Value last_event[11];
bool seen[11] = {};

Json::Value parse(const std::string& text) {
    Json::CharReaderBuilder b;
    std::unique_ptr<Json::CharReader> r(b.newCharReader());
    Json::Value v;
    std::string err;
    r->parse(text.data(), text.data() + text.size(), &v, &err);
    return v;
}

void on_event(const char* json, void*) {
    Json::Value e = parse(json);
    if (!e.isObject()) return;
    int n = e["event"].asInt();
    if (n == 0) {
        std::string line = e["message"].asString();
        fputs(line.c_str(), stdout);
        if (line.empty() || line.back() != '\n') fputc('\n', stdout);
        fflush(stdout);
        return;
    }
    if (n < 0 || n > 10) return;
    std::lock_guard<std::mutex> lock(mutex);
    last_event[n] = e;
    seen[n] = true;
    cv.notify_all();
}

bool wait_event(int n, Json::Value& out) {
    std::unique_lock<std::mutex> lock(mutex);
    bool ok = cv.wait_for(lock, std::chrono::seconds(120), [n] { return seen[n]; });
    if (ok) out = last_event[n];
    seen[n] = false;
    return ok;
}

template <typename F>
bool bind(void* lib, F& fn, const char* name) {
    fn = reinterpret_cast<F>(dlsym(lib, name));
    if (!fn) fprintf(stderr, "missing export %s\n", name);
    return fn != nullptr;
}

std::string json_text(const Json::Value& v) {
    Json::StreamWriterBuilder b;
    b["indentation"] = "";
    return Json::writeString(b, v);
}

uint32_t le32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24; }

void print_partition_table(const std::string& bytes) {
    if (bytes.size() != 2184) return;
    const uint8_t* b = reinterpret_cast<const uint8_t*>(bytes.data());
    uint32_t count = le32(b + 4);
    printf("  partition table (%u rows):\n", count);
    printf("    %-16s %-8s %10s %10s %10s %10s %s\n", "name", "format", "start", "size", "vstart", "vsize", "depth");
    for (uint32_t i = 0; i < count && i < 32; ++i) {
        const uint8_t* r = b + 8 + 68 * i;
        std::string name(reinterpret_cast<const char*>(r), strnlen(reinterpret_cast<const char*>(r), 32));
        std::string format(reinterpret_cast<const char*>(r + 32), strnlen(reinterpret_cast<const char*>(r + 32), 16));
        printf("    %-16s %-8s 0x%08x 0x%08x 0x%08x 0x%08x %u\n", name.c_str(), format.c_str(), le32(r + 48),
               le32(r + 52), le32(r + 56), le32(r + 60), le32(r + 64));
    }
}

int print_package(const std::string& path) {
    ZipArchiveHandle zip;
    if (OpenArchive(path.c_str(), &zip) != 0) {
        CloseArchive(zip);
        fprintf(stderr, "cannot open the package %s\n", path.c_str());
        return 1;
    }
    char absolute[PATH_MAX];
    printf("\nRelease package: %s\n", realpath(path.c_str(), absolute) ? absolute : path.c_str());
    void* cookie;
    std::string download, partition;
    if (StartIteration(zip, &cookie) == 0) {
        ZipEntry entry;
        std::string name;
        printf("  %10s %10s  %s\n", "size", "packed", "entry");
        while (Next(cookie, &entry, &name) == 0) {
            printf("  %10u %10u  %s\n", entry.uncompressed_length, entry.compressed_length, name.c_str());
            std::string bytes(entry.uncompressed_length, '\0');
            if (ExtractToMemory(zip, &entry, reinterpret_cast<uint8_t*>(bytes.data()), bytes.size()) != 0) continue;
            if (name == "download.json") download = bytes;
            if (name == "partition.bin") partition = bytes;
        }
        EndIteration(cookie);
    }
    CloseArchive(zip);
    print_partition_table(partition);
    if (!download.empty()) printf("  download.json:\n%s", download.c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string config = argc > 1 ? argv[1] : "examples/minimal";
    std::string product = argc > 2 ? argv[2] : "";
    std::string variant = argc > 3 ? argv[3] : "";
    std::string output = argc > 4 ? argv[4] : "";

    const char* lib_path = getenv("KELVO_LIBRARY");
#ifdef KELVO_LIBRARY_PATH
    if (!lib_path) lib_path = KELVO_LIBRARY_PATH;
#endif
    void* lib = dlopen(lib_path ? lib_path : "libkelvo.so", RTLD_NOW | RTLD_LOCAL);
    if (!lib) {
        fprintf(stderr, "cannot load the engine library: %s\n", dlerror());
        return 1;
    }
    Engine engine;
    if (!bind(lib, engine.init, "kelvo_engine_init") || !bind(lib, engine.exit, "kelvo_engine_exit") ||
        !bind(lib, engine.register_cb, "kelvo_engine_register_cb") ||
        !bind(lib, engine.release_generate, "kelvo_release_generate") ||
        !bind(lib, engine.list_products, "kelvo_release_list_products"))
        return 1;

    engine.init();
    engine.register_cb(on_event, nullptr);
    Json::Value event;
    Json::Value request;
    request["path"] = config;
    engine.list_products(json_text(request).c_str());
    if (!wait_event(7, event) || !event["products"].isArray() || event["products"].empty()) {
        fprintf(stderr, "no product found in %s\n", config.c_str());
        engine.exit();
        return 1;
    }
    const Json::Value* chosen = &event["products"][0];
    const bool first_product = product.empty();
    if (first_product)
        product = (*chosen)["name"].asString();
    else
        for (const Json::Value& p : event["products"])
            if (p["name"].asString() == product) chosen = &p;
    const Json::Value& variants = (*chosen)["variants"];
    std::string listed;
    bool known = false;
    for (const Json::Value& v : variants) {
        listed += (listed.empty() ? "" : ", ") + v.asString();
        known = known || v.asString() == variant;
    }
    if ((*chosen)["name"].asString() == product && !variant.empty() && !known) {
        // The engine builds an unknown variant as the bare product: a typo
        // would give a package that looks right and is not.
        fprintf(stderr, "product \"%s\" has no variant \"%s\" (its variants: %s)\n", product.c_str(),
                variant.c_str(), listed.empty() ? "none" : listed.c_str());
        engine.exit();
        return 1;
    }
    if (first_product && variant.empty() && variants.isArray() && !variants.empty()) {
        variant = variants[0].asString();
        printf("Product \"%s\" lists the variants %s; taking the first, \"%s\"\n", product.c_str(), listed.c_str(),
               variant.c_str());
    }
    if (output.empty()) output = product + (variant.empty() ? "" : "-" + variant) + ".zip";
    printf("Generating the release package of product \"%s\" variant \"%s\" from %s\n", product.c_str(),
           variant.c_str(), config.c_str());

    request["product"] = product;
    request["variant"] = variant;
    request["output"] = output;
    engine.release_generate(json_text(request).c_str());
    bool done = wait_event(8, event);
    engine.exit();
    if (!done) {
        fprintf(stderr, "the engine did not report the release\n");
        return 1;
    }
    if (event.isMember("error")) {
        fprintf(stderr, "release failed: %s\n", event["error"].asString().c_str());
        return 1;
    }
    return print_package(output);
}
