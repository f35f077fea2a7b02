// Generators of "out" images, called by the image factory with the
// descriptor of the image's new scratch file. Each returns 0 on success.
#pragma once

#include <string>

#include <json/json.h>

int image_write_finf(Json::Value& flash, int fd, int more);
int image_generate_aptb(Json::Value& release, int fd);
int image_generate_fuse(Json::Value& release, int fd);
void fip_compute_member_offsets(Json::Value& entry, Json::Value& release, const std::string& id);
int image_generate_fip(Json::Value& fip, Json::Value& release, int fd, int depth);
int image_generate_ubi(Json::Value& entry, const std::string& id, Json::Value& release, int fd, int depth);
int image_generate_lzma(Json::Value& entry, Json::Value& release, int fd, int depth);
int image_generate_rd(Json::Value& set, int fd, int depth);
