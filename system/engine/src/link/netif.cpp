#include "link/netif.h"

void frame_queue_create(uv_loop_t*) {}
void frame_queue_close() {}
void network_thread_start() {}
void network_thread_join() {}
