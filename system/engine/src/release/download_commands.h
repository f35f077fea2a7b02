// The download script of a release: progress weights of the template's
// commands and the command list stored as "download.json".
#pragma once

#include <json/json.h>

// Adds "weight" to every template command and sets "values"."weight"; 0, or
// -1 after an error line.
int release_compute_weights(Json::Value& release);

// Sets release "downloadJson"; 0, or -1 after an error line.
int release_build_download_commands(Json::Value& release);
