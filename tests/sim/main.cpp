// kelvo-devsim: simulated boot-ROM devices on pseudo-terminals.
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>

#include <cstdio>
#include <memory>
#include <vector>

#include "config.h"
#include "sim_device.h"

using namespace devsim;

namespace {
volatile sig_atomic_t g_stop = 0;
void on_signal(int) { g_stop = 1; }

int run(int argc, char** argv) {
    Config cfg;
    if (!parse_config(argc, argv, cfg)) return 2;
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    if (!cfg.record_dir.empty()) mkdir(cfg.record_dir.c_str(), 0755);

    std::vector<std::unique_ptr<SimDevice>> devices;
    for (int i = 0; i < cfg.count; ++i) {
        devices.push_back(std::make_unique<SimDevice>(cfg, i));
        if (!devices.back()->open()) {
            for (auto& d : devices) d->unpublish();
            return 1;
        }
    }
    std::vector<pollfd> fds;
    std::vector<SimDevice*> owners;
    bool all_done_seen = false;
    auto linger_until = SimDevice::Clock::now();
    while (!g_stop) {
        fds.clear();
        owners.clear();
        int timeout = 200;
        bool all_done = true;
        for (auto& d : devices) {
            d->on_tick();
            if (!d->finished()) all_done = false;
            int t = d->next_timeout_ms();
            if (t >= 0 && t < timeout) timeout = t;
            if (d->fd() < 0) continue;
            short ev = 0;
            if (d->wants_read()) ev |= POLLIN;
            if (d->wants_write()) ev |= POLLOUT;
            fds.push_back({d->fd(), ev, 0});
            owners.push_back(d.get());
        }
        if (cfg.exit_when_done && all_done) {
            // A moment for the host to read the last replies before the
            // terminals close.
            if (!all_done_seen) {
                all_done_seen = true;
                linger_until = SimDevice::Clock::now() + std::chrono::milliseconds(300);
            } else if (SimDevice::Clock::now() >= linger_until) {
                break;
            }
            if (timeout > 50) timeout = 50;
        }
        int n = poll(fds.data(), fds.size(), timeout);
        if (n <= 0) continue;
        for (size_t i = 0; i < fds.size(); ++i) {
            if (fds[i].revents & POLLIN) owners[i]->on_readable();
            if (fds[i].revents & POLLOUT) owners[i]->on_writable();
        }
    }
    int rc = 0;
    for (auto& d : devices) {
        d->unpublish();
        if (!cfg.record_dir.empty() && !d->write_record(cfg.record_dir)) {
            fprintf(stderr, "kelvo-devsim: cannot write the record into %s\n", cfg.record_dir.c_str());
            rc = 1;
        }
    }
    return rc;
}
}  // namespace

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const std::exception& e) {
        fprintf(stderr, "kelvo-devsim: %s\n", e.what());
        return 1;
    }
}
