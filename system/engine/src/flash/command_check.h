// Shape checks of a command list read from a package: every value a reader
// takes from it must fit the field it is read into.
#pragma once

#include <json/json.h>

// True when `list` is an array of objects whose text members are scalars,
// whose "weight" is an unsigned 64-bit integer and whose "progress" "value"
// is one too (null counts as 0). Logs the first offence.
bool commands_check_shape(const Json::Value& list);

// True when every "progress" "value" fits the 32 bits the script runner
// sends. Logs the first offence.
bool commands_check_progress32(const Json::Value& list);

// True when every "upload" names its dump and its partition so that both stay
// files inside "upload/". Logs the first offence.
bool commands_check_upload_names(const Json::Value& list);
