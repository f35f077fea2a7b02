// The link through the whole engine against kelvo-devsim: wake, hello, the
// download thread reaching the device through the network stack, the
// no-response answer, the stop, and the capture. The engine's internals are
// linked in so that a test script can stand in for the download script.
#include <gtest/gtest.h>

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <json/json.h>

extern "C" {
#include <lwip/opt.h>
#include <lwip/sockets.h>
}

#include "base/loop.h"
#include "device/serial_io.h"
#include "kelvo.h"
#include "link/ethos_frame.h"
#include "link/ethos_link.h"
#include "link/netif.h"
#include "link/serial_link.h"
#include "on_loop.h"
#include "package_fixture.h"
#include "sim_host.h"

namespace {

using devsim::FbPacket;

// Events of the engine, in order.
struct Recorder {
    std::mutex m;
    std::condition_variable cv;
    std::vector<Json::Value> events;

    static void on_event(const char* text, void* user) {
        auto* self = static_cast<Recorder*>(user);
        Json::Value v;
        Json::Reader().parse(text, v);
        {
            std::lock_guard<std::mutex> lock(self->m);
            self->events.push_back(v);
        }
        self->cv.notify_all();
    }
    bool wait(const std::function<bool(const Json::Value&)>& pred, int ms = 10000) {
        std::unique_lock<std::mutex> lock(m);
        return cv.wait_for(lock, std::chrono::milliseconds(ms), [&] {
            for (const auto& e : events)
                if (e.isObject() && pred(e)) return true;
            return false;
        });
    }
    bool wait_event(int n, int ms = 10000) {
        return wait([n](const Json::Value& e) { return e["event"].asInt() == n; }, ms);
    }
    bool wait_status(const std::string& status, int ms = 10000) {
        return wait([&](const Json::Value& e) { return e["event"].asInt() == 6 && e["status"].asString() == status; },
                    ms);
    }
    std::vector<std::string> statuses() {
        std::lock_guard<std::mutex> lock(m);
        std::vector<std::string> out;
        for (const auto& e : events)
            if (e.isObject() && e["event"].asInt() == 6) out.push_back(e["status"].asString());
        return out;
    }
    // The position of the first event after `from` that satisfies `pred`, or -1.
    int find(const std::function<bool(const Json::Value&)>& pred, int from = 0) {
        std::lock_guard<std::mutex> lock(m);
        for (size_t i = size_t(std::max(from, 0)); i < events.size(); ++i)
            if (events[i].isObject() && pred(events[i])) return int(i);
        return -1;
    }
    std::string first_path() {
        std::lock_guard<std::mutex> lock(m);
        for (const auto& e : events)
            if (e.isObject() && e["event"].asInt() == 5) return e["path"].asString();
        return "";
    }
};

// A fastboot UDP client on the engine's network stack.
class StackClient {
public:
    ~StackClient() {
        if (s_ >= 0) lwip_close(s_);
    }
    bool open(const std::string& target, uint16_t localPort) {
        size_t colon = target.find("udp:");
        if (colon == std::string::npos) return false;
        s_ = lwip_socket(AF_INET6, SOCK_DGRAM, 0);
        if (s_ < 0) return false;
        sockaddr_in6 local{};
        local.sin6_family = AF_INET6;
        local.sin6_port = htons(localPort);
        if (lwip_bind(s_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) return false;
        dst_.sin6_family = AF_INET6;
        dst_.sin6_port = htons(5554);
        dst_.sin6_scope_id = 1;  // the only interface
        return lwip_inet_pton(AF_INET6, target.c_str() + colon + 4, &dst_.sin6_addr) == 1;
    }
    // Sends `out` until a reply with its sequence number comes or `ms` pass.
    bool exchange(const FbPacket& out, FbPacket& in, int ms = 3000) {
        auto bytes = devsim::encode_fb_packet(out);
        timeval tv{0, 200000};
        lwip_setsockopt(s_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::chrono::steady_clock::now() < end) {
            lwip_sendto(s_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&dst_), sizeof dst_);
            uint8_t buf[2048];
            ssize_t n;
            while ((n = lwip_recv(s_, buf, sizeof buf, 0)) > 0)
                if (devsim::parse_fb_packet(buf, size_t(n), in) && in.seq == out.seq) return true;
        }
        return false;
    }
    bool command(uint16_t& seq, const std::string& text, std::string& reply) {
        FbPacket in;
        if (!exchange({devsim::FB_DATA, 0, seq, std::vector<uint8_t>(text.begin(), text.end())}, in)) return false;
        ++seq;
        if (!exchange({devsim::FB_DATA, 0, seq, {}}, in)) return false;
        ++seq;
        reply.assign(in.payload.begin(), in.payload.end());
        return true;
    }
    bool negotiate(uint16_t& seq) {
        FbPacket in;
        if (!exchange({devsim::FB_QUERY, 0, 0, {}}, in) || in.payload.size() < 2) return false;
        seq = uint16_t(in.payload[0] << 8 | in.payload[1]);
        if (!exchange({devsim::FB_INIT, 0, seq, {0x00, 0x01, 0x04, 0x00}}, in)) return false;
        ++seq;
        return true;
    }

private:
    int s_ = -1;
    sockaddr_in6 dst_{};
};

// What a test script saw on its download thread.
struct ScriptRun {
    std::string target;
    uint32_t connection = 0;
    uint16_t port = 0;
    std::vector<std::string> replies;
    bool ok = false;
};

// The script of the running test and the first run's outcome; each test
// sets its own before the engine starts.
using TestScript = std::function<int(const char*, uint32_t, uint16_t, ScriptRun&)>;
std::mutex g_script_mutex;
TestScript g_script;
std::shared_ptr<std::promise<ScriptRun>> g_script_done;

void set_script(TestScript script) {
    std::lock_guard<std::mutex> lock(g_script_mutex);
    g_script = std::move(script);
    g_script_done = std::make_shared<std::promise<ScriptRun>>();
}

int run_test_script(const char* target, uint32_t connection, uint16_t port) {
    TestScript script;
    std::shared_ptr<std::promise<ScriptRun>> done;
    {
        std::lock_guard<std::mutex> lock(g_script_mutex);
        script = g_script;
        done = g_script_done;
    }
    if (!script || !done) return 1;
    ScriptRun run;
    run.target = target;
    run.connection = connection;
    run.port = port;
    int result = script(target, connection, port, run);
    std::lock_guard<std::mutex> lock(g_script_mutex);
    // A device woken again runs the script again: the first run counts.
    if (done == g_script_done) {
        done->set_value(run);
        g_script_done.reset();
    }
    return result;
}

// A frame from a link, as the loop thread hands it to the stack.
void deliver(const std::vector<uint8_t>& frame) {
    on_loop<int>([&frame] {
        ethos_deliver_ethernet(frame.data(), frame.size());
        return 0;
    });
}

class LinkEngine : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/kelvo-link-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        ASSERT_NE(getcwd(old_cwd_, sizeof old_cwd_), nullptr);
        ASSERT_EQ(chdir(dir_.c_str()), 0);  // the capture goes here
        ethos_set_script_runner(run_test_script);
        set_script(nullptr);
        std::lock_guard<std::mutex> lock(g_script_mutex);
        script_done_ = g_script_done->get_future();
    }
    // Whatever the test left running stops; the recorder goes with the fixture,
    // so the callback is taken back first.
    void TearDown() override {
        if (downloadStarted_ && !rec_.wait_event(3, 0) && kelvo_download_stop() == 0) rec_.wait_event(3);
        kelvo_engine_unregister_cb();
        // An event being delivered meanwhile has left the recorder once a
        // step posted behind it has run.
        auto flushed = std::make_shared<std::promise<void>>();
        if (engine_post([flushed] { flushed->set_value(); })) flushed->get_future().wait();
        set_script(nullptr);
        if (chdir(old_cwd_) != 0) perror("chdir");
        std::string cmd = "rm -rf '" + dir_ + "'";
        if (system(cmd.c_str()) != 0) fprintf(stderr, "cannot remove %s\n", dir_.c_str());
    }

    // Engine up, package opened, download started with a capture.
    void start_engine(const char* startJson = R"({"baudRate": 115200, "dumpEnable": true})") {
        ASSERT_EQ(kelvo_engine_init(), 0);
        kelvo_engine_register_cb(&Recorder::on_event, &rec_);
        std::string pkg = dir_ + "/pkg.zip";
        ASSERT_TRUE(write_zip(pkg, sample_items()));
        ASSERT_EQ(kelvo_download_init(("{\"path\": \"" + pkg + "\"}").c_str()), 0);
        ASSERT_TRUE(rec_.wait_event(1));
        ASSERT_EQ(kelvo_download_start(startJson), 0);
        downloadStarted_ = true;
        ASSERT_TRUE(rec_.wait_event(2));
        // Event 2 comes before the start waits for the network stack; the
        // tests use the stack's sockets and address themselves at once.
        network_stack_wait();
    }

    // The engine started and the one simulated device enabled.
    void start(const std::vector<std::string>& simArgs, const char* startJson = nullptr) {
        ASSERT_TRUE(sim_.start(simArgs, 1));
        setenv("KELVO_VIRTUAL_PORTS", sim_.ports_dir().c_str(), 1);
        if (startJson)
            start_engine(startJson);
        else
            start_engine();
        if (HasFatalFailure()) return;
        ASSERT_TRUE(rec_.wait_event(5));
        path_ = rec_.first_path();
        ASSERT_EQ(kelvo_download_enable_device(("{\"path\": \"" + path_ + "\"}").c_str()), 0);
    }

    // The test's script: set before start().
    void script(TestScript fn) {
        std::lock_guard<std::mutex> lock(g_script_mutex);
        g_script = std::move(fn);
    }

    ScriptRun script_result(int ms = 20000) {
        if (!script_done_.valid() || script_done_.wait_for(std::chrono::milliseconds(ms)) != std::future_status::ready)
            return ScriptRun();
        return script_done_.get();
    }

    // Stop (unless stopped already), and everything the link held is gone.
    void stop_and_check_closed(bool stopped = false) {
        if (!stopped) {
            ASSERT_EQ(kelvo_download_stop(), 0);
        }
        ASSERT_TRUE(rec_.wait_event(3));
        size_t open = 1;
        for (int i = 0; i < 200 && open != 0; ++i) {
            open = on_loop<size_t>([] { return serial_open_port_count() + ethos_link_count(); });
            if (open) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        EXPECT_EQ(open, 0u) << "ports and links left after the stop";
        kelvo_engine_unregister_cb();
    }

    std::vector<Json::Value> recorded() {
        sim_.stop();
        return devsim::read_json_lines(sim_.record_dir() + "/device-0.jsonl");
    }

    static size_t count_kind(const std::vector<Json::Value>& lines, const std::string& kind) {
        size_t n = 0;
        for (const auto& l : lines) n += l["kind"].asString() == kind;
        return n;
    }

    // The capture read back by a dissector: one line per frame.
    std::vector<std::string> dissect(const std::string& fields) {
        std::vector<std::string> out;
        std::string cmd = "tshark -r '" + dir_ + "/kelvo.pcap' -T fields " + fields + " 2>/dev/null";
        FILE* p = popen(cmd.c_str(), "r");
        if (!p) return out;
        char line[512];
        while (fgets(line, sizeof line, p)) out.emplace_back(line);
        pclose(p);
        return out;
    }

    Recorder rec_;
    std::future<ScriptRun> script_done_;
    bool downloadStarted_ = false;
    devsim::SimProcess sim_;
    std::string dir_, path_;
    char old_cwd_[4096] = {};
};

bool has_tshark() { return system("command -v tshark >/dev/null 2>&1") == 0; }

// Links take the interface's hardware address for their hello when they are
// made: it is there, read behind the stack's start, once a download runs.
TEST_F(LinkEngine, HardwareAddressIsThereOnceADownloadRuns) {
    start_engine();
    if (HasFatalFailure()) return;
    devsim::Mac mac{};
    netif_host_mac(mac.data());
    EXPECT_NE(mac, devsim::Mac{});
    devsim::Mac again{};
    netif_host_mac(again.data());
    EXPECT_EQ(mac, again);
}

TEST_F(LinkEngine, DownloadThreadReachesTheDeviceThroughTheStackThenFails) {
    script([](const char* target, uint32_t, uint16_t port, ScriptRun& run) {
        StackClient c;
        uint16_t seq = 0;
        std::string reply;
        run.ok = c.open(target, port) && c.negotiate(seq) && c.command(seq, "getvar:version", reply);
        run.replies.push_back(reply);
        return 1;  // the script fails: the device ends "FAILED"
    });
    start({"--count", "1"});
    ScriptRun run = script_result();
    EXPECT_TRUE(rec_.wait_status("FAILED"));
    EXPECT_EQ(run.target.rfind("usb:udp:fe80::", 0), 0u) << run.target;
    EXPECT_EQ(run.port, 60001) << "order 1";
    EXPECT_NE(run.connection, 0u);
    EXPECT_TRUE(run.ok);
    EXPECT_EQ(run.replies, std::vector<std::string>{"OKAY0.5"});

    auto st = rec_.statuses();
    std::vector<std::string> want{"CONNECTING", "RUNNING", "FAILED"};
    auto it = st.begin();
    for (const auto& w : want) {
        it = std::find(it, st.end(), w);
        ASSERT_NE(it, st.end()) << "status " << w << " missing in order";
    }

    stop_and_check_closed();
    auto lines = recorded();
    EXPECT_GE(count_kind(lines, "wake"), 1u);
    EXPECT_EQ(count_kind(lines, "hello"), 1u);
    bool sawVersion = false;
    for (const auto& l : lines) sawVersion |= l["command"].asString() == "getvar:version";
    EXPECT_TRUE(sawVersion);

    if (!has_tshark()) GTEST_SKIP() << "tshark not installed: capture not dissected";
    // The device's address carries its hardware address: no solicitation asks for it.
    auto icmp = dissect("-Y icmpv6.type==135 -e icmpv6.nd.ns.target_address");
    EXPECT_EQ(icmp.size(), 0u) << "a neighbour solicitation was captured";
    auto udp = dissect("-Y udp -e udp.srcport -e udp.dstport");
    size_t out = 0, back = 0;
    for (const auto& l : udp) {
        out += l == "60001\t5554\n";
        back += l == "5554\t60001\n";
    }
    EXPECT_GE(out, 4u);
    EXPECT_GE(back, 4u);
}

TEST_F(LinkEngine, SilentDeviceIsAnsweredByTheLinkAfterItsTimeout) {
    script([](const char* target, uint32_t connection, uint16_t port, ScriptRun& run) {
        StackClient c;
        uint16_t seq = 0;
        std::string reply;
        if (!c.open(target, port) || !c.negotiate(seq)) return 1;
        ethos_link_set_timeout(connection, 1000);
        // The device goes silent at this command; the link answers in its place.
        FbPacket in;
        run.ok = c.exchange({devsim::FB_DATA, 0, seq, {'g', 'e', 't', 'v', 'a', 'r', ':', 'x'}}, in, 8000);
        run.replies.emplace_back(in.payload.begin(), in.payload.end());
        run.replies.push_back(std::to_string(in.id));
        return 1;
    });
    start({"--count", "1", "--fault", "silent:30000:getvar"});
    ScriptRun run = script_result();
    EXPECT_TRUE(run.ok);
    EXPECT_EQ(run.replies, (std::vector<std::string>{"no response", "0"}));
    EXPECT_TRUE(rec_.wait_status("FAILED"));
    stop_and_check_closed();
    auto lines = recorded();
    EXPECT_EQ(count_kind(lines, "silent"), 1u);
}

TEST_F(LinkEngine, StopDuringADownloadEndsItWithNoResponseAndFailed) {
    std::promise<void> running;
    auto runningFuture = running.get_future();
    script([&running](const char* target, uint32_t, uint16_t port, ScriptRun& run) {
        StackClient c;
        uint16_t seq = 0;
        if (!c.open(target, port) || !c.negotiate(seq)) {
            running.set_value();
            return 1;
        }
        running.set_value();
        // Keep asking until the closing link answers for the device.
        for (int i = 0; i < 200; ++i) {
            FbPacket in;
            if (c.exchange({devsim::FB_QUERY, 0, 0, {}}, in, 500) && in.id == devsim::FB_ERROR) {
                run.replies.emplace_back(in.payload.begin(), in.payload.end());
                run.ok = true;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return 0;  // a close ends in "FAILED" whatever the script says
    });
    start({"--count", "1"});
    ASSERT_EQ(runningFuture.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    ASSERT_TRUE(rec_.wait_status("RUNNING"));
    ASSERT_EQ(kelvo_download_stop(), 0);
    ScriptRun run = script_result();
    EXPECT_TRUE(run.ok);
    EXPECT_EQ(run.replies, std::vector<std::string>{"no response"});
    EXPECT_TRUE(rec_.wait_status("FAILED"));
    stop_and_check_closed(true);
}

// The port files in a simulator's directory.
std::vector<std::string> port_files(const std::string& dir) {
    std::vector<std::string> out;
    DIR* d = opendir(dir.c_str());
    if (!d) return out;
    while (dirent* e = readdir(d)) {
        std::string n = e->d_name;
        if (n.size() > 5 && n.compare(n.size() - 5, 5, ".json") == 0) out.push_back(dir + "/" + n);
    }
    closedir(d);
    return out;
}

// A device whose port goes away mid-download and comes back at the same
// location, on a new terminal, before the old download has ended: once the old
// port has closed the record follows the new port, and is connected to it
// unless the start asked for enableOnce.
class LinkEngineReturn : public LinkEngine, public ::testing::WithParamInterface<bool> {};

TEST_P(LinkEngineReturn, DeviceBackDuringTheCloseOfItsOldLinkFollowsTheNewPort) {
    const bool enableOnce = GetParam();
    std::promise<void> running, release;
    auto runningFuture = running.get_future();
    auto releaseFuture = release.get_future().share();
    auto runs = std::make_shared<std::atomic<int>>(0);
    script([&running, releaseFuture, runs](const char*, uint32_t, uint16_t, ScriptRun&) {
        if (++*runs == 1) {
            running.set_value();
            releaseFuture.wait();
        }
        return 1;
    });
    // The returning device: a second simulator at the same location, its port
    // file kept out of sight until the device comes back.
    devsim::SimProcess back;
    ASSERT_TRUE(back.start({"--count", "1", "--location", "hub"}, 1));
    std::string newPath = back.ports()[0]["path"].asString();
    start({"--count", "1", "--location", "hub"},
          enableOnce ? R"({"baudRate": 115200, "enableOnce": true})" : R"({"baudRate": 115200})");
    if (HasFatalFailure()) return;
    ASSERT_EQ(runningFuture.wait_for(std::chrono::seconds(20)), std::future_status::ready);

    auto files = port_files(sim_.ports_dir());
    ASSERT_EQ(files.size(), 1u);
    ASSERT_EQ(unlink(files[0].c_str()), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the removal has been taken
    auto backFile = port_files(back.ports_dir());
    ASSERT_EQ(backFile.size(), 1u);
    ASSERT_EQ(rename(backFile[0].c_str(), (sim_.ports_dir() + "/back.json").c_str()), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    auto onNewPath = [&](const char* status) {
        return [&newPath, status](const Json::Value& e) {
            return e["event"].asInt() == 6 && e["path"].asString() == newPath && e["status"].asString() == status;
        };
    };
    EXPECT_EQ(rec_.find([&](const Json::Value& e) { return e["path"].asString() == newPath; }), -1)
        << "the record keeps its old port while that is open";

    int before = int(rec_.statuses().size());
    release.set_value();
    ASSERT_TRUE(rec_.wait(onNewPath("ONLINE")));
    // The old download's end, then the new port: never offline in between.
    auto st = rec_.statuses();
    st.erase(st.begin(), st.begin() + before);
    ASSERT_GE(st.size(), 2u);
    EXPECT_EQ(std::vector<std::string>(st.begin(), st.begin() + 2), (std::vector<std::string>{"FAILED", "ONLINE"}));
    if (enableOnce) {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        EXPECT_EQ(rec_.find(onNewPath("CONNECTING")), -1) << "enableOnce: no connect of its own";
    } else {
        EXPECT_TRUE(rec_.wait(onNewPath("RUNNING")));
    }
}

INSTANTIATE_TEST_SUITE_P(EnableOnce, LinkEngineReturn, ::testing::Bool());

// The engine's exit does not stop a download; the download thread that ends
// afterwards must find nothing of the loop to signal, and the host lives on.
// The download is never stopped, so this runs in a process of its own.
TEST_F(LinkEngine, ExitDuringADownloadLeavesTheHostRunning) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto run_and_exit = [this] {
        std::promise<void> running, release;
        auto runningFuture = running.get_future();
        auto releaseFuture = release.get_future().share();
        script([&running, releaseFuture](const char*, uint32_t, uint16_t, ScriptRun&) {
            running.set_value();
            releaseFuture.wait();
            return 0;
        });
        start({"--count", "1"});
        if (HasFatalFailure() || runningFuture.wait_for(std::chrono::seconds(20)) != std::future_status::ready ||
            !rec_.wait_status("RUNNING"))
            return 2;
        kelvo_engine_unregister_cb();
        if (kelvo_engine_exit() != 0) return 3;
        release.set_value();
        if (script_result().target.empty()) return 4;
        std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the thread's end has been handed over
        // No loop is left to join the ended thread: the test does.
        for (SerialLink* link : ethos_links())
            if (link->downloadThread.joinable()) link->downloadThread.join();
        return 0;
    };
    EXPECT_EXIT(_exit(run_and_exit()), ::testing::ExitedWithCode(0), "");
}

TEST_F(LinkEngine, StackTakesOnlyFramesForItsOwnOrAGroupAddressAndAllAreCaptured) {
    start_engine();
    if (HasFatalFailure()) return;

    devsim::Mac host{};
    netif_host_mac(host.data());
    const devsim::Mac peer{0x02, 0x99, 0x88, 0x77, 0x66, 0x55};
    int s = lwip_socket(AF_INET6, SOCK_DGRAM, 0);
    ASSERT_GE(s, 0);
    sockaddr_in6 local{};
    local.sin6_family = AF_INET6;
    local.sin6_port = htons(7777);
    ASSERT_EQ(lwip_bind(s, reinterpret_cast<sockaddr*>(&local), sizeof local), 0);
    timeval tv{0, 300000};
    lwip_setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);

    struct Case {
        const char* what;
        devsim::Mac dst;
        bool taken;
    } cases[] = {
        {"own address", host, true},
        {"all-nodes group", {0x33, 0x33, 0, 0, 0, 1}, true},
        {"broadcast", {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, true},
        {"IPv4 group range", {0x01, 0x00, 0x5E, 0x7F, 0, 1}, true},
        {"beyond the IPv4 group range", {0x01, 0x00, 0x5E, 0x80, 0, 1}, false},
        {"another unicast address", {0x02, 0x12, 0x34, 0x56, 0x78, 0x9A}, false},
    };
    for (const auto& c : cases) {
        std::string text = c.what;
        auto frame = devsim::build_udp(peer, c.dst, devsim::link_local_of(peer), devsim::link_local_of(host), 5554,
                                       7777, reinterpret_cast<const uint8_t*>(text.data()), text.size());
        frame[0] = c.dst[0];
        deliver(frame);
        char buf[256];
        ssize_t n = lwip_recv(s, buf, sizeof buf, 0);
        EXPECT_EQ(n > 0, c.taken) << c.what;
        if (n > 0) {
            EXPECT_EQ(std::string(buf, size_t(n)), text);
        }
    }
    lwip_close(s);
    ASSERT_EQ(kelvo_download_stop(), 0);
    ASSERT_TRUE(rec_.wait_event(3));
    // Delivery is off after the stop: nothing reaches the stack any more.
    auto frame = devsim::build_udp(peer, host, devsim::link_local_of(peer), devsim::link_local_of(host), 5554, 7777,
                                   reinterpret_cast<const uint8_t*>("late"), 4);
    deliver(frame);

    if (!has_tshark()) GTEST_SKIP() << "tshark not installed: capture not dissected";
    auto udp = dissect("-Y udp.dstport==7777 -e eth.dst");
    EXPECT_EQ(udp.size(), 6u) << "every received frame is captured, the filter comes after";
}

// Uploads bring frames far larger than a small receive buffer: several of the
// largest a full Ethernet link and the link's own decoder allow, taken in
// before any is read, each arrive whole.
TEST_F(LinkEngine, LargestFramesArriveWhole) {
    start_engine();
    if (HasFatalFailure()) return;
    devsim::Mac host{};
    netif_host_mac(host.data());
    const devsim::Mac peer{0x02, 0x99, 0x88, 0x77, 0x66, 0x54};
    int s = lwip_socket(AF_INET6, SOCK_DGRAM, 0);
    ASSERT_GE(s, 0);
    sockaddr_in6 local{};
    local.sin6_family = AF_INET6;
    local.sin6_port = htons(7778);
    ASSERT_EQ(lwip_bind(s, reinterpret_cast<sockaddr*>(&local), sizeof local), 0);
    int rcvbuf = 64 * 1024;
    lwip_setsockopt(s, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    timeval tv{1, 0};

    // The stack comes up beside the download start: a probe until it answers.
    bool up = false;
    for (int i = 0; i < 50 && !up; ++i) {
        devsim::Mac mac{};
        netif_host_mac(mac.data());
        auto probe = devsim::build_udp(peer, mac, devsim::link_local_of(peer), devsim::link_local_of(mac), 5554,
                                       7778, reinterpret_cast<const uint8_t*>("up"), 2);
        deliver(probe);
        char buf[8];
        timeval shortWait{0, 100000};
        lwip_setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &shortWait, sizeof shortWait);
        up = lwip_recv(s, buf, sizeof buf, 0) == 2;
    }
    ASSERT_TRUE(up) << "the stack took no frame";
    netif_host_mac(host.data());
    lwip_setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);

    const size_t kHeaders = 14 + 40 + 8;
    for (size_t payload : {size_t(1500 - 48), kEthosFrameBuffer - kHeaders}) {
        std::vector<std::vector<uint8_t>> sent;
        for (int i = 0; i < 4; ++i) {
            std::vector<uint8_t> data(payload);
            for (size_t k = 0; k < payload; ++k) data[k] = uint8_t(k * 7 + i * 31 + 1);
            auto frame = devsim::build_udp(peer, host, devsim::link_local_of(peer), devsim::link_local_of(host),
                                           5554, 7778, data.data(), data.size());
            ASSERT_LE(frame.size(), kEthosFrameBuffer);
            deliver(frame);
            sent.push_back(data);
        }
        for (const auto& want : sent) {
            std::vector<uint8_t> buf(4096);
            ssize_t n = lwip_recv(s, buf.data(), buf.size(), 0);
            ASSERT_EQ(n, ssize_t(payload)) << "payload " << payload;
            buf.resize(size_t(n));
            EXPECT_TRUE(buf == want) << "payload " << payload << " changed on its way";
        }
    }
    lwip_close(s);
    ASSERT_EQ(kelvo_download_stop(), 0);
    ASSERT_TRUE(rec_.wait_event(3));
}

}  // namespace
