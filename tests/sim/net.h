// The device's own small IPv6 stack: Internet checksum, link-local address,
// neighbour discovery and UDP, on Ethernet frames carried by the link.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace devsim {

using Mac = std::array<uint8_t, 6>;
using Ip6 = std::array<uint8_t, 16>;

// Ones' complement sum of big-endian 16-bit words, carries folded; an odd
// last byte is the high byte of a word.
uint32_t checksum_add(uint32_t sum, const uint8_t* data, size_t length);
uint16_t checksum_fold(uint32_t sum);
// Checksum of an upper-layer packet over IPv6 (pseudo-header included); the
// checksum field inside `packet` must be zero, or the result is 0 for a valid one.
uint16_t ipv6_upper_checksum(const Ip6& src, const Ip6& dst, uint8_t next_header,
                             const uint8_t* packet, size_t length);

// fe80::/64 with the modified EUI-64 of `mac`.
Ip6 link_local_of(const Mac& mac);
std::string ip6_text(const Ip6& a);
// ff02::1:ffXX:XXXX for `a`.
Ip6 solicited_node_of(const Ip6& a);

struct UdpDatagram {
    Mac src_mac{}, dst_mac{};
    Ip6 src{}, dst{};
    uint16_t src_port = 0, dst_port = 0;
    bool checksum_ok = false;
    std::vector<uint8_t> payload;
};

// Parses an Ethernet frame carrying IPv6 + UDP; false for anything else.
bool parse_udp(const uint8_t* frame, size_t length, UdpDatagram& out);
std::vector<uint8_t> build_udp(const Mac& src_mac, const Mac& dst_mac, const Ip6& src, const Ip6& dst,
                               uint16_t src_port, uint16_t dst_port, const uint8_t* payload,
                               size_t length, uint8_t hop_limit = 64);

// A neighbour solicitation for `own` gets an advertisement (hop limit 255,
// solicited and override set, target link-layer option). Empty otherwise.
std::vector<uint8_t> answer_neighbour_solicitation(const uint8_t* frame, size_t length,
                                                   const Mac& own_mac, const Ip6& own);

}  // namespace devsim
