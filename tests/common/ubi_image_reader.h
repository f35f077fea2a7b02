// Reads a UBI image with the independent python reader (tests/tools/ubi_image.py).
#pragma once

#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include <json/json.h>

// The image in the file at `path`, as the reader's JSON; null when it failed.
inline Json::Value read_ubi_image_file(const std::string& path, int peb_size) {
    std::string cmd = std::string("python3 '") + KELVO_SOURCE_DIR + "/tests/tools/ubi_image.py' '" + path + "' " +
                      std::to_string(peb_size);
    FILE* pipe = popen(cmd.c_str(), "r");
    if (!pipe) return Json::Value();
    std::string text;
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, pipe)) > 0;) text.append(buf, n);
    int status = pclose(pipe);
    EXPECT_EQ(status, 0) << "ubi_image.py failed";
    if (status != 0) return Json::Value();
    Json::Value v;
    Json::CharReaderBuilder builder;
    std::string error;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    EXPECT_TRUE(reader->parse(text.data(), text.data() + text.size(), &v, &error)) << error;
    return v;
}

// The image held by our open descriptor `fd`, read whole through /proc
// whatever its position.
inline Json::Value read_ubi_image(int fd, int peb_size) {
    return read_ubi_image_file("/proc/" + std::to_string(getpid()) + "/fd/" + std::to_string(fd), peb_size);
}

// Every block of `image` has valid headers and the data offset of the flash.
inline void expect_ubi_blocks(const Json::Value& image, size_t blocks, int data_offset) {
    ASSERT_EQ(image["blocks"].size(), blocks);
    for (const Json::Value& b : image["blocks"]) {
        EXPECT_TRUE(b["ec"]["crc_ok"].asBool() && b["vid"]["crc_ok"].asBool());
        EXPECT_EQ(b["ec"]["data_offset"].asInt(), data_offset);
    }
}
