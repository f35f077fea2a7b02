// Requirement lines parsed, matched and reported.
#include <gtest/gtest.h>

#include "flash/actions.h"
#include "flash/requirements.h"

namespace {

using Values = std::vector<std::string>;

TEST(RequirementLine, Parses) {
    Values many;
    std::string line = "require v=";
    for (int i = 0; i < 33; ++i) line += (i ? "|" : "") + std::to_string(i);
    for (int i = 0; i < 31; ++i) many.push_back(std::to_string(i));
    many.push_back("31|32");

    struct Case {
        std::string line;
        bool invert;
        std::string variable;
        Values values;
    } cases[] = {
        {"require version=0.4|0.5", false, "version", {"0.4", "0.5"}},
        {"reject product=kv1", true, "product", {"kv1"}},
        {"require board=kv1", false, "product", {"kv1"}},
        {"require  board =  kv 1 | kv2 ", false, "product", {"kv 1", "kv2"}},
        {"require my board=x", false, "my board", {"x"}},
        {"require a=b=c|d", false, "a", {"b=c", "d"}},
        {"require a=", false, "a", {""}},
        {"require a", false, "a", {""}},
        {line, false, "v", many},
    };
    for (const auto& c : cases) {
        Requirement r;
        ASSERT_TRUE(parse_requirement_line(c.line, r)) << c.line;
        EXPECT_EQ(r.invert, c.invert) << c.line;
        EXPECT_EQ(r.variable, c.variable) << c.line;
        EXPECT_EQ(r.values, c.values) << c.line;
    }
    Requirement r;
    EXPECT_FALSE(parse_requirement_line("requires a=b", r));
    EXPECT_FALSE(parse_requirement_line("accept a=b", r));
}

TEST(RequirementLine, MatchesWithTrailingStar) {
    struct Case {
        const char* pattern;
        const char* reply;
        bool match;
    } cases[] = {
        {"0.5", "0.5", true},     {"0.5", "0.50", false},   {"kv*", "kv", true},
        {"kv*", "kv100", true},   {"kv*", "k", false},      {"*", "*", true},
        {"*", "anything", false}, {"", "", true},           {"a*b", "axb", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(requirement_value_matches(c.pattern, c.reply), c.match) << c.pattern << " / " << c.reply;
}

// One check as the action queue calls it after the query ran.
struct Checked {
    int32_t result;
    std::string err;
};
Checked check(const std::string& line, int32_t status, const char* reply) {
    Requirement r;
    EXPECT_TRUE(parse_requirement_line(line, r));
    std::vector<const char*> values;
    for (const auto& v : r.values) values.push_back(v.c_str());
    QueuedAction a;
    a.command = "getvar:" + r.variable;
    a.data = values.data();
    a.size = static_cast<uint32_t>(values.size());
    a.start = 0;
    testing::internal::CaptureStderr();
    Checked c;
    c.result = action_match_reply(a, status, reply, r.invert);
    c.err = testing::internal::GetCapturedStderr();
    return c;
}

TEST(RequirementCheck, ReportsOutcome) {
    Checked held = check("require version=0.4|0.5", 0, "0.5");
    EXPECT_EQ(held.result, 0);
    EXPECT_EQ(held.err.compare(0, 6, "OKAY ["), 0) << held.err;
    EXPECT_EQ(held.err.back(), '\n');

    Checked refused = check("reject product=kv1|kv2", 0, "kv2");
    EXPECT_EQ(refused.result, -1);
    EXPECT_EQ(refused.err,
              "FAILED\n\nDevice product is 'kv2'.\nUpdate rejects 'kv1' or 'kv2'.\n\n");

    Checked missing = check("require board=kv1", 0, "kv9");
    EXPECT_EQ(missing.result, -1);
    EXPECT_EQ(missing.err, "FAILED\n\nDevice product is 'kv9'.\nUpdate requires 'kv1'.\n\n");

    Checked notRejected = check("reject product=kv1", 0, "kv2");
    EXPECT_EQ(notRejected.result, 0);

    Checked failedQuery = check("require secure=yes", -1, "remote: unknown variable");
    EXPECT_EQ(failedQuery.result, -1);
    EXPECT_EQ(failedQuery.err, "FAILED (remote: unknown variable)\n");
}

}  // namespace
