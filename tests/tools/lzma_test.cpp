// The LZMA utility through its entry, with files passed as descriptor numbers
// and xz as the independent reader and writer of the same file format.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tools/common/tool_invocation.h"
#include "tools/lzma/lzma_tool.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A named temporary file (xz needs paths), removed with its descriptor.
class TempFile {
public:
    TempFile() {
        char pattern[] = "/tmp/kelvo_lzma_XXXXXX";
        fd_ = UniqueFd(mkstemp(pattern));
        path_ = pattern;
    }
    explicit TempFile(const Bytes& data) : TempFile() {
        EXPECT_EQ(pwrite(fd_.get(), data.data(), data.size(), 0), ssize_t(data.size()));
    }
    ~TempFile() { unlink(path_.c_str()); }
    int fd() const { return fd_.get(); }
    std::string number() const { return std::to_string(fd_.get()); }
    const std::string& path() const { return path_; }
    Bytes contents() const {
        Bytes out;
        uint8_t buf[65536];
        ssize_t n;
        for (off_t at = 0; (n = pread(fd_.get(), buf, sizeof buf, at)) > 0; at += n) out.insert(out.end(), buf, buf + n);
        return out;
    }
    off_t position() const { return lseek(fd_.get(), 0, SEEK_CUR); }

private:
    UniqueFd fd_;
    std::string path_;
};

// A shell-like argument vector over `args`, which must outlive it.
std::vector<char*> argv_of(std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    return argv;
}

int run(std::vector<std::string> args) { return lzma_main(int(args.size()), argv_of(args).data()); }

struct Outcome {
    int rc;
    std::string text;
};
Outcome run_text(std::vector<std::string> args) {
    char text[kLzmaResultTextSize] = {};
    int rc = lzma_tool_main(int(args.size()), argv_of(args).data(), text, sizeof text);
    return {rc, text};
}

// Text and noise, so that the stream has both matches and literals.
Bytes sample(size_t size, unsigned seed = 1) {
    std::mt19937 gen(seed);
    Bytes out;
    out.reserve(size);
    static const char kWords[] = "partition image flash boot rootfs kernel ";
    while (out.size() < size) {
        if (gen() % 4 == 0)
            out.push_back(uint8_t(gen()));
        else
            out.push_back(uint8_t(kWords[out.size() % (sizeof kWords - 1)]));
    }
    return out;
}

uint64_t le64(const Bytes& b, size_t at) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = v << 8 | b[at + i];
    return v;
}

// xz's reader of the same format: the decoded bytes, or nothing when it refuses.
bool xz_decode(const TempFile& packed, Bytes& out) {
    TempFile plain;
    std::string cmd = "xz --format=lzma -dc < '" + packed.path() + "' > '" + plain.path() + "' 2>/dev/null";
    if (std::system(cmd.c_str()) != 0) return false;
    out = plain.contents();
    return true;
}

Bytes xz_encode(const TempFile& plain) {
    TempFile packed;
    std::string cmd = "xz --format=lzma -c < '" + plain.path() + "' > '" + packed.path() + "'";
    EXPECT_EQ(std::system(cmd.c_str()), 0);
    return packed.contents();
}

TEST(LzmaTool, RoundTripsReadableByXz) {
    // Around the decoder's 64 KiB output buffer: the last piece is asked for
    // with "end", a whole buffer with "any".
    for (size_t size : {size_t(0), size_t(1), size_t(65535), size_t(65536), size_t(65537), size_t(300000)}) {
        SCOPED_TRACE(size);
        Bytes data = sample(size);
        TempFile in(data), packed, unpacked;
        ASSERT_EQ(run({"lzma", "e", in.number(), packed.number()}), 0);
        Bytes p = packed.contents();
        ASSERT_GE(p.size(), 13u);
        EXPECT_EQ(p[0], 0x5D);
        EXPECT_EQ(p[1] | p[2] << 8 | p[3] << 16 | uint32_t(p[4]) << 24, 0x01000000u);
        EXPECT_EQ(le64(p, 5), size);
        // The caller's descriptors stay open, positioned where the run ended.
        EXPECT_EQ(packed.position(), off_t(p.size()));
        EXPECT_EQ(in.position(), off_t(size));

        Bytes by_xz;
        ASSERT_TRUE(xz_decode(packed, by_xz));
        EXPECT_TRUE(by_xz == data);

        lseek(packed.fd(), 0, SEEK_SET);
        ASSERT_EQ(run({"lzma", "d", packed.number(), unpacked.number()}), 0);
        EXPECT_TRUE(unpacked.contents() == data);
        EXPECT_EQ(unpacked.position(), off_t(size));
    }
}

TEST(LzmaTool, DecodesXzOutputOfUnknownLengthAndUpperCaseCommands) {
    Bytes data = sample(150000, 7);
    TempFile plain(data);
    Bytes packed_bytes = xz_encode(plain);
    ASSERT_GE(packed_bytes.size(), 13u);
    ASSERT_EQ(le64(packed_bytes, 5), ~uint64_t(0));  // xz ends its stream with a marker instead

    TempFile packed(packed_bytes), unpacked;
    ASSERT_EQ(run({"lzma", "D", packed.number(), unpacked.number()}), 0);
    EXPECT_TRUE(unpacked.contents() == data);

    TempFile in(data), ours;
    ASSERT_EQ(run({"lzma", "E", in.number(), ours.number()}), 0);
    Bytes back;
    ASSERT_TRUE(xz_decode(ours, back));
    EXPECT_TRUE(back == data);
}

TEST(LzmaTool, InputsAreReadFromTheirStartWhateverTheirPosition) {
    Bytes data = sample(1000, 3);
    TempFile in(data), packed;
    lseek(in.fd(), 300, SEEK_SET);
    ASSERT_EQ(run({"lzma", "e", in.number(), packed.number()}), 0);
    Bytes p = packed.contents();
    EXPECT_EQ(le64(p, 5), 1000u);
    EXPECT_EQ(in.position(), 1000);
    Bytes by_xz;
    ASSERT_TRUE(xz_decode(TempFile(p), by_xz));
    EXPECT_TRUE(by_xz == data);

    // The packed file is decoded from its start though it is left at its end.
    TempFile unpacked;
    ASSERT_EQ(packed.position(), off_t(p.size()));
    ASSERT_EQ(run({"lzma", "d", packed.number(), unpacked.number()}), 0);
    EXPECT_TRUE(unpacked.contents() == data);
}

TEST(LzmaTool, CorruptInputToDecode) {
    Bytes data = sample(100000, 5);
    TempFile plain(data), good;
    ASSERT_EQ(run({"lzma", "e", plain.number(), good.number()}), 0);
    Bytes ours = good.contents();
    Bytes xz_stream = xz_encode(plain);

    Bytes flipped = ours;
    for (size_t i = 13; i < flipped.size(); i += 97) flipped[i] ^= 0x5A;
    Bytes bad_props = ours;
    bad_props[0] = 225;
    // A dictionary below 4 KiB counts as 4 KiB: enough for a stream of 3000 bytes.
    Bytes small = sample(3000, 6);
    TempFile small_plain(small), small_packed;
    ASSERT_EQ(run({"lzma", "e", small_plain.number(), small_packed.number()}), 0);
    Bytes tiny_dict = small_packed.contents();
    tiny_dict[1] = tiny_dict[2] = tiny_dict[3] = tiny_dict[4] = 0;

    struct Case {
        const char* what;
        Bytes file;
        int rc;
        std::string text;
    } cases[] = {
        {"empty file", {}, 1, "\nError code: 6\n"},
        {"short header", Bytes(ours.begin(), ours.begin() + 12), 1, "\nError code: 6\n"},
        {"properties byte 225", bad_props, 1, "\nError code: 4\n"},
        {"flipped stream bytes", flipped, 1, "\nError: Data error\n"},
        {"truncated, length known", Bytes(ours.begin(), ours.end() - 100), 1, "\nError: Data error\n"},
        {"header only, length known", Bytes(ours.begin(), ours.begin() + 13), 1, "\nError: Data error\n"},
        {"truncated, no end marker", Bytes(xz_stream.begin(), xz_stream.end() - 20), 1, "\nError: Data error\n"},
        {"dictionary below 4 KiB", tiny_dict, 0, ""},
    };
    for (const auto& c : cases) {
        TempFile in(c.file), out;
        Outcome o = run_text({"lzma", "d", in.number(), out.number()});
        EXPECT_EQ(o.rc, c.rc) << c.what;
        EXPECT_EQ(o.text, c.text) << c.what;
        if (c.rc == 0) {
            EXPECT_TRUE(out.contents() == small) << c.what;
        }
    }
}

TEST(LzmaTool, ArgumentsAndFiles) {
    TempFile in(sample(100)), out;
    UniqueFd read_only(open(in.path().c_str(), O_RDONLY | O_CLOEXEC));
    // Far above anything a run's own duplicates could take.
    const std::string i = in.number(), o = out.number(), ro = std::to_string(read_only.get()), dead = "999999";
    struct Case {
        std::vector<std::string> args;
        int rc;
        std::string text;
    } cases[] = {
        {{"lzma"}, 0, "\nLZMA 16.04 : LZMA utility\n\nUsage:  lzma <e|d> inputFile outputFile\n"
                      "  e: encode file\n  d: decode file\n"},
        {{"lzma", "e"}, 1, "\nError: Incorrect command\n"},
        {{"lzma", "e", i, o, o}, 1, "\nError: Incorrect command\n"},
        {{"lzma", "e", i}, 1, "\nError: Incorrect command\n"},
        {{"lzma", "d", i}, 1, "\nError: Incorrect command\n"},
        {{"lzma", "ee", i, o}, 1, "\nError: Incorrect command\n"},
        {{"lzma", "x", i, o}, 1, "\nError: Incorrect command\n"},
        {{"lzma", "", i, o}, 1, "\nError: Incorrect command\n"},
        {{"lzma", "e", dead, o}, 1, "\nError: Can not open input file\n"},
        {{"lzma", "e", "in.bin", o}, 1, "\nError: Can not open input file\n"},
        {{"lzma", "e", i, dead}, 1, "\nError: Can not open output file\n"},
        {{"lzma", "e", i, ro}, 1, "\nError: Can not open output file\n"},
    };
    for (const auto& c : cases) {
        Outcome r = run_text(c.args);
        EXPECT_EQ(r.rc, c.rc) << c.args.size() << " " << (c.args.size() > 1 ? c.args[1] : "");
        EXPECT_EQ(r.text, c.text) << c.args.size() << " " << (c.args.size() > 1 ? c.args[1] : "");
    }
    // Nothing was written, and the caller's descriptors are all still open.
    EXPECT_EQ(out.contents().size(), 0u);
    for (int fd : {in.fd(), out.fd(), read_only.get()}) EXPECT_NE(fcntl(fd, F_GETFD), -1);
}

TEST(LzmaTool, WriteAndReadFailuresAreReported) {
    // A full device: the bytes are lost at the final flush at the latest.
    UniqueFd full(open("/dev/full", O_RDWR | O_CLOEXEC));
    ASSERT_TRUE(full.valid());
    Bytes data = sample(5000);
    TempFile in(data), packed;
    ASSERT_EQ(run({"lzma", "e", in.number(), packed.number()}), 0);
    for (const char* cmd : {"e", "d"}) {
        TempFile& src = cmd[0] == 'e' ? in : packed;
        lseek(src.fd(), 0, SEEK_SET);
        Outcome o = run_text({"lzma", cmd, src.number(), std::to_string(full.get())});
        EXPECT_EQ(o.rc, 1) << cmd;
        EXPECT_EQ(o.text, "\nError: Can not write output file\n") << cmd;
    }

    // A pipe cannot be read from its start (nor has it a length for the header).
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    UniqueFd rd(ends[0]), wr(ends[1]);
    ASSERT_EQ(write(wr.get(), "abc", 3), 3);
    wr.reset();
    TempFile out;
    Outcome o = run_text({"lzma", "e", std::to_string(rd.get()), out.number()});
    EXPECT_EQ(o.rc, 1);
    EXPECT_EQ(o.text, "\nError: Can not open input file\n");

    // A directory opens but cannot be read.
    UniqueFd dir(open("/tmp", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    o = run_text({"lzma", "d", std::to_string(dir.get()), out.number()});
    EXPECT_EQ(o.rc, 1);
    EXPECT_EQ(o.text, "\nError: Can not read input file\n");
}

TEST(LzmaTool, RunsAreIndependentAndSilent) {
    Bytes a = sample(70000, 11), b = sample(2000, 12);
    TempFile in_a(a), in_b(b), first, second, third, junk(Bytes{1, 2, 3}), sink;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    int r1 = run({"lzma", "e", in_a.number(), first.number()});
    int r2 = run({"lzma", "d", junk.number(), sink.number()});  // fails halfway
    int r3 = run({"lzma", "e", in_b.number(), second.number()});
    lseek(in_a.fd(), 0, SEEK_SET);
    int r4 = run({"lzma", "e", in_a.number(), third.number()});
    int r5 = run({"lzma", "x"});
    std::string out = testing::internal::GetCapturedStdout();
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(r1, 0);
    EXPECT_EQ(r2, 1);
    EXPECT_EQ(r3, 0);
    EXPECT_EQ(r4, 0);
    EXPECT_EQ(r5, 1);
    EXPECT_EQ(out, "");
    EXPECT_EQ(err, "");
    // The same input gives the same bytes, whatever ran in between.
    EXPECT_TRUE(third.contents() == first.contents());
    Bytes back;
    ASSERT_TRUE(xz_decode(second, back));
    EXPECT_TRUE(back == b);
}

}  // namespace
