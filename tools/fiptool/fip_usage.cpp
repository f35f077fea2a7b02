#include "tools/fiptool/fip_usage.h"

#include <cstdio>

#include "tools/fiptool/fip_format.h"
#include "tools/fiptool/fip_log.h"

namespace {

const char kAlignLine[] = "  --align <value>\t\tEach image is aligned to <value> (default: 1).\n";
const char kPlatTocFlagsLine[] =
    "  --plat-toc-flags <value>\t16-bit platform specific flag field occupying bits 32-47 in 64-bit ToC "
    "header.\n";

void image_lines_with_file() {
    for (size_t i = 0; i < kFipKnownImageCount; ++i)
        printf("  --%-16s FILENAME\t%s\n", kFipKnownImages[i].option, kFipKnownImages[i].name);
}

}  // namespace

void fip_usage_global() {
    printf("usage: fiptool [--verbose] <command> [<args>]\n");
    printf("Global options supported:\n");
    printf("  --verbose\tEnable verbose output for all commands.\n");
    printf("\n");
    printf("Commands supported:\n");
    printf("  info\t\tList images contained in FIP.\n");
    printf("  create\tCreate a new FIP with the given images.\n");
    printf("  update\tUpdate an existing FIP with the given images.\n");
    printf("  unpack\tUnpack images from FIP.\n");
    printf("  remove\tRemove images from FIP.\n");
    printf("  version\tShow fiptool version.\n");
    printf("  help\t\tShow help for given command.\n");
    fip_exit(1);
}

void fip_usage_info() {
    printf("fiptool info FIP_FILENAME\n");
    fip_exit(1);
}

void fip_usage_create() {
    printf("fiptool create [opts] FIP_FILENAME\n");
    printf("\n");
    printf("Options:\n");
    printf("%s", kAlignLine);
    printf("  --blob uuid=...,file=...\tAdd an image with the given UUID pointed to by file.\n");
    printf("  --offset uuid=...,offset=...\tSet offset address for an image with the given UUID.\n");
    printf("%s", kPlatTocFlagsLine);
    printf("\n");
    printf("Specific images are packed with the following options:\n");
    image_lines_with_file();
    fip_exit(1);
}

void fip_usage_update() {
    printf("fiptool update [opts] FIP_FILENAME\n");
    printf("\n");
    printf("Options:\n");
    printf("%s", kAlignLine);
    printf("  --blob uuid=...,file=...\tAdd or update an image with the given UUID pointed to by file.\n");
    printf("  --out FIP_FILENAME\t\tSet an alternative output FIP file.\n");
    printf("%s", kPlatTocFlagsLine);
    printf("\n");
    printf("Specific images are packed with the following options:\n");
    image_lines_with_file();
    fip_exit(1);
}

void fip_usage_unpack() {
    printf("fiptool unpack [opts] FIP_FILENAME\n");
    printf("\n");
    printf("Options:\n");
    printf("  --blob uuid=...,file=...\tUnpack an image with the given UUID to file.\n");
    printf("  --force\t\t\tIf the output file already exists, use --force to overwrite it.\n");
    printf("  --out path\t\t\tSet the output directory path.\n");
    printf("\n");
    printf("Specific images are unpacked with the following options:\n");
    image_lines_with_file();
    printf("\n");
    printf("If no options are provided, all images will be unpacked.\n");
    fip_exit(1);
}

void fip_usage_remove() {
    printf("fiptool remove [opts] FIP_FILENAME\n");
    printf("\n");
    printf("Options:\n");
    printf("  --align <value>\tEach image is aligned to <value> (default: 1).\n");
    printf("  --blob uuid=...\tRemove an image with the given UUID.\n");
    printf("  --force\t\tIf the output FIP file already exists, use --force to overwrite it.\n");
    printf("  --out FIP_FILENAME\tSet an alternative output FIP file.\n");
    printf("\n");
    printf("Specific images are removed with the following options:\n");
    for (size_t i = 0; i < kFipKnownImageCount; ++i)
        printf("  --%-16s\t%s\n", kFipKnownImages[i].option, kFipKnownImages[i].name);
    fip_exit(1);
}

void fip_usage_version() {
    printf("fiptool version\n");
    fip_exit(1);
}
