// Resolution of one product and variant of the loaded configuration into a
// release description, handed to the generation pass.
#pragma once

#include <string>

#include <json/json.h>

// 0 when the package was generated, -1 otherwise (messages printed). May
// throw Json::LogicError on configuration values of the wrong type; the
// descriptors of the description are closed on every path.
int release_resolve_product(const std::string& product, const std::string& variant, bool erase_all,
                            bool erase_all_only, const std::string& output, const Json::Value& custom);

// Steps 1 to 9 only: the description as the generation pass receives it,
// before the caller's overrides and the command rewriting. 0 on success.
int release_build_description(const std::string& product, const std::string& variant, Json::Value& release);
