// Virtual starts and sizes of the flat partition list: where the device sees
// each partition, and how many bytes are actually written into it.
#pragma once

#include <json/json.h>

constexpr unsigned kPartitionTableSize = 2184;

void ptable_compute_vsizes(Json::Value& list, const Json::Value& release);
