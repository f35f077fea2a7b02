// Package opening and the partition table read back, against real archives.
#include <gtest/gtest.h>

#include "json_expect.h"

#include <ziparchive/zip_archive.h>

#include "base/json_text.h"
#include "flash/package.h"
#include "flash/partition_json.h"
#include "package_fixture.h"

namespace {

struct Opened {
    bool ok;
    Json::Value result;
    std::string out;  // standard output during the open
    std::string err;  // standard error during the open
};

Opened open_items(const TempDir& dir, const std::vector<ZipItem>& items) {
    std::string path = dir.file("pkg.zip");
    EXPECT_TRUE(write_zip(path, items));
    Opened o;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    o.ok = package_open(path, 0, 0, o.result);
    fflush(stdout);
    o.err = testing::internal::GetCapturedStderr();
    o.out = testing::internal::GetCapturedStdout();
    return o;
}

using test_json::parse;

}  // namespace

TEST(PackageOpen, AnnotatesCommandsAndReportsPartitionRows) {
    TempDir dir;
    Opened o = open_items(dir, sample_items());
    ASSERT_TRUE(o.ok) << o.out << o.err;
    const Json::Value& cmds = o.result["commands"];
    ASSERT_EQ(cmds.size(), 9u);
    // Looked-up members show up as null.
    EXPECT_TRUE(cmds[0].isMember("image"));
    EXPECT_TRUE(cmds[0]["image"].isNull());
    EXPECT_FALSE(cmds[0].isMember("imageSize"));
    // The boot image lives below its boot-ROM version; "image" is unchanged.
    EXPECT_EQ(cmds[2]["image"].asString(), "boot.img");
    EXPECT_EQ(cmds[2]["imageSize"].asUInt(), 100u);
    EXPECT_EQ(cmds[3]["imageSize"].asUInt(), 2184u);
    EXPECT_TRUE(cmds[3].isMember("version-bootrom"));
    EXPECT_TRUE(cmds[3]["version-bootrom"].isNull());
    EXPECT_EQ(cmds[5]["imageSize"].asUInt(), 1023u);
    EXPECT_EQ(cmds[6]["imageSize"].asUInt(), 1024u);
    EXPECT_FALSE(cmds[7].isMember("imageSize"));  // upload: not checked

    const Json::Value& parts = o.result["partitions"];
    auto rows = sample_rows();
    ASSERT_EQ(parts.size(), rows.size());
    for (Json::ArrayIndex i = 0; i < parts.size(); ++i) {
        EXPECT_EQ(parts[i]["name"].asString(), rows[i].name);
        EXPECT_EQ(parts[i]["type"].asString(), rows[i].type);
        EXPECT_EQ(parts[i]["start"].asUInt(), rows[i].start);
        EXPECT_EQ(parts[i]["size"].asUInt(), rows[i].size);
        EXPECT_EQ(parts[i]["vstart"].asUInt(), rows[i].vstart);
        EXPECT_EQ(parts[i]["vsize"].asUInt(), rows[i].vsize);
        EXPECT_EQ(parts[i]["depth"].asUInt(), rows[i].depth);
    }
    EXPECT_NE(o.err.find("extracting download.json ("), std::string::npos);
    EXPECT_NE(o.err.find("extracting partition.bin (2 KB)...\n"), std::string::npos);
    // The open leaves the archive closed; the command list stays.
    EXPECT_EQ(package_archive(), nullptr);
    EXPECT_EQ(package_commands().size(), 9u);
}

TEST(PackageOpen, RefusesBrokenPackagesWithTheirLine) {
    std::string plain = "release package '%P' has no partition.bin\n";
    struct Case {
        const char* what;
        std::vector<ZipItem> items;
        std::string line;  // %P stands for the package path
    } cases[] = {
        {"no download.json", with_item(sample_items(), "download.json", "", true),
         "release package '%P' has no download.json\n"},
        {"no partition.bin", items_without_table(), plain},
        {"versioned image missing", with_item(sample_items(), "2.1/boot.img", "", true),
         "archive does not contain '2.1/boot.img'\n"},
        {"flash image missing", with_item(sample_items(), "ap.img", "", true),
         "archive does not contain 'ap.img'\n"},
        {"download.json not JSON", with_item(sample_items(), "download.json", "[{"),
         "Failed to parse download.json configuration: "},
        {"table count 33", with_item(sample_items(), "partition.bin", make_aptb(sample_rows(), 33)),
         "Failed to parse partition.bin\n"},
        {"table cut short", with_item(sample_items(), "partition.bin", make_aptb(sample_rows(), 4, 8 + 68 * 3)),
         "Failed to parse partition.bin\n"},
        {"bad magic", with_item(sample_items(), "partition.bin", std::string(2184, 'z')),
         "Failed to parse partition.bin\n"},
        {"list is an object", with_item(sample_items(), "download.json", R"({"command": "boot"})"),
         "download.json is not a list of commands\n"},
        {"command not an object", with_item(sample_items(), "download.json", "[1]"),
         "download.json: command 0 is not an object\n"},
        {"image is an array", with_item(sample_items(), "download.json", R"([{"command": "boot", "image": []}])"),
         "download.json: command 0 has an invalid \"image\"\n"},
        {"progress value text",
         with_item(sample_items(), "download.json", R"([{"command": "progress", "value": "abc"}])"),
         "download.json: command 0 has an invalid progress \"value\"\n"},
        {"progress value negative",
         with_item(sample_items(), "download.json", R"([{"command": "progress", "value": -5}])"),
         "download.json: command 0 has an invalid progress \"value\"\n"},
        {"progress value past 64 bits",
         with_item(sample_items(), "download.json", R"([{"command": "progress", "value": 1e30}])"),
         "download.json: command 0 has an invalid progress \"value\"\n"},
        {"weight text", with_item(sample_items(), "download.json", R"([{"command": "erase", "weight": "x"}])"),
         "download.json: command 0 has an invalid \"weight\"\n"},
        {"upload dump beside upload/",
         with_item(sample_items(), "download.json",
                   R"([{"command": "upload", "partition": "internal", "image": "../escaped.bin"}])"),
         "download.json: upload command 0 has \"image\" '../escaped.bin', which cannot name a file in upload/\n"},
        {"upload dump absolute",
         with_item(sample_items(), "download.json", R"([{"command": "upload", "partition": "all", "image": "/tmp/x"}])"),
         "download.json: upload command 0 has \"image\" '/tmp/x'"},
        {"upload dump unnamed", with_item(sample_items(), "download.json", R"([{"command": "upload", "partition": "all"}])"),
         "download.json: upload command 0 has \"image\" ''"},
        {"upload dump with a backslash",
         with_item(sample_items(), "download.json", R"([{"command": "upload", "partition": "all", "image": "a\\b"}])"),
         "download.json: upload command 0 has \"image\" 'a\\b'"},
        {"upload of a flash named ../stg",
         with_item(sample_items(), "download.json", R"([{"command": "upload", "partition": "../stg", "image": "s.bin"}])"),
         "download.json: upload command 0 has \"partition\" '../stg'"},
        {"upload of a flash named ..",
         with_item(sample_items(), "download.json", R"([{"command": "upload", "partition": "..", "image": "s.bin"}])"),
         "download.json: upload command 0 has \"partition\" '..'"},
    };
    for (const auto& c : cases) {
        TempDir dir;
        Opened o = open_items(dir, c.items);
        std::string line = c.line;
        size_t p = line.find("%P");
        if (p != std::string::npos) line.replace(p, 2, dir.file("pkg.zip"));
        EXPECT_FALSE(o.ok) << c.what;
        EXPECT_NE((o.out + o.err).find(line), std::string::npos) << c.what << ": " << o.out << o.err;
        EXPECT_FALSE(o.result.isMember("commands")) << c.what;
        EXPECT_EQ(package_archive(), nullptr) << c.what;
    }
}

TEST(PackageOpen, UnreadableFileAndMemoryThatIsNoZip) {
    Json::Value result;
    testing::internal::CaptureStdout();
    EXPECT_FALSE(package_open("/nonexistent/pkg.zip", 0, 0, result));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "Unable to open '/nonexistent/pkg.zip': No such file or directory\n");

    static const char junk[] = "this is not a zip archive at all, just bytes";
    testing::internal::CaptureStdout();
    EXPECT_FALSE(package_open("", reinterpret_cast<uintptr_t>(junk), sizeof junk, result));
    out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.rfind("failed to open zip file '': address(", 0), 0u) << out;
    EXPECT_NE(out.find(", size(" + std::to_string(sizeof junk) + "), "), std::string::npos) << out;

    // A null address with a size never reads through the pointer.
    testing::internal::CaptureStdout();
    EXPECT_FALSE(package_open("", 0, 4096, result));
    out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.rfind("failed to open zip file '': address((nil)), size(4096), ", 0), 0u) << out;
}

TEST(PackageOpen, FromHostMemory) {
    TempDir dir;
    ASSERT_TRUE(write_zip(dir.file("pkg.zip"), sample_items()));
    std::string bytes = read_file(dir.file("pkg.zip"));
    Json::Value result;
    ASSERT_TRUE(package_open("", reinterpret_cast<uintptr_t>(bytes.data()), static_cast<uint32_t>(bytes.size()),
                             result));
    EXPECT_EQ(result["commands"].size(), 9u);
    EXPECT_EQ(result["partitions"].size(), 4u);
}

TEST(PartitionTable, RowCountsAndFields) {
    std::string text;
    // Header only, no rows.
    std::string empty = make_aptb({}, 0, 8);
    ASSERT_EQ(partition_table_to_json(reinterpret_cast<const uint8_t*>(empty.data()), empty.size(), text), 0);
    EXPECT_EQ(parse(text), Json::Value(Json::arrayValue));
    // 32 rows fit, 33 do not even in a long buffer.
    std::vector<AptbRow> rows(32, AptbRow{"p", "raw", 1, 2, 3, 4, 5});
    std::string full = make_aptb(rows);
    ASSERT_EQ(partition_table_to_json(reinterpret_cast<const uint8_t*>(full.data()), full.size(), text), 0);
    EXPECT_EQ(parse(text).size(), 32u);
    std::string over = make_aptb(rows, 33, 8 + 68 * 33);
    EXPECT_EQ(partition_table_to_json(reinterpret_cast<const uint8_t*>(over.data()), over.size(), text), -1);
    // Short buffer holding exactly the counted rows is fine; one byte less is not.
    std::string two = make_aptb(sample_rows(), 2, 8 + 68 * 2);
    EXPECT_EQ(partition_table_to_json(reinterpret_cast<const uint8_t*>(two.data()), two.size(), text), 0);
    EXPECT_EQ(partition_table_to_json(reinterpret_cast<const uint8_t*>(two.data()), two.size() - 1, text), -1);
    EXPECT_EQ(partition_table_to_json(reinterpret_cast<const uint8_t*>(two.data()), 4, text), -1);
    // A 32-byte name without NUL stops at its field; a 16-byte type too.
    std::string tight = make_aptb({{std::string(32, 'n'), std::string(16, 't'), 7, 8, 9, 10, 11}});
    ASSERT_EQ(partition_table_to_json(reinterpret_cast<const uint8_t*>(tight.data()), tight.size(), text), 0);
    Json::Value v = parse(text);
    EXPECT_EQ(v[0]["name"].asString(), std::string(32, 'n'));
    EXPECT_EQ(v[0]["type"].asString(), std::string(16, 't'));
    EXPECT_EQ(v[0]["start"].asUInt(), 7u);
    EXPECT_EQ(v[0]["depth"].asUInt(), 11u);
    // Names that are not UTF-8 still give JSON the host can read.
    std::string odd = make_aptb({{"\xff\xfe", "raw", 0, 0, 0, 0, 0}});
    ASSERT_EQ(partition_table_to_json(reinterpret_cast<const uint8_t*>(odd.data()), odd.size(), text), 0);
    EXPECT_EQ(parse(text)[0]["name"].asString(), "\xef\xbf\xbd\xef\xbf\xbd");
}

TEST(PackageReadEntry, AnnouncesSizeByUnit) {
    TempDir dir;
    ASSERT_TRUE(write_zip(dir.file("e.zip"), {{"a", std::string(1023, 'a')},
                                              {"b", std::string(1024, 'b')},
                                              {"c", std::string(1048576, 'c')},
                                              {"d", std::string(3 * 1048576 - 1, 'd')},
                                              {"z", ""}}));
    ZipArchiveHandle handle = nullptr;
    ASSERT_EQ(OpenArchive(dir.file("e.zip").c_str(), &handle), 0);
    struct Case {
        const char* name;
        uint64_t size;
        const char* line;
    } cases[] = {{"a", 1023, "extracting a (1023 Bytes)...\n"},
                 {"b", 1024, "extracting b (1 KB)...\n"},
                 {"c", 1048576, "extracting c (1 MB)...\n"},
                 {"d", 3 * 1048576 - 1, "extracting d (2 MB)...\n"},
                 {"z", 0, "extracting z (0 Bytes)...\n"}};
    for (const auto& c : cases) {
        uint64_t size = 99;
        testing::internal::CaptureStderr();
        auto buf = package_read_entry(handle, c.name, size);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.line);
        ASSERT_TRUE(buf) << c.name;
        EXPECT_EQ(size, c.size);
        if (c.size) {
            EXPECT_EQ(buf[c.size - 1], c.name[0]);
        }
    }
    uint64_t size = 0;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(package_read_entry(handle, "missing", size));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "archive does not contain 'missing'\n");
    CloseArchive(handle);
}

TEST(PackageOpen, ArchiveFromAnotherWriter) {
    const char* src = getenv("KELVO_SOURCE_DIR");
    std::string script = std::string(src ? src : KELVO_TEST_SOURCE_DIR) + "/tests/flash/make_zip.py";
    TempDir dir;
    std::string path = dir.file("py.zip");
    std::string cmd = "python3 '" + script + "' '" + path + "'";
    if (system(cmd.c_str()) != 0) GTEST_SKIP() << "python3 cannot write the archive";
    Json::Value result;
    ASSERT_TRUE(package_open(path, 0, 0, result));
    EXPECT_EQ(result["commands"][0]["imageSize"].asUInt(), 3000u);
    EXPECT_EQ(result["commands"][1]["imageSize"].asUInt(), 5000u);
    ASSERT_EQ(result["partitions"].size(), 1u);
    EXPECT_EQ(result["partitions"][0]["name"].asString(), "sys");
    EXPECT_EQ(result["partitions"][0]["depth"].asUInt(), 5u);
    ASSERT_TRUE(commands_apply_groups(Json::Value(Json::arrayValue), false));
    uint64_t size = 0;
    auto bytes = package_read_entry(package_archive(), "ap.img", size);
    ASSERT_TRUE(bytes);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(bytes.get()), size), std::string(5000, 'A'));
    package_release_images();
}
