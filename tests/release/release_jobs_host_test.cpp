// The release jobs through the engine's exports.
#include <algorithm>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "config_fixture.h"
#include "engine_host.h"

namespace {

std::string example_dir() { return KELVO_EXAMPLES_DIR "/minimal"; }

std::string request(const Json::Value& doc) {
    Json::StreamWriterBuilder b;
    return Json::writeString(b, doc);
}

class ReleaseJobs : public testing::Test {
protected:
    EngineHost& host = EngineHost::instance();
    void SetUp() override { host.start(); }

    HostEvent list(const std::string& path) {
        Json::Value doc;
        doc["path"] = path;
        host.clear();
        EXPECT_EQ(host.release_list_products(request(doc).c_str()), 0);
        HostEvent e;
        EXPECT_TRUE(host.wait_event(7, 10000, &e));
        return e;
    }
    HostEvent generate(const std::string& path, const std::string& product, const std::string& variant = "") {
        Json::Value doc;
        doc["path"] = path;
        doc["product"] = product;
        doc["variant"] = variant;
        doc["output"] = out_.root() + "/release.zip";
        host.clear();
        EXPECT_EQ(host.release_generate(request(doc).c_str()), 0);
        HostEvent e;
        EXPECT_TRUE(host.wait_event(8, 10000, &e));
        return e;
    }
    // Log lines so far, joined.
    std::string log_text() {
        host.settle();
        std::string all;
        for (const auto& l : host.logs()) all += l;
        return all;
    }

private:
    TempTree out_;  // test cases run as parallel processes: each writes its own package
};

TEST_F(ReleaseJobs, ListsTheExampleProducts) {
    HostEvent e = list(example_dir());
    const Json::Value& products = e.json["products"];
    ASSERT_TRUE(products.isArray()) << e.text;
    ASSERT_EQ(products.size(), 1u);
    EXPECT_EQ(products[0]["name"].asString(), "kv100");
    ASSERT_EQ(products[0]["variants"].size(), 2u);
    EXPECT_EQ(products[0]["variants"][0].asString(), "debug");
    EXPECT_EQ(products[0]["variants"][1].asString(), "release");
}

TEST_F(ReleaseJobs, ListSortsProductsAndVariantsByBytes) {
    TempTree t;
    t.write("config/product/1.json", R"({"name": "b", "variants": [{"name": "y"}, {"name": "Y"}, {}]})");
    t.write("config/product/2.json", R"({"name": "A"})");
    t.write("config/product/3.json", R"({"name": "a"})");
    t.write("config/product/4.json", R"({"template": "nameless"})");
    HostEvent e = list(t.root());
    const Json::Value& p = e.json["products"];
    ASSERT_EQ(p.size(), 4u) << e.text;
    EXPECT_TRUE(p[0]["name"].isNull());
    EXPECT_EQ(p[1]["name"].asString(), "A");
    EXPECT_EQ(p[2]["name"].asString(), "a");
    EXPECT_EQ(p[3]["name"].asString(), "b");
    EXPECT_EQ(p[1]["variants"], Json::Value(Json::arrayValue));
    ASSERT_EQ(p[3]["variants"].size(), 3u);
    EXPECT_EQ(p[3]["variants"][0].asString(), "");
    EXPECT_EQ(p[3]["variants"][1].asString(), "Y");
    EXPECT_EQ(p[3]["variants"][2].asString(), "y");

    TempTree empty;
    empty.write("config/flash/f.json", R"({"name": "f"})");
    EXPECT_EQ(list(empty.root()).json["products"], Json::Value(Json::arrayValue));
}

TEST_F(ReleaseJobs, MissingDirectory) {
    HostEvent e = list("/nonexistent/kelvo-config");
    ASSERT_TRUE(e.json.isMember("products"));
    EXPECT_TRUE(e.json["products"].isNull());
    e = generate("/nonexistent/kelvo-config", "kv100");
    EXPECT_EQ(e.json["error"].asString(), "can't read config files");
    // The reason is a whole line of this job, not the start of the next one's.
    EXPECT_NE(log_text().find("reading config files from directory \"/nonexistent/kelvo-config\" failed\n"),
              std::string::npos)
        << log_text();
}

TEST_F(ReleaseJobs, UnreadableConfigFileFailsTheRelease) {
    TempTree t;
    t.write("config/product/z.json", "{");
    t.write("config/product/ignored.txt", "{");
    t.write("config/product/empty.json", "");
    HostEvent e = generate(t.root(), "kv100");
    EXPECT_EQ(e.json["error"].asString(), "can't read config files");
    EXPECT_NE(log_text().find("reading config file \"" + t.root() + "/config/product/z.json\" failed.\n"),
              std::string::npos)
        << log_text();
    e = list(t.root());
    EXPECT_TRUE(e.json["products"].isNull());
}

TEST_F(ReleaseJobs, ResolutionFailures) {
    HostEvent e = generate(example_dir(), "no-such-product");
    EXPECT_EQ(e.json["error"].asString(), "generate release package failed");
    EXPECT_TRUE(host.wait_log("error: no specified product found.\n"));

    TempTree t;
    t.write("config/template/t.json", R"({"name": "t"})");
    t.write("config/product/p.json", R"({"name": "p", "template": "t", "keyAlg": "none"})");
    e = generate(t.root(), "p");
    EXPECT_EQ(e.json["error"].asString(), "generate release package failed");
    EXPECT_TRUE(host.wait_log("error: security keys not defined.\n"));
}

TEST_F(ReleaseJobs, WrongTypesFailWithoutEndingTheProcess) {
    TempTree t;
    t.write("config/template/t.json", R"({"name": "t", "images": 5})");
    t.write("config/product/p.json", R"({"name": "p", "template": "t", "flashes": ["text"]})");
    t.write("config/product/q.json", R"([1, 2])");
    HostEvent e = generate(t.root(), "p");
    EXPECT_EQ(e.json["error"].asString(), "generate release package failed");
    e = list(t.root());
    EXPECT_TRUE(e.json["products"].isNull());
    std::string logs = log_text();
    EXPECT_NE(logs.find("error: invalid config value: "), std::string::npos) << logs;
}

// A small configuration whose template flashes the given images.
void write_config(TempTree& t, const std::string& commands) {
    t.write("config/flash/f.json", R"({"name": "f"})");
    t.write("config/partition/l.json", R"({"name": "l", "partitions": [{"name": "n", "format": "flash"}]})");
    t.write("config/security/k.json", R"({"keyAlg": "k", "keys": [], "rootPkHash": "h"})");
    t.write("config/product/p.json", R"({"name": "p", "template": "t", "keyAlg": "k", "layout": "l",
        "flashes": [{"name": "n", "flash": "f"}]})");
    t.write("config/template/t.json", R"({"name": "t", "images": [
        {"name": "boot", "io": "in", "image": "boot.img"},
        {"name": "gone", "io": "in", "image": "gone.img"}], "commands": )" + commands + "}");
    t.write("images/boot.img", "boot");
}

TEST_F(ReleaseJobs, MissingInputImage) {
    TempTree t;
    write_config(t, R"([{"command": "flash", "type": "image", "name": "gone", "partition": "x"}])");
    HostEvent e = generate(t.root(), "p");
    EXPECT_EQ(e.json["error"].asString(), "generate release package failed");
    EXPECT_TRUE(host.wait_log("  Opening image \"gone\" from \"" + t.root() + "/images/gone.img\" ...\n"));
    EXPECT_TRUE(host.wait_log("error: open raw image \"gone\" failed.\n"));
}

TEST_F(ReleaseJobs, ImageUsedTwiceIsOpenedOnce) {
    TempTree t;
    write_config(t, R"([{"command": "flash", "type": "image", "name": "boot", "partition": "a"},
                        {"command": "flash", "type": "image", "name": "boot", "partition": "b"}])");
    generate(t.root(), "p");
    host.settle();
    std::vector<std::string> logs = host.logs();
    auto count = [&](const std::string& line) { return std::count(logs.begin(), logs.end(), line); };
    EXPECT_EQ(count("  Opening image \"boot\" from \"" + t.root() + "/images/boot.img\" ...\n"), 1);
    EXPECT_EQ(count("  Using already opened/generated image \"boot.img\" with id \"boot\" ...\n"), 1);
    EXPECT_GE(count("  Done.\n"), 2);
}

TEST_F(ReleaseJobs, ExampleGeneratesForEveryVariant) {
    for (const char* variant : {"release", "debug"}) {
        HostEvent e = generate(example_dir(), "kv100", variant);
        EXPECT_FALSE(e.json.isMember("error")) << variant << ": " << e.text;
    }
}

// Entry `name` of a zip archive, read by an independent reader.
std::string unzip_entry(const std::string& archive, const std::string& name) {
    return command_output("unzip -p '" + archive + "' '" + name + "'");
}

TEST_F(ReleaseJobs, CustomPathAndEraseOptionsReachThePackage) {
    TempTree out;
    struct Case {
        bool erase_all, erase_all_only;
        const char* commands;
    } cases[] = {
        {false, false, "require0 progress0 partition1 flash2 flash2 flash2 erase2 flash2 reboot3 "},
        {true, false, "require0 progress0 partition1 erase2 flash3 flash3 flash3 erase3 flash3 reboot4 "},
        {true, true, "require0 progress0 partition1 erase2 "},
    };
    for (const auto& c : cases) {
        Json::Value doc;
        doc["path"] = example_dir();
        doc["product"] = "kv100";
        doc["variant"] = "release";
        doc["output"] = out.root() + "/kv100.zip";
        doc["eraseAll"] = c.erase_all;
        doc["eraseAllOnly"] = c.erase_all_only;
        doc["custom"]["data"] = "boot-debug.img";  // found below the images directory
        host.clear();
        ASSERT_EQ(host.release_generate(request(doc).c_str()), 0);
        HostEvent e;
        ASSERT_TRUE(host.wait_event(8, 20000, &e));
        ASSERT_FALSE(e.json.isMember("error")) << e.text;
        // Without flash commands the data image is not needed at all.
        if (!c.erase_all_only) {
            EXPECT_TRUE(host.wait_log("  Opening image \"data\" from \"" + example_dir() +
                                  "/images/boot-debug.img\" ...\n"));
        }
        Json::Value script;
        Json::Reader().parse(unzip_entry(doc["output"].asString(), "download.json"), script);
        std::string words;
        for (const auto& cmd : script) words += cmd["command"].asString() + cmd["group"].asString() + " ";
        EXPECT_EQ(words, c.commands);
    }
}

}  // namespace
