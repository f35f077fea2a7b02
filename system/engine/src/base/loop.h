// The engine loop thread: one private libuv loop that owns all engine state.
#pragma once

#include <functional>

#include <uv.h>

using LoopTask = std::function<void()>;

// Loop thread only.
uv_loop_t* engine_loop();
bool engine_on_loop_thread();

// Any thread: runs the task on the loop thread. Returns false (and drops the
// task) when the loop does not run.
bool engine_post(LoopTask task);

// Loop thread: runs `work` on the worker pool, then `done` on the loop thread.
// False when the pool takes no more work (neither then runs).
bool engine_queue_work(LoopTask work, LoopTask done);

// Runs a task and contains anything it throws (a loop step never throws out).
void engine_run_guarded(const char* what, const LoopTask& task);

// Start and stop of the loop thread (kelvo_engine_init / kelvo_engine_exit).
// on_init and on_exit run on the loop thread, first and last.
int engine_loop_start(void (*on_init)(), void (*on_exit)());
int engine_loop_stop();
bool engine_loop_running();
