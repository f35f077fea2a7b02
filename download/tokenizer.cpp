#include "tokenizer.h"

namespace frontend {

namespace {

void skip_blanks(LineCursor& c) {
    while (c.pos < c.length && c.text[c.pos] == ' ') ++c.pos;
}

}  // namespace

int split_command_line(LineCursor& c, CommandToken* tokens, uint32_t* count) {
    uint32_t n = 0;
    *count = 0;
    if (c.pos >= c.length) return 0;
    auto add = [&](const char* start, uint32_t length, uint8_t quoted) {
        if (n == kMaxTokens) return false;
        tokens[n].start = length ? start : nullptr;
        tokens[n].length = length;
        tokens[n].quoted = quoted;
        ++n;
        return true;
    };
    for (;;) {
        skip_blanks(c);
        if (c.pos >= c.length) {
            if (!add(nullptr, 0, 0)) return -4;
            break;
        }
        char ch = c.text[c.pos];
        if (ch == ';') break;
        if (ch == ',') {
            if (!add(nullptr, 0, 0)) return -4;
            ++c.pos;
            continue;
        }
        if (ch == '"') {
            uint32_t begin = ++c.pos;
            while (c.pos < c.length && c.text[c.pos] != '"') ++c.pos;
            if (c.pos >= c.length) return -3;
            if (!add(c.text + begin, c.pos - begin, 1)) return -4;
            ++c.pos;
            skip_blanks(c);
            if (c.pos >= c.length) break;
            ch = c.text[c.pos];
            if (ch != ',' && ch != ';') return -3;
            // After a quoted token both separators only separate, and the end
            // of the line right after one adds no empty token.
            ++c.pos;
            if (c.pos >= c.length) break;
            continue;
        }
        uint32_t begin = c.pos;
        while (c.pos < c.length && c.text[c.pos] != ',' && c.text[c.pos] != ';') ++c.pos;
        if (!add(c.text + begin, c.pos - begin, 0)) return -4;
        if (c.pos >= c.length || c.text[c.pos] == ';') break;
        ++c.pos;  // the comma; a token follows, empty at the end of the line
    }
    *count = n;
    return 0;
}

}  // namespace frontend
