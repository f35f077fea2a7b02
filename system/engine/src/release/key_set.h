// The release's key set as the certificate generator and the fuse image use
// it: the release only reads key files, and the root key that signs must be
// the one whose hash is fused.
#pragma once

#include <cstdint>

#include <json/json.h>

// 0 when "security"."keys" names a root key and every key file named there
// opens as a regular file; else -1 after an error line naming the first that
// does not. The generator would otherwise make up a key in a file's place.
int key_set_check_files(const Json::Value& release);

// 0 when the SHA-256 of the root key's SubjectPublicKeyInfo equals the 32
// bytes at `fused`; else -1 after an error line.
int key_set_check_root_hash(const Json::Value& release, const uint8_t* fused);
