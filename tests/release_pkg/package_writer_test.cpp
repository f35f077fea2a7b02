// The package writer over scratch images: entries, alignment, failures.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>

#include "base/json_text.h"
#include "package_reader.h"
#include "release/package_writer.h"
#include "release/ptable_image.h"
#include "test_util.h"

namespace {

struct Images {
    std::vector<int> fds;
    ~Images() {
        for (int fd : fds) close(fd);
    }
    Json::Value entry(const std::string& name, const std::string& image, const std::string& bytes) {
        int fd = scratch_fd();
        release_write_fully(fd, bytes.data(), bytes.size());
        fds.push_back(fd);  // left at its end: the writer must rewind
        Json::Value e;
        e["name"] = name;
        e["image"] = image;
        e["fd"] = fd;
        e["size"] = Json::UInt64(bytes.size());
        return e;
    }
};

std::string temp_path(const char* name) { return testing::TempDir() + "/" + name; }

bool exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

Json::Value sample(Images& images) {
    Json::Value r;
    r["images"].append(images.entry("a", "a.bin", std::string(5000, 'a') + "tail"));
    r["images"].append(images.entry("e", "empty.bin", ""));
    r["images"].append(images.entry("g", "grp.img", "group"));
    Json::Value unopened;
    unopened["name"] = "u";
    unopened["image"] = "unopened.bin";
    r["images"].append(unopened);
    r["downloadJson"] = parse_json(R"([{"command": "flash", "image": "a.bin"}, {"command": "flash", "image": "a.bin"},
        {"command": "boot", "image": "empty.bin"}, {"command": "call", "image": "unopened.bin"}, {"command": "reboot"}])");
    r["fota"] = parse_json(R"([{"partition": "x", "image": "a.bin"}, {"partition": "g", "image": "grp.img"}])");
    return r;
}

TEST(PackageWriter, EntriesReadBackByBothReaders) {
    Images images;
    Json::Value r = sample(images);
    const std::string out = temp_path("pkg_ok.zip");
    testing::internal::CaptureStdout();
    ASSERT_EQ(release_write_package(r, out), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Generating target release package ...\nDone.\n");

    PackageEntries z = read_package_ziparchive(out);
    ASSERT_TRUE(z.opened);
    EXPECT_EQ(z.files.size(), 5u);
    EXPECT_EQ(z.files["a.bin"], std::string(5000, 'a') + "tail");
    EXPECT_EQ(z.files["empty.bin"], "");
    EXPECT_EQ(z.files["grp.img"], "group");
    EXPECT_EQ(z.files["download.json"], json_styled(r["downloadJson"]));
    EXPECT_EQ(z.files["fota.json"], json_styled(r["fota"]));
    EXPECT_EQ(z.files.count("unopened.bin"), 0u);

    Json::Value py = read_package_python(out);
    ASSERT_TRUE(py.isObject());
    EXPECT_TRUE(py["crc_ok"].asBool());
    ASSERT_EQ(py["entries"].size(), 5u);
    for (const Json::Value& e : py["entries"]) {
        EXPECT_EQ(e["method"].asInt(), 8) << e["name"];  // deflated
        EXPECT_TRUE(e["aligned"].asBool()) << e["name"];
    }
    EXPECT_EQ(py["files"]["download.json"].asString(), json_styled(r["downloadJson"]));
    EXPECT_TRUE(unzip_tests_ok(out));
}

TEST(PackageWriter, NoFotaGivesNull) {
    Images images;
    Json::Value r = sample(images);
    r["fota"] = Json::Value();
    const std::string out = temp_path("pkg_nofota.zip");
    testing::internal::CaptureStdout();
    ASSERT_EQ(release_write_package(r, out), 0);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(read_package_ziparchive(out).files["fota.json"], "null\n");
}

TEST(PackageWriter, FailuresLeaveNothingAndKeepAnEarlierPackage) {
    const std::string out = temp_path("pkg_keep.zip");
    std::ofstream(out) << "earlier";
    struct Case { const char* image; const char* line; } cases[] = {
        {"download.json", "error: package entry \"download.json\" named twice.\n"},
        {"../evil.bin", "error: package entry name \"../evil.bin\" refused.\n"},
        {"/abs.bin", "error: package entry name \"/abs.bin\" refused.\n"},
        {"dir\\x.bin", "error: package entry name \"dir\\x.bin\" refused.\n"},
        {"", "error: package entry name \"\" refused.\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.image);
        Images images;
        Json::Value r = sample(images);
        r["images"][0]["image"] = c.image;
        r["downloadJson"][0]["image"] = c.image;
        testing::internal::CaptureStdout();
        EXPECT_EQ(release_write_package(r, out), -1);
        std::string printed = testing::internal::GetCapturedStdout();
        EXPECT_NE(printed.find(c.line), std::string::npos) << printed;
        std::ifstream in(out);
        std::string kept((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_EQ(kept, "earlier");
    }

    // Two images under one file name: the package could carry only one of them.
    {
        Images images;
        Json::Value r = sample(images);
        r["images"].append(images.entry("b", "a.bin", "other bytes"));
        testing::internal::CaptureStdout();
        EXPECT_EQ(release_write_package(r, out), -1);
        EXPECT_NE(testing::internal::GetCapturedStdout().find(
                      "error: images \"a\" and \"b\" differ but share the package entry \"a.bin\".\n"),
                  std::string::npos);
        std::ifstream in(out);
        EXPECT_EQ(std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>()), "earlier");
    }
    // ... unless they hold the same bytes (one source file named twice).
    {
        Images images;
        Json::Value r = sample(images);
        r["images"].append(images.entry("b", "a.bin", std::string(5000, 'a') + "tail"));
        const std::string same = temp_path("pkg_same.zip");
        testing::internal::CaptureStdout();
        EXPECT_EQ(release_write_package(r, same), 0);
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(read_package_ziparchive(same).files["a.bin"], std::string(5000, 'a') + "tail");
    }

    Images images;
    Json::Value r = sample(images);
    const std::string missing = temp_path("no_such_dir/pkg.zip");
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(release_write_package(r, missing), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "create file \"" + missing + "\" failed\n");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Generating target release package ...\nDone.\n");
    EXPECT_FALSE(exists(missing));

    // An image that cannot be read fails the package; no temporary is left.
    Images broken;
    Json::Value b = sample(broken);
    b["images"][0]["fd"] = 999;  // not a descriptor
    const std::string dir_out = temp_path("pkg_broken.zip");
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(release_write_package(b, dir_out), -1);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "open file \"a.bin\" failed\n");
    EXPECT_FALSE(exists(dir_out));
    std::string listing;
    if (FILE* p = popen(("ls " + testing::TempDir()).c_str(), "r")) {
        char buf[4096];
        for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) listing.append(buf, n);
        pclose(p);
    }
    EXPECT_EQ(listing.find("pkg_broken.zip."), std::string::npos) << listing;
}

}  // namespace
