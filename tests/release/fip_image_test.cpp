// Firmware image packages: member offsets of certificate-only packages, and
// packages made by the in-process certificate generator and packer.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <algorithm>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>

#include <gtest/gtest.h>

#include "json_expect.h"

#include "config_fixture.h"
#include "dev_keys.h"
#include "release/generators.h"
#include "platform/unique_fd.h"
#include "release/image_factory.h"

namespace {

using test_json::parse;

// A package "fwcerts" in partition "fip" at 0x10000 with members around it.
Json::Value offsets_release() {
    return parse(R"({
      "commands": [
        {"command": "flash", "type": "image", "name": "fwcerts", "partition": "fip"},
        {"command": "flash", "type": "image", "name": "bl31", "partition": "bl31"},
        {"command": "flash", "type": "image", "name": "bl33", "partition": "nowhere"},
        {"command": "flash", "type": "image", "name": "twice", "partition": "bl31"},
        {"command": "flash", "type": "image", "name": "twice", "partition": "late"},
        {"command": "flash", "type": "value", "name": "bl2", "partition": "bl2"},
        {"command": "flash", "type": "image", "name": "same", "partition": "fip"}],
      "partitions": [
        {"name": "nor", "format": "flash", "start": 0},
        {"name": "fip", "format": "raw", "start": 65536},
        {"name": "bl31", "format": "raw", "start": 327680},
        {"name": "bl2", "format": "raw", "start": 4096},
        {"name": "late", "format": "raw", "start": 1048576}]})");
}

Json::Value fip_entry(const std::string& images) {
    return parse(R"({"name": "fwcerts", "format": "fip", "fip": {"certOnly": true, "images": )" + images + "}}");
}

TEST(FipOffsets, MemberOffsetsFromTheirPartitionsRelativeToThePackage) {
    Json::Value release = offsets_release();
    Json::Value entry = fip_entry(R"([
        {"image": "bl31", "id": "BL31_IMAGE_ID"},
        {"image": "bl33", "id": "BL33_IMAGE_ID"},
        {"image": "twice", "id": "BL32_IMAGE_ID"},
        {"image": "bl2", "id": "BL2_IMAGE_ID"},
        {"image": "same", "id": "CP_IMAGE_ID"}])");
    std::string printed = captured_stdout([&] { fip_compute_member_offsets(entry, release, "fwcerts"); });
    EXPECT_EQ(printed, "");
    const Json::Value& m = entry["fip"]["images"];
    EXPECT_EQ(m[0]["offset"].asUInt(), 262144u);             // 0x40000 behind the package
    EXPECT_EQ(m[1]["offset"].asUInt(), 0u - 65536u);         // partition missing: start 0, modulo 2^32
    EXPECT_EQ(m[2]["offset"].asUInt(), 1048576u - 65536u);   // the last command in order decides
    EXPECT_EQ(m[3]["offset"].asUInt(), 0u - 65536u);         // only "image" commands count
    EXPECT_EQ(m[4]["offset"].asUInt(), 0u);                  // same partition as the package
    EXPECT_TRUE(m[0]["offset"].isUInt());
}

TEST(FipOffsets, UnreadableStartsLeaveNoOffsetAndFailThePackage) {
    Json::Value release = offsets_release();
    release["partitions"][2]["start"] = Json::UInt64(1) << 32;
    Json::Value entry = fip_entry(R"([{"image": "bl31", "id": "BL31_IMAGE_ID", "offset": 5}])");
    EXPECT_EQ(captured_stdout([&] { fip_compute_member_offsets(entry, release, "fwcerts"); }),
              "error: start of partition \"bl31\" does not fit in 32 bits.\n");
    EXPECT_FALSE(entry["fip"]["images"][0].isMember("offset"));
    // The member itself opens; the package still fails before any tool runs.
    TempTree tree;
    tree.write("bl31.bin", "bl31");
    release["images"] = parse(R"([{"name": "bl31", "io": "in", "image": "bl31.bin"}])");
    release["images"][0]["path"] = tree.root() + "/bl31.bin";
    captured_stdout([&] { EXPECT_EQ(image_generate_fip(entry["fip"], release, -1, 1), -1); });
    EXPECT_TRUE(release["images"][0]["fd"].isInt());
    release_close_images(release);

    // Partitions still a tree: nothing computed, and nothing thrown.
    release = offsets_release();
    release["partitions"] = parse(R"({"name": "root", "children": []})");
    EXPECT_EQ(captured_stdout([&] { fip_compute_member_offsets(entry, release, "fwcerts"); }),
              "error: partitions are not laid out when computing the offsets of a certificate-only package.\n");
    EXPECT_FALSE(entry["fip"]["images"][0].isMember("offset"));
}

// Two members of the trusted-boot chain, signed with a key set that names
// four of the eight keys.
class FipGeneration : public testing::Test {
protected:
    TempTree tree;
    Json::Value release;
    std::map<std::string, std::string> key_files;  // path -> bytes before the run
    void SetUp() override {
        tree.write("images/bl2.bin", std::string(1000, '2'));
        tree.write("images/bl31.bin", std::string(3001, '3'));
        release = parse(R"({
          "security": {"keyAlg": "ecdsa", "hashAlg": "sha256"},
          "images": [{"name": "bl2", "io": "in", "image": "bl2.bin"},
                     {"name": "bl31", "io": "in", "image": "bl31.bin"}]})");
        release["images"][0]["path"] = tree.root() + "/images/bl2.bin";
        release["images"][1]["path"] = tree.root() + "/images/bl31.bin";
        for (const char* key : {"rot-key", "trusted-world-key", "non-trusted-world-key", "soc-fw-key"}) {
            Json::Value k;
            k["option"] = std::string("--") + key;
            k["param"] = tree.root() + "/keys/" + key + ".pem";
            release["security"]["keys"].append(k);
            tree.mkdirs("keys");
            ASSERT_TRUE(dev_keys::make_key(k["param"].asString()));
            key_files[k["param"].asString()] = read_file(k["param"].asString());
        }
        unlink((tree.root() + "/keys/.keep").c_str());
    }

    static std::string read_file(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    // The key directory holds the same files with the same bytes.
    void expect_keys_untouched() {
        std::string listing = command_output("ls -A '" + tree.root() + "/keys'");
        EXPECT_EQ(listing, "non-trusted-world-key.pem\nrot-key.pem\nsoc-fw-key.pem\ntrusted-world-key.pem\n");
        for (const auto& [path, bytes] : key_files) EXPECT_EQ(read_file(path), bytes) << path;
    }
    // The public key a DER certificate carries, and a PEM key's, as openssl prints them.
    std::string cert_public_key(const std::string& der) {
        tree.write("cert.der", der);
        return command_output("openssl x509 -inform DER -noout -pubkey -in '" + tree.root() + "/cert.der'");
    }
    std::string key_public_key(const std::string& pem_path) {
        return command_output("openssl pkey -pubout -in '" + pem_path + "'");
    }
    void TearDown() override { release_close_images(release); }

    // The package's entries as an independent reader sees them: uuid -> payload.
    std::map<std::string, std::string> entries(const std::string& package) {
        std::string path = tree.root() + "/package.fip";
        tree.write("package.fip", package);
        std::istringstream listing(command_output("python3 " KELVO_SOURCE_DIR "/tests/tools/fip_parse.py '" + path + "'"));
        std::map<std::string, std::string> out;
        std::string word, uuid;
        uint64_t offset, size, flags;
        while (listing >> word)
            if (word == "entry" && listing >> uuid >> offset >> size >> flags) out[uuid] = package.substr(offset, size);
        return out;
    }

    std::string subject(const std::string& der) {
        tree.write("cert.der", der);
        return command_output("openssl x509 -inform DER -noout -subject -in '" + tree.root() + "/cert.der'");
    }
};

TEST_F(FipGeneration, MembersAndTheirChainOfTrustArePacked) {
    Json::Value fip = parse(R"({"images": [{"image": "bl31", "id": "BL31_IMAGE_ID"},
                                          {"image": "bl2", "id": "BL2_IMAGE_ID"}]})");
    UniqueFd out(release_open_scratch_fd());
    ASSERT_TRUE(out.valid());
    // A shared member left anywhere is rewound before each tool reads it.
    captured_stdout([&] { ASSERT_EQ(image_open_or_generate("bl31", release, 1), 0); });
    lseek(release["images"][1]["fd"].asInt(), 77, SEEK_SET);
    int rc = -2;
    captured_stdout([&] { rc = image_generate_fip(fip, release, out.get(), 1); });
    ASSERT_EQ(rc, 0);

    auto toc = entries(read_whole_fd(out.get()));
    ASSERT_EQ(toc.size(), 6u);
    EXPECT_EQ(toc["5FF9EC0B-4D22-3E4D-A544-C39D81C73F0A"], std::string(1000, '2'));
    EXPECT_EQ(toc["47D4086D-4CFE-9846-9B95-2950CBBD5A00"], std::string(3001, '3'));
    std::map<std::string, std::string> by_subject;  // subject -> certificate
    for (const auto& e : toc)
        if (e.second[0] == 0x30) by_subject[subject(e.second)] = e.second;
    ASSERT_EQ(by_subject.size(), 4u);
    auto cert = [&](const std::string& cn) {
        for (const auto& [s, der] : by_subject)
            if (s.find(cn) != std::string::npos) return der;
        ADD_FAILURE() << "no certificate " << cn;
        return std::string();
    };
    // Each is made with the key set's key from its file: the root key signs
    // the trusted-boot and trusted-key certificates, the named world key the
    // SoC key certificate; the soc-fw key signs the SoC content certificate.
    const std::string keys = tree.root() + "/keys/";
    EXPECT_EQ(cert_public_key(cert("Trusted Boot FW Certificate")), key_public_key(keys + "rot-key.pem"));
    EXPECT_EQ(cert_public_key(cert("Trusted Key Certificate")), key_public_key(keys + "rot-key.pem"));
    EXPECT_EQ(cert_public_key(cert("SoC Firmware Key Certificate")), key_public_key(keys + "trusted-world-key.pem"));
    EXPECT_EQ(cert_public_key(cert("SoC Firmware Content Certificate")), key_public_key(keys + "soc-fw-key.pem"));
    // Nothing is written into the key set's directory.
    expect_keys_untouched();
}

// A key file the key set names but that is missing, or a key set without a
// root key: the package fails naming it before any tool runs, and nothing is
// made up in the configuration directory.
TEST_F(FipGeneration, MissingKeyFilesFailThePackage) {
    Json::Value fip = parse(R"({"images": [{"image": "bl2", "id": "BL2_IMAGE_ID"}]})");
    const std::string keys = tree.root() + "/keys/";
    const std::string missing = keys + "trusted-world-key.pem";
    ASSERT_EQ(rename(missing.c_str(), (tree.root() + "/twk.pem").c_str()), 0);
    key_files.erase(missing);
    UniqueFd out(release_open_scratch_fd());
    int rc = 0;
    std::string printed = captured_stdout([&] { rc = image_generate_fip(fip, release, out.get(), 1); });
    EXPECT_EQ(rc, -1);
    auto last_line = [](const std::string& text) {
        size_t from = text.rfind('\n', text.size() >= 2 ? text.size() - 2 : 0);
        return from == std::string::npos ? text : text.substr(from + 1);
    };
    EXPECT_EQ(last_line(printed), "error: key file \"" + missing +
                                      "\" for --trusted-world-key cannot be opened: No such file or directory.\n");
    EXPECT_EQ(read_whole_fd(out.get()), "");
    EXPECT_EQ(command_output("ls -A '" + keys + "'"), "non-trusted-world-key.pem\nrot-key.pem\nsoc-fw-key.pem\n");

    ASSERT_EQ(rename((tree.root() + "/twk.pem").c_str(), missing.c_str()), 0);
    release["security"]["keys"].removeIndex(0, nullptr);  // the root key
    printed = captured_stdout([&] { rc = image_generate_fip(fip, release, out.get(), 1); });
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(last_line(printed), "error: the key set names no root key (--rot-key).\n");
    EXPECT_EQ(read_whole_fd(out.get()), "");
}

TEST_F(FipGeneration, CertificateOnlyPackageRecordsOffsetsInsteadOfImages) {
    Json::Value fip = parse(R"({"certOnly": true, "callBoot2": true,
                               "images": [{"image": "bl2", "id": "BL2_IMAGE_ID", "offset": 262144}]})");
    UniqueFd out(release_open_scratch_fd());
    int rc = -2;
    captured_stdout([&] { rc = image_generate_fip(fip, release, out.get(), 1); });
    ASSERT_EQ(rc, 0);
    std::string package = read_whole_fd(out.get());
    EXPECT_EQ(package.substr(8, 8), std::string("\0\0\0\0\1\0\0\0", 8));  // platform flag
    std::string path = tree.root() + "/package.fip";
    tree.write("package.fip", package);
    std::string listing = command_output("python3 " KELVO_SOURCE_DIR "/tests/tools/fip_parse.py '" + path + "'");
    EXPECT_NE(listing.find("entry 5FF9EC0B-4D22-3E4D-A544-C39D81C73F0A 262144 1000 "), std::string::npos)
        << listing;
    EXPECT_EQ(package.find(std::string(1000, '2')), std::string::npos);  // the image itself is not carried
}

// The tools keep the last image of a kind: the first would be left out.
TEST_F(FipGeneration, TwoMembersOfOneKindFailThePackage) {
    Json::Value fip = parse(R"({"images": [{"image": "bl2", "id": "BL2_IMAGE_ID"},
                                          {"image": "bl31", "id": "BL2_IMAGE_ID"}]})");
    UniqueFd out(release_open_scratch_fd());
    int rc = 0;
    std::string printed = captured_stdout([&] { rc = image_generate_fip(fip, release, out.get(), 1); });
    EXPECT_EQ(rc, -1);
    EXPECT_NE(printed.find("error: fip image holds two members of kind \"BL2_IMAGE_ID\".\n"), std::string::npos)
        << printed;
    EXPECT_EQ(read_whole_fd(out.get()), "");
}

TEST_F(FipGeneration, FailingCertificateGeneratorSkipsThePacker) {
    release["security"]["keyAlg"] = "dsa";
    Json::Value fip = parse(R"({"images": [{"image": "bl2", "id": "BL2_IMAGE_ID"}]})");
    UniqueFd out(release_open_scratch_fd());
    int rc = 0;
    std::string printed = captured_stdout([&] { rc = image_generate_fip(fip, release, out.get(), 1); });
    EXPECT_NE(rc, 0);
    EXPECT_NE(printed.find("ERROR:   Invalid key algorithm 'dsa'"), std::string::npos) << printed;
    EXPECT_EQ(read_whole_fd(out.get()), "");
}

}  // namespace
