// A device's download script run against a scripted device: what is sent,
// in which order, and the script's result.
#include <gtest/gtest.h>

#include <cctype>
#include <functional>

#include "flash/device_script.h"
#include "flash/script_runner.h"
#include "link/serial_link.h"
#include "script_fixture.h"

namespace {

FakeDevice* g_device = nullptr;
bool g_connectFails = false;
std::string g_host;

std::unique_ptr<Transport> open_fake(bool, const std::string& host, int port, std::string& error) {
    g_host = host + ":" + std::to_string(port);
    if (g_connectFails) {
        error = "Failed to connect to " + g_host;
        return nullptr;
    }
    download_thread_state().multiplier = 3;  // as the UDP transport does
    return std::make_unique<BorrowedDevice>(*g_device);
}

struct ScriptRun {
    int result = 99;
    uint32_t multiplier = 0;
    uint32_t connectionAfter = 99;
    Captured io;
};

ScriptRun run_script(FakeDevice& d, const char* target = "usb:udp:fe80::1") {
    g_device = &d;
    ScriptRun r;
    r.io = run_on_thread([&] {
        r.result = device_run_script_with(target, 7, 60001, &open_fake);
        r.multiplier = download_thread_state().multiplier;
        r.connectionAfter = download_thread_state().connection;
    });
    g_device = nullptr;
    return r;
}

std::string fuse_bytes() {
    std::string fuse(128, '\0');
    for (size_t i = 0; i < fuse.size(); ++i) fuse[i] = static_cast<char>(i + 1);
    return fuse;
}

std::vector<ZipItem> items_with(const std::string& commands) {
    std::string modem(5 * 4096, '\0');
    for (size_t i = 0; i < modem.size(); ++i) modem[i] = static_cast<char>((i * 13) % 253 + 1);
    return {{"download.json", commands},
            {"partition.bin", make_aptb(sample_rows())},
            {"boot.img", std::string(300, 'B')},
            {"2.1/boot.img", std::string(100, 'b')},
            {"3.0/boot.img", std::string(200, 'c')},
            {"modem.img", modem},
            {"fuse.bin", fuse_bytes()}};
}

// A device that answers everything the sample script asks.
void answer_all(FakeDevice& d) {
    d.vars = {{"version-bootrom", "2.1"},  {"platform", "SILICON"},
              {"product", "kv2"},          {"max-download-size", "0x10000"},
              {"partition-type:modem", "raw"}};
}

const char* kScript = R"([
  {"command": "require", "name": "board", "value": "kv1|kv2"},
  {"command": "progress", "name": "weight", "value": 1800},
  {"command": "boot", "image": "boot.img", "version-bootrom": "3.0"},
  {"command": "boot", "image": "boot.img", "version-bootrom": "2.1"},
  {"command": "partition", "image": "partition.bin"},
  {"command": "call", "image": "boot.img"},
  {"command": "erase", "partition": "modem"},
  {"command": "flash", "partition": "modem", "image": "modem.img"},
  {"command": "fuse", "image": "fuse.bin"},
  {"command": "reboot"}
])";

// The transcript with each sparse download's size and data phase shown as N.
// (No std::regex: this compiler warns inside it under the sanitizers.)
std::string without_sizes(const std::string& transcript) {
    const std::string& t = transcript;
    auto run = [&](size_t at, int (*is)(int)) {
        while (at < t.size() && is(static_cast<unsigned char>(t[at]))) ++at;
        return at;
    };
    std::string out;
    size_t from = 0;
    for (size_t at = t.find("download:"); at != std::string::npos; at = t.find("download:", at + 1)) {
        size_t size = at + 9, data = size + 8;
        if (run(size, isxdigit) < data || t.compare(data, 7, "\n<data ") != 0) continue;
        size_t count = data + 7, end = run(count, isdigit);
        if (end == count || t.compare(end, 8, ">\nflash:") != 0) continue;
        out += t.substr(from, at - from) + "download:N\n<data N>\nflash:";
        from = end + 8;
        at = from - 1;
    }
    return out + t.substr(from);
}

TEST(DeviceScript, SendsEveryCommandInOrder) {
    PackageSession s;
    ASSERT_TRUE(s.open(items_with(kScript)));
    FakeDevice d;
    answer_all(d);
    ScriptRun r = run_script(d);
    ASSERT_EQ(r.result, 0) << r.io.err << r.io.out;
    EXPECT_EQ(g_host, "fe80::1:5554");
    EXPECT_EQ(without_sizes(d.transcript()),
              "getvar:version-bootrom\n"
              "getvar:platform\n"
              "getvar:product\n"
              "progress:00000708\n"
              "getvar:max-download-size\n"
              "download:00000064\n<data 100>\nverify\nboot\n"
              "getvar:max-download-size\n"
              "download:00000888\n<data 2184>\npartition\n"
              "getvar:max-download-size\n"
              "download:0000012c\n<data 300>\nverify\ncall\n"
              "erase:modem\n"
              "getvar:max-download-size\n"
              "getvar:partition-type:modem\n"
              "download:N\n<data N>\nflash:modem\n"
              "getvar:max-download-size\n"
              "download:00000080\n<data 128>\nfuse\n"
              "reboot\n"
              "complete\n");
    // The boot image came from below its boot-ROM version.
    EXPECT_EQ(d.payloads[0], std::string(100, 'b'));
    // The fuse copy has fresh random bytes at 32..63 and the rest unchanged.
    std::string fuse = fuse_bytes();
    const std::string& sentFuse = d.payloads.back();
    ASSERT_EQ(sentFuse.size(), 128u);
    EXPECT_EQ(sentFuse.substr(0, 32), fuse.substr(0, 32));
    EXPECT_EQ(sentFuse.substr(64), fuse.substr(64));
    EXPECT_NE(sentFuse.substr(32, 32), fuse.substr(32, 32));

    const std::string& err = r.io.err;
    for (const char* line :
         {"processing command [get bootrom info]\n", "processing command [require board kv1|kv2]\n",
          "Checking product\n", "processing command [progress weight 1800]\n",
          "processing command [boot 2.1/boot.img]\n", "processing command [partition partition.bin]\n",
          "processing command [call boot.img]\n", "calling\n",
          "processing command [erase modem]\n", "processing command [flash modem modem.img]\n",
          "processing command [fuse fuse.bin]\n", "processing command [reboot]\n",
          "waiting for all operations to complete\n"})
        EXPECT_EQ(count_of(err, line), 1u) << line << "\n" << err;
    EXPECT_EQ(count_of(err, "3.0"), 0u) << "a boot for another boot ROM is skipped silently";
    EXPECT_EQ(count_of(err, "all finished. total time: "), 1u);
    EXPECT_EQ(r.multiplier, 1u);  // "SILICON": link time-out 1 x 1500 ms
    EXPECT_EQ(r.connectionAfter, 0u);
}

TEST(DeviceScript, PlatformAndTargetSetTheThreadState) {
    PackageSession s;
    ASSERT_TRUE(s.open(items_with(R"([{"command": "flash", "partition": "modem", "image": "modem.img"}])")));
    struct Case {
        const char* target;
        const char* platform;
        uint32_t multiplier;
        bool noAck;
    } cases[] = {
        {"usb:udp:fe80::2", "NATIVE", 1, true},
        {"uart:udp:fe80::2", "FPGA", 3, false},
        {"udp:fe80::2", "SILICON ", 3, false},
    };
    for (const auto& c : cases) {
        FakeDevice d;
        answer_all(d);
        d.vars["platform"] = c.platform;
        ScriptRun r = run_script(d, c.target);
        ASSERT_EQ(r.result, 0) << c.target << r.io.err;
        EXPECT_EQ(r.multiplier, c.multiplier) << c.platform;
        ASSERT_FALSE(d.noAckWrites.empty());
        for (bool noAck : d.noAckWrites) EXPECT_EQ(noAck, c.noAck) << c.target;
    }
}

// The link's no-response time-out as the device sees it at each command.
TEST(DeviceScript, SetsTheLinkTimeout) {
    PackageSession s;
    ASSERT_TRUE(s.open(items_with(R"([{"command": "boot", "image": "boot.img"}])")));
    struct Case {
        const char* platform;
        bool bootRefused;
        int32_t after;
    } cases[] = {{"SILICON", false, 1500}, {"NATIVE", true, 1500}, {"FPGA", false, 4500}};
    for (const auto& c : cases) {
        SerialLink* link = ethos_link_add_detached(7, true, 1);
        FakeDevice d;
        answer_all(d);
        d.vars["platform"] = c.platform;
        if (c.bootRefused) d.refused.insert("boot");
        std::map<std::string, int32_t> seen;
        d.onCommand = [&](const std::string& command) { seen[command] = link->noResponseMs.load(); };
        ScriptRun r = run_script(d);
        EXPECT_EQ(r.result, c.bootRefused ? 1 : 0) << r.io.err;
        EXPECT_EQ(seen["getvar:platform"], kDefaultNoResponseMs) << c.platform;
        EXPECT_EQ(seen["verify"], c.after) << c.platform;
        EXPECT_EQ(seen["boot"], 1000) << c.platform;
        EXPECT_EQ(link->noResponseMs.load(), c.after) << c.platform;
        ethos_link_remove_detached(7);
    }
    // A script that cannot read the device's information leaves it alone.
    SerialLink* link = ethos_link_add_detached(7, true, 1);
    FakeDevice d;
    answer_all(d);
    d.vars.erase("platform");
    EXPECT_EQ(run_script(d).result, 1);
    EXPECT_EQ(link->noResponseMs.load(), kDefaultNoResponseMs);
    ethos_link_remove_detached(7);
}

TEST(DeviceScript, FlashErasesStructuredPartitionsFirst) {
    PackageSession s;
    ASSERT_TRUE(s.open(items_with(R"([{"command": "flash", "partition": "modem", "image": "modem.img"}])")));
    struct Case {
        const char* type;  // null: the device does not know the variable
        bool erased;
    } cases[] = {{"ext4", true}, {"ubi", true}, {"raw", false}, {"ext4 ", false}, {nullptr, false}};
    for (const auto& c : cases) {
        FakeDevice d;
        answer_all(d);
        d.vars.erase("partition-type:modem");
        if (c.type) d.vars["partition-type:modem"] = c.type;
        ScriptRun r = run_script(d);
        ASSERT_EQ(r.result, 0) << r.io.err;
        std::string t = d.transcript();
        size_t erase = t.find("erase:modem\n");
        EXPECT_EQ(erase != std::string::npos, c.erased) << (c.type ? c.type : "none");
        if (c.erased) {
            EXPECT_LT(erase, t.find("download:"));
        }
        EXPECT_EQ(count_of(t, "flash:modem\n"), 1u);
    }
}

uint32_t le32(const std::string& b, size_t at) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<uint8_t>(b[at + i]);
    return v;
}

// Writes the blocks that one sparse piece describes into `image`; false when
// the piece is not sound (its header must declare exactly the chunks it holds).
bool expand_piece(const std::string& piece, std::string& image) {
    if (piece.size() < 28 || le32(piece, 0) != 0xED26FF3A) return false;
    uint32_t blockSize = le32(piece, 12), blocks = le32(piece, 16), chunks = le32(piece, 20);
    if (image.size() < size_t(blocks) * blockSize) image.resize(size_t(blocks) * blockSize, '\0');
    size_t at = 28, block = 0;
    uint32_t seen = 0;
    for (; at + 12 <= piece.size(); ++seen) {
        uint32_t type = le32(piece, at) & 0xffff, count = le32(piece, at + 4), total = le32(piece, at + 8);
        if (total < 12 || at + total > piece.size()) return false;
        if (type == 0xCAC1) image.replace(block * blockSize, size_t(count) * blockSize, piece, at + 12, total - 12);
        if (type == 0xCAC2)
            for (size_t i = 0; i < size_t(count) * blockSize; i += 4) image.replace(block * blockSize + i, 4, piece, at + 12, 4);
        if (type != 0xCAC4) block += count;
        at += total;
    }
    return at == piece.size() && seen == chunks && block == blocks;
}

TEST(DeviceScript, FlashSendsEveryPiece) {
    // Not a whole number of blocks: the last block is completed with zeros.
    std::string modem(20000, '\0');
    for (size_t i = 0; i < modem.size(); ++i) modem[i] = static_cast<char>((i * 13) % 253 + 1);
    PackageSession s;
    ASSERT_TRUE(s.open(with_item(items_with(R"([{"command": "flash", "partition": "modem", "image": "modem.img"}])"),
                                 "modem.img", modem)));
    FakeDevice d;
    answer_all(d);
    d.vars["max-download-size"] = "8192";
    ScriptRun r = run_script(d);
    ASSERT_EQ(r.result, 0) << r.io.err;
    std::string t = d.transcript();
    size_t pieces = count_of(t, "flash:modem\n");
    ASSERT_GT(pieces, 1u);
    EXPECT_EQ(count_of(t, "download:"), pieces);
    for (size_t i = 1; i <= pieces; ++i) {
        std::string n = std::to_string(i) + "/" + std::to_string(pieces);
        EXPECT_EQ(count_of(r.io.err, "Sending sparse 'modem' " + n + " ("), 1u) << n;
        EXPECT_EQ(count_of(r.io.err, "Writing 'modem' " + n + "...\n"), 1u) << n;
    }
    ASSERT_EQ(d.payloads.size(), pieces);
    std::string image;
    for (const std::string& piece : d.payloads) {
        EXPECT_LE(piece.size(), 8192u);
        EXPECT_TRUE(expand_piece(piece, image));
    }
    modem.resize(20480, '\0');
    EXPECT_TRUE(image == modem);
}

// The table a "partition" command sends comes from the package: one the
// init would refuse fails the device before a byte of it goes out, while a
// valid one goes out whole, bytes past its rows included.
TEST(DeviceScript, PartitionTableIsSentOnlyWhenItParses) {
    std::string wrongMagic = make_aptb(sample_rows());
    wrongMagic[0] = 'X';
    const struct Case {
        const char* name;
        std::string table;
        bool sent;
    } cases[] = {
        {"count 33", make_aptb(sample_rows(), 33), false},
        {"rows cut short", make_aptb(sample_rows(), -1, 8 + 68 * 3 + 67), false},
        {"wrong magic", wrongMagic, false},
        {"header cut short", std::string("BTPA\0\0", 6), false},
        {"empty", std::string(), false},
        {"no rows", make_aptb({}, 0, 8), true},
        {"trailing bytes", make_aptb(sample_rows(), -1, 3000), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PackageSession s;
        ASSERT_TRUE(s.open(with_item(items_with(R"([{"command": "partition", "image": "table.bin"},
                                                    {"command": "erase", "partition": "x"}])"),
                                     "table.bin", c.table)));
        FakeDevice d;
        answer_all(d);
        ScriptRun r = run_script(d);
        std::string t = d.transcript();
        if (c.sent) {
            EXPECT_EQ(r.result, 0) << r.io.err << r.io.out;
            ASSERT_EQ(d.payloads.size(), 1u) << t;
            EXPECT_TRUE(d.payloads[0] == c.table);
            EXPECT_EQ(count_of(t, "partition\n"), 1u) << t;
            continue;
        }
        EXPECT_EQ(r.result, -1) << r.io.err << r.io.out;
        EXPECT_EQ(count_of(r.io.err, "partition table 'table.bin' refused: it is not a valid table\n"), 1u)
            << r.io.err;
        EXPECT_EQ(count_of(r.io.out, "cannot load 'table.bin': Invalid argument\n"), 1u) << r.io.out;
        EXPECT_EQ(count_of(t, "download:"), 0u) << t;
        EXPECT_EQ(count_of(t, "partition\n") + count_of(t, "erase:x\n"), 0u) << t;
        EXPECT_EQ(image_cache_size(), 0u) << "a refused table is not cached";
    }
}

struct FailureCase {
    const char* name;
    const char* commands;
    std::function<void(FakeDevice&)> tweak;
    int result;
    bool summary;       // "all finished" written
    const char* line;   // expected in standard error or output
};

TEST(DeviceScript, ResultsOfFailures) {
    const char* boot = R"([{"command": "boot", "image": "boot.img"}, {"command": "erase", "partition": "x"}])";
    FailureCase cases[] = {
        {"boot data refused", boot, [](FakeDevice& d) { d.failDataPhase = true; }, -1, true,
         "FAILED (remote: bad data)"},
        {"verify refused", boot, [](FakeDevice& d) { d.refused.insert("verify"); }, -1, true,
         "FAILED (remote: refused)"},
        {"boot refused", boot, [](FakeDevice& d) { d.refused.insert("boot"); }, 1, true,
         "FAILED (remote: refused)"},
        {"image cannot load", boot, [](FakeDevice& d) { d.vars.erase("max-download-size"); }, -1, true,
         "cannot load 'boot.img': "},
        {"erase refused", boot, [](FakeDevice& d) { d.refused.insert("erase:x"); }, 1, true,
         "FAILED (remote: refused)"},
        {"requirement not met", R"([{"command": "require", "name": "board", "value": "kv1"}])",
         [](FakeDevice&) {}, 1, true, "Update requires 'kv1'.\n"},
        {"requirement rejected", R"([{"command": "reject", "name": "product", "value": "kv2"}])",
         [](FakeDevice&) {}, 1, true, "Update rejects 'kv2'.\n"},
        {"unknown command", R"([{"command": "frobnicate"}, {"command": "erase", "partition": "x"}])",
         [](FakeDevice&) {}, 1, true, "processing command [frobnicate] failed (unkown command)\n"},
        {"upload of a sub-partition",
         R"([{"command": "upload", "partition": "modem", "image": "modem.bin"}])",
         [](FakeDevice& d) {
             d.vars["partition-type:modem"] = "ubi";
             d.vars["partition-start:modem"] = "0";
             d.vars["partition-size:modem"] = "1000";
         },
         -1, true, "not support upload sub-partition\n"},
        {"upload refused",
         R"([{"command": "upload", "partition": "nand", "image": "nand.bin"}])",
         [](FakeDevice& d) {
             d.vars["partition-type:nand"] = "flash";
             d.vars["partition-start:nand"] = "0";
             d.vars["partition-size:nand"] = "1000";
             d.refused.insert("upload");
         },
         -1, true, "FAILED (command start failed (remote: refused))"},
        {"reboot refused", R"([{"command": "reboot"}, {"command": "erase", "partition": "x"}])",
         [](FakeDevice& d) { d.refused.insert("reboot"); }, 0, true, "processing command [erase x]\n"},
        {"complete refused", R"([{"command": "erase", "partition": "x"}])",
         [](FakeDevice& d) { d.refused.insert("complete"); }, 0, true, "FAILED (remote: refused)"},
        // A device told to reboot is expected not to confirm; no FAILED line.
        {"complete refused after a reboot", R"([{"command": "erase", "partition": "x"}, {"command": "reboot"}])",
         [](FakeDevice& d) { d.refused.insert("complete"); }, 0, true,
         "waiting for all operations to complete\nnot confirmed after the reboot (remote: refused)\nall finished"},
        {"requirement value of no text", R"([{"command": "require", "name": "board", "value": ["kv2"]},
                                             {"command": "erase", "partition": "x"}])",
         [](FakeDevice&) {}, 1, true, "error: "},
        {"requirement too long", nullptr, [](FakeDevice&) {}, 1, true, "error: requirement of 1034 characters"},
        {"no boot-ROM version", boot, [](FakeDevice& d) { d.vars.erase("version-bootrom"); }, 1, false,
         "getvar:version-bootrom FAILED (remote: unknown variable)"},
        {"no platform", boot, [](FakeDevice& d) { d.vars.erase("platform"); }, 1, false,
         "getvar:platform FAILED"},
    };
    for (const auto& c : cases) {
        PackageSession s;
        std::string longRequirement =
            R"([{"command": "require", "name": "board", "value": ")" + std::string(1020, 'v') + R"("}])";
        ASSERT_TRUE(s.open(items_with(c.commands ? c.commands : longRequirement))) << c.name;
        FakeDevice d;
        answer_all(d);
        c.tweak(d);
        ScriptRun r = run_script(d);
        EXPECT_EQ(r.result, c.result) << c.name << "\n" << r.io.err;
        EXPECT_EQ(count_of(r.io.err, "all finished. total time: "), c.summary ? 1u : 0u) << c.name;
        EXPECT_NE((r.io.err + r.io.out).find(c.line), std::string::npos) << c.name << "\n" << r.io.err;
        if (std::string(c.name) == "complete refused after a reboot") {
            EXPECT_EQ(count_of(r.io.err, "FAILED"), 0u) << r.io.err;
        }
        // A command that ends the script stops it: the later erase never goes out,
        // and "complete" is sent only when the list ran to its end.
        if (c.result != 0) {
            EXPECT_EQ(count_of(d.transcript(), "erase:x\n"), std::string(c.name) == "erase refused" ? 1u : 0u)
                << c.name;
            EXPECT_EQ(count_of(d.transcript(), "complete\n"), 0u) << c.name;
        }
    }
}

TEST(DeviceScript, TargetsThatDoNotStart) {
    PackageSession s;
    ASSERT_TRUE(s.open(items_with(R"([{"command": "erase", "partition": "x"}])")));
    struct Case {
        const char* target;
        bool connectFails;
        const char* line;
    } cases[] = {
        {"usb:udp:[fe80::1", false, "error: Invalid network address '[fe80::1': "},
        {"usb:udp:fe80::1", true, "error: Failed to connect to fe80::1:5554\n"},
        {nullptr, false, "error: "},
    };
    for (const auto& c : cases) {
        FakeDevice d;
        answer_all(d);
        g_connectFails = c.connectFails;
        ScriptRun r = run_script(d, c.target);
        g_connectFails = false;
        EXPECT_EQ(r.result, 1) << (c.target ? c.target : "null");
        EXPECT_TRUE(d.sent.empty());
        EXPECT_NE(r.io.err.find(c.line), std::string::npos) << r.io.err;
        EXPECT_EQ(count_of(r.io.err, "all finished"), 0u);
    }
}

TEST(DeviceScript, UploadWritesTheDump) {
    PackageSession s;
    ASSERT_TRUE(s.open(items_with(R"([{"command": "upload", "partition": "nand", "image": "nand.bin"}])")));
    FakeDevice d;
    answer_all(d);
    d.vars["partition-type:nand"] = "flash";
    d.vars["partition-start:nand"] = "0";
    d.vars["partition-size:nand"] = "3000";
    d.flashes["nand"] = std::string(0x3000, 'n');
    ScriptRun r = run_script(d);
    ASSERT_EQ(r.result, 0) << r.io.err;
    EXPECT_EQ(read_file("upload/nand.bin"), d.flashes["nand"]);
    // The notice comes out with the upload's first run, before its first stage.
    size_t notice = r.io.err.find("processing command [upload nand upload/nand.bin]\n");
    ASSERT_NE(notice, std::string::npos);
    EXPECT_LT(notice, r.io.err.find("prepare \"nand\" flash for uploading"));
}

// Names that would put a file outside upload/ end the script before the
// device is asked anything about the upload. The package check refuses them
// at init already; the runner does not rely on it.
TEST(DeviceScript, UploadNamesThatLeaveTheDirectoryEndTheScript) {
    struct Case {
        const char* partition;
        const char* image;
        const char* bad;
    } cases[] = {
        {"internal", "../escaped.bin", "../escaped.bin"}, {"all", "/tmp/escaped.bin", "/tmp/escaped.bin"},
        {"all", "", ""},                                  {"all", "..", ".."},
        {"all", "sub\\x.bin", "sub\\x.bin"},                {"../stg", "stg.bin", "../stg"},
    };
    for (const auto& c : cases) {
        PackageSession s;
        ASSERT_TRUE(s.open(items_with(R"([{"command": "upload", "partition": "nand", "image": "nand.bin"}])")));
        package_commands_mutable()[0]["partition"] = c.partition;
        package_commands_mutable()[0]["image"] = c.image;
        FakeDevice d;
        answer_all(d);
        for (const char* name : {"internal", "all", "../stg"}) {
            d.vars[std::string("partition-type:") + name] = name == std::string("all") ? "group" : "flash";
            d.vars[std::string("partition-start:") + name] = "0";
            d.vars[std::string("partition-size:") + name] = "1000";
            d.flashes[name] = std::string(0x1000, 'i');
        }
        ScriptRun r = run_script(d);
        EXPECT_EQ(r.result, 1) << c.image;
        EXPECT_NE(r.io.err.find(std::string("'") + c.bad + "' cannot name a file in upload/\n"), std::string::npos)
            << c.image << "\n" << r.io.err;
        EXPECT_EQ(d.transcript().find("partition-type:"), std::string::npos) << c.image;
        EXPECT_NE(access("escaped.bin", F_OK), 0);
        EXPECT_NE(access("stg.flash.0", F_OK), 0);
    }
}

}  // namespace
