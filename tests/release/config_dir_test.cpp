#include "release/config_dir.h"

#include <unistd.h>

#include <climits>

#include <gtest/gtest.h>

#include "config_fixture.h"
#include "platform/full_path.h"

namespace {

TEST(ReleaseParseSize, Table) {
    const uint64_t all = ~uint64_t(0);
    struct Case {
        const char* text;
        uint64_t value;
    } cases[] = {
        {"4096", 4096},
        {"0x1000", 4096},
        {"64KiB", 65536},
        {"2mib", 2097152},
        {"1GIB", uint64_t(1) << 30},
        {"4GiB", uint64_t(4) << 30},
        {"-1", all},
        {"-1KiB", all},
        {"-1GiB", all},
        {"0x10KiB", 16384},
        {"010", 10},
        {"+5", 5},
        {"-2", all - 1},
        {" 7", 7},
        {"18446744073709551615", all},
        {"18446744073709551616", 0},
        {"", 0},
        {"12 KiB", 0},
        {"1.5MiB", 0},
        {"KiB", 0},
        {"0x", 0},
        {"12abc", 0},
        {"0xffffffffffffffffKiB", all << 10},
        {"123456789012345678901234", 0},  // number part longer than 23 characters
    };
    for (const auto& c : cases) EXPECT_EQ(release_parse_size(std::string(c.text)), c.value) << c.text;
}

TEST(ReleaseParseSize, JsonValues) {
    EXPECT_EQ(release_parse_size(Json::Value(4096)), 4096u);
    EXPECT_EQ(release_parse_size(Json::Value(-1)), ~uint64_t(0));
    EXPECT_EQ(release_parse_size(Json::Value("128KiB")), 131072u);
    EXPECT_EQ(release_parse_size(Json::Value()), 0u);
    EXPECT_EQ(release_parse_size(Json::Value(Json::UInt64(1) << 40)), uint64_t(1) << 40);
}

TEST(ReleaseFullPath, LexicalAbsoluteForm) {
    char cwd[PATH_MAX];
    ASSERT_TRUE(getcwd(cwd, sizeof cwd));
    std::string out;
    ASSERT_TRUE(full_path_lexical("/a/./b//c/../d/", out));
    EXPECT_EQ(out, "/a/b/d");
    ASSERT_TRUE(full_path_lexical("/../..", out));
    EXPECT_EQ(out, "/");
    ASSERT_TRUE(full_path_lexical("no/such/file", out));
    EXPECT_EQ(out, std::string(cwd) + "/no/such/file");
    EXPECT_FALSE(full_path_lexical("", out));
    EXPECT_FALSE(full_path_lexical("/" + std::string(300, 'x'), out));

    // The caller buffer keeps the absolute form even when nothing exists there.
    char buffer[260];
    EXPECT_EQ(resolve_full_path("/nonexistent-kelvo/x/../y", buffer), nullptr);
    EXPECT_STREQ(buffer, "/nonexistent-kelvo/y");
    EXPECT_EQ(resolve_full_path("/tmp/.", buffer), buffer);
    EXPECT_STREQ(buffer, "/tmp");
    char* allocated = resolve_full_path("/tmp", nullptr);
    ASSERT_NE(allocated, nullptr);
    EXPECT_STREQ(allocated, "/tmp");
    free(allocated);
}

TEST(ReleaseConfigNames, OnlyBelowTheRoot) {
    EXPECT_TRUE(release_config_name_safe("boot.img"));
    EXPECT_TRUE(release_config_name_safe("A1/boot.img"));
    EXPECT_TRUE(release_config_name_safe("..boot"));
    EXPECT_FALSE(release_config_name_safe("/etc/passwd"));
    EXPECT_FALSE(release_config_name_safe("../secret"));
    EXPECT_FALSE(release_config_name_safe("a/../../b"));
    EXPECT_FALSE(release_config_name_safe("a/.."));
}

TEST(ReleaseLoadConfig, FillsTablesByPathAndSkipsOtherFiles) {
    TempTree t;
    t.write("config/flash/f.json", R"({"name":"f1"})");
    t.write("config/product/flash/p.json", R"({"name":"in-flash"})");  // "/flash/" wins
    t.write("config/product/p.json", "// a comment\n{\"name\":\"p1\"}");
    t.write("config/product/x.JSON", "{");
    t.write("config/product/json", "{");
    t.write("config/product/y.json", "");
    t.write("config/partition/l.json", R"({"name":"l1"})");
    t.write("config/template/t.json", R"({"name":"t1"})");
    t.write("config/security/s.json", R"({"keyAlg":"k"})");
    t.write("a.json", R"([1,2])");
    std::string out = captured_stdout([&] { EXPECT_EQ(release_load_config_dir(t.root()), 0); });
    EXPECT_EQ(out, "");
    const ConfigTables& tables = release_config_tables();
    EXPECT_EQ(release_config_root(), t.root());
    ASSERT_EQ(tables.flash.size(), 2u);
    ASSERT_EQ(tables.product.size(), 1u);
    EXPECT_EQ(tables.product[0]["name"].asString(), "p1");
    EXPECT_EQ(tables.partition.size(), 1u);
    EXPECT_EQ(tables.templ.size(), 1u);
    EXPECT_EQ(tables.security.size(), 1u);
    release_free_config();
    EXPECT_TRUE(release_config_tables().flash.isNull());
}

TEST(ReleaseLoadConfig, KindWithoutFilesStaysNull) {
    TempTree t;
    t.write("config/flash/f.json", R"({"name":"f1"})");
    ASSERT_EQ(release_load_config_dir(t.root()), 0);
    EXPECT_TRUE(release_config_tables().product.isNull());
}

TEST(ReleaseLoadConfig, ParseErrorStopsTheLoadAndNextLoadStartsEmpty) {
    TempTree t;
    t.write("config/flash/f.json", R"({"name":"f1"})");
    t.write("config/product/z.json", "{");
    std::string out = captured_stdout([&] { EXPECT_EQ(release_load_config_dir(t.root()), -1); });
    EXPECT_EQ(out, "reading config file \"" + t.root() + "/config/product/z.json\" failed.\n" +
                       "reading config files from directory \"" + t.root() + "\" failed\n");

    TempTree good;
    good.write("config/product/p.json", R"({"name":"p"})");
    ASSERT_EQ(release_load_config_dir(good.root()), 0);
    EXPECT_TRUE(release_config_tables().flash.isNull());
    EXPECT_EQ(release_config_tables().product.size(), 1u);
}

TEST(ReleaseLoadConfig, MissingDirectoryFailsWithTheGivenPath) {
    std::string out = captured_stdout([] { EXPECT_EQ(release_load_config_dir("no/such/dir/.."), -1); });
    EXPECT_EQ(out, "reading config files from directory \"no/such/dir/..\" failed\n");
    out = captured_stdout([] { EXPECT_EQ(release_load_config_dir(""), -1); });
    EXPECT_EQ(out, "reading config files from directory \"\" failed\n");
}

}  // namespace
