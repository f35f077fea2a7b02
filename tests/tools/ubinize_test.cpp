// The UBI image builder through its entry, images checked with an
// independent python reader.
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tools/common/tool_invocation.h"
#include "tools/ubinize/ubi_common.h"
#include "tools/ubinize/ubigen.h"
#include "ubi_image_reader.h"

namespace {

constexpr int kPeb = 128 * 1024;
constexpr int kLeb = kPeb - 4096;

UniqueFd temp_fd() {
    char path[] = "/tmp/kelvo_ubi_XXXXXX";
    int fd = mkstemp(path);
    if (fd >= 0) unlink(path);
    return UniqueFd(fd);
}

std::string pattern(size_t n, int seed) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = char((i * 7 + seed) % 251);  // never 0xFF
    return s;
}

std::string read_all(int fd) {
    std::string out;
    char buf[65536];
    for (off_t at = 0;; ) {
        ssize_t n = pread(fd, buf, sizeof buf, at);
        if (n <= 0) break;
        out.append(buf, static_cast<size_t>(n));
        at += n;
    }
    return out;
}

struct ToolRun {
    int rc;
    std::string out, err;
};

class Ubinize : public testing::Test {
protected:
    UniqueFd out = temp_fd();
    std::vector<UniqueFd> files;

    // A caller's descriptor holding `bytes`, positioned at 0.
    int file(const std::string& bytes) {
        UniqueFd fd = temp_fd();
        EXPECT_EQ(write(fd.get(), bytes.data(), bytes.size()), ssize_t(bytes.size()));
        lseek(fd.get(), 0, SEEK_SET);
        files.push_back(std::move(fd));
        return files.back().get();
    }
    std::string fd_text(int fd) { return std::to_string(fd); }
    std::string output_option() { return "--output=" + fd_text(out.get()); }

    ToolRun run(std::vector<std::string> args) {
        args.insert(args.begin(), "ubinize");
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(&a[0]);
        argv.push_back(nullptr);
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        int rc = ubinize_main(int(args.size()), argv.data());
        fflush(stdout);
        fflush(stderr);
        std::string o = testing::internal::GetCapturedStdout();
        return {rc, o, testing::internal::GetCapturedStderr()};
    }
    // The usual geometry (PEB 128 KiB, I/O unit 2048) and one configuration.
    ToolRun build(const std::string& ini, std::vector<std::string> extra = {}) {
        std::vector<std::string> args{output_option(), "-p", "128KiB", "-m", "2048"};
        args.insert(args.end(), extra.begin(), extra.end());
        args.push_back(fd_text(file(ini)));
        return run(args);
    }
    std::string section(const std::string& name, int image_fd, const std::string& more) {
        return "[" + name + "]\nmode=ubi\nimage=" + fd_text(image_fd) + "\nvol_name=" + name + "\n" + more;
    }
};

TEST(UbiHelpers, CrcSizesAndNumbers) {
    EXPECT_EQ(ubi_crc32(kUbiCrcInit, "abc", 3), 0xCADBBE3Du);
    EXPECT_EQ(ubi_crc32(0x1234, "abc", 0), 0x1234u);
    uint8_t zeros[168] = {};
    EXPECT_EQ(ubi_crc32(kUbiCrcInit, zeros, 168), 0xF116C36Bu);

    struct Size {
        const char* text;
        long long bytes;
        const char* err;
    } sizes[] = {{"128KiB", 131072, ""},
                 {"128 KiB", 131072, ""},
                 {"128\tMiB", 128ll << 20, ""},
                 {"0x20000", 131072, ""},
                 {"010", 8, ""},
                 {"2GiB", 2ll << 30, ""},
                 {"128K", -1, "bad size specifier: \"K\" - should be 'KiB', 'MiB' or 'GiB'\n"},
                 {"128kib", -1, "bad size specifier: \"kib\" - should be 'KiB', 'MiB' or 'GiB'\n"},
                 {"KiB", -1, "incorrect amount of bytes: \"KiB\"\n"},
                 {"-5", -1, "incorrect amount of bytes: \"-5\"\n"},
                 {"99999999999999999999", -1, "incorrect amount of bytes: \"99999999999999999999\"\n"}};
    for (const Size& s : sizes) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(ubi_parse_size(s.text), s.bytes) << s.text;
        EXPECT_EQ(testing::internal::GetCapturedStderr(), s.err) << s.text;
    }

    struct Print {
        long long bytes;
        bool bracket;
        const char* text;
    } prints[] = {{1024, true, "1024 bytes"},
                  {5000, true, "5000 bytes (4.8 KiB)"},
                  {5000, false, "5000 bytes, 4.8 KiB"},
                  {3ll << 20, true, "3145728 bytes (3.0 MiB)"},
                  {(1ll << 30) + (1ll << 29), false, "1610612736 bytes, 1.5 GiB"}};
    for (const Print& p : prints) {
        testing::internal::CaptureStdout();
        ubi_print_size(p.bytes, p.bracket);
        fflush(stdout);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), p.text);
    }

    uint32_t v;
    EXPECT_TRUE(ubi_parse_number("ubinize", "0x10", v));
    EXPECT_EQ(v, 16u);
    EXPECT_TRUE(ubi_parse_number("ubinize", "4294967295", v));
    EXPECT_EQ(int(v), -1);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(ubi_parse_number("ubinize", "12a", v));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "ubinize: error!: strtoul: unable to parse the number '12a'\n");
}

TEST(UbiHelpers, GeometryFromTheFlash) {
    UbiGeometry g = ubigen_derive_geometry(kPeb, 2048, 2048, 0, 1, 0);
    EXPECT_EQ(g.vid_hdr_offset, 2048);
    EXPECT_EQ(g.data_offset, 4096);
    EXPECT_EQ(g.leb_size, 126976);
    EXPECT_EQ(g.max_volumes, 128);
    EXPECT_EQ(g.vtbl_size, 22016);
    // Sub-pages put the VID header into the first I/O unit.
    g = ubigen_derive_geometry(kPeb, 2048, 512, 0, 1, 0);
    EXPECT_EQ(g.vid_hdr_offset, 512);
    EXPECT_EQ(g.data_offset, 2048);
    // A small NOR-like block holds fewer table records.
    g = ubigen_derive_geometry(8192, 64, 64, 0, 1, 0);
    EXPECT_EQ(g.data_offset, 128);
    EXPECT_EQ(g.max_volumes, (8192 - 128) / 172);
}

TEST_F(Ubinize, DynamicVolumeOfOneBlock) {
    const std::string data = pattern(5000, 1);
    int img = file(data);
    ToolRun r = build(section("rootfs", img, "vol_id=0\nvol_size=5000\nvol_type=dynamic\n"), {"-Q", "7"});
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(lseek(out.get(), 0, SEEK_CUR), 2 * kPeb);  // behind the layout volume's second block
    EXPECT_EQ(lseek(img, 0, SEEK_CUR), 5000);             // read through a duplicate

    const std::string bytes = read_all(out.get());
    ASSERT_EQ(bytes.size(), 3u * kPeb);
    EXPECT_EQ(bytes.substr(2 * kPeb + 4096, 5000), data);

    Json::Value image = read_ubi_image(out.get(), kPeb);
    ASSERT_EQ(image["blocks"].size(), 3u);
    for (Json::ArrayIndex i = 0; i < 3; ++i) {
        const Json::Value& b = image["blocks"][i];
        const Json::Value& ec = b["ec"];
        EXPECT_TRUE(ec["magic_ok"].asBool() && ec["crc_ok"].asBool() && ec["pad_zero"].asBool()) << i;
        EXPECT_EQ(ec["version"].asInt(), 1);
        EXPECT_EQ(ec["ec"].asInt(), 0);
        EXPECT_EQ(ec["vid_hdr_offset"].asInt(), 2048);
        EXPECT_EQ(ec["data_offset"].asInt(), 4096);
        EXPECT_EQ(ec["image_seq"].asInt(), 7);
        const Json::Value& vid = b["vid"];
        EXPECT_TRUE(vid["magic_ok"].asBool() && vid["crc_ok"].asBool() && vid["pad_zero"].asBool()) << i;
        EXPECT_EQ(vid["vol_type"].asInt(), 1);
        EXPECT_EQ(vid["copy_flag"].asInt(), 0);
        EXPECT_EQ(vid["sqnum"].asInt(), 0);
        EXPECT_TRUE(b["headers_ff"].asBool()) << i;
    }
    for (Json::ArrayIndex i = 0; i < 2; ++i) {
        const Json::Value& vid = image["blocks"][i]["vid"];
        EXPECT_EQ(vid["vol_id"].asUInt(), kUbiLayoutVolumeId);
        EXPECT_EQ(vid["compat"].asInt(), 5);
        EXPECT_EQ(vid["lnum"].asInt(), int(i));
        EXPECT_EQ(vid["data_pad"].asInt(), 0);
        EXPECT_TRUE(image["blocks"][i]["unused_ok"].asBool());
        EXPECT_TRUE(image["blocks"][i]["tail_ff"].asBool());
    }
    EXPECT_TRUE(image["tables_equal"].asBool());
    const Json::Value& records = image["blocks"][0]["records"];
    ASSERT_EQ(records.size(), 1u);
    const Json::Value& rec = records[0];
    EXPECT_EQ(rec["index"].asInt(), 0);
    EXPECT_EQ(rec["reserved_pebs"].asInt(), 1);
    EXPECT_EQ(rec["alignment"].asInt(), 1);
    EXPECT_EQ(rec["data_pad"].asInt(), 0);
    EXPECT_EQ(rec["vol_type"].asInt(), 1);
    EXPECT_EQ(rec["upd_marker"].asInt(), 0);
    EXPECT_EQ(rec["name"].asString(), "rootfs");
    EXPECT_EQ(rec["name_len"].asInt(), 6);
    EXPECT_EQ(rec["flags"].asInt(), 0);
    EXPECT_TRUE(rec["crc_ok"].asBool() && rec["name_zero_filled"].asBool() && rec["pad_zero"].asBool());

    const Json::Value& vid = image["blocks"][2]["vid"];
    EXPECT_EQ(vid["vol_id"].asInt(), 0);
    EXPECT_EQ(vid["compat"].asInt(), 0);
    EXPECT_EQ(vid["lnum"].asInt(), 0);
    EXPECT_EQ(vid["data_size"].asInt(), 0);
    EXPECT_EQ(vid["used_ebs"].asInt(), 0);
    EXPECT_EQ(vid["data_crc"].asInt(), 0);
    EXPECT_EQ(bytes.find_first_not_of('\xff', 2 * kPeb + 4096 + 5000), std::string::npos);
}

TEST_F(Ubinize, StaticVolumesCarryDataSizesAndCrcs) {
    // One block, and three blocks with a partial last one.
    struct Case {
        size_t size;
        std::vector<int> sizes;
    } cases[] = {{5000, {5000}}, {2 * kLeb + 100, {kLeb, kLeb, 100}}};
    for (const Case& c : cases) {
        out = temp_fd();
        const std::string data = pattern(c.size, 3);
        ToolRun r = build(section("boot", file(data), "vol_id=3\nvol_type=static\nvol_size=1MiB\n"), {"-e", "9", "-x", "2"});
        ASSERT_EQ(r.rc, 0) << r.err;
        Json::Value image = read_ubi_image(out.get(), kPeb);
        ASSERT_EQ(image["blocks"].size(), 2 + c.sizes.size());
        for (size_t i = 0; i < c.sizes.size(); ++i) {
            const Json::Value& b = image["blocks"][Json::ArrayIndex(2 + i)];
            EXPECT_EQ(b["ec"]["ec"].asInt(), 9);
            EXPECT_EQ(b["ec"]["version"].asInt(), 2);
            EXPECT_EQ(b["vid"]["version"].asInt(), 2);
            EXPECT_EQ(b["vid"]["vol_type"].asInt(), 2);
            EXPECT_EQ(b["vid"]["vol_id"].asInt(), 3);
            EXPECT_EQ(b["vid"]["lnum"].asInt(), int(i));
            EXPECT_EQ(b["vid"]["data_size"].asInt(), c.sizes[i]);
            EXPECT_EQ(b["vid"]["used_ebs"].asInt(), int(c.sizes.size()));
            EXPECT_TRUE(b["data_crc_ok"].asBool() && b["tail_ff"].asBool()) << i;
        }
        EXPECT_EQ(image["blocks"][0]["ec"]["ec"].asInt(), 9);
        const Json::Value& rec = image["blocks"][0]["records"][0];
        EXPECT_EQ(rec["index"].asInt(), 3);
        EXPECT_EQ(rec["vol_type"].asInt(), 2);
        EXPECT_EQ(rec["reserved_pebs"].asInt(), 9);  // 1 MiB in LEBs of 126976 bytes
        std::string bytes = read_all(out.get());
        std::string joined;
        for (size_t i = 0; i < c.sizes.size(); ++i)
            joined += bytes.substr((2 + i) * kPeb + 4096, size_t(c.sizes[i]));
        EXPECT_EQ(joined, data);
    }
}

TEST_F(Ubinize, SeveralVolumesFlagsAndAlignment) {
    const std::string a = pattern(kLeb, 5);  // a whole LEB: one block aligned, two with a data pad
    const std::string b = pattern(10, 6);
    const int fa = file(a), fb = file(b);
    std::string ini = section("data", fa, "vol_id=1\nvol_alignment=3000\nvol_flags=autoresize\n") +
                      "[ignored]\nmode=raw\n" +
                      section("ro", fb, "vol_id=0\nvol_type=static\nvol_flags=skip-check\n") +
                      "[empty]\nmode=ubi\nvol_id=5\nvol_size=2MiB\nvol_name=empty\nvol_type=dynamic\n";
    ToolRun r = build(ini);
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(r.out, "ubinize: volume type was not specified in section \"data\", assume \"dynamic\"\n\n"
                     "ubinize: volume size was not specified in section \"data\", assume minimum to fit image \"" +
                         fd_text(fa) + "\"126976 bytes (124.0 KiB)\n" +
                         "ubinize: volume size was not specified in section \"ro\", assume minimum to fit image \"" +
                         fd_text(fb) + "\"10 bytes\n");
    Json::Value image = read_ubi_image(out.get(), kPeb);
    ASSERT_EQ(image["blocks"].size(), 5u);  // layout, two of "data", one of "ro"; "empty" has no blocks
    const int pad = kLeb % 3000;
    for (int i : {2, 3}) {
        EXPECT_EQ(image["blocks"][i]["vid"]["vol_id"].asInt(), 1);
        EXPECT_EQ(image["blocks"][i]["vid"]["data_pad"].asInt(), pad);
    }
    EXPECT_EQ(image["blocks"][4]["vid"]["vol_id"].asInt(), 0);
    std::string bytes = read_all(out.get());
    EXPECT_EQ(bytes.substr(2 * kPeb + 4096, size_t(kLeb - pad)) + bytes.substr(3 * kPeb + 4096, size_t(pad)), a);

    const Json::Value& recs = image["blocks"][1]["records"];
    ASSERT_EQ(recs.size(), 3u);
    EXPECT_EQ(recs[0]["name"].asString(), "ro");
    EXPECT_EQ(recs[0]["flags"].asInt(), kUbiFlagSkipCheck);
    EXPECT_EQ(recs[1]["name"].asString(), "data");
    EXPECT_EQ(recs[1]["alignment"].asInt(), 3000);
    EXPECT_EQ(recs[1]["data_pad"].asInt(), pad);
    EXPECT_EQ(recs[1]["flags"].asInt(), kUbiFlagAutoresize);
    // Counted in usable LEBs: both blocks that were written are reserved.
    EXPECT_EQ(recs[1]["reserved_pebs"].asInt(), 2);
    EXPECT_EQ(recs[2]["index"].asInt(), 5);
    EXPECT_EQ(recs[2]["reserved_pebs"].asInt(), 17);
}

TEST_F(Ubinize, NonUbiSectionsOnlyGiveAnEmptyTable) {
    ToolRun r = build("[raw]\nmode=raw\nimage=x\n");
    ASSERT_EQ(r.rc, 0) << r.err;
    Json::Value image = read_ubi_image(out.get(), kPeb);
    ASSERT_EQ(image["blocks"].size(), 2u);
    EXPECT_EQ(image["blocks"][0]["records"].size(), 0u);
    EXPECT_TRUE(image["blocks"][0]["unused_ok"].asBool());
}

TEST_F(Ubinize, VolumeConfigurationErrors) {
    const int image = file(pattern(5000, 2));
    const std::string fd5000 = fd_text(image);
    const std::string empty = fd_text(file(""));
    const std::string base = "[v]\nmode=ubi\nimage=" + fd5000 + "\nvol_name=v\n";
    struct Case {
        std::string ini, err;
    } cases[] = {
        {base + "vol_id=0\nvol_alignment=-4\n", "ubinize: error!: negative volume alignement -4 in section \"v\"\n"},
        {base + "vol_id=0\nvol_alignment=126976\n",
         "libubigen: error!: too large alignment 126976, max is 126976 (LEB size)\n"
         "ubinize: error!: cannot add volume for section \"v\"\n"},
        {base + "vol_id=0\nvol_alignment=0\n",
         "ubinize: error!: zero volume alignment in section \"v\", has to be at least 1\n"},
        {base + "vol_id=0\n[w]\nmode=ubi\nimage=" + fd5000 + "\nvol_name=w\nvol_id=0\n",
         "ubinize: error!: volume IDs must be unique, but ID 0 in section \"w\" is not\n"},
        {base + "vol_id=0\n[w]\nmode=ubi\nimage=" + fd5000 + "\nvol_name=v\nvol_id=1\n",
         "ubinize: error!: volume name must be unique, but name \"v\" in section \"w\" is not\n"},
        {"[v]\nimage=1\n",
         "ubinize: error!: \"mode\" key not found in section \"v\"\n"
         "ubinize: error!: the \"mode\" key is mandatory and has to be \"mode=ubi\" if the section describes an UBI "
         "volume\n"},
        {base + "vol_id=0\nvol_type=ro\n", "ubinize: error!: invalid volume type \"ro\" in section  \"v\"\n"},
        {"[v]\nmode=ubi\nvol_type=static\nvol_id=0\nvol_name=v\nvol_size=5\n",
         "ubinize: error!: image is not specified for static volume in section \"v\"\n"},
        {"[v]\nmode=ubi\nimage=" + empty + "\nvol_id=0\nvol_name=v\n",
         "ubinize: error!: empty file \"" + empty + "\" referred from section \"v\"\n"},
        {base, "ubinize: error!: \"vol_id\" key not found in section  \"v\"\n"},
        {base + "vol_id=-2\n", "ubinize: error!: negative volume ID -2 in section \"v\"\n"},
        {base + "vol_id=128\n", "ubinize: error!: too high volume ID 128 in section \"v\", max. is 128\n"},
        {base + "vol_id=0\nvol_size=0\n", "ubinize: error!: bad \"vol_size\" key value \"0\" (section \"v\")\n"},
        {base + "vol_id=0\nvol_size=4KiB\n",
         "ubinize: error!: error in section \"v\": size of the image file \"" + fd5000 +
             "\" is 5000, which is larger than volume size 4096\n"},
        {"[v]\nmode=ubi\nvol_id=0\nvol_name=v\n",
         "ubinize: error!: neither image file (\"image=\") nor volume size (\"vol_size=\") specified in section "
         "\"v\"\n"},
        {"[v]\nmode=ubi\nimage=" + fd5000 + "\nvol_id=0\n", "ubinize: error!: \"vol_name\" key not found in section \"v\"\n"},
        {"[v]\nmode=ubi\nimage=" + fd5000 + "\nvol_id=0\nvol_name=" + std::string(128, 'n') + "\n",
         "ubinize: error!: too long volume name in section \"v\", max. is 127 characters\n"},
        {"[v]\nmode=ubi\nimage=" + fd5000 + "\nvol_id=0\nvol_name=\n",
         "ubinize: error!: empty volume name in section \"v\"\n"},
        {"[v]\nmode=ubi\nimage=" + fd5000 + "\nvol_id=0\nvol_name = \"  \"\n",
         "ubinize: error!: empty volume name in section \"v\"\n"},
        {base + "vol_id=0\nvol_flags=ro\n", "ubinize: error!: unknown flags \"ro\" in section \"v\"\n"},
        {base + "vol_id=0\nvol_flags=skip-check\n", "ubinize: error!: skip-check is only valid for static volumes\n"},
        {base + "vol_id=0\nvol_flags=autoresize\n[w]\nmode=ubi\nimage=" + fd5000 +
             "\nvol_name=w\nvol_id=1\nvol_flags=autoresize\n",
         "ubinize: error!: only one volume is allowed to have auto-resize flag\n"},
        {"[" + std::string(129, 's') + "]\nmode=ubi\n",
         "ubinize: error!: too long section name \"" + std::string(129, 's') + "\"\n"},
        {"# nothing\n", "ubinize: error!: no sections found the ini-file \"CONFIG\"\n"},
        // Sections of one name would merge into one volume.
        {base + "vol_id=0\n[ V ]\nmode=ubi\nimage=" + fd5000 + "\nvol_name=V\nvol_id=1\n",
         "ubinize: error!: section \"V\" appears twice in \"CONFIG\" (names are compared without regard to case)\n"
         "ubinize: error!: cannot load the input ini file \"CONFIG\"\n"},
        {base + "vol_id=0\n[v]\nvol_name=w\n",
         "ubinize: error!: section \"v\" appears twice in \"CONFIG\" (names are compared without regard to case)\n"
         "ubinize: error!: cannot load the input ini file \"CONFIG\"\n"},
    };
    for (const Case& c : cases) {
        out = temp_fd();
        lseek(image, 0, SEEK_SET);  // an earlier case may have read it
        ToolRun r = build(c.ini, {"-Q", "1"});
        EXPECT_EQ(r.rc, -1) << c.ini;
        std::string expected = c.err;
        size_t at = expected.find("CONFIG");
        while ((at = expected.find("CONFIG")) != std::string::npos)
            expected.replace(at, 6, std::to_string(files.back().get()));
        EXPECT_EQ(r.err, expected) << c.ini;
    }
}

TEST_F(Ubinize, StatFailureNamesTheSystemError) {
    ToolRun r = build("[v]\nmode=ubi\nimage=notanumber\nvol_id=0\nvol_name=v\n");
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.err, "ubinize: error!: cannot stat \"notanumber\" referred from section \"v\"\n"
                     "         error 9 (Bad file descriptor)\n");
}

TEST_F(Ubinize, LoaderMessagesNameTheDescriptor) {
    ToolRun r = build("[v]\nmode=ubi\nthis line is wrong\n");
    const std::string config = std::to_string(files.back().get());
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.err, "iniparser: syntax error in " + config + " (3):\n-> this line is wrong\n"
                     "ubinize: error!: cannot load the input ini file \"" + config + "\"\n");
    r = run({output_option(), "-p", "128KiB", "-m", "2048", "999"});
    EXPECT_EQ(r.err, "iniparser: cannot open 999\nubinize: error!: cannot load the input ini file \"999\"\n");
}

TEST_F(Ubinize, TooManySections) {
    std::string ini;
    for (int i = 0; i < 3; ++i) ini += "[s" + std::to_string(i) + "]\nmode=raw\n";
    // 1024-byte blocks with 256-byte units: data offset 512, two records fit.
    ToolRun r = run({output_option(), "-p", "1024", "-m", "256", fd_text(file(ini))});
    EXPECT_EQ(r.rc, -1);
    const std::string config = std::to_string(files.back().get());
    EXPECT_EQ(r.err, "ubinize: error!: too many sections (3) in the ini-file \"" + config + "\"\n");
    EXPECT_EQ(r.out, "ubinize: each section corresponds to an UBI volume, maximum count of volumes is 2\n");
}

TEST_F(Ubinize, OptionErrors) {
    const std::string o = output_option();
    const std::string cfg = fd_text(file("[v]\nmode=raw\n"));
    const std::string usage =
        "Usage: ubinize [options] <ini-file>\n\nGenerate UBI images. An UBI image may contain one or more UBI "
        "volumes which\nhave to be defined in the input configuration ini-file. The flash\ncharacteristics are "
        "defined via the command-line options.\n\nUse -h for help\n\n";
    struct Case {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{o, "-p", "128KiB", "-m", "2048"}, "ubinize: error!: input configuration file was not specified (use -h for help)\n"},
        {{o, "-p", "128KiB", "-m", "2048", cfg, cfg},
         "ubinize: error!: more then one configuration file was specified (use -h for help)\n"},
        {{o, "-m", "2048", cfg}, "ubinize: error!: physical eraseblock size was not specified (use -h for help)\n"},
        {{o, "-p", "4MiB", "-m", "2048", cfg}, "ubinize: error!: too high physical eraseblock size 4194304\n"},
        {{o, "-p", "128K", "-m", "2048", cfg},
         "bad size specifier: \"K\" - should be 'KiB', 'MiB' or 'GiB'\n"
         "ubinize: error!: bad physical eraseblock size: \"128K\"\n"},
        {{o, "-p", "128KiB", cfg}, "ubinize: error!: min. I/O unit size was not specified (use -h for help)\n"},
        {{o, "-p", "128KiB", "-m", "0", cfg}, "ubinize: error!: bad min. I/O unit size: \"0\"\n"},
        {{o, "-p", "128KiB", "-m", "3000", cfg}, "ubinize: error!: min. I/O unit size should be power of 2\n"},
        {{o, "-p", "128KiB", "-m", "2048", "-s", "24", cfg}, "ubinize: error!: sub-page size should be power of 2\n"},
        {{o, "-p", "128KiB", "-m", "512", "-s", "2048", cfg},
         "ubinize: error!: sub-page cannot be larger then min. I/O unit\n"},
        {{o, "-p", "100000", "-m", "2048", cfg},
         "ubinize: error!: physical eraseblock should be multiple of min. I/O units\n"},
        {{"-p", "128KiB", "-m", "2048", cfg}, "ubinize: error!: output file was not specified (use -h for help)\n"},
        {{o, "-p", "128KiB", "-m", "2048", "-O", "131008", cfg}, "ubinize: error!: bad VID header position\n"},
        {{o, "-p", "128KiB", "-m", "2048", "-O", "100", cfg},
         "ubinize: error!: VID header offset has to be multiple of min. I/O unit size\n"},
        {{o, "-p", "128KiB", "-m", "2048", "-O", "8", cfg},
         "ubinize: error!: VID header offset 8 overlaps the EC header, it has to be at least 64\n"},
        {{o, "-p", "128KiB", "-m", "2048", "-O", "56", cfg},
         "ubinize: error!: VID header offset 56 overlaps the EC header, it has to be at least 64\n"},
        // The data would start at the block's end.
        {{o, "-p", "4096", "-m", "2048", "-O", "2048", cfg},
         "ubinize: error!: LEB size 0 leaves no room for the volume table (PEB size 4096, data offset 4096)\n"},
        {{o, "-p", "128KiB", "-m", "2048", "-e", "abc", cfg},
         "ubinize: error!: strtoul: unable to parse the number 'abc'\n"
         "ubinize: error!: bad erase counter value: \"abc\"\n"},
        {{o, "-p", "128KiB", "-m", "2048", "-x", "-1", cfg}, "ubinize: error!: bad UBI version: \"-1\"\n"},
        {{o, "-p", "128KiB", "-m", "2048", "-Q", "", cfg},
         "ubinize: error!: strtoul: unable to parse the number ''\n"
         "ubinize: error!: bad UBI image sequence number: \"\"\n"},
        {{"--output=notafd", cfg}, "ubinize: error!: cannot open file \"notafd\"\n         error 9 (Bad file descriptor)\n"},
        {{o, "--bogus", cfg}, usage},
        {{o, "-p"}, usage},
        // The headers leave no room for the volume table.
        {{o, "-p", "4096", "-m", "2048", cfg},
         "ubinize: error!: LEB size 0 leaves no room for the volume table (PEB size 4096, data offset 4096)\n"},
    };
    for (const Case& c : cases) {
        ToolRun r = run(c.args);
        EXPECT_EQ(r.rc, -1) << c.err;
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(read_all(out.get()), "");
    }
}

TEST_F(Ubinize, PebSizeSpellings) {
    for (const char* peb : {"128KiB", "128 KiB", "0x20000", "131072"}) {
        out = temp_fd();
        ToolRun r = build("[v]\nmode=raw\n", {"-p", peb, "-v"});  // the later -p counts
        ASSERT_EQ(r.rc, 0) << peb << r.err;
        EXPECT_NE(r.out.find("ubinize: PEB size:                  131072\n"), std::string::npos) << peb;
        EXPECT_EQ(read_all(out.get()).size(), 2u * kPeb) << peb;
    }
}

TEST_F(Ubinize, HelpAndVersion) {
    ToolRun r = run({"-h"});
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.out.rfind("Usage: ubinize [options] <ini-file>\n\n", 0), 0u);
    EXPECT_NE(r.out.find("-V, --version                print program version\n\n"
                         "For more information see `man 8 ubinize`\n\n"),
              std::string::npos);
    r = run({"--version", "-h"});
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.out, "ubinize (mtd-utils) 2.1.0\n");
}

TEST_F(Ubinize, VerboseProgress) {
    int img = file(pattern(100, 1));
    ToolRun r = build(section("v", img, "vol_id=2\nvol_size=1000\nvol_type=static\n"), {"-v", "-Q", "9"});
    ASSERT_EQ(r.rc, 0) << r.err;
    const std::string config = std::to_string(files.back().get());
    const std::string image = std::to_string(img);
    EXPECT_EQ(r.out,
              "ubinize: LEB size:                  126976\n"
              "ubinize: PEB size:                  131072\n"
              "ubinize: min. I/O size:             2048\n"
              "ubinize: sub-page size:             2048\n"
              "ubinize: VID offset:                2048\n"
              "ubinize: data offset:               4096\n"
              "ubinize: UBI image sequence number: 9\n"
              "ubinize: loaded the ini-file \"" + config + "\"\n"
              "ubinize: count of sections: 1\n"
              "\nubinize: parsing section \"v\"\n"
              "ubinize: mode=ubi, keep parsing\n"
              "ubinize: volume type: static\n"
              "ubinize: volume ID: 2\n"
              "ubinize: volume size: 1000 bytes\n"
              "ubinize: volume name: v\n"
              "ubinize: volume alignment: 1\n"
              "ubinize: adding volume 2\n"
              "ubinize: writing volume 2\n"
              "ubinize: image file: " + image + "\n"
              "\nubinize: writing layout volume\n"
              "ubinize: done\n");
}

TEST_F(Ubinize, EveryRunStartsFromTheDefaults) {
    // A failing run, then one with every option, then one with none.
    EXPECT_EQ(run({"--bogus"}).rc, -1);
    int img = file(pattern(3000, 4));
    ToolRun r = build(section("v", img, "vol_id=0\n"), {"-v", "-Q", "7", "-e", "5", "-x", "3", "-s", "512", "-O", "512"});
    ASSERT_EQ(r.rc, 0) << r.err;
    Json::Value first = read_ubi_image(out.get(), kPeb);
    EXPECT_EQ(first["blocks"][2]["ec"]["vid_hdr_offset"].asInt(), 512);
    EXPECT_EQ(first["blocks"][2]["ec"]["data_offset"].asInt(), 2048);

    out = temp_fd();
    lseek(img, 0, SEEK_SET);
    r = build(section("v", img, "vol_id=0\n"));
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(r.out.find("LEB size"), std::string::npos);  // not verbose
    Json::Value second = read_ubi_image(out.get(), kPeb);
    ASSERT_EQ(second["blocks"].size(), 3u);
    uint32_t seq = second["blocks"][0]["ec"]["image_seq"].asUInt();
    for (const Json::Value& b : second["blocks"]) {
        EXPECT_EQ(b["ec"]["ec"].asInt(), 0);
        EXPECT_EQ(b["ec"]["version"].asInt(), 1);
        EXPECT_EQ(b["ec"]["vid_hdr_offset"].asInt(), 2048);
        EXPECT_EQ(b["ec"]["image_seq"].asUInt(), seq);  // one drawn number for the whole image
    }
    EXPECT_NE(seq, 7u);
}

TEST_F(Ubinize, ImagesAndConfigurationAreReadFromTheirStart) {
    // Descriptors left anywhere, one image filling two volumes: each volume
    // gets the whole image, and the configuration is read whole.
    const std::string data = pattern(5000, 1);
    int img = file(data);
    lseek(img, 1000, SEEK_SET);
    int cfg = file(section("a", img, "vol_id=0\n") + section("b", img, "vol_id=1\n"));
    lseek(cfg, 0, SEEK_END);
    ToolRun r = run({output_option(), "-p", "128KiB", "-m", "2048", fd_text(cfg)});
    ASSERT_EQ(r.rc, 0) << r.err;
    const std::string bytes = read_all(out.get());
    ASSERT_EQ(bytes.size(), 4u * kPeb);
    EXPECT_EQ(bytes.substr(2 * kPeb + 4096, 5000), data);
    EXPECT_EQ(bytes.substr(3 * kPeb + 4096, 5000), data);
    Json::Value image = read_ubi_image(out.get(), kPeb);
    EXPECT_EQ(image["blocks"][3]["vid"]["vol_id"].asInt(), 1);
}

TEST_F(Ubinize, UnreadableImageNamesTheSystemError) {
    char path[] = "/tmp/kelvo_ubi_XXXXXX";
    UniqueFd writer(mkstemp(path));
    ASSERT_TRUE(writer.valid());
    ASSERT_EQ(write(writer.get(), "abc", 3), 3);
    UniqueFd write_only(open(path, O_WRONLY));
    unlink(path);
    ToolRun r = build(section("v", write_only.get(), "vol_id=0\n"));
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.err, "libubigen: error!: rd=-1,cannot read 3 bytes from the input file\n"
                     "           error 9 (Bad file descriptor)\n"
                     "ubinize: error!: cannot write volume for section \"v\"\n");
}

TEST_F(Ubinize, ValuesAreStrippedQuotedOrNot) {
    // ";" comment lines and a last line without a newline are read too.
    int img = file(pattern(100, 1));
    ToolRun r = build("; volumes\n[v]\nmode = ubi\nimage = " + fd_text(img) +
                      "\nvol_id=0\nvol_name = \" a b \"\n[w]\nmode=ubi\nvol_id=1\nvol_size=1KiB\nvol_name=' w '");
    ASSERT_EQ(r.rc, 0) << r.err;
    Json::Value image = read_ubi_image(out.get(), kPeb);
    const Json::Value& records = image["blocks"][0]["records"];
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0]["name"].asString(), "a b");
    EXPECT_EQ(records[1]["name"].asString(), "w");
}

}  // namespace
