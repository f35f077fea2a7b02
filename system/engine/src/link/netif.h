// The network interface between the serial links and the network stack, the
// outgoing frame queue and the network thread.
#pragma once

#include <uv.h>

void frame_queue_create(uv_loop_t* loop);
void frame_queue_close();
void network_thread_start();
void network_thread_join();
