// The package packer through its entry: files passed as descriptor numbers,
// packages checked byte for byte and with an independent python reader.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tools/common/tool_invocation.h"

namespace {

namespace fs = std::filesystem;

const char kTbFw[] = "5FF9EC0B-4D22-3E4D-A544-C39D81C73F0A";
const char kSocFw[] = "47D4086D-4CFE-9846-9B95-2950CBBD5A00";
const char kBlob[] = "0123abcd-4567-89ef-0011-223344556677";
const char kBlobUpper[] = "0123ABCD-4567-89EF-0011-223344556677";

// A scratch directory, removed with everything in it.
class TempDir {
public:
    TempDir() {
        char tmpl[] = "/tmp/kelvo_fip_XXXXXX";
        path_ = mkdtemp(tmpl) ? tmpl : "";
    }
    ~TempDir() {
        std::error_code ec;
        if (!path_.empty()) fs::remove_all(path_, ec);
    }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// A file the test owns by descriptor; the tool sees it as "%d".
struct FdFile {
    UniqueFd fd;
    std::string path;
    std::string num() const { return std::to_string(fd.get()); }
};

FdFile open_file(const std::string& path, const std::string& content = "") {
    FdFile f{UniqueFd(open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644)), path};
    if (!content.empty() && write(f.fd.get(), content.data(), content.size()) != ssize_t(content.size()))
        f.fd.reset();
    lseek(f.fd.get(), 0, SEEK_SET);
    return f;
}

std::string read_path(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

struct RunResult {
    int rc;
    std::string out;
    std::string err;
};

// Runs the tool with standard output and error sent into files.
RunResult run(std::vector<std::string> args) {
    args.insert(args.begin(), "fiptool");
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);

    TempDir dir;
    FdFile out = open_file(dir.file("stdout")), err = open_file(dir.file("stderr"));
    fflush(stdout);
    fflush(stderr);
    UniqueFd saved_out(dup(1)), saved_err(dup(2));
    dup2(out.fd.get(), 1);
    dup2(err.fd.get(), 2);
    int rc = fiptool_main(int(args.size()), argv.data());
    fflush(stdout);
    fflush(stderr);
    dup2(saved_out.get(), 1);
    dup2(saved_err.get(), 2);
    return {rc, read_path(out.path), read_path(err.path)};
}

std::string parse_with_python(const std::string& path) {
    std::string cmd = "python3 " KELVO_SOURCE_DIR "/tests/tools/fip_parse.py '" + path + "'";
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return "popen failed";
    std::string text;
    char buf[256];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) text.append(buf, n);
    pclose(p);
    return text;
}

// Little-endian helpers for vectors written straight from the format.
void le(std::string& s, uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) s += i < 8 ? char(v >> (8 * i)) : '\0';
}
std::string uuid_bytes(const char* text) {
    std::string s;
    for (const char* p = text; *p; ++p) {
        if (*p == '-') continue;
        s += char(std::stoi(std::string(p, 2), nullptr, 16));
        ++p;
    }
    return s;
}

class Fip : public ::testing::Test {
protected:
    TempDir dir;
    FdFile image(const std::string& name, const std::string& content) { return open_file(dir.file(name), content); }
};

TEST_F(Fip, EmptyPackageIsHeaderAndTerminatorPaddedToTheAlignment) {
    struct Case {
        const char* align;
        size_t length;
    } cases[] = {{nullptr, 56}, {"4", 56}, {"8", 56}, {"16", 64}, {"4096", 4096}, {"0x10", 64}, {"020", 16 + 40 + 8}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.align ? c.align : "default");
        FdFile out = image("out.fip", "");
        std::vector<std::string> args = {"create"};
        if (c.align) args.insert(args.end(), {"--align", c.align});
        args.push_back(out.num());
        ASSERT_EQ(run(args).rc, 0);
        EXPECT_EQ(parse_with_python(out.path),
                  "header AA640001 12345678 0000000000000000\nend " + std::to_string(c.length) + "\nlength " +
                      std::to_string(c.length) + "\npadding zero\n");
        // The caller's position ends behind the last byte written.
        EXPECT_EQ(lseek(out.fd.get(), 0, SEEK_CUR), off_t(c.length));
    }
}

TEST_F(Fip, ImagesFollowTheTableOrderAtAlignedOffsets) {
    FdFile tb = image("tb", "AAAAA"), soc = image("soc", "BBB"), out = image("out.fip", "");
    // soc-fw first on the command line; the table puts tb-fw first.
    ASSERT_EQ(run({"create", "--align", "4", "--soc-fw", soc.num(), "--tb-fw", tb.num(), out.num()}).rc, 0);

    std::string expect;
    le(expect, 0xAA640001, 4);
    le(expect, 0x12345678, 4);
    le(expect, 0, 8);
    expect += uuid_bytes(kTbFw);
    le(expect, 136, 8);
    le(expect, 5, 8);
    le(expect, 0, 8);
    expect += uuid_bytes(kSocFw);
    le(expect, 144, 8);
    le(expect, 3, 8);
    le(expect, 0, 8);
    expect += std::string(16, '\0');
    le(expect, 148, 8);
    le(expect, 0, 16);
    expect += "AAAAA" + std::string(3, '\0') + "BBB" + std::string(1, '\0');
    EXPECT_EQ(read_path(out.path), expect);
    EXPECT_EQ(parse_with_python(out.path), std::string("header AA640001 12345678 0000000000000000\n") +
                                               "entry " + kTbFw + " 136 5 0\nentry " + kSocFw +
                                               " 144 3 0\nend 148\nlength 148\npadding zero\n");
}

TEST_F(Fip, BlobsComeLastAndFixedOffsetsTakeNoRoom) {
    FdFile tb = image("tb", "tb-image"), blob = image("blob", "blob!"), nt = image("nt", "NT"),
           out = image("out.fip", "");
    // The blob has a fixed offset: an entry with its real size, no payload in the file.
    RunResult r = run({"create", "--align", "16", "--blob", std::string("file=") + blob.num() + ",uuid=" + kBlob,
                       "-o", std::string("uuid=") + kBlob + ",offset=0x100000", "--nt-fw", nt.num(), "--tb-fw",
                       tb.num(), out.num(), "ignored-operand"});
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(parse_with_python(out.path),
              std::string("header AA640001 12345678 0000000000000000\n") + "entry " + kTbFw +
                  " 176 8 0\n"                                                      // 16+4*40=176
                  "entry D6D0EEA7-FCEA-D54B-9782-9934F234B6E4 192 2 0\n"            // nt-fw
                  "entry " + kBlobUpper + " 1048576 5 0\n"
                  "end 208\nlength 208\npadding zero\n");
    EXPECT_EQ(read_path(out.path).find("blob!"), std::string::npos);
}

TEST_F(Fip, BlobWithAKnownUuidIsThatImage) {
    FdFile a = image("a", "first"), b = image("b", "second"), out1 = image("o1", ""), out2 = image("o2", "");
    ASSERT_EQ(run({"create", "--blob", std::string("uuid=") + kTbFw + ",file=" + a.num(), out1.num()}).rc, 0);
    // `a` is left at its end; the next run still packs it whole.
    ASSERT_EQ(lseek(a.fd.get(), 0, SEEK_CUR), 5);
    ASSERT_EQ(run({"create", "--tb-fw", a.num(), out2.num()}).rc, 0);
    EXPECT_EQ(read_path(out1.path), read_path(out2.path));
    // The last value given for an image wins, whichever option gave it.
    FdFile out3 = image("o3", "");
    ASSERT_EQ(run({"create", "--tb-fw", a.num(), "-b", std::string("uuid=") + kTbFw + ",file=" + b.num(),
                   out3.num()}).rc,
              0);
    EXPECT_EQ(read_path(out3.path).substr(16 + 2 * 40), "second");
}

TEST_F(Fip, OffsetNeedsAnExistingDescriptor) {
    FdFile blob = image("blob", "x"), out = image("out.fip", "");
    std::string b = std::string("uuid=") + kBlob + ",file=" + blob.num();
    std::string o = std::string("uuid=") + kBlob + ",offset=4096";
    RunResult before = run({"create", "--offset", o, "--blob", b, out.num()});
    EXPECT_EQ(before.rc, 1);
    EXPECT_EQ(before.out.rfind("fiptool create [opts] FIP_FILENAME\n", 0), 0u);
    EXPECT_EQ(read_path(out.path), "");
    RunResult after = run({"create", "--blob", b, "--offset", o, out.num()});
    EXPECT_EQ(after.rc, 0) << after.err;
}

TEST_F(Fip, BadOptionValuesFailTheRunAndWriteNothing) {
    FdFile img = image("img", "data"), out = image("out.fip", "");
    std::string f = img.num();
    const std::string usage = "usage";
    struct Case {
        std::vector<std::string> args;
        std::string err;  // the whole of standard error, or empty when the usage text is printed instead
        std::string out_prefix;
    } cases[] = {
        {{"--align", "3"}, "ERROR: Invalid alignment: 3\n", ""},
        {{"--align", "0"}, "ERROR: Invalid alignment: 0\n", ""},
        {{"--align", "8x"}, "ERROR: Invalid alignment: 8x\n", ""},
        {{"--align", "0x100000000"}, "ERROR: Invalid alignment: 0x100000000\n", ""},
        {{"--plat-toc-flags", "10000"}, "ERROR: Invalid platform ToC flags: 10000\n", ""},
        {{"--plat-toc-flags", "1g"}, "ERROR: Invalid platform ToC flags: 1g\n", ""},
        {{"--blob", "uuid=0123abcd-4567-89ef-0011-22334455667,file=" + f},
         "ERROR: Invalid UUID: 0123abcd-4567-89ef-0011-22334455667\n", ""},
        {{"--blob", "uuid=0123abcd+4567-89ef-0011-223344556677,file=" + f},
         "ERROR: Invalid UUID: 0123abcd+4567-89ef-0011-223344556677\n", ""},
        {{"--blob", "uuid=0123abcd-4567-89ef-0011-2233445566zz,file=" + f},
         "ERROR: Invalid UUID: 0123abcd-4567-89ef-0011-2233445566zz\n", ""},
        {{"--offset", std::string("uuid=") + kTbFw + ",offset=0x10zz"}, "ERROR: Invalid offset address: 0x10zz\n",
         ""},
        {{"--offset", std::string("uuid=") + kTbFw + ",offset=-16"}, "ERROR: Invalid offset address: -16\n", ""},
        {{"--blob", std::string("uuid=") + kBlob}, "", "fiptool create"},                        // no file
        {{"--blob", "uuid=00000000-0000-0000-0000-000000000000,file=" + f}, "", "fiptool create"},  // zero UUID
        {{"--blob", "file=" + f}, "", "fiptool create"},
        {{"--offset", std::string("uuid=") + kTbFw + ",offset=0"}, "", "fiptool create"},
        {{"--offset", ""}, "", "fiptool create"},
        {{"--offset", std::string("uuid=") + kBlob + ",offset=16"}, "", "fiptool create"},  // no such blob
        {{"--bogus", "1"}, "", "fiptool create"},
        {{"--tb-fw"}, "", "fiptool create"},  // value missing, no operand
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[0] + " " + (c.args.size() > 1 ? c.args[1] : ""));
        std::vector<std::string> args = {"create", "--tb-fw", f};
        args.insert(args.end(), c.args.begin(), c.args.end());
        if (c.args[0] != "--tb-fw") args.push_back(out.num());
        RunResult r = run(args);
        EXPECT_EQ(r.rc, 1);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out.rfind(c.out_prefix, 0), 0u) << r.out;
        EXPECT_EQ(read_path(out.path), "");
    }
}

TEST_F(Fip, PlatformFlagsLandInBits32To47) {
    FdFile out = image("out.fip", "");
    ASSERT_EQ(run({"create", "--plat-toc-flags", "0x1", "--plat-toc-flags", "8000", out.num()}).rc, 0);
    EXPECT_EQ(parse_with_python(out.path).substr(0, 33), "header AA640001 12345678 00008001");
}

TEST_F(Fip, UnreadableImagesFailAndLeaveTheCallersDescriptorsOpen) {
    FdFile img = image("img", "0123456789"), out = image("out.fip", "");
    const int closed = 999999;  // far above anything this process opens
    RunResult r = run({"create", "--tb-fw", std::to_string(closed), out.num()});
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(r.err, "ERROR: fopen " + std::to_string(closed) + ": Bad file descriptor\n");
    EXPECT_EQ(run({"create", "--tb-fw", "img.bin", out.num()}).err, "ERROR: fopen img.bin: Bad file descriptor\n");

    // A pipe cannot be read from its start.
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    UniqueFd rd(ends[0]), wr(ends[1]);
    r = run({"create", "--tb-fw", std::to_string(rd.get()), out.num()});
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(r.err, "ERROR: fopen " + std::to_string(rd.get()) + ": Illegal seek\n");
    EXPECT_EQ(fcntl(img.fd.get(), F_GETFD), FD_CLOEXEC);
    EXPECT_EQ(fcntl(out.fd.get(), F_GETFD), FD_CLOEXEC);
    EXPECT_EQ(read_path(out.path), "");

    // An output descriptor that is not open.
    lseek(img.fd.get(), 0, SEEK_SET);
    r = run({"create", "--tb-fw", img.num(), std::to_string(closed)});
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(r.err, "ERROR: fopen " + std::to_string(closed) + ": Bad file descriptor\n");
}

TEST_F(Fip, GlobalSyntaxAndHelp) {
    const std::string global = "usage: fiptool [--verbose] <command> [<args>]\n";
    struct Case {
        std::vector<std::string> args;
        int rc;
        std::string out_prefix;
    } cases[] = {
        {{}, 1, global},
        {{"--verbose"}, 1, global},
        {{"--quiet", "info", "x"}, 1, global},
        {{"frobnicate"}, 1, global},
        {{"help"}, 1, global},
        {{"help", "create"}, 1, "fiptool create [opts] FIP_FILENAME\n\nOptions:\n  --align <value>\t\t"},
        {{"help", "remove"}, 1, "fiptool remove [opts] FIP_FILENAME\n"},
        {{"help", "version"}, 1, "fiptool version\n"},
        {{"help", "help"}, 0, "No help for subcommand 'help'\n"},
        {{"version"}, 0, "Unknown version\n"},
        {{"-v", "version"}, 0, "Unknown version\n"},
        {{"create"}, 1, "fiptool create [opts] FIP_FILENAME\n"},
        {{"update"}, 1, "fiptool update [opts] FIP_FILENAME\n"},
        {{"unpack"}, 1, "fiptool unpack [opts] FIP_FILENAME\n"},
        {{"remove"}, 1, "fiptool remove [opts] FIP_FILENAME\n"},
        {{"info"}, 1, "fiptool info FIP_FILENAME\n"},
        {{"info", "a", "b"}, 1, "fiptool info FIP_FILENAME\n"},
    };
    for (const auto& c : cases) {
        RunResult r = run(c.args);
        SCOPED_TRACE(c.args.empty() ? "(none)" : c.args[0] + " " + (c.args.size() > 1 ? c.args[1] : ""));
        EXPECT_EQ(r.rc, c.rc);
        EXPECT_EQ(r.out.rfind(c.out_prefix, 0), 0u) << r.out;
        EXPECT_EQ(r.err, "");
    }
    RunResult h = run({"help", "create"});
    EXPECT_NE(h.out.find("  --tb-fw            FILENAME\tTrusted Boot Firmware BL2\n"), std::string::npos);
    EXPECT_NE(h.out.find("  --trusted-key-cert FILENAME\tTrusted key certificate\n"), std::string::npos);
    RunResult rm = run({"help", "remove"});
    EXPECT_NE(rm.out.find("  --nt-dsp-cert     \tNon-Trusted DSP content certificate\n"), std::string::npos);
}

// A package on disk with tb-fw "AAAAA", soc-fw "BBB" and a blob "blob!".
class FipPackage : public Fip {
protected:
    std::string pkg;
    void SetUp() override {
        FdFile tb = image("tb", "AAAAA"), soc = image("soc", "BBB"), blob = image("blob", "blob!");
        pkg = dir.file("pkg.fip");
        FdFile out = open_file(pkg);
        ASSERT_EQ(run({"create", "--plat-toc-flags", "12", "--tb-fw", tb.num(), "--soc-fw", soc.num(), "--blob",
                       std::string("uuid=") + kBlob + ",file=" + blob.num(), out.num()})
                      .rc,
                  0);
    }
};

TEST_F(FipPackage, InfoListsTheImagesAndVerboseAddsDigests) {
    RunResult r = run({"info", pkg});
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(r.out,
              "Trusted Boot Firmware BL2: offset=0xB0, size=0x5, cmdline=\"--tb-fw\"\n"
              "EL3 Runtime Firmware BL31: offset=0xB5, size=0x3, cmdline=\"--soc-fw\"\n" +
                  std::string(kBlobUpper) + ": offset=0xB8, size=0x5, cmdline=\"--blob\"\n");
    EXPECT_EQ(r.err, "");

    r = run({"--verbose", "info", pkg});
    ASSERT_EQ(r.rc, 0);
    EXPECT_NE(r.out.find("cmdline=\"--tb-fw\", sha256=11770b3ea657fe68cba19675143e4715c8de9d763d3c21a85af6b7513d43997d\n"),
              std::string::npos);
    EXPECT_NE(r.out.find("cmdline=\"--soc-fw\", sha256=dcdb704109a454784b81229d2b05f368692e758bfa33cb61d04c1b93791b0273\n"),
              std::string::npos);
    EXPECT_EQ(r.err,
              "DEBUG: toc_header[name]: 0xAA640001\nDEBUG: toc_header[serial_number]: 0x12345678\n"
              "DEBUG: toc_header[flags]: 0x1200000000\n");
}

TEST_F(FipPackage, DamagedPackagesAreRefused) {
    std::string good = read_path(pkg);
    std::string dup = good;  // soc-fw's entry carries tb-fw's UUID
    dup.replace(16 + 40, 16, uuid_bytes(kTbFw));
    std::string beyond = good;  // tb-fw's size runs past the end
    beyond[16 + 24] = char(0x40);
    std::string wraps = good;  // offset + size overflows
    for (int i = 0; i < 8; ++i) wraps[16 + 16 + i] = char(0xFF);
    std::string noterm = good.substr(0, 16) + uuid_bytes(kTbFw);  // one entry, then the file ends
    le(noterm, 0, 8);
    le(noterm, 16, 8);
    le(noterm, 0, 8);
    noterm += std::string(39, '\0');
    struct Case {
        std::string name, content, err;
    } cases[] = {
        {"short", std::string("\x01\x00\x64\xAA", 4), "ERROR: FIP %s is truncated\n"},
        {"other", std::string(64, 'x'), "ERROR: %s is not a FIP file\n"},
        {"noterm", noterm, "ERROR: FIP %s does not have a ToC terminator entry\n"},
        {"beyond", beyond, "ERROR: FIP %s is corrupted\n"},
        {"wraps", wraps, "ERROR: FIP %s is corrupted\n"},
        {"dup", dup, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string path = dir.file(c.name);
        std::ofstream(path, std::ios::binary) << c.content;
        RunResult r = run({"info", path});
        EXPECT_EQ(r.rc, 1);
        EXPECT_EQ(r.out, "");
        if (!c.err.empty()) {
            std::string want = c.err;
            want.replace(want.find("%s"), 2, path);
            EXPECT_EQ(r.err, want);
        } else {
            EXPECT_EQ(r.err.rfind("ERROR: ", 0), 0u);
        }
    }
    RunResult missing = run({"info", dir.file("absent")});
    EXPECT_EQ(missing.rc, 1);
    EXPECT_EQ(missing.err, "ERROR: fopen " + dir.file("absent") + ": No such file or directory\n");
}

TEST_F(FipPackage, UpdateReplacesAndAddsImagesKeepingTheOtherHeaderBits) {
    // Bits outside 32..47 of the read header survive; the given flags replace the platform's.
    std::string raw = read_path(pkg);
    raw[8] = 0x5;
    std::ofstream(pkg, std::ios::binary) << raw;

    FdFile tb = image("tb2", "NEWTB"), nt = image("nt", "NTNT"), out = image("out.fip", "");
    RunResult r = run({"--verbose", "update", "--tb-fw", tb.num(), "--nt-fw", nt.num(), "--plat-toc-flags", "3",
                       "--align", "4", "-o", out.num(), pkg});
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_NE(r.err.find("DEBUG: Replacing tb-fw with " + tb.num() + "\n"), std::string::npos);
    EXPECT_NE(r.err.find("DEBUG: Adding image " + nt.num() + "\n"), std::string::npos);
    EXPECT_EQ(parse_with_python(out.path), std::string("header AA640001 12345678 0000000300000005\n") +
                                               "entry " + kTbFw + " 216 5 0\n" +     // 16+5*40
                                               "entry " + kSocFw + " 224 3 0\n" +
                                               "entry D6D0EEA7-FCEA-D54B-9782-9934F234B6E4 228 4 0\n" +
                                               "entry " + kBlobUpper + " 232 5 0\n" +
                                               "end 240\nlength 240\npadding zero\n");
    std::string bytes = read_path(out.path);
    EXPECT_EQ(bytes.substr(216, 5), "NEWTB");
    EXPECT_EQ(bytes.substr(232, 5), "blob!");
    EXPECT_EQ(read_path(pkg), raw);  // written to --out only

    // Without "--out" the package is rewritten in place; without flags its own stay.
    lseek(nt.fd.get(), 0, SEEK_SET);
    ASSERT_EQ(run({"update", "--nt-fw", nt.num(), pkg}).rc, 0);
    EXPECT_EQ(parse_with_python(pkg).substr(0, 42), "header AA640001 12345678 0000001200000005\n");
    EXPECT_NE(run({"info", pkg}).out.find("Non-Trusted Firmware BL33: offset=0xE0, size=0x4"), std::string::npos);

    // A package that does not exist yet is made from the images alone.
    std::string fresh = dir.file("fresh.fip");
    lseek(nt.fd.get(), 0, SEEK_SET);
    ASSERT_EQ(run({"update", "--nt-fw", nt.num(), fresh}).rc, 0);
    EXPECT_EQ(parse_with_python(fresh), std::string("header AA640001 12345678 0000000000000000\n") +
                                            "entry D6D0EEA7-FCEA-D54B-9782-9934F234B6E4 96 4 0\n"
                                            "end 100\nlength 100\npadding zero\n");
}

TEST_F(FipPackage, UnpackWritesEveryImageOrOnlyTheNamedOnes) {
    TempDir all;
    RunResult r = run({"-v", "unpack", "--out", all.path(), pkg});
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(read_path(all.file("tb-fw.bin")), "AAAAA");
    EXPECT_EQ(read_path(all.file("soc-fw.bin")), "BBB");
    EXPECT_EQ(read_path(all.file(std::string(kBlobUpper) + ".bin")), "blob!");
    EXPECT_NE(r.err.find("DEBUG: Unpacking tb-fw.bin\n"), std::string::npos);

    // Existing files stay unless forced.
    std::ofstream(all.file("tb-fw.bin")) << "old";
    r = run({"unpack", "-o", all.path(), pkg});
    EXPECT_EQ(r.rc, 0);
    EXPECT_NE(r.err.find("WARN: File tb-fw.bin already exists, use --force to overwrite it\n"), std::string::npos);
    EXPECT_EQ(read_path(all.file("tb-fw.bin")), "old");
    ASSERT_EQ(run({"unpack", "--force", "--out", all.path(), pkg}).rc, 0);
    EXPECT_EQ(read_path(all.file("tb-fw.bin")), "AAAAA");

    // Named images only, to the names given; a missing one is a warning.
    TempDir some;
    r = run({"unpack", "--soc-fw", "soc.img", "--nt-fw", "nt.img", "-b",
             std::string("uuid=") + kBlob + ",file=b.img", "--out", some.path(), pkg});
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.err, "WARN: nt-fw does not exist in " + pkg + "\n");
    EXPECT_EQ(read_path(some.file("soc.img")), "BBB");
    EXPECT_EQ(read_path(some.file("b.img")), "blob!");
    size_t files = 0;
    for (auto& e : fs::directory_iterator(some.path())) files += e.is_regular_file();
    EXPECT_EQ(files, 2u);

    r = run({"unpack", "--out", dir.file("no-such-dir"), pkg});
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(r.err, "ERROR: chdir " + dir.file("no-such-dir") + ": No such file or directory\n");
}

TEST_F(FipPackage, RemoveDropsImagesAndRelaysOut) {
    FdFile out = image("out.fip", "");
    RunResult r = run({"-v", "remove", "--tb-fw", "--nt-fw", "--blob", std::string("uuid=") + kBlob, "--align", "8",
                       "--out", out.num(), pkg});
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_NE(r.err.find("DEBUG: Removing tb-fw\n"), std::string::npos);
    EXPECT_NE(r.err.find("DEBUG: Removing " + std::string(kBlobUpper) + "\n"), std::string::npos);
    EXPECT_NE(r.err.find("WARN: nt-fw does not exist in " + pkg + "\n"), std::string::npos);
    EXPECT_EQ(parse_with_python(out.path), std::string("header AA640001 12345678 0000001200000000\n") + "entry " +
                                               kSocFw + " 96 3 0\nend 104\nlength 104\npadding zero\n");
    EXPECT_EQ(read_path(out.path).substr(96, 3), "BBB");

    // An output that already holds data is kept unless forced.
    r = run({"remove", "--soc-fw", "--out", out.num(), pkg});
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(r.err, "ERROR: File " + out.num() + " already exists, use --force to overwrite it\n");

    // Without "--out" the package itself is rewritten.
    ASSERT_EQ(run({"remove", "--soc-fw", pkg}).rc, 0);
    EXPECT_EQ(run({"info", pkg}).out,
              "Trusted Boot Firmware BL2: offset=0x88, size=0x5, cmdline=\"--tb-fw\"\n" + std::string(kBlobUpper) +
                  ": offset=0x8D, size=0x5, cmdline=\"--blob\"\n");
    EXPECT_EQ(run({"remove", "--tb-fw", pkg, "extra"}).rc, 0);  // further operands are ignored
}

TEST_F(Fip, SecondRunStartsFromTheTableAlone) {
    FdFile tb = image("tb", "AAAAA"), blob = image("blob", "zz"), soc = image("soc", "BBB");
    FdFile out1 = image("o1", ""), out2 = image("o2", "");
    RunResult first = run({"--verbose", "create", "--tb-fw", tb.num(), "--blob",
                           std::string("uuid=") + kBlob + ",file=" + blob.num(), "--offset",
                           std::string("uuid=") + kTbFw + ",offset=0x2000", "--plat-toc-flags", "1", "--align",
                           "64", out1.num()});
    ASSERT_EQ(first.rc, 0) << first.err;
    EXPECT_NE(first.err.find("DEBUG: Metadata size: 136 bytes\n"), std::string::npos);

    // A failing run in between leaves nothing behind either.
    EXPECT_EQ(run({"create", "--soc-fw", soc.num(), "--align", "5", out2.num()}).rc, 1);

    RunResult second = run({"create", "--soc-fw", soc.num(), out2.num()});
    ASSERT_EQ(second.rc, 0);
    EXPECT_EQ(second.err, "");  // not verbose
    EXPECT_EQ(parse_with_python(out2.path), std::string("header AA640001 12345678 0000000000000000\n") + "entry " +
                                                kSocFw + " 96 3 0\nend 99\nlength 99\npadding zero\n");
}

}  // namespace
