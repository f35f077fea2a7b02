// Images loaded from the package for a device's download limit, and shared.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>

#include <sparse/sparse.h>

#include "flash/client_util.h"
#include "script_fixture.h"
#include "sparse_builder.h"

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

// A load on a download thread of its own, contained as the runner contains a
// script; whatever it finds, a waiting test never outlives it.
std::shared_future<bool> load_contained(const std::string& limit, const std::string& image,
                                        const std::string& partition) {
    auto done = std::make_shared<std::promise<bool>>();
    std::shared_future<bool> result = done->get_future().share();
    std::thread([done, limit, image, partition] {
        bool ok = fatal_contain(
            [&] {
                FakeDevice d;
                d.vars["max-download-size"] = limit;
                LoadedImage loaded;
                return load_command_image(d, image, "flash", loaded, partition);
            },
            false);
        done->set_value(ok);
    }).detach();
    return result;
}

// Each bad container fails its own load with "cannot sparse read file", fast,
// while another device's load of a good image goes on beside it.
TEST(ImageCache, BadSparseImagesFailAloneAndFast) {
    using namespace sparse_test;
    std::string expanded;
    std::string good = good_image(expanded);
    std::string badCrc = good;
    badCrc[28 + 12 + 5] ^= 1;
    std::string raw = pattern_blocks(1, 2);
    Header zeroBlock, huge, fewBlocks;
    zeroBlock.blockSize = 0;
    huge.totalBlocks = 0xFFFFFFFF;
    fewBlocks.totalBlocks = 1;
    struct Case {
        const char* name;
        std::string bytes;
    } cases[] = {
        {"zero-block.img", container(zeroBlock, {{kDontCare, 1, ""}})},
        {"huge.img", container(huge, {{kDontCare, 0xFFFFFFFF, ""}})},
        {"bad-crc.img", badCrc},
        {"beyond.img", container(fewBlocks, {{kRaw, 1, raw}, {kDontCare, 1, ""}})},
        {"raw-beyond-file.img", container({}, {{kRaw, 2, raw}})},
        {"cut.img", good.substr(0, 20)},
    };
    std::vector<ZipItem> items = cache_items();
    items.push_back({"good.img", good});
    for (const auto& c : cases) items.push_back({c.name, c.bytes});
    PackageSession s;
    ASSERT_TRUE(s.open(items));

    int round = 0;
    for (const auto& c : cases) {
        testing::internal::CaptureStderr();
        auto bad = load_contained("0x10000", c.name, "modem");
        // A limit of its own each round: the good image is extracted anew.
        auto other = load_contained(std::to_string(0x10000 + 4096 * ++round), "good.img", "modem");
        bool badDone = bad.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
        bool otherDone = other.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
        std::string err = testing::internal::GetCapturedStderr();
        ASSERT_TRUE(badDone) << c.name << " still loading";
        ASSERT_TRUE(otherDone) << c.name << ": the other device waits";
        EXPECT_FALSE(bad.get()) << c.name;
        EXPECT_TRUE(other.get()) << c.name;
        EXPECT_NE(err.find("error: cannot sparse read file\n"), std::string::npos) << c.name << "\n" << err;
    }
    EXPECT_EQ(image_cache_size(), size_t(round)) << "only the good image is cached";
}

// The partition table bounds what an image takes on the device, container or
// plain: each fits "modem" (2 MiB); a partition the table gives 16 KiB takes
// a plain image of up to 16 KiB in whole blocks and refuses a byte more.
TEST(ImageCache, ImagesAreBoundedByThePartition) {
    using namespace sparse_test;
    Header big;
    big.totalBlocks = 0x100;  // 1 MiB
    std::vector<ZipItem> items = cache_items();
    std::vector<AptbRow> rows = sample_rows();
    rows.push_back({"tiny", "raw", 0x800000, 0x4000, 0, 0x4000, 2});
    for (auto& item : items)
        if (item.name == "partition.bin") item.bytes = make_aptb(rows);
    items.push_back({"big.img", container(big, {{kDontCare, 0x100, ""}})});
    items.push_back({"plain16k.img", std::string(0x4000, 'p')});
    items.push_back({"plain-short.img", std::string(0x3001, 'q')});  // one block short once padded
    items.push_back({"plain-over.img", std::string(0x4001, 'r')});
    PackageSession s;
    ASSERT_TRUE(s.open(items));
    struct Case {
        const char* image;
        const char* partition;
        bool ok;
        const char* line;  // on standard error when refused
    };
    const Case cases[] = {
        {"big.img", "modem", true, ""},
        {"big.img", "tiny", false, "sparse image 'big.img' refused: expands to 1048576 bytes, more than the 16384"},
        {"plain-over.img", "modem", true, ""},
        {"plain16k.img", "tiny", true, ""},
        {"plain-short.img", "tiny", true, ""},
        {"plain-over.img", "tiny", false,
         "image 'plain-over.img' refused: it takes 20480 bytes, more than the 16384 its target holds\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.image) + " to " + c.partition);
        testing::internal::CaptureStderr();
        int err = 0;
        bool ok = fatal_contain(
            [&] {
                FakeDevice d;
                d.vars["max-download-size"] = "0x10000";
                LoadedImage loaded;
                bool loadedOk = load_command_image(d, c.image, "flash", loaded, c.partition);
                err = errno;
                return loadedOk;
            },
            false);
        std::string out = testing::internal::GetCapturedStderr();
        EXPECT_EQ(ok, c.ok);
        if (!c.ok) {
            EXPECT_NE(out.find(c.line), std::string::npos) << out;
        }
        if (!c.ok && std::string(c.image).rfind("plain", 0) == 0) {
            EXPECT_EQ(err, EFBIG);
        }
    }
}

}  // namespace
