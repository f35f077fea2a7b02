// The switch that lets frames pass between the stack and the links during a
// download, and the packet capture of those frames.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/unique_fd.h"

// Loop thread: start of a download (open "kelvo.pcap" when asked) and the
// closing step of its stop.
void capture_start(bool enable);
void capture_stop();

// Any thread: frames pass only while this is set.
bool capture_delivery_on();

// Loop thread: one frame into the open capture, if any.
void capture_frame(const uint8_t* frame, size_t length);

// A capture file with its header written; invalid (and logged) on failure.
UniqueFd capture_file_open(const char* name);
bool capture_file_write(int fd, const uint8_t* frame, size_t length);
