// Packet capture of the frames carried over the serial links.
#pragma once

void capture_start(bool enable);
void capture_stop();
