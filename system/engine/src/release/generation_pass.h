// The release generation pass: images, layout, download script, package.
#pragma once

#include <string>

#include <json/json.h>

// Completes the resolved release description and writes the package to
// `output`; 0 on success. Closes every image descriptor it recorded.
int release_generate(Json::Value& release, const std::string& output);
