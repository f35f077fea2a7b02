// Data phases against a scripted transport: what goes over the wire, in which
// writes, with which acknowledgement bit; sparse streams are expanded again
// by the system's own simg2img.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sparse/sparse.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>

#include "flash/data_phases.h"
#include "flash/fastboot.h"
#include "mock_transport.h"
#include "package_fixture.h"
#include "platform/unique_fd.h"

namespace {

std::string data_reply(uint64_t size) {
    char text[32];
    snprintf(text, sizeof text, "DATA%08llx", static_cast<unsigned long long>(size));
    return text;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

bool write_file(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
    return static_cast<bool>(out);
}

std::string pattern(size_t size, unsigned seed) {
    std::string out(size, '\0');
    for (size_t i = 0; i < size; ++i) out[i] = static_cast<char>((i * 131 + seed * 7 + i / 251) & 0xff);
    return out;
}

struct SparseDeleter {
    void operator()(sparse_file* s) const { sparse_file_destroy(s); }
};
using SparsePtr = std::unique_ptr<sparse_file, SparseDeleter>;

class DataPhase : public testing::Test {
protected:
    void SetUp() override { reset_thread_state(); }
    void TearDown() override { reset_thread_state(); }
    MockTransport t;
    TempDir dir;
};

TEST_F(DataPhase, MemoryDownload) {
    std::string data = pattern(5000, 1);
    download_thread_state().noAck = true;  // never for memory downloads
    t.reply(data_reply(5000)).reply("OKAY");
    EXPECT_EQ(fastboot_transfer_memory(t, data.data(), 5000), 0);
    ASSERT_EQ(t.writes.size(), 2u);
    EXPECT_EQ(t.writes[0].bytes, "download:00001388");
    EXPECT_EQ(t.writes[1].length, 5000u);
    EXPECT_EQ(t.writes[1].bytes, data);
}

TEST_F(DataPhase, MemoryDownloadFailures) {
    download_thread_state().lastError = "earlier";
    EXPECT_EQ(fastboot_transfer_memory(t, "x", 0), -1);
    EXPECT_TRUE(t.writes.empty());
    EXPECT_EQ(fastboot_last_error(), "earlier");

    // The device offering more than announced: nothing is sent.
    t.reply(data_reply(32));
    EXPECT_EQ(fastboot_transfer_memory(t, pattern(16, 0).data(), 16), -1);
    EXPECT_EQ(t.writes.size(), 1u);
    EXPECT_EQ(fastboot_last_error(), "data size too large (32)");

    MockTransport m;
    m.reply(data_reply(16)).reply("FAILflash busy");
    EXPECT_EQ(fastboot_transfer_memory(m, pattern(16, 0).data(), 16), -1);
    EXPECT_EQ(fastboot_last_error(), "remote: flash busy");
}

TEST_F(DataPhase, FileDownloadRoundTrip) {
    std::string data = pattern(70000, 2);
    ASSERT_TRUE(write_file(dir.file("boot.img"), data));
    UniqueFd fd(open(dir.file("boot.img").c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(fd.valid());
    download_thread_state().noAck = true;
    t.reply(data_reply(data.size())).reply("OKAY");
    EXPECT_EQ(fastboot_transfer_file(t, fd.get(), static_cast<uint32_t>(data.size())), 0);
    EXPECT_EQ(t.writes[0].bytes, "download:00011170");
    EXPECT_EQ(t.payload(), data);
    for (const auto& w : t.writes) EXPECT_EQ(w.length & kTransportNoAck, 0u);
}

TEST_F(DataPhase, LargeFileGoesInWindowsOfOneExchange) {
    std::string path = dir.file("big.img");
    {
        UniqueFd fd(open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
        ASSERT_TRUE(fd.valid());
        ASSERT_EQ(pwrite(fd.get(), "Z", 1, 0x20000000), 1);  // the rest is a hole
    }
    UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    t.reply(data_reply(0x20000001)).reply("OKAY");
    EXPECT_EQ(fastboot_transfer_file(t, fd.get(), 0x20000001), 0);
    ASSERT_EQ(t.writes.size(), 3u);
    EXPECT_EQ(t.writes[0].bytes, "download:20000001");
    EXPECT_EQ(t.writes[1].length, 0x20000000u);
    EXPECT_EQ(t.writes[2].length, 1u);
    EXPECT_EQ(t.writes[2].bytes, "Z");
    EXPECT_EQ(t.unread(), 0u);
}

TEST_F(DataPhase, SparseSinkCoalescesIntoWholeBlocks) {
    std::string stream = pattern(12 + 1000 + 4096 + 5, 3);
    size_t offset = 0;
    for (size_t piece : {12, 1000, 4096, 5}) {
        ASSERT_EQ(fastboot_sparse_sink(&t, stream.data() + offset, piece), 0);
        offset += piece;
    }
    ASSERT_EQ(t.writes.size(), 2u);
    EXPECT_EQ(t.writes[0].length, 1024u);
    EXPECT_EQ(t.writes[1].length, 3072u);
    EXPECT_EQ(t.payload(0), stream.substr(0, 4096));
    const DownloadThreadState& s = download_thread_state();
    ASSERT_EQ(s.transportFill, 1017u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(s.transportBuf), 1017), stream.substr(4096));

    // A piece of exactly one block into an empty buffer stays there.
    reset_thread_state();
    MockTransport m;
    ASSERT_EQ(fastboot_sparse_sink(&m, stream.data(), 1024), 0);
    EXPECT_TRUE(m.writes.empty());
    EXPECT_EQ(download_thread_state().transportFill, 1024u);
    ASSERT_EQ(fastboot_sparse_sink(&m, stream.data() + 1024, 1), 0);
    ASSERT_EQ(m.writes.size(), 1u);
    EXPECT_EQ(m.writes[0].bytes, stream.substr(0, 1024));
    EXPECT_EQ(download_thread_state().transportFill, 1u);

    // A short write ends the sink with -1.
    MockTransport shortWrite;
    shortWrite.write_result(512);
    reset_thread_state();
    EXPECT_EQ(fastboot_sparse_sink(&shortWrite, stream.data(), 4096), -1);
    EXPECT_EQ(fastboot_last_error(), "data write failure (short transfer)");
}

// An image of data blocks, a fill and a hole, sent and expanded back.
class SparseDownload : public DataPhase {
protected:
    static constexpr unsigned kBlock = 4096;
    void SetUp() override {
        DataPhase::SetUp();
        first_ = pattern(3 * kBlock + 100, 4);  // last block padded with zeros
        second_ = pattern(kBlock, 5);
        image_.reset(sparse_file_new(kBlock, 16 * kBlock));
        ASSERT_TRUE(image_);
        ASSERT_EQ(sparse_file_add_data(image_.get(), &first_[0], first_.size(), 0), 0);
        ASSERT_EQ(sparse_file_add_fill(image_.get(), 0xA5A5A5A5u, 2 * kBlock, 6), 0);
        ASSERT_EQ(sparse_file_add_data(image_.get(), &second_[0], second_.size(), 12), 0);
        expanded_.assign(16 * kBlock, '\0');
        expanded_.replace(0, first_.size(), first_);
        expanded_.replace(6 * kBlock, 2 * kBlock, std::string(2 * kBlock, '\xA5'));
        expanded_.replace(12 * kBlock, kBlock, second_);
        length_ = sparse_file_len(image_.get(), true, true);
    }
    // The bytes sent after the download command, expanded by simg2img.
    std::string expand_sent() {
        if (system("command -v simg2img >/dev/null 2>&1") != 0) return "no simg2img";
        if (!write_file(dir.file("sent.simg"), t.payload())) return "cannot write";
        std::string cmd = "simg2img '" + dir.file("sent.simg") + "' '" + dir.file("out.img") + "'";
        if (system(cmd.c_str()) != 0) return "simg2img refused the stream";
        return read_file(dir.file("out.img"));
    }

    std::string first_, second_, expanded_;
    SparsePtr image_;
    int64_t length_ = 0;
};

TEST_F(SparseDownload, StreamExpandsToTheImage) {
    t.reply(data_reply(length_)).reply("OKAY");
    ASSERT_EQ(fastboot_transfer_sparse(t, image_.get()), 0);
    char command[32];
    snprintf(command, sizeof command, "download:%08x", static_cast<unsigned>(length_));
    EXPECT_EQ(t.writes[0].bytes, command);
    EXPECT_EQ(static_cast<int64_t>(t.payload().size()), length_);
    for (size_t i = 1; i + 1 < t.writes.size(); ++i) EXPECT_EQ(t.writes[i].length % 1024, 0u) << i;
    EXPECT_EQ(download_thread_state().transportFill, 0u);
    EXPECT_TRUE(expand_sent() == expanded_);
    // Byte for byte the library's own stream with its CRC option.
    std::string library;
    auto collect = [](void* priv, const void* data, size_t length) {
        static_cast<std::string*>(priv)->append(static_cast<const char*>(data), length);
        return 0;
    };
    ASSERT_EQ(sparse_file_callback(image_.get(), true, true, collect, &library), 0);
    EXPECT_TRUE(t.payload() == library);
}

TEST_F(SparseDownload, NoAckMarksSparseWritesOnly) {
    for (bool noAck : {false, true}) {
        SCOPED_TRACE(noAck);
        MockTransport m;
        download_thread_state().noAck = noAck;
        m.reply(data_reply(length_)).reply("OKAY");
        ASSERT_EQ(fastboot_transfer_sparse(m, image_.get()), 0);
        ASSERT_GT(m.writes.size(), 2u);
        EXPECT_EQ(m.writes[0].length & kTransportNoAck, 0u);  // the command
        for (size_t i = 1; i < m.writes.size(); ++i)
            EXPECT_EQ((m.writes[i].length & kTransportNoAck) != 0, noAck) << i;
    }
}

TEST_F(SparseDownload, Failures) {
    t.reply("FAILtoo big");
    EXPECT_EQ(fastboot_transfer_sparse(t, image_.get()), -1);
    EXPECT_EQ(t.writes.size(), 1u);

    // A sink failure ends the download before the final reply.
    MockTransport m;
    m.reply(data_reply(length_)).reply("OKAY").write_result(17).write_result(5);
    EXPECT_EQ(fastboot_transfer_sparse(m, image_.get()), -1);
    EXPECT_TRUE(m.disconnected);

    MockTransport last;
    last.reply(data_reply(length_)).reply("FAILcrc mismatch");
    EXPECT_EQ(fastboot_transfer_sparse(last, image_.get()), -1);
    EXPECT_EQ(fastboot_last_error(), "remote: crc mismatch");
}

TEST_F(DataPhase, UploadRoundTrip) {
    std::string data = pattern(3000, 6);
    t.reply(data_reply(data.size())).reply(data).reply("OKAY");
    std::string path = dir.file("dump.bin");
    EXPECT_EQ(fastboot_save_upload(t, path.c_str()), 0);
    EXPECT_EQ(t.writes[0].bytes, "upload");
    EXPECT_EQ(read_file(path), data);

    // Replaced, not appended to.
    MockTransport again;
    again.reply(data_reply(4)).reply("abcd").reply("OKAY");
    EXPECT_EQ(fastboot_save_upload(again, path.c_str()), 0);
    EXPECT_EQ(read_file(path), "abcd");
}

TEST_F(DataPhase, UploadFailures) {
    std::string path = dir.file("dump.bin");
    struct stat st {};

    t.reply("OKAY");  // no data phase: nothing to save
    EXPECT_EQ(fastboot_save_upload(t, path.c_str()), 0);
    EXPECT_NE(stat(path.c_str(), &st), 0);

    MockTransport refused;
    refused.reply("FAILlocked");
    EXPECT_EQ(fastboot_save_upload(refused, path.c_str()), -1);
    EXPECT_EQ(fastboot_last_error().rfind("command start failed (", 0), 0u);

    MockTransport tooLarge;
    tooLarge.reply("DATA80000000");
    EXPECT_EQ(fastboot_save_upload(tooLarge, path.c_str()), -1);
    EXPECT_TRUE(tooLarge.disconnected);

    MockTransport shortRead;
    shortRead.reply(data_reply(16)).reply("12345678");
    EXPECT_EQ(fastboot_save_upload(shortRead, path.c_str()), -1);
    EXPECT_EQ(fastboot_last_error(), "data read failure (short transfer)");
    EXPECT_TRUE(shortRead.disconnected);

    MockTransport readError;
    readError.reply(data_reply(16)).read_error(ECONNRESET);
    EXPECT_EQ(fastboot_save_upload(readError, path.c_str()), -1);
    EXPECT_EQ(fastboot_last_error(), std::string("data read failure (") + strerror(ECONNRESET) + ")");
    EXPECT_NE(stat(path.c_str(), &st), 0);

    // Unwritable file: the transport stays open and the final reply unread.
    std::string bad = dir.file("missing/dump.bin");
    MockTransport unwritable;
    unwritable.reply(data_reply(4)).reply("abcd").reply("OKAY");
    EXPECT_EQ(fastboot_save_upload(unwritable, bad.c_str()), -1);
    EXPECT_EQ(fastboot_last_error(), "write to '" + bad + "' failed");
    EXPECT_FALSE(unwritable.disconnected);
    EXPECT_EQ(unwritable.unread(), 1u);
}

}  // namespace
