// The 14 exported functions. They parse on the caller's thread, copy what the
// request needs and hand it to the loop thread; nothing throws out of them.
#include <cstdio>
#include <exception>
#include <memory>
#include <mutex>
#include <set>

#include "core/engine.h"
#include "base/events.h"
#include "base/json_text.h"
#include "base/loop.h"
#include "core/steps.h"
#include "base/text.h"
#include "kelvo.h"

namespace {

std::mutex g_lifecycle_mutex;  // orders init against exit

// Parses the argument and runs `fill` on the document. Any failure (a text
// that does not parse, a member of the wrong type) is logged and gives -1.
template <typename Fill>
int with_document(const char* json, Fill fill) {
    Json::Value doc;
    std::string error;
    if (json == nullptr) {
        error = "* Line 1, Column 1\n  no argument given\n";
    } else if (!json_parse(json, doc, error)) {
        // the parser's messages are in `error`
    } else {
        try {
            fill(doc);
            return 0;
        } catch (const std::exception& e) {
            error = e.what();
        }
    }
    fprintf(stderr, "Failed to parse configuration\n%s\n", error.c_str());
    return -1;
}

std::string acp_path(const Json::Value& doc) {
    return text_narrow_acp(text_widen_utf8(doc["path"].asString()));
}

// The loop's first and last steps: the package jobs open with the engine
// and close before it goes down.
void on_loop_init() {
    package_jobs_open();
    engine_on_init();
}

void on_loop_exit() {
    package_jobs_close();
    engine_on_exit();
}

}  // namespace

extern "C" {

int kelvo_engine_init(void) {
    std::lock_guard<std::mutex> lock(g_lifecycle_mutex);
    if (engine_loop_running()) return 0;
    engine_set_exit_requested(false);
    return engine_loop_start(on_loop_init, on_loop_exit) == 0 ? 0 : -1;
}

int kelvo_engine_exit(void) {
    std::lock_guard<std::mutex> lock(g_lifecycle_mutex);
    if (!engine_loop_running()) return 0;
    engine_set_exit_requested(true);
    int rc = engine_loop_stop();
    engine_set_callback(nullptr, nullptr);
    return rc;
}

void kelvo_engine_register_cb(EngineEventCallback cb, void* user) { engine_set_callback(cb, user); }

void kelvo_engine_unregister_cb(void) { engine_set_callback(nullptr, nullptr); }

int kelvo_download_init(const char* json) {
    printf("initializing kelvo release package...\n");
    return with_document(json, [](const Json::Value& doc) {
        auto req = std::make_shared<DownloadInitRequest>();
        const Json::Value& path = doc["path"];
        if (!path.isNull()) {
            req->path = path.asString();
        } else {
            // A package in the host's memory: the address keeps pointer width.
            req->address = static_cast<uintptr_t>(doc["address"].asUInt64());
            req->size = static_cast<uint32_t>(doc["size"].asUInt64());
        }
        engine_post([req] { download_init_step(req); });
    });
}

int kelvo_download_start(const char* json) {
    printf("starting kelvo download engine...\n");
    return with_document(json, [](const Json::Value& doc) {
        auto req = std::make_shared<DownloadStartRequest>();
        if (!doc["productionMode"].asBool()) {
            printf("download engine running in upgrade mode!\n");
            const Json::Value& disabled = doc["disabledGroups"];
            if (disabled.empty()) {
                std::set<std::string> groups;
                for (const auto& cmd : doc["commands"])
                    if (cmd["productionOnly"].asBool()) groups.insert(cmd["group"].asString());
                for (const auto& g : groups) req->disabledGroups.append(g);
            } else {
                req->disabledGroups = disabled;
            }
        } else {
            printf("download engine running in production mode!\n");
        }
        req->baudRate = doc["baudRate"].asInt();
        req->usbOnly = doc["usbOnly"].asBool();
        req->usbAutoEnable = doc["usbAutoEnable"].asBool();
        req->enableOnce = doc["enableOnce"].asBool();
        req->dumpEnable = doc["dumpEnable"].asBool();
        req->reboot = doc["reboot"].asBool();
        engine_post([req] { download_start_step(req); });
    });
}

int kelvo_download_stop(void) {
    printf("stopping kelvo download engine...\n");
    engine_post(download_stop_async);
    return 0;
}

int kelvo_download_enable_device(const char* json) {
    return with_document(json, [](const Json::Value& doc) {
        std::string path = doc["path"].asString();
        engine_post([path] { download_enable_device_async(path); });
    });
}

int kelvo_download_config_trainings(const char* json) {
    return with_document(json, [](const Json::Value& doc) {
        std::vector<Training> add;
        for (const auto& el : doc) add.push_back(Training{el["locationInfo"].asString(), el["order"].asInt()});
        for (const auto& t : add) trainings_append(t);
    });
}

int kelvo_download_get_trainings(void) {
    engine_post(download_get_trainings_async);
    return 0;
}

int kelvo_prodmode_start(void) {
    printf("starting kelvo production mode engine...\n");
    engine_post(prodmode_start_async);
    return 0;
}

int kelvo_prodmode_stop(void) {
    printf("stopping kelvo production mode engine...\n");
    engine_post(prodmode_stop_async);
    return 0;
}

int kelvo_release_generate(const char* json) {
    return with_document(json, [](const Json::Value& doc) {
        auto req = std::make_shared<ReleaseGenerateRequest>();
        req->path = acp_path(doc);
        req->product = doc["product"].asString();
        req->variant = doc["variant"].asString();
        req->output = doc["output"].asString();
        req->eraseAll = doc["eraseAll"].asBool();
        req->eraseAllOnly = doc["eraseAllOnly"].asBool();
        req->custom = doc["custom"];
        engine_post([req] { release_generate_step(req); });
    });
}

int kelvo_release_list_products(const char* json) {
    return with_document(json, [](const Json::Value& doc) {
        auto req = std::make_shared<ReleaseListProductsRequest>();
        req->path = acp_path(doc);
        engine_post([req] { release_list_products_step(req); });
    });
}

}  // extern "C"
