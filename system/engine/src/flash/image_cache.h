// Images of a download script, extracted from the package once per command,
// image and device download limit (and, for "flash", the target's capacity)
// and shared by every download thread.
#pragma once

#include <cstdint>
#include <string>

class Transport;
struct sparse_file;

enum LoadedImageKind : uint32_t {
    kImageDescriptor = 0,  // send the bytes of `fd` ("boot", "call", "partition")
    kImageSparse = 1,      // send each piece of `pieces` ("flash")
    kImageMemory = 2,      // a copy of the bytes in `bytes` ("fuse")
};

// Owned by the cache until package_release_images; callers only read it.
struct LoadedImage {
    uint32_t kind = kImageDescriptor;
    sparse_file* const* pieces = nullptr;  // kind 1: null-terminated
    const uint8_t* bytes = nullptr;        // kind 2
    int64_t size = 0;                      // kinds 0 and 2
    int fd = -1;                           // the extracted temporary file
};

// Download thread. Asks the device for its "max-download-size" and gives the
// image `image` prepared for `command`, from the cache or freshly extracted.
// False (logged, errno set) when it cannot be had; nothing is cached then.
// A "flash" image names its target `partition`, which bounds how far a
// sparse image may expand.
bool load_command_image(Transport& transport, const std::string& image, const std::string& command,
                        LoadedImage& out, const std::string& partition = std::string());

// Parses a "max-download-size" answer (already trimmed): hexadecimal after
// "0x"/"0X", decimal otherwise, the whole text used. False when it does not parse.
bool parse_download_limit(const std::string& text, uint64_t& value);

// Frees every cached image and closes its file; package_release_images
// calls it when the download engine stops.
void image_cache_release();

// Number of cached images (for tests).
size_t image_cache_size();
