// Adjustments of a resolved release description before generation: variant
// and caller image overrides, dropping fuse commands, erase options.
#pragma once

#include <json/json.h>

// A variant's "images" entries onto the description's images; false when a
// variant path is refused (absolute or holding "..").
bool release_apply_variant_images(Json::Value& release, const Json::Value& variant_images);

// The caller's "custom" object {image name: path} onto the "in" images; false
// when a path does not fit the path buffer.
bool release_apply_image_paths(Json::Value& release, const Json::Value& custom);

// Drops the "fuse" commands unless "secureBoot" is true.
void release_drop_fuse_commands(Json::Value& release);

// The eraseAll / eraseAllOnly rewriting of the commands; false when a group
// text to shift holds no decimal number.
bool release_apply_erase_options(Json::Value& release, bool erase_all, bool erase_all_only);
