#include "line_reader.h"

#include <cstring>

namespace frontend {

LineReader::LineReader(std::FILE* in) : in_(in), buffer_(new char[kLineBufferSize]) {}

LineStatus LineReader::next() {
    char* buf = buffer_.get();
    uint32_t used = 0;
    bool too_long = false;
    bool pending_cr = false;  // a CR is only dropped when an LF follows it
    bool any = false;
    auto put = [&](char c) {
        if (used < kLineBufferSize - 1)
            buf[used++] = c;
        else
            too_long = true;
    };
    for (;;) {
        int c = std::getc(in_);
        if (c == EOF) {
            if (!any) return LineStatus::kEnd;
            if (pending_cr) put('\r');
            break;  // a last line without its line end still counts
        }
        any = true;
        if (c == '\n') break;
        if (pending_cr) put('\r');
        pending_cr = (c == '\r');
        if (!pending_cr) put(static_cast<char>(c));
    }
    buf[used] = '\0';
    if (too_long) {
        length_ = 0;
        buf[0] = '\0';
        return LineStatus::kTooLong;
    }
    length_ = static_cast<uint32_t>(std::strlen(buf));
    return LineStatus::kLine;
}

}  // namespace frontend
