// The request layer against a scripted transport: every reply kind, every
// failure text and whether the transport is left open.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "flash/client_util.h"
#include "flash/fastboot.h"
#include "mock_transport.h"

namespace {

std::vector<std::pair<uint32_t, uint32_t>> g_posts;

void record_post(uint32_t connection, uint32_t percent) { g_posts.emplace_back(connection, percent); }

class Request : public testing::Test {
protected:
    void SetUp() override {
        reset_thread_state();
        g_posts.clear();
        previous_ = fastboot_set_progress_sink(record_post);
    }
    void TearDown() override { fastboot_set_progress_sink(previous_); }

    MockTransport t;
    FastbootProgressSink previous_ = nullptr;
};

TEST_F(Request, CommandOf64BytesIsSentAnd65IsRefusedUntouched) {
    std::string command64(64, 'c');
    t.reply("OKAY");
    EXPECT_EQ(fastboot_request_okay(t, command64.c_str()), 0);
    ASSERT_EQ(t.writes.size(), 1u);
    EXPECT_EQ(t.writes[0].bytes, command64);  // no terminating NUL
    EXPECT_EQ(t.writes[0].length, 64u);

    MockTransport fresh;
    std::string command65(65, 'c');
    EXPECT_EQ(fastboot_request_okay(fresh, command65.c_str()), -1);
    EXPECT_EQ(fastboot_last_error(), "command too large (65)");
    EXPECT_TRUE(fresh.writes.empty());
    EXPECT_FALSE(fresh.disconnected);
}

// One command, one scripted reply: result, error text, transport state.
TEST_F(Request, FinalRepliesAndTheirFailures) {
    struct Case {
        const char* reply;
        uint32_t expected;
        int64_t result;
        const char* error;  // null: the previous text stays
        bool disconnected;
    };
    const Case cases[] = {
        {"OKAY", 0, 0, nullptr, false},
        {"FAIL", 0, -1, "remote failure", false},
        {"FAILno such partition", 0, -1, "remote: no such partition", false},
        {"DATA00001000", 4096, 4096, nullptr, false},
        {"DATA1000", 4096, 4096, nullptr, false},
        {"DATA00000800", 4096, 2048, nullptr, false},
        {"DATA00001000", 4095, -1, "data size too large (4096)", true},
        {"DATA00001000", 0, -1, "unknown status code", true},
        // Beyond 32 bits: not let through truncated.
        {"DATA100001000", 4096, -1, "data size too large (4096)", true},
        {"DATA-1", 4096, -1, "data size too large (-1)", true},
        {"okay", 0, -1, "unknown status code", true},
        {"WHAT is this", 0, -1, "unknown status code", true},
        {"OKA", 0, -1, "status malformed (3 bytes)", true},
        {"", 0, -1, "status malformed (0 bytes)", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reply);
        MockTransport m;
        m.reply(c.reply);
        download_thread_state().lastError = "earlier";
        EXPECT_EQ(fastboot_request_begin(m, "download:00001000", c.expected, nullptr), c.result);
        EXPECT_EQ(fastboot_last_error(), c.error ? c.error : "earlier");
        EXPECT_EQ(m.disconnected, c.disconnected);
    }
}

TEST_F(Request, ResponseTextAfterOkay) {
    char response[kFastbootResponseSize];
    memset(response, 'x', sizeof response);
    t.reply("OKAY");
    EXPECT_EQ(fastboot_request_reply(t, "getvar:product", response), 0);
    EXPECT_STREQ(response, "");

    std::string longest = "OKAY" + std::string(60, 'v');
    t.reply(longest);
    EXPECT_EQ(fastboot_request_reply(t, "getvar:product", response), 0);
    EXPECT_EQ(std::string(response), std::string(60, 'v'));

    // Cleared before the request, also when it then fails.
    t.reply("FAILnope");
    memset(response, 'x', sizeof response);
    EXPECT_EQ(fastboot_request_reply(t, "getvar:product", response), -1);
    EXPECT_STREQ(response, "");
}

TEST_F(Request, TransportFailuresNameTheirSystemErrorIfAny) {
    t.write_result(3, EPIPE);
    EXPECT_EQ(fastboot_request_okay(t, "reboot"), -1);
    EXPECT_EQ(fastboot_last_error(), std::string("command write failed (") + strerror(EPIPE) + ")");
    EXPECT_TRUE(t.disconnected);

    MockTransport m;
    m.read_error(ETIMEDOUT);
    EXPECT_EQ(fastboot_request_okay(m, "reboot"), -1);
    EXPECT_EQ(fastboot_last_error(), std::string("status read failed (") + strerror(ETIMEDOUT) + ")");
    EXPECT_TRUE(m.disconnected);

    // A failure without a system error (a silent device, a protocol fault)
    // names none, whatever errno held before.
    MockTransport quiet;
    quiet.read_error(0);
    EXPECT_EQ(fastboot_request_okay(quiet, "complete"), -1);
    EXPECT_EQ(fastboot_last_error(), "status read failed");
    MockTransport refused;
    refused.write_result(-1, 0);
    EXPECT_EQ(fastboot_request_okay(refused, "complete"), -1);
    EXPECT_EQ(fastboot_last_error(), "command write failed");
}

TEST_F(Request, InfoLinesAreShownAndTheReaderWaitsOn) {
    t.reply("INFOerasing block 3").reply("INFO").reply("OKAYdone");
    char response[kFastbootResponseSize];
    testing::internal::CaptureStderr();
    int64_t result = fastboot_request_reply(t, "erase:system", response);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(result, 0);
    EXPECT_STREQ(response, "done");
    EXPECT_EQ(err, "(flasher) erasing block 3\n(flasher) \n");
}

TEST_F(Request, ProgressRepliesPostOnlyWholePercentages) {
    struct Case {
        const char* text;
        int posted;  // -1: nothing
    };
    const Case cases[] = {
        {"42", 42},   {"0x2a", 42}, {"0X2A", 42}, {" 42", 42}, {"100", 100}, {"0", 0},
        {"0x64", 100}, {"101", -1}, {"0x65", -1}, {"4x", -1},  {"-1", -1},   {"", -1},
        {"42 ", -1},  {"x42", -1},  {"99999999999999999999999", -1},
    };
    download_thread_state().connection = 7;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("PROG") + c.text);
        g_posts.clear();
        MockTransport m;
        m.reply(std::string("PROG") + c.text).reply("OKAY");
        EXPECT_EQ(fastboot_request_okay(m, "flash:system"), 0);  // the reader waited for OKAY
        EXPECT_EQ(m.unread(), 0u);
        if (c.posted < 0) {
            EXPECT_TRUE(g_posts.empty());
        } else {
            ASSERT_EQ(g_posts.size(), 1u);
            EXPECT_EQ(g_posts[0], std::make_pair(7u, static_cast<uint32_t>(c.posted)));
        }
    }
}

TEST_F(Request, SuccessLeavesAnEarlierErrorInPlace) {
    t.reply("FAILfirst").reply("OKAY");
    EXPECT_EQ(fastboot_request_okay(t, "a"), -1);
    EXPECT_EQ(fastboot_request_okay(t, "b"), 0);
    EXPECT_EQ(fastboot_last_error(), "remote: first");
}

TEST_F(Request, ReadVariable) {
    std::string value = "old";
    t.reply("OKAY0.5").reply("FAILunknown variable");
    EXPECT_TRUE(fastboot_read_variable(t, "version", value));
    EXPECT_EQ(t.writes[0].bytes, "getvar:version");
    EXPECT_EQ(value, "0.5");
    EXPECT_FALSE(fastboot_read_variable(t, "nothing", value));
    EXPECT_EQ(value, "0.5");
    EXPECT_EQ(fastboot_last_error(), "remote: unknown variable");
}

TEST_F(Request, PayloadLengthKeepsTheNoAckBit) {
    std::string data(1024, 'd');
    EXPECT_EQ(fastboot_send_payload(t, data.data(), 1024 | kTransportNoAck), 1024);
    ASSERT_EQ(t.writes.size(), 1u);
    EXPECT_EQ(t.writes[0].length, 1024u | kTransportNoAck);
    EXPECT_FALSE(t.disconnected);

    t.write_result(1000);
    EXPECT_EQ(fastboot_send_payload(t, data.data(), 1024 | kTransportNoAck), -1);
    EXPECT_EQ(fastboot_last_error(), "data write failure (short transfer)");
    EXPECT_TRUE(t.disconnected);

    MockTransport m;
    m.write_result(-1, ECONNRESET);
    EXPECT_EQ(fastboot_send_payload(m, data.data(), 1024), -1);
    EXPECT_EQ(fastboot_last_error(), std::string("data write failure (") + strerror(ECONNRESET) + ")");
    EXPECT_TRUE(m.disconnected);
}

TEST(ThreadState, ThreadsStartFromZero) {
    download_thread_state().connection = 9;
    download_thread_state().lastError = "here";
    uint32_t connection = 1;
    std::string error = "x";
    std::thread([&] {
        connection = download_thread_connection();
        error = fastboot_last_error();
    }).join();
    EXPECT_EQ(connection, 0u);
    EXPECT_EQ(error, "");
    reset_thread_state();
}

TEST(ClientUtil, TrimInPlace) {
    const std::pair<const char*, const char*> cases[] = {
        {"", ""}, {"   ", ""}, {" \t a b \n", "a b"}, {"ab", "ab"}, {"\vx", "x"},
    };
    for (const auto& [in, out] : cases) {
        std::string buffer = in;
        EXPECT_STREQ(trim_in_place(&buffer[0]), out) << '"' << in << '"';
    }
}

TEST(ClientUtil, FatalErrorEndsOnlyTheContainedWork) {
    testing::internal::CaptureStderr();
    bool after = false;
    int result = fatal_contain(
        [&] {
            fatal_error("unknown action: %d", 5);
            after = true;
            return 0;
        },
        1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "error: unknown action: 5\n");
    EXPECT_EQ(result, 1);
    EXPECT_FALSE(after);
}

TEST(ClientUtil, NowSecondsFollowsTheWallClock) {
    double before = static_cast<double>(time(nullptr));
    double now = now_seconds();
    EXPECT_GE(now, before);
    EXPECT_LT(now, before + 2.0);
}

}  // namespace
