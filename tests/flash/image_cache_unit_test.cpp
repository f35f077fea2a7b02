// Images loaded from the package for a device's download limit, and shared.
#include <gtest/gtest.h>

#include <sparse/sparse.h>

#include "script_fixture.h"

namespace {

TEST(DownloadLimit, Parses) {
    struct Case {
        const char* text;
        bool ok;
        uint64_t value;
    } cases[] = {
        {"0x10000000", true, 268435456}, {"0X10", true, 16}, {"010", true, 10},
        {"4200", true, 4200},            {"0", true, 0},     {"0x", false, 0},
        {"12MB", false, 0},              {"", false, 0},     {"-5", false, 0},
        {"0x1g", false, 0},              {"18446744073709551615", true, UINT64_MAX},
        {"18446744073709551616", false, 0}, {"0x10000000000000000", false, 0},
    };
    for (const auto& c : cases) {
        uint64_t v = 0;
        EXPECT_EQ(parse_download_limit(c.text, v), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(v, c.value) << c.text;
        }
    }
}

std::vector<ZipItem> cache_items() {
    std::string fuse(128, '\0');
    for (size_t i = 0; i < fuse.size(); ++i) fuse[i] = static_cast<char>(i);
    std::string system(5 * 4096, '\0');
    for (size_t i = 0; i < system.size(); ++i) system[i] = static_cast<char>((i * 7) % 251 + 1);
    return {{"download.json",
             R"([{"command": "boot", "image": "boot.img"},
                 {"command": "flash", "image": "system.img", "partition": "system"},
                 {"command": "fuse", "image": "fuse.bin"}])"},
            {"partition.bin", make_aptb(sample_rows())},
            {"boot.img", std::string(4201, 'b')},
            {"system.img", system},
            {"fuse.bin", fuse}};
}

struct Load {
    bool ok;
    LoadedImage image;
    Captured io;
};
Load load(const std::string& limit, const std::string& image, const std::string& command) {
    Load l{};
    l.io = run_on_thread([&] {
        FakeDevice d;
        if (limit != "-") d.vars["max-download-size"] = limit;
        l.ok = load_command_image(d, image, command, l.image);
    });
    return l;
}

TEST(ImageCache, ChecksTheDeviceLimit) {
    PackageSession s;
    ASSERT_TRUE(s.open(cache_items()));
    struct Case {
        const char* limit;
        bool ok;
        const char* err;  // expected on stderr
        const char* out;  // expected on stdout
    } cases[] = {
        {"-", false, "target didn't report max-download-size\n", ""},
        {"", false, "target didn't report max-download-size\n", ""},
        {" 0x10000000 ", true, "target reported max download size of 268435456 bytes\n", ""},
        {"010", false, "target reported max download size of 10 bytes\n",
         "target max download size is too small to hold the minimum sparse file\n"},
        {"0x", false, "couldn't parse max-download-size '0x'\n", ""},
        {"12MB", false, "couldn't parse max-download-size '12MB'\n", ""},
        {"4199", false, "", "target max download size is too small to hold the minimum sparse file\n"},
        {"4200", true, "target reported max download size of 4200 bytes\n", ""},
        {"0xffffffffffffffff", false, "", "target max download size is too small"},
    };
    for (const auto& c : cases) {
        Load l = load(c.limit, "system.img", "flash");
        EXPECT_EQ(l.ok, c.ok) << c.limit;
        EXPECT_NE(l.io.err.find(c.err), std::string::npos) << c.limit << "\n" << l.io.err;
        EXPECT_NE(l.io.out.find(c.out), std::string::npos) << c.limit << "\n" << l.io.out;
    }
    Load zero = load("0", "system.img", "flash");
    EXPECT_FALSE(zero.ok);
    EXPECT_EQ(zero.io.err.find("target reported"), std::string::npos);
}

TEST(ImageCache, SharesOneEntryPerCommandImageAndLimit) {
    PackageSession s;
    ASSERT_TRUE(s.open(cache_items()));
    Load first = load("0x10000", "system.img", "flash");
    Load second = load("65536", "system.img", "flash");
    ASSERT_TRUE(first.ok && second.ok);
    EXPECT_EQ(count_of(first.io.err, "extracting system.img (20 KB)...\n"), 1u) << first.io.err;
    EXPECT_EQ(count_of(second.io.err, "extracting"), 0u) << second.io.err;
    EXPECT_EQ(first.image.pieces, second.image.pieces);
    EXPECT_EQ(image_cache_size(), 1u);

    ASSERT_NE(first.image.pieces[0], nullptr);
    EXPECT_EQ(first.image.pieces[1], nullptr);

    // Same image, other command: another entry, another extraction.
    Load boot = load("0x10000", "system.img", "boot");
    Load call = load("0x10000", "system.img", "call");
    ASSERT_TRUE(boot.ok && call.ok);
    EXPECT_EQ(count_of(call.io.err, "extracting system.img"), 1u);
    EXPECT_EQ(boot.image.kind, kImageDescriptor);
    EXPECT_EQ(boot.image.size, 5 * 4096);
    EXPECT_NE(boot.image.fd, call.image.fd);
    // Another device limit: its own entry and extraction.
    Load otherLimit = load("0x20000", "system.img", "boot");
    ASSERT_TRUE(otherLimit.ok);
    EXPECT_EQ(count_of(otherLimit.io.err, "extracting system.img"), 1u);
    EXPECT_NE(otherLimit.image.fd, boot.image.fd);
    EXPECT_EQ(image_cache_size(), 4u);

    package_release_images();
    EXPECT_EQ(image_cache_size(), 0u);
}

TEST(ImageCache, CutsFlashImagesToTheLimit) {
    PackageSession s;
    ASSERT_TRUE(s.open(cache_items()));
    Load whole = load("0x10000", "system.img", "flash");
    Load smaller = load("8192", "system.img", "flash");
    ASSERT_TRUE(whole.ok && smaller.ok);
    EXPECT_EQ(count_of(smaller.io.err, "extracting system.img"), 1u);
    size_t n = 0;
    for (; smaller.image.pieces[n]; ++n) {
        int64_t len = sparse_file_len(smaller.image.pieces[n], true, true);
        EXPECT_GT(len, 0);
        EXPECT_LE(len, 8192);
    }
    EXPECT_GT(n, 1u);
}

TEST(ImageCache, ConcurrentDevicesExtractOnce) {
    PackageSession s;
    ASSERT_TRUE(s.open(cache_items()));
    std::vector<LoadedImage> images(4);
    std::vector<int> ok(4, 0);
    Captured io = run_on_thread([&] {
        std::vector<std::thread> threads;
        for (int i = 0; i < 4; ++i)
            threads.emplace_back([&, i] {
                FakeDevice d;
                d.vars["max-download-size"] = "0x10000";
                ok[i] = load_command_image(d, "system.img", "flash", images[i]);
            });
        for (auto& t : threads) t.join();
    });
    for (int i = 0; i < 4; ++i) {
        EXPECT_TRUE(ok[i]);
        EXPECT_EQ(images[i].pieces, images[0].pieces);
    }
    EXPECT_EQ(count_of(io.err, "extracting system.img"), 1u) << io.err;
}

TEST(ImageCache, KindsByCommand) {
    PackageSession s;
    ASSERT_TRUE(s.open(cache_items()));
    Load fuse = load("4200", "fuse.bin", "fuse");
    ASSERT_TRUE(fuse.ok);
    EXPECT_EQ(fuse.image.kind, kImageMemory);
    ASSERT_EQ(fuse.image.size, 128);
    for (int i = 0; i < 128; ++i) EXPECT_EQ(fuse.image.bytes[i], i);

    Load fits = load("4201", "boot.img", "boot");
    ASSERT_TRUE(fits.ok);
    EXPECT_EQ(fits.image.kind, kImageDescriptor);
    EXPECT_EQ(fits.image.size, 4201);
    char first = 0;
    EXPECT_EQ(pread(fits.image.fd, &first, 1, 0), 1);
    EXPECT_EQ(first, 'b');

    Load tooBig = load("4200", "boot.img", "boot");
    EXPECT_FALSE(tooBig.ok);
    EXPECT_NE(tooBig.io.err.find("No enough download area to hold image for command 'boot'\n"),
              std::string::npos);
    EXPECT_NE(tooBig.io.out.find("cannot load boot.img from flash: "), std::string::npos);

    Load absent = load("4200", "nothing.img", "boot");
    EXPECT_FALSE(absent.ok);
    EXPECT_NE(absent.io.err.find("archive does not contain 'nothing.img'\n"), std::string::npos);
    EXPECT_EQ(image_cache_size(), 2u);  // failures leave nothing behind
}

}  // namespace
