// Sparse containers from a package are checked, their checksums included,
// before the sparse library reads them.
#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <sparse/sparse.h>

#include "flash/sparse_image.h"
#include "platform/unique_fd.h"
#include "sparse_builder.h"

namespace {

using namespace sparse_test;

UniqueFd file_of(const std::string& bytes) {
    UniqueFd fd(memfd_create("sparse-test", MFD_CLOEXEC));
    if (fd.valid() && write(fd.get(), bytes.data(), bytes.size()) != ssize_t(bytes.size())) fd.reset(-1);
    return fd;
}

constexpr uint64_t kRoom = 1 << 20;

TEST(SparseImage, ChecksEveryFieldBeforeTheLibrary) {
    std::string expanded;
    std::string good = good_image(expanded);
    std::string raw = pattern_blocks(1, 1);
    Header zeroBlock, oddBlock, version2, shortFileHeader, shortChunkHeader, huge, twoChunksDeclared;
    zeroBlock.blockSize = 0;
    oddBlock.blockSize = 4094;
    version2.major = 2;
    shortFileHeader.fileHeader = 24;
    shortChunkHeader.chunkHeader = 8;
    huge.totalBlocks = 0xFFFFFFFF;  // 16 TiB of blocks of 4096
    twoChunksDeclared.totalChunks = 2;
    Header fewBlocks;
    fewBlocks.totalBlocks = 1;
    Header longHeaders;
    longHeaders.fileHeader = 32;
    longHeaders.chunkHeader = 16;
    struct Case {
        const char* what;
        std::string bytes;
        bool ok;
        const char* why;
    } cases[] = {
        {"well formed", good, true, ""},
        {"longer headers", container(longHeaders, {{kRaw, 1, raw}, {kDontCare, 3, ""}}), true, ""},
        {"fewer blocks than declared", container({0xed26ff3a, 1, 0, 28, 12, 4096, 5, -1}, {{kRaw, 1, raw}}), true,
         ""},
        {"header cut short", good.substr(0, 20), false, "header cut short"},
        {"block size 0", container(zeroBlock, {{kDontCare, 1, ""}}), false, "block size 0"},
        {"block size not a multiple of 4", container(oddBlock, {{kDontCare, 1, ""}}), false, "block size 4094"},
        {"version 2", container(version2, {{kDontCare, 1, ""}}), false, "version 2"},
        {"file header too short", container(shortFileHeader, {{kDontCare, 1, ""}}), false, "file header"},
        {"chunk header too short", container(shortChunkHeader, {{kDontCare, 1, ""}}), false, "chunk header"},
        {"16 TiB don't-care", container(huge, {{kDontCare, 0xFFFFFFFF, ""}}), false, "expands to"},
        {"chunks beyond the block count", container(fewBlocks, {{kRaw, 1, raw}, {kDontCare, 1, ""}}), false,
         "beyond the declared count"},
        {"raw claims more than the file", container({}, {{kRaw, 2, raw}}), false, "where its type needs"},
        {"raw cut off by the file end", good.substr(0, 28 + 12 + 100), false, "beyond the end of the file"},
        {"raw size beside its blocks", container({}, {{kRaw, 1, raw, 12 + 4000}}), false, "where its type needs"},
        {"more chunks declared than present", container(twoChunksDeclared, {{kDontCare, 1, ""}}), false,
         "header beyond the end"},
        {"bytes after the last chunk", container({}, {{kDontCare, 1, ""}}) + "xx", false, "after the last chunk"},
        {"unknown chunk type", container({}, {{0xCAC5, 1, ""}}), false, "unknown type"},
        {"checksum over blocks", container({}, {{kCrc, 1, le32(0)}}), false, "checksum chunk"},
        {"fill of 8 bytes", container({}, {{kFill, 1, "12345678"}}), false, "where its type needs"},
    };
    for (const auto& c : cases) {
        UniqueFd fd = file_of(c.bytes);
        ASSERT_TRUE(fd.valid());
        std::string why;
        EXPECT_EQ(sparse_image_check(fd.get(), kRoom, why), c.ok) << c.what;
        EXPECT_NE(why.find(c.why), std::string::npos) << c.what << ": " << why;
        EXPECT_TRUE(sparse_image_has_magic(fd.get())) << c.what;
    }
    UniqueFd plain = file_of(std::string(4096, 'p'));
    EXPECT_FALSE(sparse_image_has_magic(plain.get()));
}

TEST(SparseImage, ExpansionIsBoundedByTheTarget) {
    std::string expanded;
    UniqueFd fd = file_of(good_image(expanded));
    std::string why;
    EXPECT_TRUE(sparse_image_check(fd.get(), expanded.size(), why)) << why;
    EXPECT_FALSE(sparse_image_check(fd.get(), expanded.size() - 1, why));
}

// A container that passed the check imports and expands back to its bytes.
TEST(SparseImage, ImportsWhatPassedTheCheck) {
    std::string expanded;
    std::string good = good_image(expanded);
    UniqueFd fd = file_of(good);
    std::string why;
    ASSERT_TRUE(sparse_image_check(fd.get(), kRoom, why)) << why;
    sparse_file* s = sparse_image_import(fd.get());
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(sparse_file_len(s, false, false), int64_t(expanded.size()));
    UniqueFd out(memfd_create("sparse-out", MFD_CLOEXEC));
    ASSERT_EQ(sparse_file_write(s, out.get(), false, false, false), 0);
    std::string back(expanded.size(), '\0');
    EXPECT_EQ(pread(out.get(), &back[0], back.size(), 0), ssize_t(back.size()));
    EXPECT_TRUE(back == expanded);
    sparse_file_destroy(s);
}

// The check refuses a container for its checksums exactly when the
// library's own import with its checksums on refuses it.
TEST(SparseImage, ChecksumsAsTheLibraryVerifiesThem) {
    std::string raw = pattern_blocks(3, 4), fill, expanded;
    for (int i = 0; i < 1024; ++i) fill += "\x11\x22\x33\x44";
    std::string good = good_image(expanded);
    auto crc = [](const std::string& bytes) { return le32(crc32_update(0, bytes)); };
    std::string rawOnly = raw.substr(0, 4096), fills = fill + fill + fill, hole(2 * 4096, '\0');
    std::string badByte = good, badValue = good, headerSum = good;
    badByte[28 + 12 + 5] ^= 1;
    badValue[badValue.size() - 1] ^= 0x80;
    headerSum[24] = 0x5A;  // the header's own checksum field
    struct Case {
        const char* what;
        std::string bytes;
        bool ok;
    } cases[] = {
        {"good", good, true},
        {"a data byte changed", badByte, false},
        {"the checksum changed", badValue, false},
        {"a header checksum field", headerSum, true},
        {"checksum first, of nothing", container({}, {{kCrc, 0, le32(0)}, {kRaw, 1, rawOnly}}), true},
        {"checksum between, then more data",
         container({}, {{kRaw, 1, rawOnly}, {kCrc, 0, crc(rawOnly)}, {kRaw, 1, raw.substr(4096, 4096)}}), true},
        {"a wrong checksum between", container({}, {{kRaw, 1, rawOnly}, {kCrc, 0, crc(raw)}, {kDontCare, 1, ""}}),
         false},
        {"two checksums", container({}, {{kRaw, 1, rawOnly}, {kCrc, 0, crc(rawOnly)}, {kDontCare, 2, ""},
                                         {kCrc, 0, crc(rawOnly + hole)}}), true},
        {"a fill over three blocks", container({}, {{kFill, 3, "\x11\x22\x33\x44"}, {kCrc, 0, crc(fills)}}), true},
        {"a fill summed over one block", container({}, {{kFill, 3, "\x11\x22\x33\x44"}, {kCrc, 0, crc(fill)}}),
         false},
        {"holes left out of the sum", container({}, {{kRaw, 1, rawOnly}, {kDontCare, 2, ""}, {kCrc, 0, crc(rawOnly)}}),
         false},
        {"no checksum at all", container({}, {{kRaw, 3, raw}}), true},
    };
    for (const auto& c : cases) {
        UniqueFd fd = file_of(c.bytes);
        ASSERT_TRUE(fd.valid());
        ASSERT_EQ(lseek(fd.get(), 0, SEEK_SET), 0);
        sparse_file* library = sparse_file_import(fd.get(), false, true);
        EXPECT_EQ(library != nullptr, c.ok) << c.what << ": the library's own verdict";
        if (library) sparse_file_destroy(library);
        std::string why;
        EXPECT_EQ(sparse_image_check(fd.get(), kRoom, why), c.ok) << c.what << ": " << why;
        if (!c.ok) {
            EXPECT_NE(why.find("checksum"), std::string::npos) << c.what << ": " << why;
        }
    }
}

}  // namespace
