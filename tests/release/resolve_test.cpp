#include "release/product_resolve.h"

#include <gtest/gtest.h>

#include "config_fixture.h"
#include "dev_keys.h"
#include "release/config_dir.h"
#include "release/image_factory.h"
#include "tools/common/tool_invocation.h"

#include <fcntl.h>
#include <sys/stat.h>

namespace {

class ReleaseResolve : public testing::Test {
protected:
    TempTree tree;
    void SetUp() override {
        tree.write("config/flash/nand.json", R"({"name": "nand-a", "pebSize": "128KiB"})");
        tree.write("config/flash/nor.json", R"({"name": "nor-a"})");
        tree.write("config/partition/l1.json", R"({"name": "l1", "partitions": [
            {"name": "nand0", "format": "flash", "partitions": [{"name": "boot"}]}]})");
        tree.write("config/partition/l2.json", R"({"name": "l2", "partitions": [
            {"name": "nand0", "format": "flash", "partitions": [{"name": "rootfs"}]},
            {"name": "p", "format": "part", "partitions": [{"name": "inner"}]}]})");
        tree.write("config/template/t.json", R"({"name": "t", "values": {"version": "0", "other": 1},
            "security": {"keyAlg": "old", "extra": true},
            "images": [{"name": "boot", "io": "in", "image": "boot.img", "fd": 7, "size": 9}],
            "commands": [{"command": "fuse"}, {"command": "flash", "group": "1"}]})");
        tree.write("config/template/tk.json", R"({"name": "tk", "security": {"keys": [{"option": "o"}],
            "rootPkHash": "given"}, "partitions": {"name": "tpl"}})");
        tree.write("config/security/k.json", R"({"keyAlg": "rsa", "rootPkHash": "hash.bin",
            "keys": [{"option": "--rot-key", "param": "rot.pem"}, {"option": "--nt", "param": "nt.pem"}]})");
        tree.write("config/product/p.json", R"({"name": "p", "template": "t", "version": 3,
            "version-bootrom": "A1", "keyAlg": "rsa", "hashAlg": "sha256", "secureBoot": false,
            "flashes": [{"name": "nand0", "flash": "nand-a"}], "layout": "l1", "fota": ["boot", 5],
            "variants": [
              {"name": "v", "version": 4, "version-bootrom": "B2", "secureBoot": 1, "fota": [],
               "flashes": [{"name": "nor0", "flash": "nor-a"}]},
              {"name": "lay", "layout": "l2", "partitions": [
                 {"name": "nand0", "size": "1MiB"}, {"name": "inner", "size": 5},
                 {"name": "rootfs", "size": 1}]},
              {"name": "badlayout", "layout": "zz"},
              {"name": "badflash", "flashes": [{"name": "x", "flash": "zz"}]},
              {"name": "noflash", "flashes": []}]})");
        tree.write("config/product/nokeys.json", R"({"name": "nokeys", "template": "t", "keyAlg": "ecc",
            "flashes": [{"name": "n", "flash": "nand-a"}], "layout": "l1"})");
        tree.write("config/product/tplkeys.json", R"({"name": "tplkeys", "template": "tk", "keyAlg": "ecc",
            "flashes": [{"name": "n", "flash": "nand-a"}], "layout": "unknown"})");
        tree.write("config/product/noflashes.json", R"({"name": "noflashes", "template": "t", "keyAlg": "rsa",
            "flashes": [], "layout": "l1"})");
        tree.write("config/product/nolayout.json", R"({"name": "nolayout", "template": "t", "keyAlg": "rsa",
            "flashes": [{"name": "n", "flash": "nand-a"}], "layout": "unknown"})");
        tree.write("config/product/notpl.json", R"({"name": "notpl", "template": "missing"})");
        tree.write("config/product/badflash.json", R"({"name": "badflash", "template": "t",
            "flashes": [{"name": "n", "flash": "zz"}]})");
        tree.write("config/product/traversal.json", R"({"name": "traversal", "template": "t", "keyAlg": "bad"})");
        tree.write("config/security/bad.json", R"({"keyAlg": "bad", "rootPkHash": "../../etc/passwd", "keys": []})");
        ASSERT_EQ(release_load_config_dir(tree.root()), 0);
    }
    void TearDown() override { release_free_config(); }

    // Resolves and returns what was printed.
    std::string resolve(const std::string& product, const std::string& variant, int expect, Json::Value& r) {
        return captured_stdout([&] { EXPECT_EQ(release_build_description(product, variant, r), expect); });
    }
};

TEST_F(ReleaseResolve, ProductValuesKeysFlashesLayoutAndFota) {
    Json::Value r;
    EXPECT_EQ(resolve("p", "unknown-variant", 0, r), "");
    const std::string key = tree.root() + "/config/security/key/";
    EXPECT_EQ(r["name"].asString(), "p");
    EXPECT_EQ(r["values"]["version"], Json::Value(3));
    EXPECT_EQ(r["values"]["version-bootrom"].asString(), "A1");
    EXPECT_EQ(r["values"]["other"], Json::Value(1));
    EXPECT_EQ(r["security"]["keyAlg"].asString(), "rsa");
    EXPECT_EQ(r["security"]["hashAlg"].asString(), "sha256");
    EXPECT_TRUE(r["security"]["extra"].asBool());
    EXPECT_EQ(r["security"]["keys"][1]["param"].asString(), key + "nt.pem");
    EXPECT_EQ(r["security"]["keys"][1]["option"].asString(), "--nt");
    EXPECT_EQ(r["security"]["rootPkHash"].asString(), key + "hash.bin");
    EXPECT_EQ(r["secureBoot"], Json::Value(false));
    ASSERT_EQ(r["flashes"].size(), 1u);
    EXPECT_EQ(r["flashes"][0]["name"].asString(), "nand0");
    EXPECT_EQ(r["flashes"][0]["flash"]["pebSize"].asString(), "128KiB");
    EXPECT_EQ(r["partitions"]["name"].asString(), "l1");
    ASSERT_EQ(r["fota"].size(), 2u);
    EXPECT_EQ(r["fota"][1]["partition"], Json::Value("5"));
    // Configured descriptors are not trusted: only the factory opens images.
    EXPECT_FALSE(r["images"][0].isMember("fd"));
    EXPECT_FALSE(r["images"][0].isMember("size"));
}

TEST_F(ReleaseResolve, VariantValuesAndFlashes) {
    Json::Value r;
    EXPECT_EQ(resolve("p", "v", 0, r), "");
    EXPECT_EQ(r["values"]["version"], Json::Value("4"));
    EXPECT_EQ(r["values"]["version-bootrom"], Json::Value("B2"));
    EXPECT_EQ(r["secureBoot"], Json::Value(true));
    EXPECT_EQ(r["fota"], Json::Value(Json::arrayValue));
    ASSERT_EQ(r["flashes"].size(), 1u);
    EXPECT_EQ(r["flashes"][0]["name"].asString(), "nor0");
}

TEST_F(ReleaseResolve, VariantWithEmptyFlashesKeepsAnEmptyList) {
    Json::Value r;
    EXPECT_EQ(resolve("p", "noflash", 0, r), "");
    EXPECT_EQ(r["flashes"], Json::Value(Json::arrayValue));
}

TEST_F(ReleaseResolve, VariantPartitionChangesLandOnTheVariantLayout) {
    Json::Value r;
    EXPECT_EQ(resolve("p", "lay", 0, r), "");
    const Json::Value& nodes = r["partitions"]["partitions"];
    EXPECT_EQ(r["partitions"]["name"].asString(), "l2");
    EXPECT_EQ(nodes[0]["size"].asString(), "1MiB");
    EXPECT_EQ(nodes[1]["partitions"][0]["size"], Json::Value(5));  // below a "part" node
    EXPECT_FALSE(nodes[0]["partitions"][0].isMember("size"));       // inside a flash: not reachable
}

TEST_F(ReleaseResolve, Failures) {
    struct Case {
        const char* product;
        const char* variant;
        std::string printed;
    } cases[] = {
        {"nothing", "", "error: no specified product found.\n"},
        {"notpl", "", "error: no specified template found.\n"},
        {"badflash", "", "error: flash config \"zz\" not found\n"},
        {"p", "badflash", "error: flash config \"zz\" not found\n"},
        {"p", "badlayout", "error: layout config \"zz\" not found\n"},
        {"nokeys", "", "error: security keys not defined.\n"},
        {"noflashes", "", "error: flash config is null.\n"},
        {"nolayout", "", "error: partitions config is null.\n"},
        {"traversal", "", "error: config path \"../../etc/passwd\" refused.\n"},
    };
    for (const auto& c : cases) {
        Json::Value r;
        EXPECT_EQ(resolve(c.product, c.variant, -1, r), c.printed) << c.product << "/" << c.variant;
    }
}

TEST_F(ReleaseResolve, TemplateKeysAndPartitionsWithoutKeySet) {
    Json::Value r;
    EXPECT_EQ(resolve("tplkeys", "", 0, r), "");
    EXPECT_EQ(r["security"]["rootPkHash"].asString(), "given");
    EXPECT_EQ(r["security"]["keys"][0]["option"].asString(), "o");
    EXPECT_EQ(r["partitions"]["name"].asString(), "tpl");
    EXPECT_TRUE(r["values"]["version"].isNull());
}

TEST_F(ReleaseResolve, WrongTypesThrowTypeErrors) {
    const char* products[] = {
        R"({"name": "w", "template": "t", "flashes": [7]})",
        R"({"name": "w", "template": "t", "flashes": "nand-a"})",
        R"({"name": "w", "template": "t", "fota": {"a": 1}})",
        R"({"name": "w", "template": "t", "variants": "v", "flashes": [{"name": "n", "flash": "nand-a"}]})",
        R"({"name": "w", "template": "t", "keyAlg": "rsa", "variants": [{"name": "v", "images": "x"}]})",
        R"({"name": "w", "template": "t", "keyAlg": "rsa", "variants": [{"name": "v", "layout": []}]})",
        R"({"name": "w", "template": "t", "variants": [{"name": "v", "partitions": 3}]})",
    };
    for (const char* text : products) {
        tree.write("config/product/w.json", text);
        ASSERT_EQ(release_load_config_dir(tree.root()), 0);
        Json::Value r;
        EXPECT_THROW(release_build_description("w", "v", r), Json::LogicError) << text;
    }
}

}  // namespace

namespace {

TEST(ReleaseExample, MinimalResolvesAndOpensItsRawImages) {
    std::string root = KELVO_EXAMPLES_DIR "/minimal";
    ASSERT_EQ(release_load_config_dir(root), 0);
    for (const char* variant : {"release", "debug"}) {
        Json::Value r;
        std::string out = captured_stdout([&] { EXPECT_EQ(release_build_description("kv100", variant, r), 0); });
        EXPECT_EQ(out, "") << variant;
        EXPECT_EQ(r["flashes"][0]["flash"]["name"].asString(), "nand-2gbit");
        EXPECT_EQ(r["partitions"]["partitions"][0]["partitions"].size(), 4u);
        std::string hash = r["security"]["rootPkHash"].asString();
        struct stat st;
        ASSERT_EQ(stat(hash.c_str(), &st), 0) << hash;
        EXPECT_GE(st.st_size, 32);
        out = captured_stdout([&] {
            EXPECT_EQ(image_open_or_generate("boot", r, 1), 0);
            EXPECT_EQ(image_open_or_generate("data", r, 1), 0);
        });
        bool debug = std::string(variant) == "debug";
        EXPECT_EQ(r["images"][2]["size"].asUInt64(), debug ? 12288u : 8192u) << out;
        EXPECT_EQ(r["values"]["version"].asString(), debug ? "1.0.0-debug" : "1.0.0");
        release_close_images(r);
    }
    release_free_config();
}

// The example's key set is usable as shipped: the certificate generator
// takes its algorithms and signs with its root key read from the file, and
// the hash the example would fuse is that key's.
TEST(ReleaseExample, MinimalKeySetSignsWithTheKeyWhoseHashItFuses) {
    std::string root = KELVO_EXAMPLES_DIR "/minimal";
    ASSERT_EQ(release_load_config_dir(root), 0);
    Json::Value r;
    captured_stdout([&] { EXPECT_EQ(release_build_description("kv100", "release", r), 0); });
    release_free_config();
    const Json::Value& security = r["security"];
    ASSERT_EQ(security["keys"].size(), 1u);
    EXPECT_EQ(security["keys"][0]["option"].asString(), "--rot-key");
    const std::string rot = security["keys"][0]["param"].asString();
    std::string fused = command_output("head -c 32 '" + security["rootPkHash"].asString() + "'");
    EXPECT_EQ(fused, dev_keys::root_key_hash(rot));

    TempTree t;
    t.write("bl2.bin", std::string(300, 'b'));
    t.write("tb.crt", "");
    UniqueFd image(open((t.root() + "/bl2.bin").c_str(), O_RDONLY | O_CLOEXEC));
    UniqueFd cert(open((t.root() + "/tb.crt").c_str(), O_RDWR | O_CLOEXEC));
    std::vector<std::string> args{"cert_create", "--key-alg", security["keyAlg"].asString(), "--hash-alg",
                                  security["hashAlg"].asString(), "--new-keys", "--rot-key", rot, "--tfw-nvctr", "1",
                                  "--tb-fw", std::to_string(image.get()), "--tb-fw-cert", std::to_string(cert.get())};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    int rc = -1;
    std::string out = captured_stdout([&] { rc = cert_create_main(int(args.size()), argv.data()); });
    ASSERT_EQ(rc, 0) << out;
    EXPECT_EQ(command_output("openssl x509 -inform DER -noout -pubkey -in '" + t.root() + "/tb.crt'"),
              command_output("openssl pkey -pubout -in '" + rot + "'"));
}

}  // namespace
