// A host may end its process without kelvo_engine_exit while the engine is
// busy: exit() then runs static destructors and unloads libraries under the
// engine's running threads.
#include <dlfcn.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "engine_host.h"

namespace {

// Every exit-time destructor registered in this process, recorded by the
// interposer below. Plain arrays: the record itself must survive exit.
constexpr size_t kMaxRegistrations = 4096;
void* g_registered_fn[kMaxRegistrations];
void* g_registered_dso[kMaxRegistrations];
std::atomic<size_t> g_registrations{0};

}  // namespace

// Static objects with destructors register them here; the library's calls
// bind to this definition because the executable exports it.
extern "C" int __cxa_atexit(void (*fn)(void*), void* arg, void* dso) {
    using Real = int (*)(void (*)(void*), void*, void*);
    static Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "__cxa_atexit"));
    size_t i = g_registrations.fetch_add(1);
    if (i < kMaxRegistrations) {
        g_registered_fn[i] = reinterpret_cast<void*>(fn);
        g_registered_dso[i] = dso;
    }
    return real(fn, arg, dso);
}

namespace {

const std::string kExample = KELVO_SOURCE_DIR "/examples/minimal";

// The packages' directory: made by the test, inherited by its children, which
// run the test body again up to their statement.
std::string output_dir() {
    if (const char* inherited = getenv("KELVO_EXIT_TEST_OUTPUT")) return inherited;
    char tmpl[] = "/tmp/kelvo_exit_test_XXXXXX";
    std::string dir = mkdtemp(tmpl) ? tmpl : "/tmp";
    setenv("KELVO_EXIT_TEST_OUTPUT", dir.c_str(), 1);
    return dir;
}

std::string request(const std::string& path, const std::string& output = "") {
    Json::Value doc;
    doc["path"] = path;
    if (!output.empty()) {
        doc["product"] = "kv100";
        doc["variant"] = "release";
        doc["output"] = output;
    }
    return Json::writeString(Json::StreamWriterBuilder(), doc);
}

void* image_base(const void* address) {
    Dl_info info{};
    return dladdr(address, &info) ? info.dli_fbase : nullptr;
}

// Keeps the engine's threads busy and ends the process `delay_ms` later:
// release jobs queued on the pool, log lines on their way to the host, and
// a host thread still posting requests while the process ends.
[[noreturn]] void exit_while_busy(const std::string& output, int delay_ms) {
    EngineHost& host = EngineHost::instance();
    host.start();
    for (int i = 0; i < 6; ++i) {
        host.release_generate(request(kExample, output + "/kv100-" + std::to_string(i) + ".zip").c_str());
        host.release_list_products(request(kExample).c_str());
    }
    std::thread([&host] {
        const std::string missing = request("/nonexistent/kelvo-config");
        for (;;) {
            host.release_list_products(missing.c_str());
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    }).detach();
    std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
    exit(0);
}

}  // namespace

TEST(ExitWithoutEngineExit, LibraryRegistersNoExitTimeDestructors) {
    EngineHost& host = EngineHost::instance();
    host.start();
    // Reach the state that is created on first use: jobs, logs, trainings.
    host.clear();
    host.release_list_products(request(kExample).c_str());
    ASSERT_TRUE(host.wait_event(7, 10000));
    host.release_generate(request("/nonexistent/kelvo-config", "/nonexistent/out.zip").c_str());
    ASSERT_TRUE(host.wait_event(8, 10000));
    host.config_trainings(R"([{"locationInfo": "1-1", "order": 1}])");
    host.settle();

    void* library = image_base(reinterpret_cast<const void*>(host.engine_init));
    ASSERT_NE(library, nullptr);
    size_t n = std::min(g_registrations.load(), kMaxRegistrations);
    ASSERT_GT(n, 0u) << "the interposer saw no registration at all";
    for (size_t i = 0; i < n; ++i) {
        if (image_base(g_registered_dso[i]) != library) continue;
        // Hidden symbols have no name here: addr2line -fC -e libkelvo.so OFFSET
        ADD_FAILURE() << "libkelvo.so registers an exit-time destructor at offset 0x" << std::hex
                      << (static_cast<char*>(g_registered_fn[i]) - static_cast<char*>(library));
    }
}

TEST(ExitWithoutEngineExit, ProcessEndsCleanlyAtAnyStage) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const std::string output = output_dir();
    for (int delay_ms : {0, 1, 5, 20, 50, 100, 150, 250, 400, 600}) {
        EXPECT_EXIT(exit_while_busy(output, delay_ms), testing::ExitedWithCode(0), "") << "exit after " << delay_ms << " ms";
    }
    std::string cleanup = "rm -rf '" + output + "'";
    EXPECT_EQ(system(cleanup.c_str()), 0);
}
