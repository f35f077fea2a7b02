#include <lzma/LzmaEnc.h>

#include <memory>

#include "tools/lzma/lzma_tool.h"

namespace {

struct EncoderDeleter {
    void operator()(void* enc) const { LzmaEnc_Destroy(enc, lzma_allocator(), lzma_allocator()); }
};
using Encoder = std::unique_ptr<void, EncoderDeleter>;

}  // namespace

SRes lzma_encode_file(FILE* in, FILE* out) {
    // The header states the length of the whole file, though the stream holds
    // only what follows the input's position: callers rewind first.
    int64_t length = lzma_handle_length(in);
    if (length < 0) return SZ_ERROR_READ;

    Encoder enc(LzmaEnc_Create(lzma_allocator()));
    if (!enc) return SZ_ERROR_MEM;
    // The SDK's defaults, untouched: released images must stay byte-identical.
    CLzmaEncProps props;
    LzmaEncProps_Init(&props);
    SRes res = LzmaEnc_SetProps(enc.get(), &props);
    if (res != SZ_OK) return res;

    Byte header[LZMA_PROPS_SIZE + 8];
    SizeT props_size = LZMA_PROPS_SIZE;
    res = LzmaEnc_WriteProperties(enc.get(), header, &props_size);
    if (res != SZ_OK) return res;
    for (int i = 0; i < 8; ++i) header[LZMA_PROPS_SIZE + i] = static_cast<Byte>(uint64_t(length) >> (8 * i));
    if (fwrite(header, 1, sizeof header, out) != sizeof header) return SZ_ERROR_WRITE;

    LzmaInputAdapter source(in);
    LzmaOutputAdapter sink(out);
    return LzmaEnc_Encode(enc.get(), &sink.vt, &source.vt, nullptr, lzma_allocator(), lzma_allocator());
}
