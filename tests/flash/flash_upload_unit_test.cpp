// Uploads of flash contents in stages and the split into partition files.
#include <gtest/gtest.h>

#include "flash/flash_upload.h"
#include "script_fixture.h"

namespace {

std::string pattern(size_t size, unsigned seed) {
    std::string s(size, '\0');
    for (size_t i = 0; i < size; ++i) s[i] = static_cast<char>((i / 4096 + seed) * 31 + i % 7);
    return s;
}

void geometry(FakeDevice& d, const std::string& name, const std::string& type, const std::string& start,
              const std::string& size) {
    d.vars["partition-type:" + name] = type;
    d.vars["partition-start:" + name] = start;
    d.vars["partition-size:" + name] = size;
}

TEST(PartitionQuery, ReadsHexWithOrWithoutPrefix) {
    EXPECT_EQ(fastboot_normalize_hex("  400000 "), "0x400000");
    EXPECT_EQ(fastboot_normalize_hex("0x10"), "0x10");
    EXPECT_EQ(fastboot_normalize_hex("0X10"), "0x0X10");

    struct Case {
        const char* start;
        const char* size;
        int rc;
        int64_t startValue, sizeValue;
        const char* err;
    } cases[] = {
        {"0", "400000", 0, 0, 0x400000, ""},
        {"0x100", " 0x20 ", 0, 0x100, 0x20, ""},
        {"10", "10", 0, 16, 16, ""},
        {"zz", "10", -1, 0, 0, "Couldn't parse partition(p) start '0xzz'.\n"},
        {"0", "0X10", -1, 0, 0, "Couldn't parse partition(p) size '0x0X10'.\n"},
        {"0", "", -1, 0, 0, "Couldn't parse partition(p) size '0x'.\n"},
    };
    for (const auto& c : cases) {
        FakeDevice d;
        geometry(d, "p", "raw", c.start, c.size);
        std::string type;
        int64_t start = -1, size = -1;
        int rc = 0;
        Captured io = run_on_thread([&] { rc = fastboot_query_partition(d, "p", type, start, size); });
        EXPECT_EQ(rc, c.rc) << c.start << " " << c.size;
        if (c.rc == 0) {
            EXPECT_EQ(type, "raw");
            EXPECT_EQ(start, c.startValue);
            EXPECT_EQ(size, c.sizeValue);
        } else {
            EXPECT_NE(io.err.find(c.err), std::string::npos) << io.err;
        }
    }
    FakeDevice d;
    std::string type;
    int64_t start, size;
    Captured io = run_on_thread([&] { EXPECT_EQ(fastboot_query_partition(d, "p", type, start, size), -1); });
    EXPECT_NE(io.err.find("Can't determine partition type.\n"), std::string::npos);
}

TEST(FlashUpload, DumpsAFlashInStages) {
    PackageSession s;
    FakeDevice d;
    geometry(d, "nand", "flash", "0", "0x1400000");
    d.flashes["nand"] = pattern(0x1400000, 1);
    int rc = -2;
    Captured io = run_on_thread([&] { rc = upload_partition(d, "nand", "upload/nand.bin"); });
    ASSERT_EQ(rc, 0) << io.err;
    std::vector<std::string> stages;
    for (const auto& c : d.sent)
        if (c.compare(0, 8, "ulstage:") == 0) stages.push_back(c);
    EXPECT_EQ(stages, (std::vector<std::string>{"ulstage:00000000:00800000", "ulstage:00800000:00800000",
                                                "ulstage:01000000:00400000"}));
    EXPECT_EQ(count_of(d.transcript(), "useflash:nand\n"), 3u);
    EXPECT_EQ(read_file("upload/nand.bin"), d.flashes["nand"]);
    for (const char* stage : {"upload/nand.flash.0", "upload/nand.flash.8388608", "upload/nand.flash.16777216"}) {
        EXPECT_NE(io.err.find(std::string("Uploading '") + stage + "'"), std::string::npos) << stage;
        EXPECT_NE(access(stage, F_OK), 0) << stage << " was not removed";
    }
    EXPECT_NE(io.err.find("prepare \"nand\" flash for uploading\n"), std::string::npos);
    EXPECT_NE(io.err.find("upload stage for flash \"nand\", start=0x01000000, size=0x00400000\n"),
              std::string::npos);
}

TEST(FlashUpload, DevicesUploadingTheSameFlashKeepTheirOwnBytes) {
    PackageSession s;
    std::vector<FakeDevice> devices(4);
    for (size_t i = 0; i < devices.size(); ++i) {
        geometry(devices[i], "nand", "flash", "0", "0x1800000");
        devices[i].flashes["nand"] = pattern(0x1800000, 10 + unsigned(i));
    }
    std::vector<int> rc(devices.size(), -2);
    run_on_thread([&] {
        std::vector<std::thread> threads;
        for (size_t i = 0; i < devices.size(); ++i)
            threads.emplace_back([&, i] {
                rc[i] = upload_partition(devices[i], "nand", "upload/nand" + std::to_string(i) + ".bin");
            });
        for (auto& t : threads) t.join();
    });
    for (size_t i = 0; i < devices.size(); ++i) {
        EXPECT_EQ(rc[i], 0) << i;
        EXPECT_TRUE(read_file("upload/nand" + std::to_string(i) + ".bin") == devices[i].flashes["nand"]) << i;
    }
}

TEST(FlashUpload, RefusesSubPartitions) {
    PackageSession s;
    FakeDevice d;
    geometry(d, "data", "ubi", "0", "0x1000");
    int rc = 0;
    Captured io = run_on_thread([&] { rc = upload_partition(d, "data", "upload/data.bin"); });
    EXPECT_EQ(rc, -1);
    EXPECT_NE(io.err.find("not support upload sub-partition\n"), std::string::npos);
    EXPECT_NE(access("upload/data.bin", F_OK), 0);
}

// A group of two flashes; the device's table lies at the start of "external".
struct Group {
    FakeDevice d;
    Group() {
        std::vector<AptbRow> rows = {
            {"all", "group", 0, 0x300000, 0, 0x300000, 0},
            {"external", "flash", 0, 0x200000, 0, 0x200000, 1},
            {"ptable", "raw", 0, 0x1000, 0, 0x1000, 2},
            {"modem", "raw", 0x100000, 0x100000, 0, 0x20000, 2},
            {"internal", "flash", 0, 0x100000, 0, 0x100000, 1},
            {"data", "ubi", 0x80000, 0x80000, 0, 0x80000, 2},
        };
        std::string external = pattern(0x200000, 1);
        external.replace(0, 2184, make_aptb(rows));
        d.flashes["external"] = external;
        d.flashes["internal"] = pattern(0x100000, 9);
        geometry(d, "all", "group", "0", "300000");
        geometry(d, "external", "flash", "0", "200000");
        geometry(d, "internal", "flash", "0", "100000");
        geometry(d, "ptable", "raw", "0", "1000");
    }
};

TEST(FlashUpload, SplitsTheGroupIntoPartitionFiles) {
    PackageSession s;
    Group g;
    int rc = -2;
    Captured io = run_on_thread([&] { rc = upload_partition(g.d, "all", "upload/all.bin"); });
    ASSERT_EQ(rc, 0) << io.err;
    const std::string& ext = g.d.flashes["external"];
    const std::string& in = g.d.flashes["internal"];
    EXPECT_EQ(read_file("upload/all.bin"), ext + in);
    EXPECT_EQ(read_file("upload/external.flash"), ext);
    EXPECT_EQ(read_file("upload/ptable.raw"), ext.substr(0, 0x1000));
    EXPECT_EQ(read_file("upload/modem.raw"), ext.substr(0x100000, 0x100000));
    EXPECT_EQ(read_file("upload/modem.img"), ext.substr(0x100000, 0x20000));
    EXPECT_EQ(read_file("upload/internal.flash"), in);
    EXPECT_EQ(read_file("upload/data.ubi"), in.substr(0x80000));  // cut at the second flash's base
    EXPECT_NE(access("upload/ptable.img", F_OK), 0);
    EXPECT_NE(access("upload/all.group", F_OK), 0);
    EXPECT_NE(io.err.find("extracting partition 'modem' to 'upload/modem.raw'\n"), std::string::npos);
    EXPECT_NE(io.err.find("extracting image in 'modem' to 'upload/modem.img'\n"), std::string::npos);
}

TEST(FlashUpload, GroupFailures) {
    struct Case {
        const char* name;
        std::function<void(FakeDevice&)> tweak;
        const char* err;
    } cases[] = {
        {"flash larger than the group", [](FakeDevice& d) { d.vars["partition-size:external"] = "400000"; },
         "error flash size in partition table\n"},
        {"flash of no size", [](FakeDevice& d) { d.vars["partition-size:external"] = "0"; },
         "error flash size in partition table\n"},
        {"no table", [](FakeDevice& d) { d.flashes["external"].replace(0, 4, "xxxx"); }, "Not a ptable file\n"},
        {"table past the dump", [](FakeDevice& d) { d.vars["partition-start:ptable"] = "300000"; },
         "Not a ptable file\n"},
        {"stage refused", [](FakeDevice& d) { d.refused.insert("ulstage:00000000:00200000"); },
         "FAILED (remote: refused)"},
    };
    for (const auto& c : cases) {
        PackageSession s;
        Group g;
        c.tweak(g.d);
        int rc = 0;
        Captured io = run_on_thread([&] { rc = upload_partition(g.d, "all", "upload/all.bin"); });
        EXPECT_EQ(rc, -1) << c.name;
        EXPECT_NE(io.err.find(c.err), std::string::npos) << c.name << "\n" << io.err;
        EXPECT_NE(access("upload/modem.raw", F_OK), 0) << c.name;
    }
}

TEST(FlashUpload, RefusesTableNamesThatLeaveTheDirectory) {
    PackageSession s;
    std::vector<AptbRow> rows = {{"nand", "flash", 0, 0x2000, 0, 0x2000, 1},
                                 {"../../escape", "raw", 0, 0x1000, 0, 0x1000, 2}};
    std::string dump = make_aptb(rows) + std::string(0x2000 - 2184, 'x');
    int rc = 0;
    Captured io = run_on_thread([&] { rc = upload_split_partitions(dump, 0); });
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(read_file("upload/nand.flash"), dump);
    EXPECT_NE(access("../escape.raw", F_OK), 0);
}

// A flash of the device's table named so that its stage file would leave
// upload/: refused before the device is asked anything.
TEST(FlashUpload, RefusesFlashNamesThatLeaveTheDirectory) {
    PackageSession s;  // a directory of its own with upload/ in it
    for (const char* name : {"../stg", "", "..", "/tmp/stg", "a\\b"}) {
        FakeDevice d;
        d.vars[std::string("partition-type:") + name] = "flash";
        d.vars[std::string("partition-start:") + name] = "0";
        d.vars[std::string("partition-size:") + name] = "1000";
        d.flashes[name] = std::string(0x1000, 's');
        int rc = 0;
        Captured io = run_on_thread([&] { rc = upload_partition(d, name, "upload/stg.bin"); });
        EXPECT_EQ(rc, -1) << name;
        EXPECT_TRUE(d.sent.empty()) << name << ": " << d.sent.front();
        EXPECT_NE(io.err.find("cannot name a file in upload/"), std::string::npos) << name << io.err;
        std::string stage;
        io = run_on_thread([&] { rc = fastboot_upload_stage(d, name, 0, 0x1000, stage); });
        EXPECT_EQ(rc, -1) << name;
        EXPECT_TRUE(d.sent.empty()) << name;
    }
    EXPECT_NE(access("stg.flash.0", F_OK), 0);
    EXPECT_NE(access("upload/stg.bin", F_OK), 0);
}

}  // namespace
