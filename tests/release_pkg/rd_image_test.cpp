// The reliable-data image: the container byte by byte, and the builder that
// reads a set's record files below the configuration root.
#include <gtest/gtest.h>

#include <fcntl.h>

#include <cstring>
#include <fstream>

#include "../release/config_fixture.h"
#include "package_reader.h"
#include "release/config_dir.h"
#include "release/generators.h"
#include "release/image_factory.h"
#include "release/rd_image.h"
#include "test_util.h"

namespace {

std::vector<uint8_t> bytes_of(const ReliableDataImage& image) {
    return std::vector<uint8_t>(image.bytes, image.bytes + kReldataImageSize);
}

int add(ReliableDataImage& image, uint32_t id, const std::string& name, const std::string& data) {
    return reldata_image_add_record(image, id, name.c_str(), reinterpret_cast<const uint8_t*>(data.data()),
                                    data.size());
}

// RFC 1950 Adler-32, written out here rather than taken from zlib.
uint32_t adler(const std::vector<uint8_t>& b, size_t from, size_t to) {
    uint32_t a = 1, s = 0;
    for (size_t i = from; i < to; ++i) {
        a = (a + b[i]) % 65521;
        s = (s + a) % 65521;
    }
    return s << 16 | a;
}

// The python reader's view of an image's bytes.
Json::Value python_view(const std::vector<uint8_t>& b) {
    std::string path = testing::TempDir() + "/rd_" + std::to_string(getpid()) + ".bin";
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(b.data()), b.size());
    Json::Value v = run_python_json("check_rd_image.py", "'" + path + "'");
    unlink(path.c_str());
    return v;
}

TEST(ReliableDataImage, EmptyContainer) {
    auto image = reldata_image_create();
    std::vector<uint8_t> b = bytes_of(*image);
    const uint32_t header[] = {0xCAFECAFE, 0, 0x1019, 0, 1, 0xDADADADA};
    for (size_t i = 0; i < 6; ++i) EXPECT_EQ(le32(b, 4 * i), header[i]) << i;
    for (size_t i = 24; i < b.size(); ++i) ASSERT_EQ(b[i], 0xFF) << i;
}

// The worked example: IMEI record "imei" holding "abc".
TEST(ReliableDataImage, OneRecordByteLayout) {
    auto image = reldata_image_create();
    ASSERT_EQ(add(*image, kReldataIdImei, "imei", "abc"), 3);
    std::vector<uint8_t> b = bytes_of(*image);
    EXPECT_EQ(le32(b, 0), 0xCAFECAFEu);
    EXPECT_EQ(le32(b, 4), 0x5FB908B9u);
    EXPECT_EQ(le32(b, 8), 0x1019u);
    EXPECT_EQ(le32(b, 12), 159u);
    EXPECT_EQ(le32(b, 16), 2u);
    EXPECT_EQ(le32(b, 20), 0xCAFE0010u);
    EXPECT_EQ(le32(b, 24), 0x01000004u);
    EXPECT_EQ(std::string(b.begin() + 28, b.begin() + 32), "imei");
    for (size_t i = 32; i < 152; ++i) ASSERT_EQ(b[i], 0) << i;  // name tail and reserved
    EXPECT_EQ(le32(b, 152), 0xA29B6D9Eu);
    EXPECT_EQ(std::string(b.begin() + 156, b.begin() + 159), "abc");
    EXPECT_EQ(b[159], 0xFF);
    EXPECT_EQ(le32(b, 160), 0xDADADADAu);
    for (size_t i = 164; i < b.size(); ++i) ASSERT_EQ(b[i], 0xFF) << i;

    Json::Value py = python_view(b);
    ASSERT_EQ(py["records"].size(), 1u) << py;
    EXPECT_TRUE(py["checksum_ok"].asBool());
    EXPECT_TRUE(py["records"][0]["check_ok"].asBool());
    EXPECT_EQ(py["marker"].asUInt(), 160u);
}

TEST(ReliableDataImage, PadCountsAndSizeWords) {
    struct Case { size_t length; uint32_t size_word; } cases[] = {
        {1, 0x03000004}, {2, 0x02000004}, {3, 0x01000004}, {4, 0x00000004}, {5, 0x03000008}};
    for (const Case& c : cases) {
        auto image = reldata_image_create();
        ASSERT_EQ(add(*image, kReldataIdMep, "r", std::string(c.length, 'x')), int(c.length));
        std::vector<uint8_t> b = bytes_of(*image);
        size_t rounded = c.size_word & 0xFFFFFF;
        EXPECT_EQ(le32(b, 24), c.size_word) << c.length;
        for (size_t i = 156 + c.length; i < 156 + rounded; ++i) EXPECT_EQ(b[i], 0xFF) << c.length;
        EXPECT_EQ(le32(b, 156 + rounded), 0xDADADADAu) << c.length;
        EXPECT_EQ(le32(b, 12), 156 + c.length) << c.length;
        EXPECT_EQ(le32(b, 4), adler(b, 8, 156 + rounded)) << c.length;
    }
}

TEST(ReliableDataImage, TwoRecordsBackToBack) {
    auto image = reldata_image_create();
    ASSERT_EQ(add(*image, kReldataIdImei, "imei", "12345"), 5);
    ASSERT_EQ(add(*image, kReldataIdOther, "cal", "zz"), 2);
    std::vector<uint8_t> b = bytes_of(*image);
    const size_t second = 20 + 136 + 8;
    EXPECT_EQ(le32(b, 16), 3u);
    EXPECT_EQ(le32(b, second), 0xCAFE0020u);
    EXPECT_EQ(le32(b, 12), second + 136 + 2);
    EXPECT_EQ(le32(b, second + 136 + 4), 0xDADADADAu);
    EXPECT_EQ(le32(b, 4), adler(b, 8, second + 140));

    Json::Value py = python_view(b);
    ASSERT_EQ(py["records"].size(), 2u) << py;
    for (const Json::Value& r : py["records"]) {
        EXPECT_TRUE(r["check_ok"].asBool()) << r;
        EXPECT_TRUE(r["pad_ff"].asBool()) << r;
    }
    EXPECT_EQ(py["records"][1]["name"].asString(), "cal");
    EXPECT_EQ(py["records"][1]["data"].asString(), "7a7a");
    EXPECT_TRUE(py["used_ok"].asBool());
    EXPECT_TRUE(py["checksum_ok"].asBool());
    EXPECT_TRUE(py["fill_ff"].asBool());
}

// A refused record leaves the image as it was.
TEST(ReliableDataImage, LimitsOfNameAndRoom) {
    auto image = reldata_image_create();
    std::vector<uint8_t> before = bytes_of(*image);
    EXPECT_EQ(add(*image, kReldataIdOther, std::string(116, 'n'), "a"), -1);
    EXPECT_EQ(add(*image, kReldataIdOther, "big", std::string(kReldataMaxData + 1, 'd')), -1);
    EXPECT_TRUE(bytes_of(*image) == before);

    ASSERT_EQ(add(*image, kReldataIdOther, std::string(115, 'n'), "a"), 1);
    EXPECT_EQ(bytes_of(*image)[28 + 115], 0);  // the NUL ends the name field

    auto full = reldata_image_create();
    EXPECT_EQ(kReldataMaxData, 65376u);
    ASSERT_EQ(add(*full, kReldataIdOther, "big", std::string(kReldataMaxData, 'd')), int(kReldataMaxData));
    std::vector<uint8_t> b = bytes_of(*full);
    EXPECT_EQ(le32(b, 65532), 0xDADADADAu);
    EXPECT_EQ(le32(b, 12), 65532u);
    EXPECT_EQ(add(*full, kReldataIdOther, "more", ""), -1);
    EXPECT_EQ(le32(bytes_of(*full), 16), 2u);

    // Records that together overflow: the second does not fit.
    auto two = reldata_image_create();
    ASSERT_EQ(add(*two, kReldataIdOther, "a", std::string(40000, 'a')), 40000);
    // 65536 - (20 + 136 + 40000) - 136 - 4 bytes are left.
    EXPECT_EQ(add(*two, kReldataIdOther, "b", std::string(25241, 'b')), -1);
    EXPECT_EQ(add(*two, kReldataIdOther, "b", std::string(25240, 'b')), 25240);
}

// Data holding the end-marker word at an aligned offset ends the checksum
// there; an unaligned one does not. The records are unaffected either way.
TEST(ReliableDataImage, MarkerWordInDataEndsTheChecksum) {
    const std::string marker = "\xDA\xDA\xDA\xDA";
    struct Case { std::string data; size_t sum_end; } cases[] = {
        {"abcd" + marker + "efgh", 156 + 4},
        {"a" + marker + "fgh", 156 + 8 + 136 + 4},  // the end marker after "after"
    };
    for (const Case& c : cases) {
        auto image = reldata_image_create();
        ASSERT_EQ(add(*image, kReldataIdOther, "m", c.data), int(c.data.size()));
        ASSERT_EQ(add(*image, kReldataIdOther, "after", "x"), 1);
        std::vector<uint8_t> b = bytes_of(*image);
        EXPECT_EQ(le32(b, 4), adler(b, 8, c.sum_end)) << c.sum_end;
        EXPECT_EQ(le32(b, 16), 3u);
        Json::Value py = python_view(b);
        EXPECT_EQ(py["records"].size(), 2u) << py;
        EXPECT_EQ(py["sum_end"].asUInt(), c.sum_end);
        EXPECT_TRUE(py["checksum_ok"].asBool());
        EXPECT_TRUE(py["used_ok"].asBool());
    }
}

TEST(ReliableDataImage, RecordIds) {
    EXPECT_EQ(reldata_record_id("IMEI"), 0xCAFE0010u);
    EXPECT_EQ(reldata_record_id("MEP"), 0xCAFE0015u);
    EXPECT_EQ(reldata_record_id("imei"), 0xCAFE0020u);
    EXPECT_EQ(reldata_record_id(""), 0xCAFE0020u);
}

class ReliableDataBuilder : public testing::Test {
protected:
    TempTree tree;
    std::string dir;
    int out = scratch_fd();
    void SetUp() override {
        release_set_config_root(tree.root());
        dir = tree.root() + "/reliabledata/dev1/";
    }
    void TearDown() override { close(out); }

    std::string build(const std::string& set_json, int expect, int depth = 1) {
        Json::Value set = parse_json(set_json);
        return captured_stdout([&] { EXPECT_EQ(image_generate_rd(set, out, depth), expect); });
    }
};

TEST_F(ReliableDataBuilder, RecordsInOrderWithTheirIds) {
    tree.write("reliabledata/dev1/imei.bin", "356938035643809");
    tree.write("reliabledata/dev1/mep.bin", "mep");
    tree.write("reliabledata/dev1/sub/cal.bin", std::string("\x00\x01\x02\x03", 4));
    tree.write("reliabledata/dev1/x.bin", "x");
    std::string printed = build(R"({"path": "dev1", "images": [
        {"image": "imei.bin", "id": "IMEI"}, {"image": "mep.bin", "id": "MEP"},
        {"image": "sub/cal.bin", "id": "imei"}, {"image": "x.bin"}]})", 0);
    std::string expected;
    for (const char* name : {"imei.bin", "mep.bin", "sub/cal.bin", "x.bin"})
        expected += "    Reading image from \"" + dir + name + "\" ...\n    Done.\n";
    EXPECT_EQ(printed, expected);

    std::vector<uint8_t> b = read_fd(out);
    ASSERT_EQ(b.size(), 65536u);
    Json::Value py = python_view(b);
    ASSERT_EQ(py["records"].size(), 4u) << py;
    const struct { uint32_t id; const char* name; const char* data; } want[] = {
        {0xCAFE0010, "imei.bin", "333536393338303335363433383039"},
        {0xCAFE0015, "mep.bin", "6d6570"},
        {0xCAFE0020, "sub/cal.bin", "00010203"},
        {0xCAFE0020, "x.bin", "78"}};
    for (size_t i = 0; i < 4; ++i) {
        const Json::Value& r = py["records"][Json::ArrayIndex(i)];
        EXPECT_EQ(r["id"].asUInt(), want[i].id) << i;
        EXPECT_EQ(r["name"].asString(), want[i].name);
        EXPECT_EQ(r["data"].asString(), want[i].data);
        EXPECT_TRUE(r["check_ok"].asBool() && r["pad_ff"].asBool() && r["name_zero_filled"].asBool() &&
                    r["reserved_zero"].asBool() && r["high_bits_zero"].asBool()) << r;
    }
    EXPECT_EQ(py["counter"].asUInt(), 5u);
    EXPECT_TRUE(py["used_ok"].asBool() && py["checksum_ok"].asBool() && py["fill_ff"].asBool()) << py;
}

TEST_F(ReliableDataBuilder, NoRecordsGivesTheBareContainer) {
    for (const char* set : {R"({"path": "dev1"})", R"({"path": "dev1", "images": []})"}) {
        ASSERT_EQ(ftruncate(out, 0), 0);
        lseek(out, 0, SEEK_SET);
        EXPECT_EQ(build(set, 0), "");
        EXPECT_TRUE(read_fd(out) == bytes_of(*reldata_image_create())) << set;
    }
}

// Every failure stops at the record that failed and writes nothing.
TEST_F(ReliableDataBuilder, Failures) {
    tree.write("reliabledata/dev1/ok.bin", "ok");
    tree.write("reliabledata/dev1/empty.bin", "");
    tree.write("reliabledata/dev1/huge.bin", std::string(kReldataMaxData + 1, 'h'));
    tree.write("reliabledata/dev1/half.bin", std::string(40000, 'h'));
    tree.write("reliabledata/dev1/sub/x", "");
    const std::string long_name(116, 'L');
    tree.write("reliabledata/dev1/" + long_name, "data");
    ASSERT_EQ(mkfifo((dir + "fifo").c_str(), 0600), 0);

    auto reading = [&](const std::string& name) { return "    Reading image from \"" + dir + name + "\" ...\n"; };
    auto opening = [&](const std::string& name) {
        return reading(name) + "error: open raw image \"" + dir + name + "\" failed.\n";
    };
    auto unreadable = [&](const std::string& name) {
        return reading(name) + "error: reading image file \"" + dir + name + "\" failed.";
    };
    const std::string ok = reading("ok.bin") + "    Done.\n";
    struct Case { std::string images, printed; } cases[] = {
        {R"([{"image": "ok.bin"}, {"image": "gone.bin"}])", ok + opening("gone.bin")},
        {R"([{"image": "sub"}])", opening("sub")},
        {R"([{"image": "fifo"}])", opening("fifo")},
        {R"([{"image": "empty.bin", "id": "IMEI"}])", unreadable("empty.bin")},
        {R"([{"image": "huge.bin"}])", unreadable("huge.bin")},
        {R"([{"image": ")" + long_name + R"("}])", unreadable(long_name)},
        {R"([{"image": "half.bin"}, {"image": "half.bin"}])",
         reading("half.bin") + "    Done.\n" + unreadable("half.bin")},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(build(R"({"path": "dev1", "images": )" + c.images + "}", -1), c.printed) << c.images;
        EXPECT_TRUE(read_fd(out).empty()) << c.images;
    }
}

TEST_F(ReliableDataBuilder, FailedWriteFails) {
    tree.write("reliabledata/dev1/ok.bin", "ok");
    close(out);
    out = open("/dev/null", O_RDONLY | O_CLOEXEC);
    build(R"({"path": "dev1", "images": [{"image": "ok.bin"}]})", -1);
}

// Through the factory: the first set whose "path" is the entry's "use", and a
// failed record joined by the factory's own line.
TEST_F(ReliableDataBuilder, ThroughTheImageFactory) {
    tree.write("reliabledata/b/imei.bin", "0123456789");
    Json::Value release = parse_json(R"({"images": [
        {"name": "rd", "io": "out", "format": "rd", "image": "rd.img", "use": "b",
         "rd": [{"path": "a", "images": [{"image": "none"}]},
                {"path": "b", "images": [{"image": "imei.bin", "id": "IMEI"}]},
                {"path": "b", "images": [{"image": "none"}]}]},
        {"name": "bad", "io": "out", "format": "rd", "image": "bad.img", "use": "a",
         "rd": [{"path": "a", "images": [{"image": "empty"}]}]}]})");
    tree.write("reliabledata/a/empty", "");
    std::string printed = captured_stdout([&] { EXPECT_EQ(image_open_or_generate("rd", release, 1), 0); });
    EXPECT_EQ(printed, "  Generating rd image \"rd.img\" with id \"rd\" ...\n"
                       "    Reading image from \"" + tree.root() + "/reliabledata/b/imei.bin\" ...\n"
                       "    Done.\n"
                       "  Done.\n");
    Json::Value& entry = release["images"][0];
    EXPECT_EQ(entry["size"].asUInt64(), 65536u);
    std::vector<uint8_t> b = read_fd(entry["fd"].asInt());
    EXPECT_EQ(le32(b, 20), 0xCAFE0010u);
    EXPECT_EQ(std::string(b.begin() + 156, b.begin() + 166), "0123456789");

    printed = captured_stdout([&] { EXPECT_EQ(image_open_or_generate("bad", release, 1), -1); });
    EXPECT_EQ(printed, "  Generating rd image \"bad.img\" with id \"bad\" ...\n"
                       "    Reading image from \"" + tree.root() + "/reliabledata/a/empty\" ...\n"
                       "error: reading image file \"" + tree.root() + "/reliabledata/a/empty\" failed."
                       "error: generate rd image \"bad\" failed.\n");
    EXPECT_FALSE(release["images"][1].isMember("fd"));
    release_close_images(release);
}

}  // namespace
