#include <cstring>
#include <new>

#include "tools/common/tool_invocation.h"
#include "tools/lzma/lzma_tool.h"

namespace {

void append(char* text, size_t size, const char* more) {
    if (!text || size == 0) return;
    size_t used = strnlen(text, size - 1);
    size_t n = strnlen(more, size - 1 - used);
    memcpy(text + used, more, n);
    text[used + n] = '\0';
}

int fail(char* text, size_t size, const char* message) {
    append(text, size, "\nError: ");
    append(text, size, message);
    append(text, size, "\n");
    return 1;
}

bool is_command(const char* arg) {
    return arg && arg[0] != '\0' && arg[1] == '\0' && strchr("eEdD", arg[0]) != nullptr;
}

}  // namespace

int lzma_tool_main(int argc, char** argv, char* text, size_t size) {
    if (argc == 1) {
        append(text, size,
               "\nLZMA 16.04 : LZMA utility"
               "\n\nUsage:  lzma <e|d> inputFile outputFile\n  e: encode file\n  d: decode file\n");
        return 0;
    }
    if ((argc != 3 && argc != 4) || !argv || !is_command(argv[1])) return fail(text, size, "Incorrect command");
    bool encode = argv[1][0] == 'e' || argv[1][0] == 'E';

    ToolFile in = tool_open_input(argv[2]);
    if (!in) return fail(text, size, "Can not open input file");
    if (argc == 3) return fail(text, size, "Incorrect command");
    ToolFile out = tool_open_fd(argv[3], "wb+");
    if (!out) return fail(text, size, "Can not open output file");

    SRes res;
    try {
        res = encode ? lzma_encode_file(in.get(), out.get()) : lzma_decode_file(in.get(), out.get());
    } catch (const std::bad_alloc&) {
        res = SZ_ERROR_MEM;  // the decoder's buffers
    }
    // Buffered bytes go out at the close: a failed close has lost output.
    if (fclose(out.release()) != 0 && res == SZ_OK) res = SZ_ERROR_WRITE;
    in.reset();

    switch (res) {
    case SZ_OK:
        return 0;
    case SZ_ERROR_MEM:
        return fail(text, size, "Can not allocate memory");
    case SZ_ERROR_DATA:
        return fail(text, size, "Data error");
    case SZ_ERROR_WRITE:
        return fail(text, size, "Can not write output file");
    case SZ_ERROR_READ:
        return fail(text, size, "Can not read input file");
    default: {
        char code[32];
        snprintf(code, sizeof code, "\nError code: %x\n", static_cast<unsigned>(res));
        append(text, size, code);
        return 1;
    }
    }
}

int lzma_main(int argc, char** argv) {
    // Composed for whoever wants it; the release generator looks only at the result.
    char text[kLzmaResultTextSize] = {};
    return lzma_tool_main(argc, argv, text, sizeof text);
}
