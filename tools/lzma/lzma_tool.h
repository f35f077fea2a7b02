// The in-process LZMA utility: "e" packs a file into the 13-byte-header
// ".lzma" form, "d" unpacks one. Files arrive as descriptor numbers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include <lzma/Types.h>

// Size of the result text that lzma_main composes (and never prints).
constexpr size_t kLzmaResultTextSize = 800;

// The utility proper: appends its usage text or one error message to `text`
// (zeroed by the caller, `size` bytes). 0 on success, 1 on failure.
int lzma_tool_main(int argc, char** argv, char* text, size_t size);

// The SDK's view of a stdio stream: reads fill as much as asked (short only
// at the end of the file), writes report how much really went out.
struct LzmaInputAdapter {
    ISeqInStream vt;
    FILE* file;
    explicit LzmaInputAdapter(FILE* f);
};
struct LzmaOutputAdapter {
    ISeqOutStream vt;
    FILE* file;
    explicit LzmaOutputAdapter(FILE* f);
};
SRes lzma_input_adapter_read(void* p, void* buf, size_t* size);
size_t lzma_output_adapter_write(void* p, const void* buf, size_t size);

// Length of the whole file behind `file`, its position left unchanged; -1
// when the stream cannot seek.
int64_t lzma_handle_length(FILE* file);

// The SDK's allocator: plain malloc/free.
ISzAlloc* lzma_allocator();

// Both return an SDK result code (SZ_OK, SZ_ERROR_*).
SRes lzma_encode_file(FILE* in, FILE* out);
SRes lzma_decode_file(FILE* in, FILE* out);
