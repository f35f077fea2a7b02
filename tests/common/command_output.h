// Standard output of a shell command (an independent reader of what we wrote).
#pragma once

#include <cstdio>
#include <string>

// `exitOk`, when given, says whether the command exited 0.
inline std::string command_output(const std::string& command, bool* exitOk = nullptr) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (exitOk) *exitOk = false;
    if (!pipe) return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, pipe)) > 0) out.append(buf, n);
    int status = pclose(pipe);
    if (exitOk) *exitOk = status == 0;
    return out;
}
