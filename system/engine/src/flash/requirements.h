// "require" and "reject" commands: a device variable checked against a list
// of allowed values before the script goes on.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

constexpr size_t kRequirementValuesMax = 32;

struct Requirement {
    bool invert = false;  // "reject": none of the values may match
    std::string variable;
    std::vector<std::string> values;  // at least one
};

// Parses "require NAME=V1|V2..." or "reject NAME=...". False when the line
// has neither prefix.
bool parse_requirement_line(const std::string& line, Requirement& out);

// True when `reply` matches `pattern`: "abc*" matches every reply that begins
// "abc"; any other pattern (a lone "*" too) only the equal reply.
bool requirement_value_matches(const std::string& pattern, const std::string& reply);

// Parses the line and queues the variable's query with its check on the
// calling thread's action queue; the values stay valid until the thread's
// next requirement line. False (logged) when the line does not parse.
bool queue_requirement_line(const std::string& line);

// The check of a queued requirement: 0 when it holds, the status when the
// query failed, -1 when it does not hold.
int32_t action_match_reply(struct QueuedAction& action, int32_t status, const char* response,
                           bool invert);
