#include "link/capture.h"

void capture_start(bool) {}
void capture_stop() {}
