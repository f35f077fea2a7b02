// What large flashes cost kelvo-devsim: N devices of one flash each get a
// small image; prints the simulator's resident memory (current and peak),
// the bytes its record takes on disk and how long its exit (the record
// writing) takes. Usage: devsim_footprint [DEVICES [FLASH_SIZE [sparse]]]
// (default 4 256MiB); "sparse" adds --sparse-record. KELVO_DEVSIM picks the
// simulator binary, so an older one can be measured the same way.
#include <dirent.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "sim_host.h"

using namespace devsim;

namespace {
unsigned long status_kib(pid_t pid, const char* key) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind(key, 0) == 0) return std::stoul(line.substr(strlen(key)));
    return 0;
}

void disk_use(const std::string& dir, unsigned long long& apparent, unsigned long long& allocated) {
    apparent = allocated = 0;
    DIR* d = opendir(dir.c_str());
    if (!d) return;
    while (dirent* e = readdir(d)) {
        struct stat sb {};
        if (e->d_name[0] != '.' && stat((dir + "/" + e->d_name).c_str(), &sb) == 0) {
            apparent += uint64_t(sb.st_size);
            allocated += uint64_t(sb.st_blocks) * 512;
        }
    }
    closedir(d);
}
}  // namespace

int main(int argc, char** argv) {
    int devices = argc > 1 ? atoi(argv[1]) : 4;
    std::string flash = argc > 2 ? argv[2] : "256MiB";
    bool sparse = argc > 3 && std::string(argv[3]) == "sparse";
    std::vector<std::string> args{"--count", std::to_string(devices), "--flash", "nand0:" + flash,
                                  "--exit-when-done"};
    if (sparse) args.push_back("--sparse-record");
    auto t0 = std::chrono::steady_clock::now();
    SimProcess sim;
    if (!sim.start(args, devices)) {
        fprintf(stderr, "cannot start kelvo-devsim\n");
        return 1;
    }
    double start_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::vector<uint8_t> image(100000);
    for (size_t i = 0; i < image.size(); ++i) image[i] = uint8_t(i * 13 + 5);
    for (auto& port : sim.ports()) {
        WireHost host;
        if (!host.open(port["path"].asString()) || !host.wake() || !host.hello() ||
            !host.solicit(link_local_of(host.device_mac), nullptr) || !host.negotiate() ||
            host.download(image) != "OKAY" || host.command("flash:nand0") != "OKAY" ||
            host.command("complete") != "OKAY") {
            fprintf(stderr, "a device did not take its image\n");
            return 1;
        }
    }
    unsigned long rss = status_kib(sim.pid(), "VmRSS:"), peak = status_kib(sim.pid(), "VmHWM:");
    auto t1 = std::chrono::steady_clock::now();
    int status = -1;
    if (!sim.wait_exit(120000, status) || status != 0) {
        fprintf(stderr, "kelvo-devsim did not exit cleanly\n");
        return 1;
    }
    double exit_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t1).count();
    unsigned long long apparent = 0, allocated = 0;
    disk_use(sim.record_dir(), apparent, allocated);
    printf("%d devices, flash %s%s: start %.2f s, resident %lu KiB (peak %lu KiB), exit %.2f s, "
           "record %llu KiB on disk (%llu KiB apparent)\n",
           devices, flash.c_str(), sparse ? ", --sparse-record" : "", start_s, rss, peak, exit_s, allocated >> 10,
           apparent >> 10);
    return 0;
}
