#include "core/steps.h"

#include <cstdio>
#include <deque>
#include <exception>
#include <mutex>

#include "core/engine.h"
#include "base/events.h"
#include "base/log_capture.h"
#include "base/loop.h"
#include "base/never_destroyed.h"
#include "device/device_table.h"
#include "flash/package.h"
#include "link/capture.h"
#include "release/release_jobs.h"

namespace {
// Release generation and product listing share process-wide tables and the
// tools' globals: one job at a time.
std::mutex g_release_jobs_mutex;
// Download init and start both work on the one package state: their pool
// jobs run one after the other, in the order they were posted (a start sent
// right behind an init must see that init's package). Loop thread only.
using PackageJobs = std::deque<std::pair<LoopTask, LoopTask>>;
PackageJobs& g_package_jobs = never_destroyed<PackageJobs>();
bool g_package_job_running = false;
bool g_package_jobs_closed = false;

void package_job_next() {
    if (g_package_jobs_closed) g_package_jobs.clear();
    if (g_package_jobs.empty()) {
        g_package_job_running = false;
        return;
    }
    g_package_job_running = true;
    auto job = std::move(g_package_jobs.front());
    g_package_jobs.pop_front();
    LoopTask done = std::move(job.second);
    bool queued = engine_queue_work(std::move(job.first), [done] {
        if (!g_package_jobs_closed) done();
        package_job_next();
    });
    if (!queued) {
        // Nothing runs any more; a later engine starts with an empty queue.
        g_package_jobs.clear();
        g_package_job_running = false;
    }
}

// The event that ends a job, behind every line the job printed (on the pool
// thread or here).
void emit_job_event(const Json::Value& event) {
    message_queue_flush();
    engine_emit(event);
}

void queue_package_job(LoopTask work, LoopTask done) {
    g_package_jobs.emplace_back(std::move(work), std::move(done));
    if (!g_package_job_running) package_job_next();
}
}  // namespace

void package_jobs_close() {
    g_package_jobs_closed = true;
    g_package_jobs.clear();
}

void package_jobs_open() { g_package_jobs_closed = false; }

void download_init_step(std::shared_ptr<DownloadInitRequest> request) {
    queue_package_job(
        [request] {
            if (!package_open(request->path, request->address, request->size, request->result))
                request->result = Json::Value();
        },
        [request] {
            Json::Value event = request->result.isObject() ? request->result : Json::Value();
            event["event"] = 1;
            printf("initialized kelvo release package successfully.\n");
            emit_job_event(event);
        });
}

void download_start_step(std::shared_ptr<DownloadStartRequest> request) {
    queue_package_job(
        [request] {
            request->error.clear();
            if (!commands_apply_groups(request->disabledGroups, request->reboot))
                request->error = "boot engine startup failed";
        },
        [request] {
            if (!request->error.empty()) {
                printf("kelvo download engine started failed: %s\n", request->error.c_str());
                return;
            }
            printf("kelvo download engine started successfully.\n");
            Json::Value event;
            event["event"] = 2;
            emit_job_event(event);
            capture_start(request->dumpEnable);
            StartParams p;
            p.baudRate = static_cast<uint32_t>(request->baudRate);
            p.usbOnly = request->usbOnly;
            p.usbAutoEnable = request->usbAutoEnable;
            p.enableOnce = request->enableOnce;
            p.mode = ENGINE_DOWNLOAD;
            engine_start(p);
        });
}

void download_enable_device_async(const std::string& path) { device_enable_if_running(path); }

void download_stop_async() { engine_stop(); }

void download_get_trainings_async() { device_report_trainings(); }

void prodmode_start_async() {
    StartParams p;
    p.baudRate = 115200;
    p.usbOnly = true;
    p.usbAutoEnable = true;
    p.enableOnce = false;
    p.mode = ENGINE_PRODUCTION;
    engine_start(p);
    printf("kelvo production mode engine started successfully.\n");
    Json::Value event;
    event["event"] = 9;
    emit_job_event(event);
}

void prodmode_stop_async() { engine_stop(); }

void release_generate_step(std::shared_ptr<ReleaseGenerateRequest> request) {
    engine_queue_work(
        [request] {
            std::lock_guard<std::mutex> lock(g_release_jobs_mutex);
            // A job that throws has failed; it must never read as success.
            try {
                release_generate_work(*request);
            } catch (const std::exception& e) {
                fprintf(stderr, "error: %s\n", e.what());
                request->error = "generate release package failed";
            }
        },
        [request] {
            Json::Value event;
            event["event"] = 8;
            if (!request->error.empty()) event["error"] = request->error;
            emit_job_event(event);
        });
}

void release_list_products_step(std::shared_ptr<ReleaseListProductsRequest> request) {
    engine_queue_work(
        [request] {
            std::lock_guard<std::mutex> lock(g_release_jobs_mutex);
            release_list_products_work(*request);
        },
        [request] {
            Json::Value event;
            event["event"] = 7;
            event["products"] = request->products;
            emit_job_event(event);
        });
}
