// A package made by the release generator from the shipped example opens
// for a download: every checked command carries its entry's size, and the
// partitions are the rows of its partition table.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <ziparchive/zip_archive.h>

#include "engine_host.h"
#include "package_fixture.h"

namespace {

// Reads the rows straight from the table bytes, independent of the engine.
Json::Value rows_of(const std::string& table) {
    auto le32 = [&](size_t at) {
        const auto* p = reinterpret_cast<const uint8_t*>(table.data()) + at;
        return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
    };
    Json::Value rows(Json::arrayValue);
    uint32_t count = le32(4);
    for (uint32_t i = 0; i < count && 8 + 68 * (i + 1) <= table.size(); ++i) {
        size_t at = 8 + 68 * i;
        Json::Value r;
        r["name"] = std::string(table.c_str() + at, strnlen(table.c_str() + at, 32));
        r["type"] = std::string(table.c_str() + at + 32, strnlen(table.c_str() + at + 32, 16));
        r["start"] = Json::UInt(le32(at + 48));
        r["size"] = Json::UInt(le32(at + 52));
        r["vstart"] = Json::UInt(le32(at + 56));
        r["vsize"] = Json::UInt(le32(at + 60));
        r["depth"] = Json::UInt(le32(at + 64));
        rows.append(r);
    }
    return rows;
}

std::string entry_bytes(ZipArchiveHandle zip, const std::string& name, bool* found) {
    ZipEntry entry{};
    *found = FindEntry(zip, name, &entry) == 0;
    if (!*found) return "";
    std::string bytes(entry.uncompressed_length, '\0');
    if (ExtractToMemory(zip, &entry, reinterpret_cast<uint8_t*>(&bytes[0]), entry.uncompressed_length) != 0)
        *found = false;
    return bytes;
}

}  // namespace

TEST(GeneratedPackage, ExampleOpensWithImageSizesAndTableRows) {
    const char* src = getenv("KELVO_SOURCE_DIR");
    if (src == nullptr) src = KELVO_TEST_SOURCE_DIR;
    std::string config = std::string(src) + "/examples/minimal";
    struct stat st {};
    if (stat(config.c_str(), &st) != 0) GTEST_SKIP() << "no " << config;

    EngineHost& host = EngineHost::instance();
    host.start();
    Json::Value list;
    list["path"] = config;
    ASSERT_EQ(host.release_list_products(Json::FastWriter().write(list).c_str()), 0);
    HostEvent products;
    ASSERT_TRUE(host.wait_event(7, 20000, &products));
    ASSERT_TRUE(products.json["products"].isArray()) << products.text;
    ASSERT_FALSE(products.json["products"].empty()) << products.text;
    const Json::Value& product = products.json["products"][0];

    TempDir dir;
    std::string out = dir.file("minimal.zip");
    Json::Value gen;
    gen["path"] = config;
    gen["product"] = product["name"];
    gen["variant"] = product["variants"].empty() ? Json::Value("") : product["variants"][0];
    gen["output"] = out;
    ASSERT_EQ(host.release_generate(Json::FastWriter().write(gen).c_str()), 0);
    HostEvent generated;
    ASSERT_TRUE(host.wait_event(8, 60000, &generated));
    ASSERT_FALSE(generated.json.isMember("error")) << generated.text;
    // The generator is still a stand-in while nothing is written.
    if (stat(out.c_str(), &st) != 0) GTEST_SKIP() << "the generator wrote no package";

    Json::Value init;
    init["path"] = out;
    ASSERT_EQ(host.download_init(Json::FastWriter().write(init).c_str()), 0);
    HostEvent opened;
    ASSERT_TRUE(host.wait_event(1, 20000, &opened));
    std::string logs;
    for (const auto& line : host.logs()) logs += line;
    ASSERT_TRUE(opened.json.isMember("commands")) << opened.text << logs;

    ZipArchiveHandle zip = nullptr;
    ASSERT_EQ(OpenArchive(out.c_str(), &zip), 0);
    bool found = false;
    std::string table = entry_bytes(zip, "partition.bin", &found);
    ASSERT_TRUE(found);
    Json::Value rows = rows_of(table);
    const Json::Value& parts = opened.json["partitions"];
    ASSERT_EQ(parts.size(), rows.size());
    EXPECT_FALSE(rows.empty());
    for (Json::ArrayIndex i = 0; i < rows.size(); ++i) {
        // Parsed numbers may be signed or unsigned: compare by value.
        for (const char* key : {"name", "type"}) EXPECT_EQ(parts[i][key].asString(), rows[i][key].asString()) << i;
        for (const char* key : {"start", "size", "vstart", "vsize", "depth"})
            EXPECT_EQ(parts[i][key].asUInt(), rows[i][key].asUInt()) << i << " " << key;
    }

    size_t checked = 0;
    for (const auto& cmd : opened.json["commands"]) {
        std::string image = cmd["image"].asString();
        if (image.empty() || cmd["command"].asString() == "upload") {
            EXPECT_FALSE(cmd.isMember("imageSize")) << cmd.toStyledString();
            continue;
        }
        std::string bytes = entry_bytes(zip, image, &found);
        ASSERT_TRUE(found) << image;
        EXPECT_EQ(cmd["imageSize"].asUInt64(), bytes.size()) << image;
        ++checked;
    }
    CloseArchive(zip);
    EXPECT_GT(checked, 0u);

    // The start rebuilds from the same package.
    host.clear();
    ASSERT_EQ(host.download_start(R"({"baudRate": 115200, "disabledGroups": ["3"], "reboot": true})"), 0);
    EXPECT_TRUE(host.wait_log("kelvo download engine started successfully.\n"));
    EXPECT_TRUE(host.wait_event(2));
    host.download_stop();
    EXPECT_TRUE(host.wait_event(3));
}
