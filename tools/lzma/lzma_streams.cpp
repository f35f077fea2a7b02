#include "tools/lzma/lzma_tool.h"

#include <cstdlib>

namespace {

void* sdk_alloc(void*, size_t size) { return size == 0 ? nullptr : malloc(size); }
void sdk_free(void*, void* address) { free(address); }

ISzAlloc g_allocator = {sdk_alloc, sdk_free};

}  // namespace

LzmaInputAdapter::LzmaInputAdapter(FILE* f) : vt{lzma_input_adapter_read}, file(f) {}
LzmaOutputAdapter::LzmaOutputAdapter(FILE* f) : vt{lzma_output_adapter_write}, file(f) {}

SRes lzma_input_adapter_read(void* p, void* buf, size_t* size) {
    FILE* file = static_cast<LzmaInputAdapter*>(p)->file;
    size_t wanted = *size;
    size_t got = 0;
    // fread may stop short on a pipe or a signal; only the end of the file ends a fill.
    while (got < wanted) {
        size_t n = fread(static_cast<Byte*>(buf) + got, 1, wanted - got, file);
        got += n;
        if (n == 0) break;
    }
    *size = got;
    return ferror(file) ? SZ_ERROR_READ : SZ_OK;
}

size_t lzma_output_adapter_write(void* p, const void* buf, size_t size) {
    if (size == 0) return 0;
    return fwrite(buf, 1, size, static_cast<LzmaOutputAdapter*>(p)->file);
}

int64_t lzma_handle_length(FILE* file) {
    // 64-bit positions: a 32-bit one would put a wrong length into the header of a 2 GiB input.
    off_t here = ftello(file);
    if (here < 0 || fseeko(file, 0, SEEK_END) != 0) return -1;
    off_t end = ftello(file);
    if (fseeko(file, here, SEEK_SET) != 0) return -1;
    return end;
}

ISzAlloc* lzma_allocator() { return &g_allocator; }
