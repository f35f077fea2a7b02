#include "flash/thread_state.h"

namespace {
thread_local DownloadThreadState t_state;
}

DownloadThreadState& download_thread_state() { return t_state; }
