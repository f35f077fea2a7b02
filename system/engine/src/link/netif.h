// The network interface between the serial links and the network stack, the
// outgoing frame queue and the network thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include <uv.h>

// Loop thread (engine init and exit steps).
void frame_queue_create(uv_loop_t* loop);
void frame_queue_close();
void network_thread_start();
// Returns once the network thread has started the stack: links take the
// interface's hardware address for their hello.
void network_stack_wait();
void network_thread_join();

// Stack thread: an Ethernet frame for the links, dropped while frame
// delivery is off.
int pcapif2_queue_frame(const uint8_t* frame, size_t length);

// Loop thread: an Ethernet frame for the stack (from a link, or an answer
// made up in a silent device's place).
void ethos_deliver_ethernet(const uint8_t* frame, size_t length);

// Any thread: the interface's hardware address (zero before the stack has
// started).
void netif_host_mac(uint8_t out[6]);

// The hardware address inside a link-local address of the modified EUI-64
// form (fe80::/64, ff:fe in the middle); false for any other address.
bool netif_mac_of_link_local(const uint8_t address[16], uint8_t mac[6]);

// The random unicast hardware address drawn at stack start-up.
void pcapif2_random_hwaddr(unsigned seed, uint8_t out[6]);
