// Parses a JSON fixture with the engine's own reader; a fixture that does not
// parse fails the test that wrote it.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "base/json_text.h"

namespace test_json {

inline Json::Value parse(const std::string& text) {
    Json::Value v;
    std::string error;
    EXPECT_TRUE(json_parse(text, v, error)) << error;
    return v;
}

}  // namespace test_json
