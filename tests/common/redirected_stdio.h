// Descriptors 1 and 2 pointed at files for a scope: what reaches the
// process's own descriptors, apart from what the engine turns into events.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

// Points descriptors 1 and 2 at files for the duration of a scope.
class RedirectedStdio {
public:
    RedirectedStdio() {
        fflush(stdout);
        fflush(stderr);
        saved_out_ = dup(1);
        saved_err_ = dup(2);
        out_path_ = make_file(1);
        err_path_ = make_file(2);
    }
    ~RedirectedStdio() { restore(); }
    void restore() {
        if (saved_out_ < 0) return;
        fflush(stdout);
        fflush(stderr);
        dup2(saved_out_, 1);
        dup2(saved_err_, 2);
        close(saved_out_);
        close(saved_err_);
        saved_out_ = saved_err_ = -1;
    }
    std::string out() const { return slurp(out_path_); }
    std::string err() const { return slurp(err_path_); }

private:
    static std::string make_file(int target) {
        char tmpl[] = "/tmp/kelvo_stdio_XXXXXX";
        int fd = mkstemp(tmpl);
        dup2(fd, target);
        close(fd);
        return tmpl;
    }
    static std::string slurp(const std::string& path) {
        std::ifstream in(path);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    int saved_out_ = -1, saved_err_ = -1;
    std::string out_path_, err_path_;
};

