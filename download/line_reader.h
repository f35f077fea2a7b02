// Reads standard input one line at a time into the fixed 4096-byte buffer.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>

namespace frontend {

constexpr uint32_t kLineBufferSize = 4096;

enum class LineStatus { kLine, kTooLong, kEnd };

class LineReader {
public:
    explicit LineReader(std::FILE* in);
    // kLine: text() holds the line (up to its first NUL), without its line end
    // and without a CR right before the LF. kTooLong: the line did not fit and
    // was skipped up to its end. kEnd: no more input.
    LineStatus next();
    const char* text() const { return buffer_.get(); }
    uint32_t length() const { return length_; }
    void release() { buffer_.reset(); }

private:
    std::FILE* in_;
    std::unique_ptr<char[]> buffer_;
    uint32_t length_ = 0;
};

}  // namespace frontend
