// The action queue run against a scripted transport: what each action prints
// and sends, where a failure stops the run, and that the queue ends empty.
#include <gtest/gtest.h>

#include <sparse/sparse.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>

#include "flash/actions.h"
#include "flash/client_util.h"
#include "flash/fastboot.h"
#include "mock_transport.h"
#include "package_fixture.h"

namespace {

struct SparseDeleter {
    void operator()(sparse_file* s) const { sparse_file_destroy(s); }
};
using SparsePtr = std::unique_ptr<sparse_file, SparseDeleter>;

bool digits(const std::string& text, size_t at, size_t count) {
    if (at + count > text.size()) return false;
    for (size_t i = at; i < at + count; ++i)
        if (!isdigit(static_cast<unsigned char>(text[i]))) return false;
    return true;
}

// The end of an elapsed time "[ *N+.NNNs]" whose text starts at `at`, or npos.
size_t elapsed_end(const std::string& text, size_t at) {
    while (at < text.size() && text[at] == ' ') ++at;
    size_t whole = at;
    while (at < text.size() && isdigit(static_cast<unsigned char>(text[at]))) ++at;
    if (at == whole || text.compare(at, 1, ".") != 0 || !digits(text, at + 1, 3) ||
        text.compare(at + 4, 2, "s]") != 0)
        return std::string::npos;
    return at + 6;
}

// Elapsed times vary; their format is checked on its own. (No std::regex:
// this compiler warns inside it under the sanitizers.)
std::string without_times(const std::string& text) {
    static const std::string tag = "OKAY [";
    std::string out;
    size_t from = 0;
    for (size_t at = text.find(tag); at != std::string::npos; at = text.find(tag, at + 1)) {
        size_t end = elapsed_end(text, at + tag.size());
        if (end == std::string::npos) continue;
        out += text.substr(from, at - from) + "OKAY [t]";
        from = end;
        at = end - 1;
    }
    return out + text.substr(from);
}

class Actions : public testing::Test {
protected:
    void SetUp() override {
        reset_thread_state();
        action_queue_clear();
    }
    void TearDown() override { action_queue_clear(); }

    // Runs the queue; its standard error, times blanked, lands in `err`.
    int64_t run() {
        testing::internal::CaptureStderr();
        int64_t status = action_run_all(t);
        err = without_times(testing::internal::GetCapturedStderr());
        return status;
    }
    std::vector<std::string> sent() const {
        std::vector<std::string> out;
        for (const auto& w : t.writes) out.push_back(w.bytes);
        return out;
    }

    MockTransport t;
    std::string err;
};

TEST_F(Actions, EmptyQueueAndNotices) {
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(err, "");

    action_add_notice("Preparing");
    action_add_notice("");
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(err, "Preparing\n");
    EXPECT_TRUE(t.writes.empty());
}

TEST_F(Actions, FailureStopsTheRunAndEmptiesTheQueue) {
    action_add_erase("boot");
    action_add_command("oem lock", "Locking");
    action_add_erase("system");
    t.reply("OKAY").reply("FAILdenied").reply("OKAY");
    EXPECT_EQ(run(), -1);
    EXPECT_EQ(err, "Erasing 'boot'...\nOKAY [t]\nLocking\nFAILED (remote: denied)\n");
    EXPECT_EQ(sent(), (std::vector<std::string>{"erase:boot", "oem lock"}));
    EXPECT_EQ(action_queue_size(), 0u);

    // The next run starts from an empty queue.
    action_add_notice("again");
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(err, "again\n");
}

TEST_F(Actions, QueriesKeepTheirReply) {
    char whole[65];
    memset(whole, 'x', sizeof whole);
    char narrow[6] = {'x', 'x', 'x', 'x', 'x', '!'};
    action_add_variable_query("product", whole, sizeof whole);
    action_add_variable_query("serialno", narrow, 5);
    std::string longest(60, 'p');
    t.reply("OKAY" + longest).reply("OKAYabcdefgh");
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(err, "");  // no message, no line of their own
    EXPECT_EQ(std::string(whole), longest);
    EXPECT_EQ(std::string(narrow, 6), "abcde!");  // cut, not terminated
    EXPECT_EQ(sent(), (std::vector<std::string>{"getvar:product", "getvar:serialno"}));

    // Padded with NULs after a short reply.
    memset(whole, 'x', sizeof whole);
    action_add_variable_query("product", whole, sizeof whole);
    t.reply("OKAYab");
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(std::string(whole, 4), std::string("ab\0\0", 4));
    EXPECT_EQ(whole[64], '\0');

    char untouched[8] = "keep";
    action_add_variable_query("nothing", untouched, sizeof untouched);
    t.reply("FAILunknown variable");
    EXPECT_EQ(run(), -1);
    EXPECT_EQ(err, "getvar:nothing FAILED (remote: unknown variable)\n");
    EXPECT_STREQ(untouched, "keep");
}

TEST_F(Actions, FailingRebootDoesNotStopTheRun) {
    action_add_reboot();
    action_add_notice("after");
    t.reply("FAILno");
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(err, "Rebooting...\n\nafter\n");
    EXPECT_EQ(sent(), (std::vector<std::string>{"reboot"}));
}

TEST_F(Actions, FailedUploadGoesOnAndAsLastGivesItsStatus) {
    TempDir dir;
    std::string missing = dir.file("no/dump.bin");
    action_add_upload(missing.c_str());
    action_add_erase("cache");
    t.reply("DATA00000002").reply("ab").reply("OKAY");
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(err, "Uploading '" + missing + "'\n FAILED (write to '" + missing +
                       "' failed)\nErasing 'cache'...\nOKAY [t]\n");

    MockTransport m;
    action_add_upload(missing.c_str());
    m.reply("FAILlocked");
    testing::internal::CaptureStderr();
    EXPECT_EQ(action_run_all(m), -1);
    testing::internal::GetCapturedStderr();
}

TEST_F(Actions, DataPhaseActionsSendTheirData) {
    TempDir dir;
    std::string file = dir.file("boot.img");
    {
        FILE* f = fopen(file.c_str(), "wb");
        ASSERT_TRUE(f);
        fputs("kernel", f);
        fclose(f);
    }
    FILE* in = fopen(file.c_str(), "rb");
    ASSERT_TRUE(in);
    char* fuse = static_cast<char*>(malloc(4));
    memcpy(fuse, "FUSE", 4);
    action_add_download_memory("fuse", fuse, 4);  // taken over by the queue
    action_add_download_file("boot", fileno(in), 6);
    action_add_command("boot", "Booting");
    t.reply("DATA00000004").reply("OKAY").reply("DATA00000006").reply("OKAY").reply("OKAY");
    EXPECT_EQ(run(), 0);
    fclose(in);
    EXPECT_EQ(err, "Downloading 'fuse'\nOKAY [t]\nSending 'boot' (0 KB)\nOKAY [t]\nBooting\nOKAY [t]\n");
    EXPECT_EQ(sent(), (std::vector<std::string>{"download:00000004", "FUSE", "download:00000006", "kernel",
                                                "boot"}));

    // An empty buffer fails without a request.
    action_add_download_memory("empty", nullptr, 0);
    action_add_erase("never");
    MockTransport m;
    testing::internal::CaptureStderr();
    EXPECT_EQ(action_run_all(m), -1);
    testing::internal::GetCapturedStderr();
    EXPECT_TRUE(m.writes.empty());
}

TEST_F(Actions, NewActionDefaults) {
    QueuedAction& action = action_add(ACTION_COMMAND, "x");
    EXPECT_EQ(action.descriptor, -1);
    EXPECT_EQ(action.data, nullptr);
    EXPECT_EQ(action.size, 0u);
    EXPECT_EQ(action.start, -1.0);
    EXPECT_EQ(action.message, "");
    EXPECT_EQ(action.callback, &action_print_outcome);
}

TEST_F(Actions, SparsePieceIsSentThenFlashed) {
    std::string block(4096, 'q');
    SparsePtr image(sparse_file_new(4096, 8 * 4096));
    ASSERT_TRUE(image);
    ASSERT_EQ(sparse_file_add_data(image.get(), &block[0], block.size(), 2), 0);
    int64_t length = sparse_file_len(image.get(), true, true);
    char data[32];
    snprintf(data, sizeof data, "DATA%08x", static_cast<unsigned>(length));
    action_add_sparse_piece("userdata", image.get(), 200 * 1024 + 1023, 2, 3);
    action_add_download_file("modem", -1, 3 * 1024 * 1024 - 1);  // never reached
    t.reply(data).reply("OKAY").reply("FAILbad block");
    EXPECT_EQ(run(), -1);
    EXPECT_EQ(err,
              "Sending sparse 'userdata' 2/3 (200 KB)...\nOKAY [t]\n"
              "Writing 'userdata' 2/3...\nFAILED (remote: bad block)\n");
    ASSERT_GE(t.writes.size(), 3u);
    EXPECT_EQ(t.writes.front().bytes, std::string("download:") + (data + 4));
    EXPECT_EQ(t.writes.back().bytes, "flash:userdata");

    action_add_download_file("modem", -1, 3 * 1024 * 1024 - 1);
    MockTransport m;
    m.reply("FAILno");
    testing::internal::CaptureStderr();
    action_run_all(m);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Sending 'modem' (3071 KB)\nFAILED (remote: no)\n");
}

TEST_F(Actions, RequirementQueriesItsVariable) {
    const char* values[] = {"a", "b"};
    action_add_requirement("", "product", false, 2, values);
    t.read_error(EIO);
    testing::internal::CaptureStderr();
    EXPECT_NE(action_run_all(t), 0);
    std::string out = testing::internal::GetCapturedStderr();
    EXPECT_EQ(out.substr(0, out.find('\n')), "Checking product");
    EXPECT_EQ(sent(), (std::vector<std::string>{"getvar:product"}));

    testing::internal::CaptureStderr();
    EXPECT_EQ(fatal_contain([] { action_add_requirement("", "product", false, 1, nullptr); return 0; }, 1), 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "error: out of memory\n");
    EXPECT_EQ(action_queue_size(), 0u);
}

TEST_F(Actions, UnknownOperationIsFatalAndStillEmptiesTheQueue) {
    action_add(5, "");
    action_add_erase("never");
    testing::internal::CaptureStderr();
    int64_t status = fatal_contain([&] { return action_run_all(t); }, int64_t{-9});
    std::string out = testing::internal::GetCapturedStderr();
    EXPECT_EQ(status, -9);
    EXPECT_EQ(out, "error: unknown action: 5\n");
    EXPECT_EQ(action_queue_size(), 0u);
    EXPECT_TRUE(t.writes.empty());
}

TEST_F(Actions, ElapsedTimeIsRightAlignedWithThreeDecimals) {
    QueuedAction action;
    action.start = now_seconds() - 0.5;
    testing::internal::CaptureStderr();
    EXPECT_EQ(action_print_outcome(action, 0, ""), 0);
    std::string out = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(out.size() == 16 && out.compare(0, 11, "OKAY [  0.5") == 0 && digits(out, 11, 2) &&
                out.compare(13, 3, "s]\n") == 0)
        << out;
    EXPECT_GT(action.start, now_seconds() - 0.25);  // restarted at printing

    testing::internal::CaptureStderr();
    EXPECT_EQ(action_print_outcome(action, -1, "remote: no"), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "FAILED (remote: no)\n");
}

TEST_F(Actions, QueueIsPerThread) {
    action_add_notice("here");
    size_t other = 99;
    std::thread([&] { other = action_queue_size(); }).join();
    EXPECT_EQ(other, 0u);
    EXPECT_EQ(action_queue_size(), 1u);
}

}  // namespace
