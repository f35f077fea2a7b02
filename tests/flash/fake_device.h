// A device behind a Transport: answers fastboot-style commands from a table
// of variables, takes data phases, serves upload stages from a flash image,
// and records what it was sent.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "flash/transport.h"

class FakeDevice : public Transport {
public:
    std::map<std::string, std::string> vars;  // "getvar:<name>" answers; absent: FAIL
    std::set<std::string> refused;            // commands answered "FAILrefused"
    std::map<std::string, std::string> flashes;  // flash name -> contents served by ulstage
    std::vector<std::string> sent;            // commands, and "<data N>" for each data phase
    std::vector<bool> noAckWrites;            // bit 31 of every data write, in order
    std::vector<std::string> payloads;        // the bytes of each completed data phase
    bool failDataPhase = false;               // answer a completed download with FAIL
    std::function<void(const std::string&)> onCommand;  // called with every command received

    int64_t WriteAll(const uint8_t* data, uint32_t length) override {
        uint32_t count = length & ~kTransportNoAck;
        if (dataLeft_ > 0) {
            noAckWrites.push_back((length & kTransportNoAck) != 0);
            uint32_t take = count < dataLeft_ ? count : dataLeft_;
            dataLeft_ -= take;
            dataSeen_ += take;
            payload_.append(reinterpret_cast<const char*>(data), take);
            if (dataLeft_ == 0) {
                payloads.push_back(std::move(payload_));
                payload_.clear();
                sent.push_back("<data " + std::to_string(dataSeen_) + ">");
                replies_.push_back(failDataPhase ? "FAILbad data" : "OKAY");
            }
            return count;
        }
        std::string command(reinterpret_cast<const char*>(data), count);
        sent.push_back(command);
        if (onCommand) onCommand(command);
        answer(command);
        return count;
    }

    int64_t ReadSome(uint8_t* buffer, size_t capacity) override {
        if (replies_.empty()) return -1;
        std::string r = replies_.front();
        replies_.pop_front();
        size_t n = r.size() < capacity ? r.size() : capacity;
        memcpy(buffer, r.data(), n);
        return static_cast<int64_t>(n);
    }

    int Disconnect() override { return 0; }

    // The commands sent, data phases included, joined by newlines.
    std::string transcript() const {
        std::string out;
        for (const auto& s : sent) out += s + "\n";
        return out;
    }

private:
    void answer(const std::string& command) {
        if (refused.count(command)) {
            replies_.push_back("FAILrefused");
            return;
        }
        if (command.compare(0, 7, "getvar:") == 0) {
            auto it = vars.find(command.substr(7));
            replies_.push_back(it == vars.end() ? "FAILunknown variable" : "OKAY" + it->second);
        } else if (command.compare(0, 9, "download:") == 0) {
            dataLeft_ = static_cast<uint32_t>(strtoul(command.c_str() + 9, nullptr, 16));
            dataSeen_ = 0;
            payload_.clear();
            replies_.push_back("DATA" + command.substr(9));
        } else if (command.compare(0, 9, "useflash:") == 0) {
            flash_ = command.substr(9);
            replies_.push_back("OKAY");
        } else if (command.compare(0, 8, "ulstage:") == 0) {
            uint32_t start = static_cast<uint32_t>(strtoul(command.c_str() + 8, nullptr, 16));
            uint32_t size = static_cast<uint32_t>(strtoul(command.c_str() + 17, nullptr, 16));
            const std::string& contents = flashes[flash_];
            stage_ = start < contents.size() ? contents.substr(start, size) : std::string();
            replies_.push_back("OKAY");
        } else if (command == "upload") {
            char head[16];
            snprintf(head, sizeof head, "DATA%08zx", stage_.size());
            replies_.push_back(head);
            replies_.push_back(stage_);
            replies_.push_back("OKAY");
        } else {
            replies_.push_back("OKAY");
        }
    }

    std::deque<std::string> replies_;
    uint32_t dataLeft_ = 0;
    uint32_t dataSeen_ = 0;
    std::string payload_;
    std::string flash_;
    std::string stage_;
};
