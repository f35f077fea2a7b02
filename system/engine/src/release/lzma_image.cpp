// "lzma" images: one member image compressed by the in-process LZMA utility.
#include <unistd.h>

#include <string>

#include "release/generators.h"
#include "release/image_factory.h"
#include "tools/common/tool_invocation.h"

int image_generate_lzma(Json::Value& entry, Json::Value& release, int fd, int depth) {
    const Json::Value& ce = entry;
    std::string id = ce["lzma"]["image"].asString();
    if (image_open_or_generate(id, release, depth + 1) != 0) return -1;
    Json::Value* input = release_find_image(release, id);
    if (!input) return -1;
    int in_fd = (*input)["fd"].asInt();
    // A member shared with other images is wherever its last reader left it.
    lseek(in_fd, 0, SEEK_SET);

    std::string in_text = std::to_string(in_fd);
    std::string out_text = std::to_string(fd);
    char name[] = "lzma";
    char command[] = "e";
    char* argv[] = {name, command, &in_text[0], &out_text[0], nullptr};
    return lzma_main(4, argv);
}
