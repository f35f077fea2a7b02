// Throughput of kelvo-devsim's --line-rate over a 1 MiB transfer in each
// direction: a raw-window download (host to device) and an upload (device
// to host). Usage: line_rate [BYTES_PER_SECOND] (default 92160).
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "sim_host.h"

using namespace devsim;

int main(int argc, char** argv) {
    unsigned long rate = argc > 1 ? strtoul(argv[1], nullptr, 10) : 92160;
    const size_t size = 1u << 20;
    SimProcess sim;
    if (!sim.start({"--line-rate", std::to_string(rate), "--flash", "external:2MiB", "--max-download-size",
                    "2MiB"})) {
        fprintf(stderr, "cannot start kelvo-devsim\n");
        return 1;
    }
    WireHost host;
    if (!host.open(sim.ports()[0]["path"].asString()) || !host.wake() || !host.hello() || !host.negotiate() ||
        host.command("getvar:version") != "OKAY0.5") {
        fprintf(stderr, "handshake failed\n");
        return 1;
    }
    std::vector<uint8_t> data(size);
    for (size_t i = 0; i < size; ++i) data[i] = uint8_t(i * 7 + 1) == 0x7E ? 0 : uint8_t(i * 7 + 1);
    auto t0 = std::chrono::steady_clock::now();
    std::string r = host.download_windows(data);
    double down = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (r != "OKAY") {
        fprintf(stderr, "download failed: %s\n", r.c_str());
        return 1;
    }
    if (host.command("flash:external") != "OKAY" || host.command("useflash:external") != "OKAY" ||
        host.command("ulstage:00000000:00100000") != "OKAY") {
        fprintf(stderr, "stage failed\n");
        return 1;
    }
    std::vector<uint8_t> up;
    std::string fin;
    t0 = std::chrono::steady_clock::now();
    bool ok = host.upload(up, fin);
    double upt = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (!ok || up != data) {
        fprintf(stderr, "upload failed\n");
        return 1;
    }
    // The upload travels in framed UDP packets: count its wire bytes.
    size_t packets = (size + host.packet_size - 5) / (host.packet_size - 4);
    double up_wire = double(size) + double(packets) * (2 + 62 + 4);
    double down_rate = double(size) / down, up_rate = up_wire / upt;
    printf("line rate %lu B/s\n", rate);
    printf("host->device 1 MiB raw windows: %.3f s, %.0f B/s (%+.2f %%)\n", down, down_rate,
           (down_rate / double(rate) - 1) * 100);
    printf("device->host 1 MiB upload:      %.3f s, %.0f B/s on the wire (%+.2f %%)\n", upt, up_rate,
           (up_rate / double(rate) - 1) * 100);
    bool within = std::fabs(down_rate / double(rate) - 1) <= 0.05 && std::fabs(up_rate / double(rate) - 1) <= 0.05;
    printf("%s\n", within ? "within 5 %" : "OUTSIDE 5 %");
    return within ? 0 : 1;
}
