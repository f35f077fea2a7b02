#include "numbers.h"

namespace frontend {

namespace {

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

int parse_uint_token(const CommandToken& token, uint32_t* value, uint32_t upper_bound) {
    const char* s = token.start;
    uint32_t n = token.length;
    if (n == 0 || s == nullptr) return -3;
    uint64_t v = 0;
    if (n >= 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        if (n > 10) return -3;
        for (uint32_t i = 2; i < n; ++i) {
            int d = hex_value(s[i]);
            if (d < 0) return -3;
            v = v * 16 + static_cast<uint64_t>(d);
        }
    } else {
        bool wide = false;  // refused rather than wrapped
        for (uint32_t i = 0; i < n; ++i) {
            if (s[i] < '0' || s[i] > '9') return -3;
            if (!wide) {
                v = v * 10 + static_cast<uint64_t>(s[i] - '0');
                if (v > UINT32_MAX) wide = true;
            }
        }
        if (wide) return -4;
    }
    if (v > upper_bound) return -4;
    *value = static_cast<uint32_t>(v);
    return 0;
}

uint32_t hex_decode(const char* text, uint32_t length, uint8_t* out) {
    if (length == 0 || (length & 1u) || text == nullptr) return 0;
    for (uint32_t i = 0; i < length; i += 2) {
        int hi = hex_value(text[i]);
        int lo = hex_value(text[i + 1]);
        if (hi < 0 || lo < 0) return 0;
        out[i / 2] = static_cast<uint8_t>(hi << 4 | lo);
    }
    return length / 2;
}

}  // namespace frontend
