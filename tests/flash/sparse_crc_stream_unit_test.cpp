// A piece in sparse form with its CRC chunk is what the sparse library
// writes with its own CRC option, length and bytes, whatever its chunks.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include <sparse/sparse.h>

#include "flash/sparse_crc_stream.h"
#include "sparse_builder.h"

namespace {

using namespace sparse_test;

constexpr unsigned kBlock = 4096;

struct SparseDeleter {
    void operator()(sparse_file* s) const { sparse_file_destroy(s); }
};
using SparsePtr = std::unique_ptr<sparse_file, SparseDeleter>;

int collect(void* priv, const void* data, size_t length) {
    auto* out = static_cast<std::string*>(priv);
    if (data)
        out->append(static_cast<const char*>(data), length);
    else
        out->append(length, '\0');
    return 0;
}

std::string library_bytes(sparse_file* s) {
    std::string out;
    EXPECT_EQ(sparse_file_callback(s, true, true, collect, &out), 0);
    return out;
}

// Length and bytes as the library gives them with its CRC option.
void expect_library_stream(sparse_file* s) {
    std::string theirs = library_bytes(s), ours;
    EXPECT_EQ(sparse_crc_length(s), sparse_file_len(s, true, true));
    EXPECT_EQ(sparse_crc_length(s), int64_t(theirs.size()));
    EXPECT_EQ(sparse_crc_write(s, collect, &ours), 0);
    EXPECT_TRUE(ours == theirs);
}

struct Piece {
    enum Kind { kData, kFill } kind;
    unsigned block;
    size_t length;  // bytes
    uint32_t fill;
};

TEST(SparseCrcStream, IsWhatTheLibraryWritesWithItsCrc) {
    std::string data = pattern_blocks(8, 9);
    struct Case {
        const char* name;
        unsigned blocks;
        std::vector<Piece> pieces;
    } cases[] = {
        {"one data block", 1, {{Piece::kData, 0, kBlock, 0}}},
        {"data with a short last block", 4, {{Piece::kData, 0, 3 * kBlock + 100, 0}}},
        {"fill over many blocks", 6, {{Piece::kFill, 0, 6 * kBlock, 0x11223344}}},
        {"holes before, between and after", 40,
         {{Piece::kData, 3, 2 * kBlock, 0}, {Piece::kFill, 9, 5 * kBlock, 0xA5A5A5A5}, {Piece::kData, 20, 700, 0}}},
        {"nothing but a hole", 16, {}},
        {"fills and data side by side", 12,
         {{Piece::kFill, 0, kBlock, 0}, {Piece::kData, 1, 4 * kBlock, 0}, {Piece::kFill, 5, 7 * kBlock, 0xFFFFFFFF}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SparsePtr s(sparse_file_new(kBlock, int64_t(c.blocks) * kBlock));
        ASSERT_TRUE(s);
        for (const auto& p : c.pieces) {
            int rc = p.kind == Piece::kData
                         ? sparse_file_add_data(s.get(), &data[0], p.length, p.block)
                         : sparse_file_add_fill(s.get(), p.fill, p.length, p.block);
            ASSERT_EQ(rc, 0);
        }
        expect_library_stream(s.get());
    }
}

// Resparsed pieces begin and end with holes the library writes as chunks of
// their own; each piece carries its own checksum.
TEST(SparseCrcStream, ResparsedPiecesToo) {
    std::string data = pattern_blocks(64, 2);
    SparsePtr s(sparse_file_new(kBlock, 96 * kBlock));
    ASSERT_TRUE(s);
    ASSERT_EQ(sparse_file_add_data(s.get(), &data[0], 40 * kBlock, 0), 0);
    ASSERT_EQ(sparse_file_add_fill(s.get(), 0x01020304, 8 * kBlock, 50), 0);
    ASSERT_EQ(sparse_file_add_data(s.get(), &data[40 * kBlock], 24 * kBlock, 70), 0);
    unsigned limit = 16 * kBlock + 200;
    int count = sparse_file_resparse(s.get(), limit, nullptr, 0);
    ASSERT_GT(count, 3);
    std::vector<sparse_file*> pieces(size_t(count), nullptr);
    ASSERT_EQ(sparse_file_resparse(s.get(), limit, pieces.data(), count), count);
    for (int i = 0; i < count; ++i) {
        SCOPED_TRACE(i);
        SparsePtr piece(pieces[size_t(i)]);
        expect_library_stream(piece.get());
    }
}

// The sink's failure ends the write with a failure.
TEST(SparseCrcStream, SinkFailureEndsTheWrite) {
    std::string data = pattern_blocks(4, 1);
    SparsePtr s(sparse_file_new(kBlock, 8 * kBlock));
    ASSERT_TRUE(s);
    ASSERT_EQ(sparse_file_add_data(s.get(), &data[0], 4 * kBlock, 2), 0);
    size_t total = library_bytes(s.get()).size();
    struct Budget {
        size_t left;
        size_t calls = 0;
    };
    auto sink = [](void* priv, const void*, size_t length) {
        auto* b = static_cast<Budget*>(priv);
        ++b->calls;
        if (length > b->left) return -1;
        b->left -= length;
        return 0;
    };
    for (size_t budget : {size_t(0), size_t(28), size_t(40), size_t(5000), total - 1}) {
        Budget b{budget};
        EXPECT_LT(sparse_crc_write(s.get(), sink, &b), 0) << budget;
    }
    Budget all{total};
    EXPECT_EQ(sparse_crc_write(s.get(), sink, &all), 0);
    EXPECT_EQ(all.left, 0u);
}

}  // namespace
