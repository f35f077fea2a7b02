// Reads a UBI image with the independent python reader (tests/tools/ubi_image.py).
#pragma once

#include <unistd.h>

#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "json_expect.h"

// The image held by our open descriptor `fd` (read whole through /proc,
// whatever its position), as the reader's JSON; null when it failed.
inline Json::Value read_ubi_image(int fd, int peb_size) {
    std::string cmd = std::string("python3 '") + KELVO_SOURCE_DIR + "/tests/tools/ubi_image.py' /proc/" +
                      std::to_string(getpid()) + "/fd/" + std::to_string(fd) + " " + std::to_string(peb_size);
    FILE* pipe = popen(cmd.c_str(), "r");
    if (!pipe) return Json::Value();
    std::string text;
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, pipe)) > 0;) text.append(buf, n);
    int status = pclose(pipe);
    EXPECT_EQ(status, 0) << "ubi_image.py failed";
    if (status != 0) return Json::Value();
    return test_json::parse(text);
}
