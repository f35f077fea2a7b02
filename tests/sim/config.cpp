#include "config.h"

#include <getopt.h>
#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace devsim {

bool parse_size(const std::string& text, uint64_t& out) {
    if (text.empty()) return false;
    const char* s = text.c_str();
    int base = 10;
    if (s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        s += 2;
    }
    if (!*s || *s == '-' || *s == '+' || *s == ' ') return false;
    char* end = nullptr;
    errno = 0;
    unsigned long long v = strtoull(s, &end, base);
    if (errno || end == s) return false;
    uint64_t mul = 1;
    std::string suffix(end);
    if (suffix.empty()) mul = 1;
    else if (!strcasecmp(suffix.c_str(), "k") || !strcasecmp(suffix.c_str(), "kib")) mul = 1ull << 10;
    else if (!strcasecmp(suffix.c_str(), "m") || !strcasecmp(suffix.c_str(), "mib")) mul = 1ull << 20;
    else if (!strcasecmp(suffix.c_str(), "g") || !strcasecmp(suffix.c_str(), "gib")) mul = 1ull << 30;
    else return false;
    if (v > UINT64_MAX / mul) return false;
    out = v * mul;
    return true;
}

bool parse_fault(const std::string& text, Fault& f) {
    std::string t = text;
    f = Fault{};
    // Optional "I/" in front names one device.
    size_t slash = t.find('/');
    size_t colon0 = t.find(':');
    if (slash != std::string::npos && (colon0 == std::string::npos || slash < colon0)) {
        uint64_t d = 0;
        if (!parse_size(t.substr(0, slash), d) || d > 100000) return false;
        f.device = int(d);
        t = t.substr(slash + 1);
    }
    size_t colon = t.find(':');
    std::string kind = t.substr(0, colon);
    std::string arg = colon == std::string::npos ? "" : t.substr(colon + 1);
    auto number = [&](const std::string& s) { return parse_size(s, f.n); };
    if (kind == "drop" || kind == "corrupt" || kind == "drop-every" || kind == "corrupt-every") {
        f.kind = kind.compare(0, 4, "drop") == 0 ? FaultKind::Drop : FaultKind::Corrupt;
        f.every = kind.find("every") != std::string::npos;
        return number(arg) && f.n > 0;
    }
    if (kind == "vanish") {
        f.kind = FaultKind::Vanish;
        return number(arg);
    }
    if (kind == "silent") {
        f.kind = FaultKind::Silent;
        size_t c = arg.find(':');
        if (c != std::string::npos) f.command = arg.substr(c + 1);
        return number(arg.substr(0, c)) && f.n > 0;
    }
    f.command = arg;
    if (kind == "fail") f.kind = FaultKind::Fail;
    else if (kind == "bad-seq") f.kind = FaultKind::BadSeq;
    else if (kind == "error-packet") f.kind = FaultKind::ErrorPacket;
    else if (kind == "data-in-ack") f.kind = FaultKind::DataInAck;
    else return false;
    return !arg.empty();
}

void print_usage(FILE* to) {
    fprintf(to,
            "usage: kelvo-devsim --ports-dir DIR [options]\n"
            "  --count N                 devices (1)\n"
            "  --vid N, --pid N          USB identity (0x2ECC, 0x3017)\n"
            "  --description TEXT        bus description (\"Ovix Usb Boot Port\")\n"
            "  --location PREFIX         device i gets location PREFIX.i\n"
            "  --flash NAME:SIZE[,...]   flashes, erased to 0xFF (external:8MiB,internal:8MiB)\n"
            "  --version-bootrom V       (1.0)\n"
            "  --platform P              (SILICON)\n"
            "  --max-download-size N     (16MiB)\n"
            "  --packet-size N           UDP packet size, 512..1452 (1028)\n"
            "  --var NAME=VALUE          extra or overriding getvar variable\n"
            "  --transport usb|uart      version answer 0.5 with windows, or 0.4 (usb)\n"
            "  --line-rate BYTES/S       throttle both directions (0 = off)\n"
            "  --record DIR              write request logs and images on exit\n"
            "  --sparse-record           record flashes as sparse files plus their written extents\n"
            "  --fault SPEC              [I/]drop:N drop-every:N corrupt:N corrupt-every:N\n"
            "                            fail:CMD silent:MS[:CMD] bad-seq:CMD error-packet:CMD\n"
            "                            data-in-ack:CMD vanish:BYTES\n"
            "  --prod-answer TEXT        answer to the production command (\"PROD OK\")\n"
            "  --prog                    send PROG replies while flashing\n"
            "  --exit-when-done          exit once every device got complete or reboot\n"
            "  --quiet                   no progress lines on stderr\n");
}

bool parse_config(int argc, char** argv, Config& c) {
    enum {
        O_PORTS = 256, O_COUNT, O_VID, O_PID, O_DESC, O_LOC, O_FLASH, O_VBR, O_PLAT, O_MDS, O_PKT,
        O_VAR, O_TRANSPORT, O_RATE, O_RECORD, O_FAULT, O_PROD, O_EXIT, O_PROG, O_QUIET, O_SPARSE, O_HELP
    };
    static const option opts[] = {
        {"ports-dir", required_argument, nullptr, O_PORTS},
        {"count", required_argument, nullptr, O_COUNT},
        {"vid", required_argument, nullptr, O_VID},
        {"pid", required_argument, nullptr, O_PID},
        {"description", required_argument, nullptr, O_DESC},
        {"location", required_argument, nullptr, O_LOC},
        {"flash", required_argument, nullptr, O_FLASH},
        {"version-bootrom", required_argument, nullptr, O_VBR},
        {"platform", required_argument, nullptr, O_PLAT},
        {"max-download-size", required_argument, nullptr, O_MDS},
        {"packet-size", required_argument, nullptr, O_PKT},
        {"var", required_argument, nullptr, O_VAR},
        {"transport", required_argument, nullptr, O_TRANSPORT},
        {"line-rate", required_argument, nullptr, O_RATE},
        {"record", required_argument, nullptr, O_RECORD},
        {"fault", required_argument, nullptr, O_FAULT},
        {"prod-answer", required_argument, nullptr, O_PROD},
        {"exit-when-done", no_argument, nullptr, O_EXIT},
        {"prog", no_argument, nullptr, O_PROG},
        {"quiet", no_argument, nullptr, O_QUIET},
        {"sparse-record", no_argument, nullptr, O_SPARSE},
        {"help", no_argument, nullptr, O_HELP},
        {nullptr, 0, nullptr, 0},
    };
    optind = 0;
    bool flashes_given = false;
    for (;;) {
        int o = getopt_long(argc, argv, "", opts, nullptr);
        if (o == -1) break;
        std::string a = optarg ? optarg : "";
        uint64_t v = 0;
        auto bad = [&](const char* what) {
            fprintf(stderr, "kelvo-devsim: invalid %s '%s'\n", what, a.c_str());
            return false;
        };
        switch (o) {
        case O_PORTS: c.ports_dir = a; break;
        case O_COUNT:
            if (!parse_size(a, v) || v < 1 || v > 4096) return bad("--count");
            c.count = int(v);
            break;
        case O_VID:
        case O_PID:
            if (!parse_size(a, v) || v > 0xFFFF) return bad(o == O_VID ? "--vid" : "--pid");
            (o == O_VID ? c.vid : c.pid) = uint16_t(v);
            break;
        case O_DESC: c.description = a; break;
        case O_LOC: c.location = a; break;
        case O_FLASH: {
            if (!flashes_given) c.flashes.clear();
            flashes_given = true;
            size_t pos = 0;
            while (pos <= a.size()) {
                size_t comma = a.find(',', pos);
                std::string item = a.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
                size_t colon = item.rfind(':');
                if (colon == std::string::npos || colon == 0 || !parse_size(item.substr(colon + 1), v) ||
                    v > (4ull << 30))
                    return bad("--flash");
                c.flashes.push_back({item.substr(0, colon), v});
                if (comma == std::string::npos) break;
                pos = comma + 1;
            }
            break;
        }
        case O_VBR: c.version_bootrom = a; break;
        case O_PLAT: c.platform = a; break;
        case O_MDS:
            if (!parse_size(a, v) || v > 0xFFFFFFFFu) return bad("--max-download-size");
            c.max_download_size = v;
            break;
        case O_PKT:
            // Above 1452 the host's stack would fragment the datagrams.
            if (!parse_size(a, v) || v < 512 || v > 1452) return bad("--packet-size");
            c.packet_size = uint16_t(v);
            break;
        case O_VAR: {
            size_t eq = a.find('=');
            if (eq == std::string::npos || eq == 0) return bad("--var");
            c.vars.emplace_back(a.substr(0, eq), a.substr(eq + 1));
            break;
        }
        case O_TRANSPORT:
            if (a == "usb") c.usb = true;
            else if (a == "uart") c.usb = false;
            else return bad("--transport");
            break;
        case O_RATE:
            if (!parse_size(a, v)) return bad("--line-rate");
            c.line_rate = v;
            break;
        case O_RECORD: c.record_dir = a; break;
        case O_FAULT: {
            Fault f;
            if (!parse_fault(a, f)) return bad("--fault");
            c.faults.push_back(f);
            break;
        }
        case O_PROD: c.prod_answer = a; break;
        case O_EXIT: c.exit_when_done = true; break;
        case O_PROG: c.prog_replies = true; break;
        case O_QUIET: c.quiet = true; break;
        case O_SPARSE: c.sparse_record = true; break;
        case O_HELP: print_usage(stdout); exit(0);
        default: print_usage(stderr); return false;
        }
    }
    if (optind < argc) {
        fprintf(stderr, "kelvo-devsim: unexpected argument '%s'\n", argv[optind]);
        return false;
    }
    if (c.ports_dir.empty()) {
        fprintf(stderr, "kelvo-devsim: --ports-dir is required\n");
        print_usage(stderr);
        return false;
    }
    if (c.location.empty()) c.location = "sim" + std::to_string(getpid());
    return true;
}

}  // namespace devsim
