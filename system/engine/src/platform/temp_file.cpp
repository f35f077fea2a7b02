#include "platform/temp_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

std::string temp_dir_path() {
    const char* env = getenv("TMPDIR");
    std::string dir = env && *env ? env : "/tmp";
    struct stat st;
    if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return std::string();
    return dir;
}

int temp_file_open_anonymous(const std::string& dir, const char* prefix) {
    int fd = open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0) return fd;
    // File systems without O_TMPFILE: a named file that is unlinked at once.
    std::string pattern = dir + "/" + prefix + "XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    fd = mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) return -1;
    unlink(name.data());
    return fd;
}
