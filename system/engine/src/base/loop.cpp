#include "base/loop.h"

#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <exception>
#include <mutex>

#include "base/never_destroyed.h"

namespace {

// Work item that carries its two halves; freed after `done` ran.
struct PoolJob {
    uv_work_t req;
    LoopTask work;
    LoopTask done;
};

uv_loop_t g_loop;
uv_thread_t g_loop_thread;
std::atomic<bool> g_loop_thread_valid{false};
std::atomic<unsigned long> g_loop_thread_id{0};

// The task queue and its wake-up. The lock lives for the whole process and is
// never destroyed, so a late poster from another thread never touches a dead
// mutex; the wake-up is signalled and closed only under it.
std::mutex g_post_mutex;
std::deque<LoopTask>& g_tasks = never_destroyed<std::deque<LoopTask>>();
uv_async_t g_wake;
bool g_accepting = false;

// The worker pool is libuv's and is torn down by libuv's own unload step,
// after which queueing work aborts. The library's unload step runs before
// that of every library it uses: it closes this gate and waits for the jobs
// already queued, so that none runs while those libraries are torn down.
std::mutex g_pool_mutex;
std::condition_variable& g_pool_idle = never_destroyed<std::condition_variable>();
size_t g_pool_jobs = 0;   // queued or running; guarded by g_pool_mutex
bool g_pool_open = true;  // guarded by g_pool_mutex
// The process whose loop feeds the pool: a forked child has none of its
// threads and nothing to wait for.
std::atomic<pid_t> g_pool_owner{0};

void pool_job_finished() {
    std::lock_guard<std::mutex> lock(g_pool_mutex);
    --g_pool_jobs;
    g_pool_idle.notify_all();
}

__attribute__((destructor)) void close_pool() {
    if (g_pool_owner.load() != getpid()) return;
    std::unique_lock<std::mutex> lock(g_pool_mutex);
    g_pool_open = false;
    g_pool_idle.wait(lock, [] { return g_pool_jobs == 0; });
}

uv_async_t g_init_async;
uv_async_t g_exit_async;
uv_sem_t g_start_sem;
void (*g_on_init)() = nullptr;
void (*g_on_exit)() = nullptr;

void drain_tasks(uv_async_t*) {
    for (;;) {
        LoopTask task;
        {
            std::lock_guard<std::mutex> lock(g_post_mutex);
            if (g_tasks.empty()) return;
            task = std::move(g_tasks.front());
            g_tasks.pop_front();
        }
        engine_run_guarded("loop step", task);
    }
}

void on_init_async(uv_async_t*) {
    if (g_on_init) g_on_init();
    uv_close(reinterpret_cast<uv_handle_t*>(&g_init_async), nullptr);
    uv_sem_post(&g_start_sem);
}

void on_exit_async(uv_async_t*) {
    if (g_on_exit) g_on_exit();
    std::deque<LoopTask> dropped;
    {
        std::lock_guard<std::mutex> lock(g_post_mutex);
        g_accepting = false;
        dropped.swap(g_tasks);
        uv_close(reinterpret_cast<uv_handle_t*>(&g_wake), nullptr);
    }
    uv_close(reinterpret_cast<uv_handle_t*>(&g_exit_async), nullptr);
    uv_stop(&g_loop);
}

void close_leftover(uv_handle_t* handle, void*) {
    if (!uv_is_closing(handle)) uv_close(handle, nullptr);
}

void engine_loop_thread(void*) {
    g_loop_thread_id = static_cast<unsigned long>(uv_thread_self());
    uv_loop_init(&g_loop);
    uv_async_init(&g_loop, &g_init_async, on_init_async);
    uv_async_init(&g_loop, &g_exit_async, on_exit_async);
    {
        std::lock_guard<std::mutex> lock(g_post_mutex);
        uv_async_init(&g_loop, &g_wake, drain_tasks);
        g_accepting = true;
    }
    uv_sem_post(&g_start_sem);
    uv_run(&g_loop, UV_RUN_DEFAULT);
    // Handles still open when the loop was stopped are closed here so that the
    // loop can be closed; pool jobs still running finish first.
    uv_walk(&g_loop, close_leftover, nullptr);
    uv_run(&g_loop, UV_RUN_DEFAULT);
    uv_loop_close(&g_loop);
    g_loop_thread_id = 0;
}

}  // namespace

uv_loop_t* engine_loop() { return &g_loop; }

bool engine_on_loop_thread() {
    unsigned long id = g_loop_thread_id.load();
    return id != 0 && id == static_cast<unsigned long>(uv_thread_self());
}

bool engine_post(LoopTask task) {
    std::lock_guard<std::mutex> lock(g_post_mutex);
    if (!g_accepting) return false;
    g_tasks.push_back(std::move(task));
    uv_async_send(&g_wake);
    return true;
}

void engine_run_guarded(const char* what, const LoopTask& task) {
    try {
        task();
    } catch (const std::exception& e) {
        fprintf(stderr, "error: %s failed: %s\n", what, e.what());
    } catch (...) {
        fprintf(stderr, "error: %s failed\n", what);
    }
}

bool engine_queue_work(LoopTask work, LoopTask done) {
    auto* job = new PoolJob{};
    job->req.data = job;
    job->work = std::move(work);
    job->done = std::move(done);
    std::lock_guard<std::mutex> lock(g_pool_mutex);
    if (!g_pool_open) {
        // The process is ending or the library unloading: nothing may start.
        delete job;
        return false;
    }
    int rc = uv_queue_work(
        &g_loop, &job->req,
        [](uv_work_t* req) {
            auto* j = static_cast<PoolJob*>(req->data);
            engine_run_guarded("pool job", j->work);
            pool_job_finished();
        },
        [](uv_work_t* req, int) {
            auto* j = static_cast<PoolJob*>(req->data);
            engine_run_guarded("pool completion", j->done);
            delete j;
        });
    if (rc != 0) {
        fprintf(stderr, "error: queueing work failed: %s\n", uv_strerror(rc));
        delete job;
        return false;
    }
    ++g_pool_jobs;
    return true;
}

int engine_loop_start(void (*on_init)(), void (*on_exit)()) {
    g_on_init = on_init;
    g_on_exit = on_exit;
    g_pool_owner.store(getpid());
    uv_sem_init(&g_start_sem, 0);
    if (uv_thread_create(&g_loop_thread, engine_loop_thread, nullptr) != 0) {
        uv_sem_destroy(&g_start_sem);
        return -1;
    }
    g_loop_thread_valid = true;
    uv_sem_wait(&g_start_sem);
    uv_async_send(&g_init_async);
    uv_sem_wait(&g_start_sem);
    uv_sem_destroy(&g_start_sem);
    return 0;
}

int engine_loop_stop() {
    if (!g_loop_thread_valid) return 0;
    uv_async_send(&g_exit_async);
    int rc = uv_thread_join(&g_loop_thread);
    g_loop_thread_valid = false;
    return rc;
}

bool engine_loop_running() { return g_loop_thread_valid; }
