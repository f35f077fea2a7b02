// Framing of the serial link: the encoder and the receive decoder.
#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "link/ethos_frame.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Frame {
    uint8_t type;
    Bytes payload;
    bool operator==(const Frame& o) const { return type == o.type && payload == o.payload; }
};

std::vector<Frame> decode(EthosDecoder& d, const Bytes& in) {
    std::vector<Frame> out;
    ethos_decode(d, in.data(), in.size(),
                 [&](uint8_t t, const uint8_t* p, size_t n) { out.push_back({t, Bytes(p, p + n)}); });
    return out;
}

std::vector<Frame> decode(const Bytes& in) {
    EthosDecoder d;
    return decode(d, in);
}

TEST(LinkFrame, EncodesTypeMarkerAndEscapes) {
    struct Case {
        uint8_t type;
        Bytes payload, wire;
    } cases[] = {
        {2, {0x02, 0x7E, 0x7D, 0x00, 0x11, 0x22}, {0x7E, 0x7D, 0x22, 0x02, 0x7D, 0x5E, 0x7D, 0x5D, 0x00, 0x11, 0x22, 0x7E}},
        {0, {}, {0x7E, 0x7E}},
        {0, {0x55, 0x7E}, {0x7E, 0x55, 0x7D, 0x5E, 0x7E}},
        {1, {'o', 'k'}, {0x7E, 0x7D, 0x21, 'o', 'k', 0x7E}},
        {5, {0xC8}, {0x7E, 0x7D, 0x25, 0xC8, 0x7E}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ethos_frame_bytes(c.payload.data(), c.payload.size(), c.type), c.wire) << int(c.type);
        // What goes out comes back whole.
        EXPECT_EQ(decode(c.wire).size(), c.payload.empty() ? 0u : 1u);
        if (!c.payload.empty()) {
            EXPECT_EQ(decode(c.wire)[0], (Frame{c.type, c.payload}));
        }
    }
}

TEST(LinkFrame, DecodesFrameBoundariesAsTheLinkDefinesThem) {
    Bytes mac{1, 2, 3, 4, 5, 6};
    struct Case {
        const char* what;
        Bytes wire;
        std::vector<Frame> frames;
    } cases[] = {
        {"wake answer", {0x7E, 'U', 'U', 'U', 'U', 0x7E}, {{0, {'U', 'U', 'U', 'U'}}}},
        {"double flag is one start", {0x7E, 0x7E, 0x7D, 0x23, 1, 2, 3, 4, 5, 6, 0x7E}, {{3, mac}}},
        {"closing flag opens nothing", {0x7E, 0x41, 0x7E, 0x42, 0x7E}, {{0, {0x41}}}},
        {"noise before a frame", {0x55, 0x55, 0x7D, 0x21, 0x7E, 0x41, 0x7E}, {{0, {0x41}}}},
        {"last type marker counts", {0x7E, 0x7D, 0x21, 0x41, 0x7D, 0x25, 0x7E}, {{5, {0x41}}}},
        {"unknown escape loses its byte", {0x7E, 0x41, 0x7D, 0x30, 0x42, 0x7E}, {{0, {0x41, 0x42}}}},
        {"escaped flag after escape is lost", {0x7E, 0x41, 0x7D, 0x7E, 0x42, 0x7E}, {{0, {0x41, 0x42}}}},
        {"escapes", {0x7E, 0x7D, 0x5E, 0x7D, 0x5D, 0x7E}, {{0, {0x7E, 0x7D}}}},
        {"type marker alone is an empty frame", {0x7E, 0x7D, 0x22, 0x7E}, {}},
    };
    for (const auto& c : cases) EXPECT_EQ(decode(c.wire), c.frames) << c.what;
}

TEST(LinkFrame, ResumesAFrameSplitAcrossReads) {
    EthosDecoder d;
    EXPECT_TRUE(decode(d, {0x7E, 0x7D}).empty());
    EXPECT_TRUE(decode(d, {0x23, 1, 2, 3}).empty());
    EXPECT_EQ(decode(d, {4, 5, 6, 0x7E}), (std::vector<Frame>{{3, {1, 2, 3, 4, 5, 6}}}));
    // The decoder is idle again: the next frame starts with type 0.
    EXPECT_EQ(decode(d, {0x7E, 9, 0x7E}), (std::vector<Frame>{{0, {9}}}));
}

TEST(LinkFrame, OverlongFrameIsDiscardedAndTheNextOneSurvives) {
    Bytes wire{0x7E};
    wire.insert(wire.end(), kEthosFrameBuffer + 1, 0x41);
    wire.push_back(0x7E);
    Bytes full{0x7E};
    full.insert(full.end(), kEthosFrameBuffer, 0x42);
    full.push_back(0x7E);
    wire.insert(wire.end(), full.begin(), full.end());
    auto frames = decode(wire);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].payload, Bytes(kEthosFrameBuffer, 0x42));
}

}  // namespace
