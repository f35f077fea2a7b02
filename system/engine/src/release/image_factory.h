// The image factory: turns an entry of the release's "images" into an open
// descriptor and a size, opening "in" images and generating "out" images into
// scratch files. Each image is opened at most once per run; the generation
// pass closes every recorded "fd" when the run ends.
#pragma once

#include <cstdio>
#include <string>

#include <json/json.h>

// 0 when the entry named `id` is open (it was, or is now), -1 otherwise. The
// depth indents the progress lines; member images use depth + 1.
int image_open_or_generate(const std::string& id, Json::Value& release, int depth);

// The first entry of release "images" whose "name" equals `id`, or null.
Json::Value* release_find_image(Json::Value& release, const std::string& id);

// A scratch file opened "w+b" that the system deletes on last close, or null.
FILE* release_open_scratch_file();
// The same as a bare descriptor (the stream is closed); -1 on failure.
int release_open_scratch_fd();

// Two blanks per depth level on standard output, before a progress line.
void release_print_indent(int depth);

// Closes every descriptor recorded in release "images" and drops its "fd"
// member, so that a second call closes nothing twice.
void release_close_images(Json::Value& release);
