#include <lzma/LzmaDec.h>

#include <vector>

#include "tools/lzma/lzma_tool.h"

namespace {

constexpr size_t kBufferSize = 1 << 16;
constexpr size_t kHeaderSize = LZMA_PROPS_SIZE + 8;

struct Decoder {
    CLzmaDec state;
    Decoder() { LzmaDec_Construct(&state); }
    ~Decoder() { LzmaDec_Free(&state, lzma_allocator()); }
    Decoder(const Decoder&) = delete;
    Decoder& operator=(const Decoder&) = delete;
};

SRes decode_body(CLzmaDec* state, LzmaInputAdapter& source, FILE* out, bool known, uint64_t remaining) {
    std::vector<Byte> in_buf(kBufferSize), out_buf(kBufferSize);
    size_t in_pos = 0, in_size = 0;
    for (;;) {
        if (in_pos == in_size) {
            in_size = kBufferSize;
            if (lzma_input_adapter_read(&source, in_buf.data(), &in_size) != SZ_OK) return SZ_ERROR_READ;
            in_pos = 0;
        }
        SizeT in_done = in_size - in_pos;
        SizeT out_done = kBufferSize;
        ELzmaFinishMode mode = LZMA_FINISH_ANY;
        // Near the stated end, ask for exactly the rest and for the stream to end there.
        if (known && out_done > remaining) {
            out_done = static_cast<SizeT>(remaining);
            mode = LZMA_FINISH_END;
        }
        ELzmaStatus status;
        SRes res = LzmaDec_DecodeToBuf(state, out_buf.data(), &out_done, in_buf.data() + in_pos, &in_done, mode,
                                       &status);
        in_pos += in_done;
        remaining -= out_done;
        if (out_done > 0 && fwrite(out_buf.data(), 1, out_done, out) != out_done) return SZ_ERROR_WRITE;
        if (res != SZ_OK || (known && remaining == 0)) return res;
        if (in_done == 0 && out_done == 0) {
            // No progress: the input has ended. Only an unsized stream that met its end marker is whole.
            if (known || status != LZMA_STATUS_FINISHED_WITH_MARK) return SZ_ERROR_DATA;
            return SZ_OK;
        }
    }
}

}  // namespace

SRes lzma_decode_file(FILE* in, FILE* out) {
    LzmaInputAdapter source(in);
    Byte header[kHeaderSize];
    size_t got = sizeof header;
    if (lzma_input_adapter_read(&source, header, &got) != SZ_OK) return SZ_ERROR_READ;
    if (got != sizeof header) return SZ_ERROR_INPUT_EOF;

    uint64_t length = 0;
    for (int i = 7; i >= 0; --i) length = length << 8 | header[LZMA_PROPS_SIZE + i];
    bool known = length != ~uint64_t(0);

    Decoder dec;
    SRes res = LzmaDec_Allocate(&dec.state, header, LZMA_PROPS_SIZE, lzma_allocator());
    if (res != SZ_OK) return res;
    LzmaDec_Init(&dec.state);
    return decode_body(&dec.state, source, out, known, length);
}
