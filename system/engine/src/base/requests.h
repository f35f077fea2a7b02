// Request records handed from the exports to the engine loop thread.
#pragma once

#include <cstdint>
#include <string>

#include <json/json.h>

struct DownloadInitRequest {
    std::string path;        // UTF-8, empty when the package is in memory
    uintptr_t address = 0;   // host address of a package in memory (pointer width)
    uint32_t size = 0;
    Json::Value result;      // null until the job fills it
};

struct DownloadStartRequest {
    int32_t baudRate = 0;
    bool usbOnly = false;
    bool usbAutoEnable = false;
    bool dumpEnable = false;
    bool enableOnce = false;
    bool reboot = false;
    Json::Value disabledGroups{Json::arrayValue};
    std::string error;
};

struct ReleaseGenerateRequest {
    std::string path;  // ANSI code page
    std::string product;
    std::string variant;
    bool eraseAll = false;
    bool eraseAllOnly = false;
    std::string output;
    Json::Value custom;
    std::string error;  // empty on success
};

struct ReleaseListProductsRequest {
    std::string path;  // ANSI code page
    Json::Value products;  // null until the job fills it
};
