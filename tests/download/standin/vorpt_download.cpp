// Stand-in for the outside library VorptDownLoad. InitializeBL starts the
// threads that STANDIN_STATUS asks for and returns at once:
//   STANDIN_STATUS=threads,calls,n8,n2916,n2920,text
// (text as hex of its UTF-16 units, four digits each); every thread calls the
// record's status callback `calls` times, the n8 field counting up from n8 by
// one per call over all threads. STANDIN_INIT=0 makes InitializeBL fail.
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "instance_params.h"
#include "standin_common.h"

using namespace standin;

namespace {

std::mutex g_mutex;
std::vector<std::thread> g_threads;

struct StatusPlan {
    unsigned threads = 0, calls = 0;
    uint32_t n8 = 0, n2916 = 0, n2920 = 0;
    std::u16string text;
};

StatusPlan read_plan() {
    StatusPlan plan;
    const char* spec = std::getenv("STANDIN_STATUS");
    if (!spec) return plan;
    std::vector<std::string> parts;
    std::stringstream ss(spec);
    for (std::string part; std::getline(ss, part, ',');) parts.push_back(part);
    if (parts.size() < 5) return plan;
    plan.threads = static_cast<unsigned>(std::strtoul(parts[0].c_str(), nullptr, 0));
    plan.calls = static_cast<unsigned>(std::strtoul(parts[1].c_str(), nullptr, 0));
    plan.n8 = static_cast<uint32_t>(std::strtoul(parts[2].c_str(), nullptr, 0));
    plan.n2916 = static_cast<uint32_t>(std::strtoul(parts[3].c_str(), nullptr, 0));
    plan.n2920 = static_cast<uint32_t>(std::strtoul(parts[4].c_str(), nullptr, 0));
    const std::string hex = parts.size() > 5 ? parts[5] : "";
    for (size_t i = 0; i + 4 <= hex.size(); i += 4)
        plan.text.push_back(static_cast<char16_t>(std::strtoul(hex.substr(i, 4).c_str(), nullptr, 16)));
    return plan;
}

void send_statuses(BlStatusCallback cb, void* context, StatusPlan plan, unsigned index) {
    std::vector<char> rec(kStatusSize, 0);
    std::memcpy(rec.data() + kStatusTextOffset, plan.text.c_str(),
                (plan.text.size() + 1) * sizeof(char16_t));
    put_word(rec.data(), kStatusNumber2916Offset, plan.n2916);
    put_word(rec.data(), kStatusNumber2920Offset, plan.n2920);
    for (unsigned i = 0; i < plan.calls; ++i) {
        put_word(rec.data(), kStatusNumber8Offset, plan.n8 + index * plan.calls + i);
        cb(context, nullptr, rec.data());
    }
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int InitializeBL(void* rec) {
    BlStatusCallback cb;
    void* context;
    std::memcpy(&cb, static_cast<char*>(rec) + kCallbackOffset, sizeof cb);
    std::memcpy(&context, static_cast<char*>(rec) + kContextOffset, sizeof context);
    log_line("init " + std::to_string(get_word(rec, kSerialOffset)) + " cb=" + (cb ? "1" : "0") +
             " ctx=" + (context ? "1" : "0"));
    if (!env_flag("STANDIN_INIT", true)) return 0;
    StatusPlan plan = read_plan();
    if (cb) {
        std::lock_guard<std::mutex> lock(g_mutex);
        for (unsigned t = 0; t < plan.threads; ++t)
            g_threads.emplace_back(send_statuses, cb, context, plan, t);
    }
    return 1;
}

extern "C" __attribute__((visibility("default"))) void TerminateBL() {
    std::vector<std::thread> threads;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        threads.swap(g_threads);
    }
    for (auto& t : threads) t.join();
    log_line("terminate");
}
