// The transmit path from the network stack to the links, and what the link
// learns from the device's replies on the way back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct SerialLink;

// Loop thread: one Ethernet frame from the stack.
void ethos_transmit_ethernet(const uint8_t* frame, size_t length);

// Loop thread: a data frame from the device, read before it reaches the stack.
void ethos_snoop_reply(SerialLink& link, const uint8_t* frame, size_t length);

// The 77-byte "no response" answer to a UDP request frame; empty for a frame
// shorter than 66 bytes.
std::vector<uint8_t> ethos_no_response_frame(const uint8_t* request, size_t length);

// Internet checksum (RFC 1071) continued from `sum`; `oddPosition` when the
// first byte falls on the low half of a word. Returns the folded 16-bit sum.
uint32_t ethos_checksum_accumulate(uint32_t sum, const uint8_t* data, size_t length, bool oddPosition);
