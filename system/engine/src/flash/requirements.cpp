#include "flash/requirements.h"

#include <cctype>
#include <cstdio>

#include "flash/actions.h"
#include "flash/client_util.h"

namespace {

std::string trim(const std::string& text) {
    size_t begin = 0, end = text.size();
    while (begin < end && isspace(static_cast<unsigned char>(text[begin]))) ++begin;
    while (end > begin && isspace(static_cast<unsigned char>(text[end - 1]))) --end;
    return text.substr(begin, end - begin);
}

// The values of the thread's last queued check: the queue holds pointers
// into them until it has run.
struct QueuedValues {
    Requirement requirement;
    std::vector<const char*> pointers;
};
thread_local QueuedValues t_values;

}  // namespace

bool parse_requirement_line(const std::string& line, Requirement& out) {
    static const std::string kReject = "reject ";
    static const std::string kRequire = "require ";
    size_t at;
    if (line.compare(0, kReject.size(), kReject) == 0) {
        out.invert = true;
        at = kReject.size();
    } else if (line.compare(0, kRequire.size(), kRequire) == 0) {
        out.invert = false;
        at = kRequire.size();
    } else {
        return false;
    }
    size_t eq = line.find('=', at);
    std::string name = line.substr(at, eq == std::string::npos ? std::string::npos : eq - at);
    std::string rest = eq == std::string::npos ? std::string() : line.substr(eq + 1);

    out.values.clear();
    size_t begin = 0;
    while (out.values.size() + 1 < kRequirementValuesMax) {
        size_t bar = rest.find('|', begin);
        if (bar == std::string::npos) break;
        out.values.push_back(trim(rest.substr(begin, bar - begin)));
        begin = bar + 1;
    }
    out.values.push_back(trim(rest.substr(begin)));  // the last one keeps further bars

    out.variable = trim(name);
    if (out.variable == "board") out.variable = "product";
    return true;
}

bool requirement_value_matches(const std::string& pattern, const std::string& reply) {
    if (pattern.size() > 1 && pattern.back() == '*')
        return reply.compare(0, pattern.size() - 1, pattern, 0, pattern.size() - 1) == 0;
    return pattern == reply;
}

bool queue_requirement_line(const std::string& line) {
    QueuedValues& q = t_values;
    Requirement parsed;
    if (!parse_requirement_line(line, parsed)) {
        fprintf(stderr, "error: invalid requirement '%s'\n", line.c_str());
        return false;
    }
    q.requirement = std::move(parsed);
    q.pointers.clear();
    for (const std::string& v : q.requirement.values) q.pointers.push_back(v.c_str());
    action_add_requirement("", q.requirement.variable.c_str(), q.requirement.invert,
                           static_cast<uint32_t>(q.pointers.size()), q.pointers.data());
    return true;
}

int32_t action_match_reply(QueuedAction& action, int32_t status, const char* response, bool invert) {
    std::string reply = response ? response : "";
    if (status != 0) {
        fprintf(stderr, "FAILED (%s)\n", reply.c_str());
        return status;
    }
    const char* const* values = static_cast<const char* const*>(action.data);
    uint32_t count = values ? action.size : 0;
    bool matched = false;
    for (uint32_t i = 0; i < count && !matched; ++i)
        matched = requirement_value_matches(values[i], reply);
    if (matched != invert) {
        double now = now_seconds();
        fprintf(stderr, "OKAY [%7.3fs]\n", now - action.start);
        action.start = now;
        return 0;
    }
    static const std::string kGetvar = "getvar:";
    std::string variable = action.command.compare(0, kGetvar.size(), kGetvar) == 0
                               ? action.command.substr(kGetvar.size())
                               : action.command;
    fprintf(stderr, "FAILED\n\n");
    fprintf(stderr, "Device %s is '%s'.\n", variable.c_str(), reply.c_str());
    fprintf(stderr, "Update %s '%s'", invert ? "rejects" : "requires", count ? values[0] : "");
    for (uint32_t i = 1; i < count; ++i) fprintf(stderr, " or '%s'", values[i]);
    fprintf(stderr, ".\n\n");
    return -1;
}

int32_t action_match_required(QueuedAction& action, int32_t status, const char* response) {
    return action_match_reply(action, status, response, false);
}

int32_t action_match_rejected(QueuedAction& action, int32_t status, const char* response) {
    return action_match_reply(action, status, response, true);
}
