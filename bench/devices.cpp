// Many devices at once through the engine: N simulated boot-ROM devices
// (usb windows or acked uart packets, a given line rate each) get one image;
// per-device status and bytes verified on the device's flash, the aggregate
// speed-up against one device alone, and the host process's CPU time (also
// per data packet) and peak memory. The simulators run as processes of their
// own, so the figures are the engine's.
//
// Usage: devices [--count N] [--rate BYTES_PER_SECOND] [--image-size BYTES]
//                [--max-download-size BYTES] [--per-process K] [--timeout S]
//                [--transport usb|uart] [--before LIBKELVO] [--no-baseline]
// Defaults: 32 devices, 300000 B/s (0: unthrottled), 4 MiB, 16 MiB, 8 devices
// per simulator process, 600 s, usb. --before runs every pass with another
// build of the engine library first and prints both side by side. Each pass
// runs in a child process of its own; the package is written by another, so
// neither counts in the host's peak memory.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <json/json.h>

#include "engine_host.h"
#include "fleet.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    int count = 32;
    uint64_t rate = 300000;
    size_t imageSize = 4u << 20;
    uint64_t maxDownloadSize = 16u << 20;
    int perProcess = 8;
    int timeoutS = 600;
    bool baseline = true;
    std::string transport = "usb";
    std::string before;  // another libkelvo.so, run first
};

// The simulator's packets carry 1024 data bytes (its default packet size).
constexpr double kPacketData = 1024;

struct DeviceEnd {
    std::string status;
    double seconds = 0;
    double running = -1;  // when its script started
};

// What the engine reported, filled on its loop thread.
struct Outcome {
    std::mutex m;
    std::condition_variable cv;
    Clock::time_point start;
    std::map<std::string, DeviceEnd> ends;  // by location
    std::map<std::string, double> running;
    std::map<std::string, bool> sending;  // by log prefix: the next OKAY ends a send
    double sendSeconds = 0;                // summed times of the sends, as the log gives them
    std::vector<std::string> errors;        // log lines that name a failure (the first few)
    bool initialized = false, stopped = false;

    static void on_event(const char* text, void* user) {
        auto* self = static_cast<Outcome*>(user);
        Json::Value v;
        if (!Json::Reader().parse(text, v) || !v.isObject()) return;
        int event = v["event"].asInt();
        std::lock_guard<std::mutex> lock(self->m);
        if (event == 1) self->initialized = true;
        if (event == 3) self->stopped = true;
        if (event == 0) {
            std::string line = v["message"].asString();
            while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
            size_t gt = line.find("> ");
            std::string who = gt == std::string::npos ? "" : line.substr(0, gt);
            double took = 0;
            if (line.find("> Sending ") != std::string::npos) self->sending[who] = true;
            else if (self->sending[who] && sscanf(line.c_str() + (gt == std::string::npos ? 0 : gt + 2),
                                                  "OKAY [ %lfs]", &took) == 1) {
                self->sendSeconds += took;
                self->sending[who] = false;
            }
            if (self->errors.size() < 40 && (line.find("error") != std::string::npos ||
                                              line.find("FAILED") != std::string::npos))
                self->errors.push_back(line);
        }
        if (event == 6) {
            std::string st = v["status"].asString();
            std::string loc = v["locationInfo"].asString();
            double now = std::chrono::duration<double>(Clock::now() - self->start).count();
            if (st == "RUNNING" && !self->running.count(loc)) self->running[loc] = now;
            if ((st == "SUCCEEDED" || st == "FAILED") && !self->ends.count(loc)) {
                auto c = self->running.find(loc);
                self->ends[loc] = {st, now, c == self->running.end() ? -1 : c->second};
            }
        }
        self->cv.notify_all();
    }
};

double cpu_seconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

long peak_rss_kib() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
}

// The process's anonymous memory now: the resident set without the image
// file that each download thread maps (the page cache, shared by all).
long anon_rss_kib() {
    FILE* f = fopen("/proc/self/status", "r");
    if (!f) return 0;
    char line[256];
    long kib = 0;
    while (fgets(line, sizeof line, f))
        if (sscanf(line, "RssAnon: %ld kB", &kib) == 1) break;
    fclose(f);
    return kib;
}

// Samples the anonymous memory until stopped; its peak.
class AnonPeak {
public:
    AnonPeak() : thread_([this] {
        std::unique_lock<std::mutex> lock(m_);
        do peak_ = std::max(peak_, anon_rss_kib());
        while (!cv_.wait_for(lock, std::chrono::milliseconds(20), [this] { return stop_; }));
    }) {}
    long stop() {
        {
            std::lock_guard<std::mutex> lock(m_);
            stop_ = true;
        }
        cv_.notify_all();
        thread_.join();
        return peak_;
    }

private:
    std::mutex m_;
    std::condition_variable cv_;
    bool stop_ = false;
    long peak_ = 0;
    std::thread thread_;
};

// One pass in this (child) process; its result as one JSON text.
Json::Value run_pass(const Options& o, int count, const std::string& package) {
    Json::Value r;
    fleet::Fleet sims;
    std::string flash = "external:" + std::to_string(fleet::flash_size_for(o.imageSize));
    if (!sims.start(count, o.perProcess,
                    {"--line-rate", std::to_string(o.rate), "--flash", flash, "--max-download-size",
                     std::to_string(o.maxDownloadSize), "--transport", o.transport})) {
        r["error"] = "cannot start the simulators";
        return r;
    }
    setenv("KELVO_VIRTUAL_PORTS", sims.ports_dir().c_str(), 1);
    EngineHost& host = EngineHost::instance();
    static Outcome out;
    host.engine_init();
    host.register_cb(&Outcome::on_event, &out);

    AnonPeak anon;
    double cpu0 = cpu_seconds();
    out.start = Clock::now();
    Json::Value init;
    init["path"] = package;
    host.download_init(Json::FastWriter().write(init).c_str());
    std::unique_lock<std::mutex> lock(out.m);
    out.cv.wait_for(lock, std::chrono::seconds(30), [] { return out.initialized; });
    lock.unlock();
    host.download_start(R"({"baudRate": 921600, "usbAutoEnable": true})");
    lock.lock();
    out.cv.wait_for(lock, std::chrono::seconds(o.timeoutS), [&] { return int(out.ends.size()) >= count; });
    double wall = std::chrono::duration<double>(Clock::now() - out.start).count();
    double cpu = cpu_seconds() - cpu0;
    long rss = peak_rss_kib();
    long anonPeak = anon.stop();
    std::map<std::string, DeviceEnd> ends = out.ends;
    std::vector<std::string> errors = out.errors;
    double sendSeconds = out.sendSeconds;
    lock.unlock();

    host.download_stop();
    lock.lock();
    out.cv.wait_for(lock, std::chrono::seconds(30), [] { return out.stopped; });
    lock.unlock();
    host.unregister_cb();
    sims.stop();

    std::string image = fleet::image_pattern(o.imageSize, 1);
    for (int i = 0; i < count; ++i) {
        Json::Value d;
        d["location"] = sims.location(i);
        auto it = ends.find(sims.location(i));
        d["status"] = it == ends.end() ? "(none)" : it->second.status;
        d["seconds"] = it == ends.end() ? wall : it->second.seconds;
        d["running"] = it == ends.end() ? -1 : it->second.running;
        d["verified"] = Json::UInt64(sims.verified_bytes(i, image));
        r["devices"].append(d);
    }
    for (const auto& e : errors) r["errors"].append(e);
    r["wall"] = wall;
    r["sendSeconds"] = sendSeconds;
    r["cpu"] = cpu;
    r["peakRssKiB"] = Json::Int64(rss);
    r["peakAnonKiB"] = Json::Int64(anonPeak);
    return r;
}

// Runs `fn` in a child process and reads the JSON text it writes to a pipe.
template <typename F>
Json::Value in_child(F fn) {
    int fds[2];
    if (pipe(fds) != 0) return Json::Value();
    fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        std::string text = Json::FastWriter().write(fn());
        for (size_t off = 0; off < text.size();) {
            ssize_t n = write(fds[1], text.data() + off, text.size() - off);
            if (n <= 0) break;
            off += size_t(n);
        }
        close(fds[1]);
        _exit(0);  // the engine's threads are left behind with the process
    }
    close(fds[1]);
    std::string text;
    char buf[4096];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0) text.append(buf, size_t(n));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    Json::Value v;
    Json::Reader().parse(text, v);
    return v;
}

struct Summary {
    int succeeded = 0, verified = 0;
    double bytes = 0, wall = 0, cpu = 0, rssMB = 0;
    double linked = 0;  // summed seconds from running to the end, devices that verified
    double sending = 0; // summed seconds of the sends the log reports
    bool ran = false;
};

// Bytes a second of one device from its script's start to its end.
double linked_rate(const Summary& s) { return s.linked > 0 ? s.bytes / s.linked / 1e6 : 0; }
// Bytes a second of one device while the log says it sends.
double send_rate(const Summary& s) { return s.sending > 0 ? s.bytes / s.sending / 1e6 : 0; }

Summary report(const std::string& title, int count, const Json::Value& r, bool perDevice) {
    Summary s;
    printf("\n%s: %d device%s\n", title.c_str(), count, count == 1 ? "" : "s");
    if (!r.isObject() || r.isMember("error")) {
        printf("  pass failed: %s\n", r.isObject() ? r["error"].asString().c_str() : "no result");
        return s;
    }
    if (perDevice) printf("  %-10s %-10s %8s %10s\n", "location", "status", "seconds", "verified");
    for (const auto& d : r["devices"]) {
        bool ok = d["status"].asString() == "SUCCEEDED";
        s.succeeded += ok;
        s.verified += d["verified"].asUInt64() > 0;
        s.bytes += double(d["verified"].asUInt64());
        if (d["verified"].asUInt64() > 0 && d["running"].asDouble() >= 0)
            s.linked += d["seconds"].asDouble() - d["running"].asDouble();
        if (perDevice)
            printf("  %-10s %-10s %8.1f %10llu\n", d["location"].asCString(), d["status"].asCString(),
                   d["seconds"].asDouble(), static_cast<unsigned long long>(d["verified"].asUInt64()));
    }
    s.ran = true;
    s.wall = r["wall"].asDouble();
    double cpu = s.cpu = r["cpu"].asDouble();
    s.rssMB = double(r["peakRssKiB"].asInt64()) / 1024.0;
    s.sending = r["sendSeconds"].asDouble();
    printf("  SUCCEEDED %d of %d, bytes verified on %d of %d (%.0f bytes)\n", s.succeeded, count, s.verified, count,
           s.bytes);
    printf("  wall %.1f s, aggregate %.0f B/s, host CPU %.2f s = %.1f %% of one core\n", s.wall, s.bytes / s.wall, cpu,
           100.0 * cpu / s.wall);
    if (s.bytes > 0)
        printf("  host CPU per %.0f-byte data packet %.1f us, data rate %.2f MB/s; a device %.2f MB/s once running,"
               " %.2f MB/s while sending\n",
               kPacketData, cpu * 1e6 / (s.bytes / kPacketData), s.bytes / s.wall / 1e6, linked_rate(s), send_rate(s));
    printf("  host peak memory %.1f MB resident, %.1f MB anonymous (without the mapped image file)\n",
           double(r["peakRssKiB"].asInt64()) / 1024.0, double(r["peakAnonKiB"].asInt64()) / 1024.0);
    if (s.succeeded < count)
        for (const auto& e : r["errors"]) printf("  log: %s\n", e.asCString());
    return s;
}

bool parse_options(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto next = [&](unsigned long long& v) {
            if (i + 1 >= argc) return false;
            char* end = nullptr;
            v = strtoull(argv[++i], &end, 0);
            return end && *end == 0;
        };
        unsigned long long v = 0;
        if (a == "--no-baseline") {
            o.baseline = false;
        } else if (a == "--count" && next(v) && v >= 1 && v <= 1024) {
            o.count = int(v);
        } else if (a == "--rate" && next(v)) {
            o.rate = v;
        } else if (a == "--image-size" && next(v) && v >= 4096 && v <= (1ull << 30)) {
            o.imageSize = size_t(v);
        } else if (a == "--max-download-size" && next(v) && v >= 4096 && v <= 0xFFFFFFFFull) {
            o.maxDownloadSize = v;
        } else if (a == "--per-process" && next(v) && v >= 1) {
            o.perProcess = int(v);
        } else if (a == "--timeout" && next(v) && v >= 1) {
            o.timeoutS = int(v);
        } else if (a == "--transport" && i + 1 < argc &&
                   (std::string(argv[i + 1]) == "usb" || std::string(argv[i + 1]) == "uart")) {
            o.transport = argv[++i];
        } else if (a == "--before" && i + 1 < argc && access(argv[i + 1], R_OK) == 0) {
            o.before = argv[++i];
        } else {
            fprintf(stderr,
                    "usage: devices [--count N] [--rate B/S] [--image-size BYTES] [--max-download-size BYTES]\n"
                    "               [--per-process K] [--timeout S] [--transport usb|uart]\n"
                    "               [--before LIBKELVO] [--no-baseline]\n");
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!parse_options(argc, argv, o)) return 2;
    std::string dir = devsim::make_temp_dir("bench-devices");
    std::string package = dir + "/image.zip";
    Json::Value written = in_child([&] {
        return Json::Value(fleet::write_image_package(package, fleet::image_pattern(o.imageSize, 1)));
    });
    if (!written.asBool()) {
        fprintf(stderr, "cannot write the package\n");
        return 1;
    }
    printf("image %zu bytes, piece limit %llu, %llu B/s per device, %d devices per simulator process, %s links\n",
           o.imageSize, static_cast<unsigned long long>(o.maxDownloadSize),
           static_cast<unsigned long long>(o.rate), o.perProcess, o.transport.c_str());

    // The engine of this build, and the other one first when given.
    std::vector<std::string> engines;
    if (!o.before.empty()) engines.push_back(o.before);
    engines.push_back("");
    struct Run {
        std::string name;
        Summary one, all;
    };
    std::vector<Run> runs;
    for (const std::string& lib : engines) {
        Run run;
        run.name = lib.empty() ? "this build" : "before (" + lib + ")";
        printf("\n== engine: %s\n", run.name.c_str());
        auto pass = [&](int count) {
            return in_child([&] {
                if (!lib.empty()) setenv("KELVO_ENGINE_LIBRARY", lib.c_str(), 1);
                return run_pass(o, count, package);
            });
        };
        if (o.baseline && o.count > 1) run.one = report("one device", 1, pass(1), false);
        run.all = report("all devices", o.count, pass(o.count), true);
        if (run.one.verified == 1 && run.all.wall > 0)
            printf("\naggregate speed-up %.1fx one device (%.1f s alone)\n",
                   (run.all.bytes / run.all.wall) / (run.one.bytes / run.one.wall), run.one.wall);
        runs.push_back(run);
    }
    if (runs.size() > 1) {
        printf("\n%-34s %14s %14s\n", "all devices", "before", "this build");
        auto row = [&](const char* what, double (*f)(const Summary&, int), const char* format) {
            printf("%-34s", what);
            for (const Run& r : runs) {
                char cell[32] = "-";
                if (r.all.ran) snprintf(cell, sizeof cell, format, f(r.all, o.count));
                printf(" %14s", cell);
            }
            printf("\n");
        };
        row("SUCCEEDED", [](const Summary& s, int) { return double(s.succeeded); }, "%.0f");
        row("wall s", [](const Summary& s, int) { return s.wall; }, "%.1f");
        row("host CPU, % of one core", [](const Summary& s, int) { return s.wall > 0 ? 100 * s.cpu / s.wall : 0; },
            "%.1f");
        row("host CPU per data packet, us",
            [](const Summary& s, int) { return s.bytes > 0 ? s.cpu * 1e6 / (s.bytes / kPacketData) : 0; }, "%.1f");
        row("data rate, MB/s", [](const Summary& s, int) { return s.wall > 0 ? s.bytes / s.wall / 1e6 : 0; },
            "%.2f");
        row("a device once running, MB/s", [](const Summary& s, int) { return linked_rate(s); }, "%.2f");
        row("a device while sending, MB/s", [](const Summary& s, int) { return send_rate(s); }, "%.2f");
        row("host peak resident MB", [](const Summary& s, int) { return s.rssMB; }, "%.1f");
    }
    devsim::remove_tree(dir);
    const Summary& all = runs.back().all;
    return all.succeeded == o.count && all.verified == o.count ? 0 : 1;
}
