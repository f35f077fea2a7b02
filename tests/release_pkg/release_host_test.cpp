// Release generation through the library's exports, the package read back
// with the zip library and with python's zipfile.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <map>
#include <functional>

#include "dev_keys.h"
#include "engine_host.h"
#include "package_reader.h"
#include "test_util.h"
#include "ubi_image_reader.h"

namespace {

std::string json_text(const Json::Value& v) {
    Json::StreamWriterBuilder b;
    b["indentation"] = "";
    return Json::writeString(b, v);
}

Json::Value parse(const std::string& text) { return parse_json(text); }

void write_file(const std::string& path, const std::string& bytes) {
    std::string dir = path.substr(0, path.rfind('/'));
    std::string cmd = "mkdir -p '" + dir + "'";
    ASSERT_EQ(system(cmd.c_str()), 0);
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string pattern(size_t n, char seed) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = char(seed + i % 7);
    return s;
}

bool exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

uint32_t le32(const std::string& b, size_t at) {
    auto u = [&](size_t i) { return uint32_t(uint8_t(b[at + i])); };
    return u(0) | u(1) << 8 | u(2) << 16 | u(3) << 24;
}

// A configuration with a fota group, a derived and an auto size, secure boot.
std::string make_config() {
    std::string root = testing::TempDir() + "/fota_config_" + std::to_string(getpid());
    write_file(root + "/config/flash/nand.json", R"({"name": "nand-1m", "type": "nand", "erasedValue": "0xFF",
        "pebSize": "4KiB", "minIoSize": 2048, "flashSize": "1MiB",
        "devices": [{"name": "chip", "vendorId": "0x2C", "deviceId": "0xDA"}]})");
    write_file(root + "/config/partition/layout.json", R"({"name": "l", "partitions": [
        {"name": "nand0", "format": "flash", "vstart": "0x100000", "partitions": [
          {"name": "ptable", "format": "raw", "size": "16KiB"},
          {"name": "finf", "format": "raw", "size": "16KiB"},
          {"name": "kernel", "format": "raw"},
          {"name": "grp", "format": "part", "partitions": [
            {"name": "a", "format": "raw", "size": "16KiB"}, {"name": "b", "format": "raw", "size": "16KiB"}]},
          {"name": "data", "format": "raw", "size": "-1"}]}]})");
    write_file(root + "/config/product/p.json", R"({"name": "p1", "template": "t", "version": "2.0",
        "version-bootrom": "B1", "keyAlg": "rsa", "secureBoot": true, "layout": "l",
        "flashes": [{"name": "nand0", "flash": "nand-1m"}], "fota": ["grp", "kernel", "data", "missing"]})");
    // Secure boot fuses the hash of the root key's public key.
    write_file(root + "/config/security/rsa.json",
               R"({"keyAlg": "rsa", "keys": [{"option": "--rot-key", "param": "rot.pem"}], "rootPkHash": "hash.bin"})");
    EXPECT_TRUE(dev_keys::make_key(root + "/config/security/key/rot.pem"));
    write_file(root + "/config/security/key/hash.bin", dev_keys::root_key_hash(root + "/config/security/key/rot.pem"));
    write_file(root + "/config/template/t.json", R"({"name": "t", "values": {},
      "images": [
        {"name": "partition", "image": "partition.bin", "io": "out", "format": "aptb"},
        {"name": "finf", "image": "finf.img", "io": "out", "format": "finf"},
        {"name": "fuse", "image": "fuse.img", "io": "out", "format": "fuse"},
        {"name": "kernel", "image": "kernel.img", "io": "in"},
        {"name": "a", "image": "a.img", "io": "in"},
        {"name": "b", "image": "b.img", "io": "in"}],
      "commands": [
        {"command": "require", "type": "value", "name": "version", "group": "0"},
        {"command": "progress", "type": "value", "name": "weight", "group": "0"},
        {"command": "partition", "type": "image", "name": "partition", "group": "1"},
        {"command": "flash", "type": "image", "name": "partition", "partition": "ptable", "group": "2"},
        {"command": "flash", "type": "image", "name": "finf", "partition": "finf", "group": "2"},
        {"command": "flash", "type": "image", "name": "kernel", "partition": "kernel", "group": "2"},
        {"command": "flash", "type": "image", "name": "a", "partition": "a", "group": "3"},
        {"command": "flash", "type": "image", "name": "b", "partition": "b", "group": "3"},
        {"command": "erase", "partition": "data", "group": "3"},
        {"command": "fuse", "type": "image", "name": "fuse", "group": "4"},
        {"command": "reboot", "group": "5"}]})");
    write_file(root + "/images/kernel.img", pattern(10000, 'k'));
    write_file(root + "/images/a.img", pattern(5000, 'a'));
    write_file(root + "/images/b.img", pattern(8192, 'b'));
    return root;
}

Json::Value release_request(const std::string& config, const std::string& product, const std::string& out) {
    Json::Value request;
    request["path"] = config;
    request["product"] = product;
    request["output"] = out;
    return request;
}

// Runs one release request; returns event 8.
Json::Value generate(Json::Value request) {
    EngineHost& host = EngineHost::instance();
    host.start();
    host.clear();
    EXPECT_EQ(host.release_generate(json_text(request).c_str()), 0);
    HostEvent done;
    EXPECT_TRUE(host.wait_event(8, 60000, &done));
    host.settle();
    return done.json;
}

// Every log line so far, each ending in a newline.
std::string log_text() {
    std::string all;
    for (auto& l : EngineHost::instance().logs()) all += l + (l.empty() || l.back() != '\n' ? "\n" : "");
    return all;
}

struct Row {
    std::string name, format;
    uint32_t start, size, vstart, vsize, depth;
};

std::vector<Row> table_rows(const std::string& b) {
    std::vector<Row> rows;
    for (uint32_t i = 0; i < le32(b, 4) && i < 32; ++i) {
        size_t r = 8 + 68 * i;
        rows.push_back({std::string(b.c_str() + r, strnlen(b.c_str() + r, 32)),
                        std::string(b.c_str() + r + 32, strnlen(b.c_str() + r + 32, 16)), le32(b, r + 48),
                        le32(b, r + 52), le32(b, r + 56), le32(b, r + 60), le32(b, r + 64)});
    }
    return rows;
}

// Every entry deflated and aligned for both readers; the names the commands
// and the fota list use, plus the two scripts, and nothing else.
void expect_package(const std::string& out, const std::set<std::string>& names, PackageEntries& z) {
    z = read_package_ziparchive(out);
    ASSERT_TRUE(z.opened);
    std::set<std::string> got(z.order.begin(), z.order.end());
    EXPECT_EQ(got, names);
    EXPECT_EQ(z.order.size(), names.size());
    for (auto& [name, bytes] : z.files) EXPECT_NE(bytes, "<not deflated>") << name;
    Json::Value py = read_package_python(out);
    ASSERT_TRUE(py.isObject());
    EXPECT_TRUE(py["crc_ok"].asBool());
    EXPECT_EQ(py["entries"].size(), names.size());
    for (const Json::Value& e : py["entries"]) {
        EXPECT_EQ(e["method"].asInt(), 8) << e["name"];
        EXPECT_TRUE(e["aligned"].asBool()) << e["name"];
    }
    EXPECT_EQ(py["files"]["download.json"].asString(), z.files["download.json"]);
    EXPECT_TRUE(unzip_tests_ok(out));
}

uint64_t weight_sum(const Json::Value& download) {
    uint64_t sum = 0;
    for (const Json::Value& c : download) sum += c["weight"].asUInt64();
    return sum;
}

TEST(ReleaseHost, FotaGroupPackage) {
    std::string config = make_config();
    std::string out = config + "/out.zip";
    Json::Value request = release_request(config, "p1", out);
    Json::Value done = generate(request);
    EXPECT_FALSE(done.isMember("error")) << json_text(done);
    std::string all = log_text();
    const char* expected =
        "  Generating fota images ...\n"
        "    Generating group image \"grp.img\" with id \"grp\" ...\n"
        "      Using already opened/generated image \"a.img\" with id \"a\" ...\n"
        "      Done.\n"
        "      Using already opened/generated image \"b.img\" with id \"b\" ...\n"
        "      Done.\n"
        "    Done.\n"
        "    Using already opened/generated image \"kernel.img\" with id \"kernel\" ...\n"
        "    Done.\n"
        "  Done.\n"
        "Done.\n"
        "Calculating total progress weight ...\n";
    EXPECT_NE(all.find(expected), std::string::npos) << all;
    EXPECT_NE(all.find("Release package generated successfully!\n"), std::string::npos);

    PackageEntries z;
    expect_package(out, {"partition.bin", "finf.img", "fuse.img", "kernel.img", "a.img", "b.img", "grp.img",
                         "download.json", "fota.json"}, z);

    const std::string& table = z.files["partition.bin"];
    ASSERT_EQ(table.size(), 2184u);
    EXPECT_EQ(table.substr(0, 4), "BTPA");
    std::vector<Row> rows = table_rows(table);
    const uint32_t none = 0xFFFFFFFF, base = 0x100000;
    std::vector<Row> want = {
        {"all", "group", 0, 1048576, none, 1048576, 0},
        {"nand0", "flash", 0, 1048576, base, 1048576, 1},
        {"ptable", "raw", 0, 16384, base, 2184, 2},
        {"finf", "raw", 16384, 16384, base + 16384, 216, 2},
        {"kernel", "raw", 32768, 12288, base + 32768, 10000, 2},
        {"grp", "part", 45056, 32768, base + 45056, 32768, 2},
        {"a", "raw", 45056, 16384, base + 45056, 5000, 3},
        {"b", "raw", 61440, 16384, base + 61440, 8192, 3},
        {"data", "raw", 77824, 1048576 - 77824, base + 77824, 1048576 - 77824, 2}};
    ASSERT_EQ(rows.size(), want.size());
    for (size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE(want[i].name);
        EXPECT_EQ(rows[i].name, want[i].name);
        EXPECT_EQ(rows[i].format, want[i].format);
        EXPECT_EQ(rows[i].start, want[i].start);
        EXPECT_EQ(rows[i].size, want[i].size);
        EXPECT_EQ(rows[i].vstart, want[i].vstart);
        EXPECT_EQ(rows[i].vsize, want[i].vsize);
        EXPECT_EQ(rows[i].depth, want[i].depth);
    }

    const std::string& group = z.files["grp.img"];
    std::string expect_group = pattern(5000, 'a') + std::string(3192, '\0') + std::string(8192, '\xFF') +
                               pattern(8192, 'b');
    EXPECT_EQ(group.size(), 24576u);
    EXPECT_TRUE(group == expect_group);
    const std::string fused = dev_keys::root_key_hash(config + "/config/security/key/rot.pem");
    ASSERT_EQ(fused.size(), 32u);
    EXPECT_EQ(z.files["fuse.img"], std::string(64, '\0') + fused + std::string(32, '\0'));
    EXPECT_EQ(z.files["finf.img"].size(), 216u);

    Json::Value fota = parse(z.files["fota.json"]);
    Json::Value want_fota = parse(R"([
        {"partition": "grp", "start": 1093632, "image": "grp.img"},
        {"partition": "kernel", "start": 1081344, "image": "kernel.img"},
        {"partition": "data", "start": 1126400},
        {"partition": "missing"}])");
    EXPECT_EQ(fota, want_fota) << z.files["fota.json"];

    Json::Value download = parse(z.files["download.json"]);
    ASSERT_EQ(download.size(), 11u);
    EXPECT_EQ(download[1]["value"].asUInt64(), weight_sum(download));
    EXPECT_EQ(download[5]["weight"].asUInt64(), 10000u + 12288u);
    EXPECT_EQ(download[9], parse(R"({"command": "fuse", "group": "4", "image": "fuse.img"})"));
    EXPECT_EQ(download[0]["value"].asString(), "2.0");
}

TEST(ReleaseHost, EraseAllReshapesCommands) {
    std::string config = make_config();
    std::string out = config + "/erase.zip";
    Json::Value request = release_request(config, "p1", out);
    request["eraseAll"] = true;
    Json::Value done = generate(request);
    ASSERT_FALSE(done.isMember("error"));
    PackageEntries z = read_package_ziparchive(out);
    Json::Value download = parse(z.files["download.json"]);
    std::vector<std::string> shape;
    for (const Json::Value& c : download)
        shape.push_back(c["command"].asString() + ":" + c["partition"].asString() + ":" + c["group"].asString());
    std::vector<std::string> want = {"require::0", "progress::0", "partition::1", "erase:nand0:2",
                                     "flash:ptable:3", "flash:finf:3", "flash:kernel:3", "flash:a:4",
                                     "flash:b:4", "erase:data:4", "fuse::5", "reboot::6"};
    EXPECT_EQ(shape, want);
    EXPECT_EQ(download[3]["weight"].asUInt64(), 1048576u);
    EXPECT_EQ(download[1]["value"].asUInt64(), weight_sum(download));
}

TEST(ReleaseHost, EraseAllOnlyKeepsWholeFlashes) {
    std::string config = make_config();
    std::string out = config + "/eraseonly.zip";
    Json::Value request = release_request(config, "p1", out);
    request["eraseAll"] = true;
    request["eraseAllOnly"] = true;
    Json::Value done = generate(request);
    ASSERT_FALSE(done.isMember("error")) << json_text(done);
    PackageEntries z;
    expect_package(out, {"partition.bin", "download.json", "fota.json"}, z);
    Json::Value download = parse(z.files["download.json"]);
    ASSERT_EQ(download.size(), 4u);
    EXPECT_EQ(download[3], parse(R"({"command": "erase", "group": "2", "partition": "nand0", "weight": 1048576})"));
    EXPECT_EQ(download[1]["value"].asUInt64(), 1048576u);
    std::vector<Row> rows = table_rows(z.files["partition.bin"]);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[1].name, "nand0");
    // The group is gone from the layout: its fota entry gets nothing.
    EXPECT_EQ(parse(z.files["fota.json"])[0], parse(R"({"partition": "grp"})"));
}

TEST(ReleaseHost, CustomImageReplacesBytesAndWeight) {
    std::string config = make_config();
    std::string custom = config + "/other-kernel.img";
    write_file(custom, pattern(20000, 'z'));
    std::string out = config + "/custom.zip";
    Json::Value request = release_request(config, "p1", out);
    request["custom"]["kernel"] = custom;
    Json::Value done = generate(request);
    ASSERT_FALSE(done.isMember("error")) << json_text(done);
    PackageEntries z = read_package_ziparchive(out);
    EXPECT_TRUE(z.files["kernel.img"] == pattern(20000, 'z'));
    Json::Value download = parse(z.files["download.json"]);
    EXPECT_EQ(download[5]["weight"].asUInt64(), 20000u + 20480u);
    EXPECT_EQ(download[1]["value"].asUInt64(), weight_sum(download));
}

TEST(ReleaseHost, MissingOutputDirectoryFailsAndLeavesNothing) {
    std::string config = make_config();
    std::string out = config + "/no/such/dir/pkg.zip";
    Json::Value request = release_request(config, "p1", out);
    Json::Value done = generate(request);
    EXPECT_EQ(done["error"].asString(), "generate release package failed");
    bool line = false;
    for (const std::string& l : EngineHost::instance().logs()) {
        if (l.find("create file \"" + out + "\" failed") != std::string::npos) line = true;
        EXPECT_EQ(l.find("generated successfully"), std::string::npos);
    }
    EXPECT_TRUE(line);
    EXPECT_FALSE(exists(out));
    EXPECT_FALSE(exists(config + "/no"));
}

// The fota configuration plus two products with a reliable-data image: one
// whose set reads two record files, one whose set holds an empty file.
std::string make_rd_config() {
    std::string root = make_config();
    write_file(root + "/config/partition/rd.json", R"({"name": "lrd", "partitions": [
        {"name": "nand0", "format": "flash", "partitions": [
          {"name": "ptable", "format": "raw", "size": "16KiB"},
          {"name": "rd", "format": "raw", "size": "64KiB"},
          {"name": "data", "format": "raw", "size": "-1"}]}]})");
    for (const char* bad : {"", "-bad"}) {
        std::string suffix = bad;
        write_file(root + "/config/product/rd" + suffix + ".json", R"({"name": "p-rd)" + suffix +
            R"(", "template": "t-rd)" + suffix + R"(", "keyAlg": "rsa", "layout": "lrd",
            "flashes": [{"name": "nand0", "flash": "nand-1m"}]})");
        write_file(root + "/config/template/rd" + suffix + ".json", R"({"name": "t-rd)" + suffix + R"(",
          "values": {},
          "images": [
            {"name": "partition", "image": "partition.bin", "io": "out", "format": "aptb"},
            {"name": "rd", "image": "rd.img", "io": "out", "format": "rd", "use": ")" +
            (suffix.empty() ? "unit1" : "unit0") + R"(",
             "rd": [{"path": "unit0", "images": [{"image": "empty.bin", "id": "IMEI"}]},
                    {"path": "unit1", "images": [{"image": "imei.txt", "id": "IMEI"},
                                                 {"image": "lock/mep.bin", "id": "MEP"}]}]}],
          "commands": [
            {"command": "progress", "type": "value", "name": "weight", "group": "0"},
            {"command": "partition", "type": "image", "name": "partition", "group": "1"},
            {"command": "flash", "type": "image", "name": "partition", "partition": "ptable", "group": "2"},
            {"command": "flash", "type": "image", "name": "rd", "partition": "rd", "group": "2"}]})");
    }
    write_file(root + "/reliabledata/unit0/empty.bin", "");
    write_file(root + "/reliabledata/unit1/imei.txt", "356938035643809");
    write_file(root + "/reliabledata/unit1/lock/mep.bin", pattern(300, 'm'));
    return root;
}

// The engine logs the configuration root in its normalised form.
std::string absolute(const std::string& path) {
    char* real = realpath(path.c_str(), nullptr);
    std::string out = real ? real : path;
    free(real);
    return out;
}

std::string hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

// The fota configuration plus a secure-boot product: a firmware package
// whose certificates the key set signs, and the fuse image with the root
// key's hash. Its key set names two of the eight keys.
std::string make_secure_config() {
    std::string root = make_config();
    const std::string keys = root + "/config/security/key/";
    write_file(root + "/config/security/ecdsa.json", R"({"keyAlg": "ecdsa", "rootPkHash": "sec_hash.bin",
        "keys": [{"option": "--rot-key", "param": "sec_rot.pem"},
                 {"option": "--trusted-world-key", "param": "sec_tw.pem"}]})");
    EXPECT_TRUE(dev_keys::make_key(keys + "sec_rot.pem"));
    EXPECT_TRUE(dev_keys::make_key(keys + "sec_tw.pem"));
    write_file(keys + "sec_hash.bin", dev_keys::root_key_hash(keys + "sec_rot.pem"));
    write_file(root + "/config/partition/sec.json", R"({"name": "lsec", "partitions": [
        {"name": "nand0", "format": "flash", "partitions": [
          {"name": "ptable", "format": "raw", "size": "16KiB"},
          {"name": "fip", "format": "raw", "size": "64KiB"},
          {"name": "data", "format": "raw", "size": "-1"}]}]})");
    write_file(root + "/config/product/sec.json", R"({"name": "p-sec", "template": "t-sec", "keyAlg": "ecdsa",
        "hashAlg": "sha256", "secureBoot": true, "layout": "lsec", "flashes": [{"name": "nand0", "flash": "nand-1m"}]})");
    write_file(root + "/config/template/sec.json", R"({"name": "t-sec", "values": {},
      "images": [
        {"name": "partition", "image": "partition.bin", "io": "out", "format": "aptb"},
        {"name": "fip", "image": "fip.bin", "io": "out", "format": "fip",
         "fip": {"images": [{"image": "bl2", "id": "BL2_IMAGE_ID"}, {"image": "bl31", "id": "BL31_IMAGE_ID"}]}},
        {"name": "fuse", "image": "fuse.img", "io": "out", "format": "fuse"},
        {"name": "bl2", "image": "bl2.img", "io": "in"},
        {"name": "bl31", "image": "bl31.img", "io": "in"}],
      "commands": [
        {"command": "partition", "type": "image", "name": "partition", "group": "1"},
        {"command": "flash", "type": "image", "name": "partition", "partition": "ptable", "group": "2"},
        {"command": "flash", "type": "image", "name": "fip", "partition": "fip", "group": "2"},
        {"command": "fuse", "type": "image", "name": "fuse", "group": "3"}]})");
    write_file(root + "/images/bl2.img", pattern(3000, '2'));
    write_file(root + "/images/bl31.img", pattern(5000, '3'));
    return root;
}

// A firmware package read by an independent reader of its format: the
// payload of every entry by its type, and of the certificates among them
// each one's subject and public key as openssl reads them.
struct FipEntries {
    std::map<std::string, std::string> payload;           // type -> bytes
    std::map<std::string, std::string> certificate_keys;  // subject -> public key (PEM)
    bool padding_zero = false;
};

FipEntries fip_entries(const std::string& fip, const std::string& work) {
    FipEntries out;
    write_file(work + "/fip.bin", fip);
    std::istringstream listing(dev_keys::shell_output("python3 " KELVO_TEST_SOURCE_DIR "/tests/tools/fip_parse.py '" +
                                                      work + "/fip.bin'"));
    std::string word, uuid;
    uint64_t offset, size, flags;
    while (listing >> word) {
        if (word == "padding" && listing >> word) out.padding_zero = word == "zero";
        if (word != "entry" || !(listing >> uuid >> offset >> size >> flags) || offset + size > fip.size()) continue;
        out.payload[uuid] = fip.substr(offset, size);
        if (fip[offset] != 0x30) continue;  // a DER sequence: a certificate
        write_file(work + "/cert.der", fip.substr(offset, size));
        const std::string der = "'" + work + "/cert.der'";
        out.certificate_keys[dev_keys::shell_output("openssl x509 -inform DER -noout -subject -in " + der)] =
            dev_keys::shell_output("openssl x509 -inform DER -noout -pubkey -in " + der);
    }
    return out;
}

// Every file below the configuration directory with its digest.
std::string config_snapshot(const std::string& root) {
    return dev_keys::shell_output("cd '" + root + "/config' && find . -print0 | sort -z | xargs -0 ls -ld "
                                  "--time-style=+%s.%N && find . -type f -print0 | sort -z | xargs -0 sha256sum");
}

// Checked as a user would, with openssl: the fused hash is the root key's,
// the certificates the package carries are made with the key set's keys,
// and nothing is written into the configuration directory.
TEST(ReleaseHost, SecureBootPackageIsSignedByTheKeyWhoseHashItFuses) {
    std::string config = make_secure_config();
    const std::string keys = config + "/config/security/key/";
    const std::string before = config_snapshot(config);
    ASSERT_NE(before, "");
    std::string out = config + "/sec.zip";
    Json::Value done = generate(release_request(config, "p-sec", out));
    ASSERT_FALSE(done.isMember("error")) << log_text();
    EXPECT_EQ(config_snapshot(config), before);

    PackageEntries z;
    expect_package(out, {"partition.bin", "fip.bin", "fuse.img", "download.json", "fota.json"}, z);
    const std::string fused = z.files["fuse.img"].substr(64, 32);
    EXPECT_EQ(fused, dev_keys::root_key_hash(keys + "sec_rot.pem"));

    std::map<std::string, std::string> key_of = fip_entries(z.files["fip.bin"], config).certificate_keys;
    ASSERT_EQ(key_of.size(), 4u);
    const std::string rot = dev_keys::shell_output("openssl pkey -pubout -in '" + keys + "sec_rot.pem'");
    const std::string tw = dev_keys::shell_output("openssl pkey -pubout -in '" + keys + "sec_tw.pem'");
    EXPECT_EQ(key_of["subject=CN = Trusted Boot FW Certificate\n"], rot);
    EXPECT_EQ(key_of["subject=CN = Trusted Key Certificate\n"], rot);
    EXPECT_EQ(key_of["subject=CN = SoC Firmware Key Certificate\n"], tw);
    EXPECT_NE(key_of["subject=CN = SoC Firmware Content Certificate\n"], "");
}

// A key file the set names but that is missing, or a fused hash that is not
// the root key's: the release fails naming it and writes nothing, neither the
// package nor anything into the configuration directory.
TEST(ReleaseHost, KeySetFaultsFailTheRelease) {
    std::string config = make_secure_config();
    const std::string keys = absolute(config) + "/config/security/key/";
    ASSERT_TRUE(dev_keys::make_key(config + "/other.pem"));
    ASSERT_TRUE(dev_keys::make_key(keys + "other_rot.pem"));
    // The key set with the right files and one more entry.
    auto key_set = [&](const std::string& extra) {
        write_file(keys + "sec_hash.bin", dev_keys::root_key_hash(keys + "sec_rot.pem"));
        write_file(config + "/config/security/ecdsa.json",
                   R"({"keyAlg": "ecdsa", "rootPkHash": "sec_hash.bin", "keys": [{"option": "--rot-key", "param":)"
                   R"( "sec_rot.pem"}, {"option": "--trusted-world-key", "param": "sec_tw.pem"}, )" +
                       extra + "]}");
    };
    struct Case {
        std::function<void()> spoil;
        std::string line;
    } cases[] = {
        {[&] { ASSERT_EQ(unlink((keys + "sec_tw.pem").c_str()), 0); },
         "error: key file \"" + keys + "sec_tw.pem\" for --trusted-world-key cannot be opened: No such file or "
         "directory.\n"},
        {[&] { write_file(keys + "sec_hash.bin", dev_keys::root_key_hash(config + "/other.pem")); },
         "does not match the fused hash " + hex(dev_keys::root_key_hash(config + "/other.pem")) + " of \"" + keys +
             "sec_hash.bin\".\n"},
        // A second root key would sign while the first one's hash is fused.
        {[&] { key_set(R"({"option": "--rot-key", "param": "other_rot.pem"})"); },
         "error: the key set names --rot-key twice.\n"},
        // Anything but a key option changes what the generator does ("-h": help and no certificates).
        {[&] { key_set(R"({"option": "-h", "param": "sec_tw.pem"})"); },
         "error: key set option \"-h\" is not a key of the certificate generator.\n"},
        {[&] { key_set(R"({"option": "--tb-fw-cert", "param": "sec_tw.pem"})"); },
         "error: key set option \"--tb-fw-cert\" is not a key of the certificate generator.\n"},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.line);
        if (c.line.rfind("does", 0) == 0) {
            ASSERT_TRUE(dev_keys::make_key(keys + "sec_tw.pem"));  // the first case removed it
        }
        c.spoil();
        const std::string before = config_snapshot(config);
        std::string out = config + "/bad.zip";
        Json::Value done = generate(release_request(config, "p-sec", out));
        EXPECT_EQ(done["error"].asString(), "generate release package failed");
        EXPECT_NE(log_text().find(c.line), std::string::npos) << log_text();
        EXPECT_FALSE(exists(out));
        EXPECT_EQ(config_snapshot(config), before);
    }
}

TEST(ReleaseHost, ReliableDataImageInPackage) {
    std::string config = make_rd_config();
    std::string out = config + "/rd.zip";
    Json::Value request = release_request(config, "p-rd", out);
    Json::Value done = generate(request);
    std::string all = log_text();
    ASSERT_FALSE(done.isMember("error")) << all;
    const std::string sets = absolute(config) + "/reliabledata/unit1/";
    const std::string expected = "  Generating rd image \"rd.img\" with id \"rd\" ...\n"
                                 "    Reading image from \"" + sets + "imei.txt\" ...\n"
                                 "    Done.\n"
                                 "    Reading image from \"" + sets + "lock/mep.bin\" ...\n"
                                 "    Done.\n"
                                 "  Done.\n";
    EXPECT_NE(all.find(expected), std::string::npos) << all;

    PackageEntries z;
    expect_package(out, {"partition.bin", "rd.img", "download.json", "fota.json"}, z);
    ASSERT_EQ(z.files["rd.img"].size(), 65536u);
    // python's zipfile reads the entry, the python reader decodes it.
    Json::Value rd = run_python_json("check_rd_image.py", "'" + out + "' zip:rd.img");
    ASSERT_EQ(rd["records"].size(), 2u) << rd;
    EXPECT_EQ(rd["magic"].asUInt(), 0xCAFECAFEu);
    EXPECT_EQ(rd["format"].asUInt(), 0x1019u);
    EXPECT_EQ(rd["counter"].asUInt(), 3u);
    EXPECT_EQ(rd["used"].asUInt(), 20u + 136 + 16 + 136 + 300);
    EXPECT_TRUE(rd["checksum_ok"].asBool() && rd["used_ok"].asBool() && rd["fill_ff"].asBool()) << rd;
    const Json::Value& imei = rd["records"][0];
    EXPECT_EQ(imei["id"].asUInt(), 0xCAFE0010u);
    EXPECT_EQ(imei["size_word"].asUInt(), 0x01000010u);
    EXPECT_EQ(imei["name"].asString(), "imei.txt");
    EXPECT_EQ(imei["data"].asString(), hex("356938035643809"));
    const Json::Value& mep = rd["records"][1];
    EXPECT_EQ(mep["id"].asUInt(), 0xCAFE0015u);
    EXPECT_EQ(mep["name"].asString(), "lock/mep.bin");
    EXPECT_EQ(mep["data"].asString(), hex(pattern(300, 'm')));
    for (const Json::Value& r : rd["records"]) EXPECT_TRUE(r["check_ok"].asBool()) << r;
    std::vector<Row> rows = table_rows(z.files["partition.bin"]);
    ASSERT_EQ(rows.size(), 5u);
    EXPECT_EQ(rows[3].name, "rd");
    EXPECT_EQ(rows[3].vsize, 65536u);  // the whole image lands in the partition

    Json::Value download = parse(z.files["download.json"]);
    ASSERT_EQ(download.size(), 4u);
    EXPECT_EQ(download[3]["image"].asString(), "rd.img");
    EXPECT_EQ(download[3]["weight"].asUInt64(), 65536u + 65536u);
    EXPECT_EQ(download[0]["value"].asUInt64(), weight_sum(download));
}

TEST(ReleaseHost, ReliableDataRecordFailureFailsTheRelease) {
    std::string config = make_rd_config();
    std::string out = config + "/rd-bad.zip";
    Json::Value request = release_request(config, "p-rd-bad", out);
    Json::Value done = generate(request);
    EXPECT_EQ(done["error"].asString(), "generate release package failed");
    // The record's line has no end of its own and joins the factory's line.
    const std::string path = absolute(config) + "/reliabledata/unit0/empty.bin";
    std::string all = log_text();
    EXPECT_NE(all.find("\nerror: reading image file \"" + path + "\" failed.error: generate rd image \"rd\" failed.\n"),
              std::string::npos) << all;
    EXPECT_FALSE(exists(out));
}

TEST(ReleaseHost, ExampleMinimal) {
    const char* src = getenv("KELVO_SOURCE_DIR");
    if (!src) src = KELVO_TEST_SOURCE_DIR;
    std::string config = std::string(src ? src : ".") + "/examples/minimal";
    if (!exists(config)) GTEST_SKIP() << "no " << config;
    std::string out = testing::TempDir() + "/minimal_" + std::to_string(getpid()) + ".zip";
    Json::Value request = release_request(config, "kv100", out);
    request["variant"] = "release";
    Json::Value done = generate(request);
    ASSERT_FALSE(done.isMember("error")) << json_text(done);
    EXPECT_TRUE(EngineHost::instance().wait_log("Release package generated successfully!\n", 1000) ||
                EngineHost::instance().wait_log("Release package generated successfully!", 1000));
    PackageEntries z = read_package_ziparchive(out);
    ASSERT_TRUE(z.opened);
    Json::Value download = parse(z.files["download.json"]);
    std::set<std::string> names = {"download.json", "fota.json"};
    for (const Json::Value& c : download)
        if (c.isMember("image")) names.insert(c["image"].asString());
    PackageEntries again;
    expect_package(out, names, again);
    EXPECT_EQ(z.files["fota.json"], "null\n");
    ASSERT_EQ(z.files.count("partition.bin"), 1u);
    const std::string& table = z.files["partition.bin"];
    ASSERT_EQ(table.size(), 2184u);
    std::vector<Row> rows = table_rows(table);
    ASSERT_GE(rows.size(), 3u);
    EXPECT_EQ(rows[0].name, "all");
    uint64_t flash_end = 0;
    for (const Row& r : rows) {
        if (r.name == "ptable") {
            EXPECT_EQ(r.vsize, 2184u);
        }
        if (r.depth == 2) flash_end = std::max<uint64_t>(flash_end, uint64_t(r.start) + r.size);
    }
    EXPECT_EQ(flash_end, rows[1].size);  // the auto-sized partition fills the flash
    EXPECT_EQ(download[1]["value"].asUInt64(), weight_sum(download));
    unlink(out.c_str());
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

// examples/full as a user meets it: generated through the exports, and
// every image of the package read back with a reader of its own.
TEST(ReleaseHost, ExampleFullEveryImageReadsBack) {
    const std::string example = std::string(KELVO_TEST_SOURCE_DIR) + "/examples/full";
    const std::string images = example + "/images/", keys = example + "/config/security/key/";
    const std::string work = testing::TempDir() + "full_" + std::to_string(getpid());
    ASSERT_EQ(system(("mkdir -p '" + work + "'").c_str()), 0);
    const std::string before = config_snapshot(example);
    const std::string out = work + "/kv200.zip";
    Json::Value done = generate(release_request(example, "kv200", out));
    ASSERT_FALSE(done.isMember("error")) << log_text();
    EXPECT_EQ(config_snapshot(example), before);  // nothing written into the configuration

    PackageEntries z;
    expect_package(out, {"partition.bin", "finf.img", "fip.bin", "rd.img", "kernel.lzma", "rootfs.ubi", "fuse.img",
                         "sys.img", "download.json", "fota.json"}, z);

    // Partition table: the layout, flash-relative and mapped at 0x80000000.
    std::vector<Row> rows = table_rows(z.files["partition.bin"]);
    const uint32_t base = 0x80000000u, mib = 1u << 20;
    struct Want {
        const char* name;
        uint32_t start, size, vsize;
    } want[] = {{"ptable", 0, 128 << 10, 2184},          {"finf", 128 << 10, 128 << 10, 216},
                {"fip", 256 << 10, 512 << 10, uint32_t(z.files["fip.bin"].size())},
                {"rd", 768 << 10, 128 << 10, 65536},      {"sys", 896 << 10, 3 * mib, 3 * mib},
                {"kernel", 896 << 10, mib, uint32_t(z.files["kernel.lzma"].size())},
                {"rootfs", 896 * 1024 + mib, 2 * mib, 2 * mib}, {"data", 896 * 1024 + 3 * mib, 128 * mib - 896 * 1024 - 3 * mib, 0}};
    ASSERT_EQ(rows.size(), 10u);
    for (size_t i = 0; i < 8; ++i) {
        SCOPED_TRACE(want[i].name);
        const Row& r = rows[i + 2];
        EXPECT_EQ(r.name, want[i].name);
        EXPECT_EQ(r.start, want[i].start);
        EXPECT_EQ(r.size, want[i].size);
        EXPECT_EQ(r.vstart, base + want[i].start);
        if (want[i].vsize) {
            EXPECT_EQ(r.vsize, want[i].vsize);
        }
    }

    // Flash information: the flash file's geometry and first device.
    const std::string& finf = z.files["finf.img"];
    ASSERT_EQ(finf.size(), 216u);
    EXPECT_EQ(finf.substr(0, 4), "FNIF");
    EXPECT_EQ(le32(finf, 4), 0xF1u << 16 | 0x2Cu);  // vendor 0x2C, device 0xF1
    EXPECT_EQ(std::string(finf.c_str() + 8), "MT29F1G08");
    EXPECT_EQ(std::string(finf.c_str() + 72), "nand");
    EXPECT_EQ(le32(finf, 104), 2048u);
    EXPECT_EQ(le32(finf, 108), 131072u);

    // Firmware package: the three images as they are, and certificates of
    // the key set's keys.
    FipEntries fip = fip_entries(z.files["fip.bin"], work);
    EXPECT_TRUE(fip.padding_zero);
    EXPECT_EQ(fip.payload["5FF9EC0B-4D22-3E4D-A544-C39D81C73F0A"], read_file(images + "bl2.bin"));
    EXPECT_EQ(fip.payload["47D4086D-4CFE-9846-9B95-2950CBBD5A00"], read_file(images + "bl31.bin"));
    EXPECT_EQ(fip.payload["D6D0EEA7-FCEA-D54B-9782-9934F234B6E4"], read_file(images + "bl33.bin"));
    auto public_key = [&](const char* file) {
        return dev_keys::shell_output("openssl pkey -pubout -in '" + keys + file + "'");
    };
    const std::string rot = public_key("rot_key.pem"), tw = public_key("trusted_world_key.pem"),
                      ntw = public_key("non_trusted_world_key.pem");
    ASSERT_NE(rot, "");
    EXPECT_EQ(fip.certificate_keys.size(), 6u);
    EXPECT_EQ(fip.certificate_keys["subject=CN = Trusted Boot FW Certificate\n"], rot);
    EXPECT_EQ(fip.certificate_keys["subject=CN = Trusted Key Certificate\n"], rot);
    EXPECT_EQ(fip.certificate_keys["subject=CN = SoC Firmware Key Certificate\n"], tw);
    EXPECT_EQ(fip.certificate_keys["subject=CN = Non-Trusted Firmware Key Certificate\n"], ntw);

    // Fuse image: the root key's hash, as openssl computes it.
    EXPECT_EQ(z.files["fuse.img"].substr(64, 32), dev_keys::root_key_hash(keys + "rot_key.pem"));
    EXPECT_EQ(z.files["fuse.img"].substr(64, 32), read_file(keys + "rotpk_hash.bin"));

    // Reliable data: both records of the set, checked by the python reader.
    Json::Value rd = run_python_json("check_rd_image.py", "'" + out + "' zip:rd.img");
    ASSERT_EQ(rd["records"].size(), 2u) << rd;
    EXPECT_TRUE(rd["checksum_ok"].asBool() && rd["used_ok"].asBool() && rd["fill_ff"].asBool()) << rd;
    EXPECT_EQ(rd["records"][0]["data"].asString(), hex(read_file(example + "/reliabledata/bench/imei.txt")));
    EXPECT_EQ(rd["records"][1]["data"].asString(), hex(read_file(example + "/reliabledata/bench/mep.bin")));

    // LZMA: xz unpacks the kernel.
    write_file(work + "/kernel.lzma", z.files["kernel.lzma"]);
    EXPECT_EQ(dev_keys::shell_output("xz --format=lzma -dc < '" + work + "/kernel.lzma'"),
              read_file(images + "vmlinux.bin"));

    // UBI: the python reader finds both volumes with their data.
    const std::string& ubi = z.files["rootfs.ubi"];
    const int peb = 131072, leb = peb - 4096;
    write_file(work + "/rootfs.ubi", ubi);
    Json::Value image = read_ubi_image_file(work + "/rootfs.ubi", peb);
    expect_ubi_blocks(image, 5u, 4096);  // layout, two blocks of rootfs, one of settings
    if (HasFatalFailure()) return;
    const Json::Value& records = image["blocks"][0]["records"];
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0]["name"].asString(), "rootfs");
    EXPECT_EQ(records[1]["name"].asString(), "settings");
    EXPECT_EQ(records[1]["vol_type"].asInt(), 2);
    EXPECT_TRUE(image["blocks"][4]["data_crc_ok"].asBool());
    const std::string rootfs = read_file(images + "rootfs.img"), settings = read_file(images + "settings.img");
    EXPECT_TRUE(ubi.substr(2 * peb + 4096, leb) + ubi.substr(3 * peb + 4096, rootfs.size() - leb) == rootfs);
    EXPECT_TRUE(ubi.substr(4 * peb + 4096, settings.size()) == settings);

    // The fota group: each child at its partition's offset, erased fill between.
    const std::string& kernel = z.files["kernel.lzma"];
    const size_t padded = (kernel.size() + 4095) / 4096 * 4096;
    const std::string group = kernel + std::string(padded - kernel.size(), '\0') +
                              std::string(mib - padded, '\xFF') + ubi;
    EXPECT_EQ(z.files["sys.img"].size(), group.size());
    EXPECT_TRUE(z.files["sys.img"] == group);
    EXPECT_EQ(parse(z.files["fota.json"]), parse(R"([
        {"partition": "sys", "start": 2148401152, "image": "sys.img"},
        {"partition": "fip", "start": 2147745792, "image": "fip.bin"}])"));

    Json::Value download = parse(z.files["download.json"]);
    EXPECT_EQ(download[1]["value"].asUInt64(), weight_sum(download));
    EXPECT_EQ(system(("rm -rf '" + work + "'").c_str()), 0);
}

// A UBI image of two volumes for a partition on the second of two flashes.
TEST(ReleaseHost, UbiImageOnTheSecondFlash) {
    std::string root = testing::TempDir() + "ubi_config_" + std::to_string(getpid());
    write_file(root + "/config/flash/nor.json", R"({"name": "nor-1m", "type": "nor", "erasedValue": "0xFF",
        "pebSize": "64KiB", "minIoSize": 512, "flashSize": "1MiB",
        "devices": [{"name": "nor", "vendorId": "0x20", "deviceId": "0x18"}]})");
    write_file(root + "/config/flash/nand.json", R"({"name": "nand-8m", "type": "nand", "erasedValue": "0xFF",
        "pebSize": "128KiB", "minIoSize": "2048", "flashSize": "8MiB",
        "devices": [{"name": "chip", "vendorId": "0x2C", "deviceId": "0xDA"}]})");
    write_file(root + "/config/partition/layout.json", R"({"name": "l", "partitions": [
        {"name": "nor0", "format": "flash", "partitions": [
          {"name": "ptable", "format": "raw", "size": "64KiB"},
          {"name": "finf", "format": "raw", "size": "64KiB"}]},
        {"name": "nand0", "format": "flash", "partitions": [
          {"name": "sys", "format": "ubi", "size": "4MiB"},
          {"name": "data", "format": "raw", "size": "-1"}]}]})");
    write_file(root + "/config/product/p.json", R"({"name": "p1", "template": "t", "version": "1.0",
        "version-bootrom": "B1", "keyAlg": "rsa", "layout": "l",
        "flashes": [{"name": "nor0", "flash": "nor-1m"}, {"name": "nand0", "flash": "nand-8m"}]})");
    write_file(root + "/config/security/rsa.json", R"({"keyAlg": "rsa", "keys": [], "rootPkHash": "hash.bin"})");
    write_file(root + "/config/security/key/hash.bin", pattern(32, 'h'));
    write_file(root + "/config/template/t.json", R"({"name": "t", "values": {},
      "images": [
        {"name": "partition", "image": "partition.bin", "io": "out", "format": "aptb"},
        {"name": "finf", "image": "finf.img", "io": "out", "format": "finf"},
        {"name": "sys", "image": "sys.ubi", "io": "out", "format": "ubi",
         "ubi": [{"image": "rootfs", "volume": "rootfs", "type": "dynamic"},
                 {"image": "appdata", "volume": "app", "type": "static"}]},
        {"name": "rootfs", "image": "rootfs.img", "io": "in"},
        {"name": "appdata", "image": "app.img", "io": "in"}],
      "commands": [
        {"command": "partition", "type": "image", "name": "partition", "group": "1"},
        {"command": "flash", "type": "image", "name": "partition", "partition": "ptable", "group": "2"},
        {"command": "flash", "type": "image", "name": "finf", "partition": "finf", "group": "2"},
        {"command": "flash", "type": "image", "name": "sys", "partition": "sys", "group": "2"},
        {"command": "reboot", "group": "3"}]})");
    write_file(root + "/images/rootfs.img", pattern(200000, 'r'));
    write_file(root + "/images/app.img", pattern(7000, 'p'));

    std::string out = root + "/ubi.zip";
    Json::Value request;
    request["path"] = root;
    request["product"] = "p1";
    request["output"] = out;
    Json::Value done = generate(request);
    ASSERT_FALSE(done.isMember("error")) << json_text(done);
    std::string all;
    for (auto& l : EngineHost::instance().logs()) all += l + (l.empty() || l.back() != '\n' ? "\n" : "");
    EXPECT_NE(all.find("  Generating ubi image \"sys.ubi\" with id \"sys\" ...\n"
                       "    Opening image \"rootfs\" from \""),
              std::string::npos)
        << all;

    PackageEntries z;
    expect_package(out, {"partition.bin", "finf.img", "sys.ubi", "download.json", "fota.json"}, z);
    const std::string& ubi = z.files["sys.ubi"];
    const int peb = 131072, leb = peb - 4096;
    ASSERT_EQ(ubi.size(), 5u * peb);  // layout, two blocks of rootfs, one of app
    std::string path = root + "/sys.ubi";
    write_file(path, ubi);
    Json::Value image = read_ubi_image_file(path, peb);
    expect_ubi_blocks(image, 5u, 4096);
    if (HasFatalFailure()) return;
    const Json::Value& records = image["blocks"][0]["records"];
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0]["name"].asString(), "rootfs");
    EXPECT_EQ(records[0]["reserved_pebs"].asInt(), 2);
    EXPECT_EQ(records[1]["name"].asString(), "app");
    EXPECT_EQ(records[1]["vol_type"].asInt(), 2);
    EXPECT_EQ(image["blocks"][4]["vid"]["data_size"].asInt(), 7000);
    EXPECT_TRUE(image["blocks"][4]["data_crc_ok"].asBool());
    EXPECT_TRUE(ubi.substr(2 * peb + 4096, size_t(leb)) + ubi.substr(3 * peb + 4096, size_t(200000 - leb)) ==
                pattern(200000, 'r'));
    EXPECT_EQ(system(("rm -rf '" + root + "'").c_str()), 0);
}

// A fota group of a UBI partition larger than its image, a raw child, a
// child that nothing fills and a last raw child: every image sits at its
// partition's offset within the group.
std::string make_group_config(size_t last_image) {
    std::string root = testing::TempDir() + "group_config_" + std::to_string(getpid());
    write_file(root + "/config/flash/nand.json", R"({"name": "nand-8m", "type": "nand", "erasedValue": "0xFF",
        "pebSize": "128KiB", "minIoSize": "2048", "flashSize": "8MiB",
        "devices": [{"name": "chip", "vendorId": "0x2C", "deviceId": "0xDA"}]})");
    write_file(root + "/config/partition/layout.json", R"({"name": "l", "partitions": [
        {"name": "nand0", "format": "flash", "vstart": "0x10000000", "partitions": [
          {"name": "ptable", "format": "raw", "size": "128KiB"},
          {"name": "sys", "format": "part", "partitions": [
            {"name": "rootfs", "format": "ubi", "size": "1MiB"},
            {"name": "kern", "format": "raw", "size": "256KiB"},
            {"name": "spare", "format": "raw", "size": "128KiB"},
            {"name": "rd", "format": "raw", "size": "128KiB"}]},
          {"name": "data", "format": "raw", "size": "-1"}]}]})");
    write_file(root + "/config/product/p.json", R"({"name": "p1", "template": "t", "version": "1.0",
        "version-bootrom": "B1", "keyAlg": "rsa", "layout": "l",
        "flashes": [{"name": "nand0", "flash": "nand-8m"}], "fota": ["sys"]})");
    write_file(root + "/config/security/rsa.json", R"({"keyAlg": "rsa", "keys": [], "rootPkHash": "hash.bin"})");
    write_file(root + "/config/security/key/hash.bin", pattern(32, 'h'));
    write_file(root + "/config/template/t.json", R"({"name": "t", "values": {},
      "images": [
        {"name": "partition", "image": "partition.bin", "io": "out", "format": "aptb"},
        {"name": "rootfs", "image": "rootfs.ubi", "io": "out", "format": "ubi",
         "ubi": [{"image": "fs", "volume": "rootfs", "type": "dynamic"}]},
        {"name": "fs", "image": "fs.img", "io": "in"},
        {"name": "kern", "image": "kern.img", "io": "in"},
        {"name": "rd", "image": "rd.bin", "io": "in"}],
      "commands": [
        {"command": "partition", "type": "image", "name": "partition", "group": "1"},
        {"command": "flash", "type": "image", "name": "partition", "partition": "ptable", "group": "2"},
        {"command": "flash", "type": "image", "name": "rootfs", "partition": "rootfs", "group": "2"},
        {"command": "flash", "type": "image", "name": "kern", "partition": "kern", "group": "2"},
        {"command": "flash", "type": "image", "name": "rd", "partition": "rd", "group": "2"}]})");
    write_file(root + "/images/fs.img", pattern(200000, 'r'));
    write_file(root + "/images/kern.img", pattern(10000, 'k'));
    write_file(root + "/images/rd.bin", pattern(last_image, 'd'));
    return root;
}

TEST(ReleaseHost, GroupChildrenSitAtTheirPartitionOffsets) {
    std::string root = make_group_config(3000);
    std::string out = root + "/group.zip";
    Json::Value done = generate(release_request(root, "p1", out));
    ASSERT_FALSE(done.isMember("error")) << json_text(done) << log_text();
    PackageEntries z;
    expect_package(out, {"partition.bin", "rootfs.ubi", "kern.img", "rd.bin", "sys.img", "download.json",
                         "fota.json"}, z);
    const std::string& ubi = z.files["rootfs.ubi"];
    ASSERT_EQ(ubi.size(), 512u * 1024);  // two layout blocks and two of data, half the partition
    const size_t mib = 1 << 20, kern = mib, rd = mib + 384 * 1024;
    std::string want = ubi + std::string(mib - ubi.size(), '\xFF') + pattern(10000, 'k') + std::string(2288, '\0') +
                       std::string(rd - kern - 12288, '\xFF') + pattern(3000, 'd') + std::string(1096, '\0');
    const std::string& group = z.files["sys.img"];
    EXPECT_EQ(group.size(), want.size());
    EXPECT_TRUE(group == want);
    // The UBI part of the group still reads back as the volume.
    std::string path = root + "/sys.img";
    write_file(path, group.substr(0, ubi.size()));
    Json::Value image = read_ubi_image_file(path, 131072);
    expect_ubi_blocks(image, 4u, 4096);
    std::vector<Row> rows = table_rows(z.files["partition.bin"]);
    ASSERT_GE(rows.size(), 8u);
    EXPECT_EQ(rows[3].name, "sys");
    EXPECT_EQ(rows[5].name, "kern");
    EXPECT_EQ(rows[5].start - rows[3].start, kern);
    EXPECT_EQ(rows[7].name, "rd");
    EXPECT_EQ(rows[7].start - rows[3].start, rd);
    EXPECT_EQ(parse(z.files["fota.json"]), parse(R"([{"partition": "sys", "start": 268566528, "image": "sys.img"}])"));
    EXPECT_EQ(system(("rm -rf '" + root + "'").c_str()), 0);
}

TEST(ReleaseHost, GroupChildLargerThanItsPartitionFailsNamingIt) {
    std::string root = make_group_config(128 * 1024 + 1);
    std::string out = root + "/group.zip";
    Json::Value done = generate(release_request(root, "p1", out));
    EXPECT_TRUE(done.isMember("error")) << json_text(done);
    EXPECT_NE(log_text().find("error: image \"rd\" (131073 bytes) does not fit partition \"rd\" (131072 bytes) of "
                              "group \"sys\".\n"),
              std::string::npos)
        << log_text();
    EXPECT_FALSE(exists(out));
    EXPECT_EQ(system(("rm -rf '" + root + "'").c_str()), 0);
}

// Every log line of a job reaches the host before the job's event: the
// success line and the last line of a failure, run after run.
TEST(ReleaseHost, EveryLogLineComesBeforeTheJobsEvent) {
    std::string config = make_config();
    EngineHost& host = EngineHost::instance();
    host.start();
    for (int run = 0; run < 80; ++run) {
        SCOPED_TRACE(run);
        const bool fail = run % 4 == 3;
        std::string out = config + "/order.zip";
        host.clear();
        Json::Value request = release_request(config, fail ? "nosuch" : "p1", out);
        ASSERT_EQ(host.release_generate(json_text(request).c_str()), 0);
        HostEvent done;
        ASSERT_TRUE(host.wait_event(8, 60000, &done));
        std::vector<HostEvent> events = host.events();
        const std::string last = fail ? "error: no specified product found.\n" : "Release package generated successfully!\n";
        bool seen = false;
        for (const HostEvent& e : events) {
            if (e.number() == 8) break;
            if (e.number() == 0 && e.message() == last) seen = true;
        }
        EXPECT_TRUE(seen) << last;
        if (!seen) break;
        unlink(out.c_str());
    }
}

}  // namespace
