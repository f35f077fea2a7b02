// JSON reading and writing shared by every module.
#pragma once

#include <string>

#include <json/json.h>

// The styled text of a value (3-space indent, final newline).
std::string json_styled(const Json::Value& value);

// Parses a whole text, comments kept. On failure `error` holds the parser's
// formatted messages.
bool json_parse(const std::string& text, Json::Value& out, std::string& error);
