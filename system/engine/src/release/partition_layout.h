// Partition tree of a release: sizing every flash's partitions and turning
// the tree into the flat list that the table, weights and fota step read.
#pragma once

#include <cstdint>
#include <string>

#include <json/json.h>

extern const char* const PTABLE_TYPE_FLASH;
extern const char* const PTABLE_TYPE_PART;
extern const char* const PTABLE_TYPE_GROUP;

// Sizes the tree in release "partitions" and replaces it by the flat list;
// 0, or -1 after an error line.
int ptable_build_group(Json::Value& release);

// Sizes the children of a flash or part node (and the node), recursively.
bool ptable_layout_partition(Json::Value& node, Json::Value& release, const Json::Value& flash);

// Appends the node and its descendants in pre-order, with "start" and "depth".
void ptable_flatten(const Json::Value& node, Json::Value& list, uint64_t start, int depth);

// The child of `node` (searching into "part" children) named `name`, or
// nullptr. The result points into the tree so that the caller can change it.
Json::Value* ptable_find_partition(Json::Value& node, const std::string& name);

// The flat list in release "partitions"; prints an error line and returns
// null when the tree was never laid out.
Json::Value* ptable_flat_list(Json::Value& release, const char* purpose);

// The first element of `array` whose `key` read as text equals `text`.
const Json::Value* ptable_find_by(const Json::Value& array, const char* key, const std::string& text);

// The image entry flashed into `partition` by its first "flash" command, or null.
const Json::Value* ptable_flashed_image(const Json::Value& release, const std::string& partition);

// A geometry value that is a JSON number, or a size text when no
// flash-information image has normalised it yet.
uint64_t ptable_number_or_size(const Json::Value& value);
