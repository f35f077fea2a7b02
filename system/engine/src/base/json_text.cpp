#include "base/json_text.h"

// The reader and styled writer are the formats every peer expects; they are
// deprecated in this JSON library but kept for byte-identical output.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

std::string json_styled(const Json::Value& value) {
    Json::StyledWriter writer;
    return writer.write(value);
}

bool json_parse(const std::string& text, Json::Value& out, std::string& error) {
    Json::Reader reader;
    if (reader.parse(text, out, true)) return true;
    error = reader.getFormattedErrorMessages();
    return false;
}

#pragma GCC diagnostic pop
