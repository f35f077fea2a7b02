// Sparse containers from a package are checked before the sparse library
// reads them; a container that passes is imported with its checksums.
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

// The library's checksum verification is what refuses a container whose
// shape is right but whose bytes are not.
TEST(SparseImage, ImportVerifiesTheChecksum) {
    std::string expanded;
    std::string good = good_image(expanded);
    UniqueFd fd = file_of(good);
    sparse_file* s = sparse_image_import(fd.get());
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(sparse_file_len(s, false, false), int64_t(expanded.size()));
    UniqueFd out(memfd_create("sparse-out", MFD_CLOEXEC));
    ASSERT_EQ(sparse_file_write(s, out.get(), false, false, false), 0);
    std::string back(expanded.size(), '\0');
    EXPECT_EQ(pread(out.get(), &back[0], back.size(), 0), ssize_t(back.size()));
    EXPECT_TRUE(back == expanded);
    sparse_file_destroy(s);

    std::string bad = good;
    bad[28 + 12 + 5] ^= 1;  // one raw byte
    UniqueFd badFd = file_of(bad);
    std::string why;
    EXPECT_TRUE(sparse_image_check(badFd.get(), kRoom, why));
    EXPECT_EQ(sparse_image_import(badFd.get()), nullptr);
}

}  // namespace
