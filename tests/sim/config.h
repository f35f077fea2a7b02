// Command line of kelvo-devsim.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace devsim {

enum class FaultKind {
    Drop,         // drop the Nth (or every Nth) UDP frame the device sends
    Corrupt,      // flip a payload byte of it (bad checksum)
    Fail,         // answer FAIL to a command
    Silent,       // send nothing for a while
    BadSeq,       // answer a command with a wrong sequence number, once
    ErrorPacket,  // answer a command with an error packet
    DataInAck,    // acknowledge a command with data in the ack
    Vanish,       // disappear after N bytes of a download
};

struct Fault {
    FaultKind kind;
    int device = -1;      // -1: every device
    uint64_t n = 0;       // frame number, byte count or milliseconds
    bool every = false;   // every Nth frame rather than the Nth
    std::string command;  // command prefix the fault waits for ("" = first command / start)
};

struct FlashSpec {
    std::string name;
    uint64_t size;
};

struct Config {
    std::string ports_dir;
    int count = 1;
    uint16_t vid = 0x2ECC;
    uint16_t pid = 0x3017;
    std::string description = "Ovix Usb Boot Port";
    std::string location;  // default derived from the process id
    std::vector<FlashSpec> flashes{{"external", 8u << 20}, {"internal", 8u << 20}};
    std::string version_bootrom = "1.0";
    std::string platform = "SILICON";
    uint64_t max_download_size = 16u << 20;
    uint16_t packet_size = 1028;
    std::vector<std::pair<std::string, std::string>> vars;
    bool usb = true;
    uint64_t line_rate = 0;
    std::string record_dir;
    std::vector<Fault> faults;
    std::string prod_answer = "PROD OK";
    bool exit_when_done = false;
    bool prog_replies = false;
    bool quiet = false;
    bool sparse_record = false;  // flashes recorded as written extents
};

// Sizes: decimal or 0x hex, optional K/KiB, M/MiB, G/GiB in any case.
bool parse_size(const std::string& text, uint64_t& out);
bool parse_fault(const std::string& text, Fault& out);
// Returns false after printing the reason on stderr.
bool parse_config(int argc, char** argv, Config& out);
void print_usage(FILE* to);

}  // namespace devsim
