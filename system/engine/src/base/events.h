// The event channel to the host's registered callback.
#pragma once

#include <string>

#include <json/json.h>

#include "kelvo.h"

void engine_set_callback(EngineEventCallback cb, void* user);

// Loop thread only.
void engine_emit_event(const std::string& text);
void engine_emit(const Json::Value& event);
