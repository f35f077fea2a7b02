#include "net.h"

#include <arpa/inet.h>

#include <cstring>

namespace devsim {

namespace {
constexpr size_t kEth = 14, kIp6 = 40, kUdp = 8;

uint16_t rd16(const uint8_t* p) { return uint16_t(p[0] << 8 | p[1]); }
void wr16(uint8_t* p, uint16_t v) { p[0] = uint8_t(v >> 8); p[1] = uint8_t(v); }

void put_headers(std::vector<uint8_t>& f, const Mac& src_mac, const Mac& dst_mac, const Ip6& src,
                 const Ip6& dst, uint8_t next, uint8_t hop, size_t upper_len) {
    f.assign(kEth + kIp6 + upper_len, 0);
    memcpy(&f[0], dst_mac.data(), 6);
    memcpy(&f[6], src_mac.data(), 6);
    wr16(&f[12], 0x86DD);
    f[14] = 0x60;
    wr16(&f[18], uint16_t(upper_len));
    f[20] = next;
    f[21] = hop;
    memcpy(&f[22], src.data(), 16);
    memcpy(&f[38], dst.data(), 16);
}
}  // namespace

uint32_t checksum_add(uint32_t sum, const uint8_t* data, size_t length) {
    size_t i = 0;
    for (; i + 1 < length; i += 2) sum += uint32_t(data[i] << 8 | data[i + 1]);
    if (i < length) sum += uint32_t(data[i] << 8);
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return sum;
}

uint16_t checksum_fold(uint32_t sum) {
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return uint16_t(~sum & 0xFFFF);
}

uint16_t ipv6_upper_checksum(const Ip6& src, const Ip6& dst, uint8_t next_header,
                             const uint8_t* packet, size_t length) {
    uint8_t pseudo[40] = {};
    memcpy(pseudo, src.data(), 16);
    memcpy(pseudo + 16, dst.data(), 16);
    pseudo[32] = uint8_t(length >> 24);
    pseudo[33] = uint8_t(length >> 16);
    pseudo[34] = uint8_t(length >> 8);
    pseudo[35] = uint8_t(length);
    pseudo[39] = next_header;
    uint32_t sum = checksum_add(0, pseudo, sizeof pseudo);
    sum = checksum_add(sum, packet, length);
    return checksum_fold(sum);
}

Ip6 link_local_of(const Mac& m) {
    Ip6 a{};
    a[0] = 0xFE;
    a[1] = 0x80;
    a[8] = m[0] ^ 0x02;
    a[9] = m[1];
    a[10] = m[2];
    a[11] = 0xFF;
    a[12] = 0xFE;
    a[13] = m[3];
    a[14] = m[4];
    a[15] = m[5];
    return a;
}

std::string ip6_text(const Ip6& a) {
    char buf[INET6_ADDRSTRLEN] = {};
    inet_ntop(AF_INET6, a.data(), buf, sizeof buf);
    return buf;
}

Ip6 solicited_node_of(const Ip6& a) {
    Ip6 s{};
    s[0] = 0xFF;
    s[1] = 0x02;
    s[11] = 0x01;
    s[12] = 0xFF;
    s[13] = a[13];
    s[14] = a[14];
    s[15] = a[15];
    return s;
}

bool parse_udp(const uint8_t* f, size_t n, UdpDatagram& out) {
    if (n < kEth + kIp6 + kUdp || rd16(f + 12) != 0x86DD || (f[14] >> 4) != 6 || f[20] != 17)
        return false;
    size_t plen = rd16(f + 18);
    if (plen < kUdp || kEth + kIp6 + plen > n) return false;
    const uint8_t* u = f + kEth + kIp6;
    size_t ulen = rd16(u + 4);
    if (ulen < kUdp || ulen > plen) return false;
    memcpy(out.dst_mac.data(), f, 6);
    memcpy(out.src_mac.data(), f + 6, 6);
    memcpy(out.src.data(), f + 22, 16);
    memcpy(out.dst.data(), f + 38, 16);
    out.src_port = rd16(u);
    out.dst_port = rd16(u + 2);
    // Over IPv6 a zero UDP checksum is not allowed.
    out.checksum_ok = rd16(u + 6) != 0 && ipv6_upper_checksum(out.src, out.dst, 17, u, ulen) == 0;
    out.payload.assign(u + kUdp, u + ulen);
    return true;
}

std::vector<uint8_t> build_udp(const Mac& src_mac, const Mac& dst_mac, const Ip6& src, const Ip6& dst,
                               uint16_t src_port, uint16_t dst_port, const uint8_t* payload,
                               size_t length, uint8_t hop_limit) {
    std::vector<uint8_t> f;
    put_headers(f, src_mac, dst_mac, src, dst, 17, hop_limit, kUdp + length);
    uint8_t* u = &f[kEth + kIp6];
    wr16(u, src_port);
    wr16(u + 2, dst_port);
    wr16(u + 4, uint16_t(kUdp + length));
    if (length) memcpy(u + kUdp, payload, length);
    uint16_t c = ipv6_upper_checksum(src, dst, 17, u, kUdp + length);
    wr16(u + 6, c == 0 ? 0xFFFF : c);
    return f;
}

std::vector<uint8_t> answer_neighbour_solicitation(const uint8_t* f, size_t n, const Mac& own_mac,
                                                   const Ip6& own) {
    // ICMPv6 type 135: 4 bytes header, 4 reserved, 16 target.
    if (n < kEth + kIp6 + 24 || rd16(f + 12) != 0x86DD || f[20] != 58 || f[21] != 255) return {};
    const uint8_t* icmp = f + kEth + kIp6;
    size_t plen = rd16(f + 18);
    if (plen < 24 || kEth + kIp6 + plen > n || icmp[0] != 135 || icmp[1] != 0) return {};
    Ip6 src{}, dst{}, target{};
    memcpy(src.data(), f + 22, 16);
    memcpy(dst.data(), f + 38, 16);
    memcpy(target.data(), icmp + 8, 16);
    if (target != own || ipv6_upper_checksum(src, dst, 58, icmp, plen) != 0) return {};
    Mac req_mac{};
    memcpy(req_mac.data(), f + 6, 6);
    Ip6 reply_dst = src;
    bool dad = true;
    for (uint8_t b : src) dad = dad && b == 0;
    uint8_t flags = 0x60;  // solicited, override
    if (dad) {             // a duplicate-address probe is answered to all nodes
        reply_dst = Ip6{0xFF, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x01};
        flags = 0x20;
    }
    Mac dst_mac = req_mac;
    if (dad) dst_mac = Mac{0x33, 0x33, 0, 0, 0, 0x01};
    std::vector<uint8_t> out;
    put_headers(out, own_mac, dst_mac, own, reply_dst, 58, 255, 32);
    uint8_t* a = &out[kEth + kIp6];
    a[0] = 136;
    a[4] = flags;
    memcpy(a + 8, own.data(), 16);
    a[24] = 2;  // target link-layer address option
    a[25] = 1;
    memcpy(a + 26, own_mac.data(), 6);
    wr16(a + 2, ipv6_upper_checksum(own, reply_dst, 58, a, 32));
    return out;
}

}  // namespace devsim
