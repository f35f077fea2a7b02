// ubinize: builds a UBI image from a volume configuration; every file is a
// descriptor number (the configuration, the output and each volume image).
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "tools/common/tool_invocation.h"
#include "tools/ubinize/ubi_common.h"
#include "tools/ubinize/ubi_config.h"
#include "tools/ubinize/ubigen.h"

namespace {

const char kProg[] = "ubinize";
const char kVersion[] = "2.1.0";
const int kMaxPebSize = 0x200000;
const int kMaxSectionName = 128;

const char kUsageHead[] =
    "Usage: ubinize [options] <ini-file>\n\n"
    "Generate UBI images. An UBI image may contain one or more UBI volumes which\n"
    "have to be defined in the input configuration ini-file. The flash\n"
    "characteristics are defined via the command-line options.\n\n";

const char kOptionsHelp[] =
    "-o, --output=<file name>     output file name\n"
    "-p, --peb-size=<bytes>       size of the physical eraseblock of the flash\n"
    "                             this UBI image is created for in bytes,\n"
    "                             kilobytes (KiB), or megabytes (MiB)\n"
    "                             (mandatory parameter)\n"
    "-m, --min-io-size=<bytes>    minimum input/output unit size of the flash\n"
    "                             in bytes\n"
    "-s, --sub-page-size=<bytes>  minimum input/output unit used for UBI\n"
    "                             headers, e.g. sub-page size in case of NAND\n"
    "                             flash (equivalent to the minimum input/output\n"
    "                             unit size by default)\n"
    "-O, --vid-hdr-offset=<num>   offset if the VID header from start of the\n"
    "                             physical eraseblock (default is the next\n"
    "                             minimum I/O unit or sub-page after the EC\n"
    "                             header)\n"
    "-e, --erase-counter=<num>    the erase counter value to put to EC headers\n"
    "                             (default is 0)\n"
    "-x, --ubi-ver=<num>          UBI version number to put to EC headers\n"
    "                             (default is 1)\n"
    "-Q, --image-seq=<num>        32-bit UBI image sequence number to use\n"
    "                             (by default a random number is picked)\n"
    "-v, --verbose                be verbose\n"
    "-h, --help                   print help message\n"
    "-V, --version                print program version\n\n";

const char kShortOptions[] = "o:p:m:s:O:e:x:Q:vhV";
const struct option kLongOptions[] = {
    {"output", required_argument, nullptr, 'o'},
    {"peb-size", required_argument, nullptr, 'p'},
    {"min-io-size", required_argument, nullptr, 'm'},
    {"sub-page-size", required_argument, nullptr, 's'},
    {"vid-hdr-offset", required_argument, nullptr, 'O'},
    {"erase-counter", required_argument, nullptr, 'e'},
    {"ubi-ver", required_argument, nullptr, 'x'},
    {"image-seq", required_argument, nullptr, 'Q'},
    {"verbose", no_argument, nullptr, 'v'},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {nullptr, 0, nullptr, 0},
};

// Everything one run knows; a new run starts from these defaults.
struct UbinizeArgs {
    const char* config = nullptr;
    const char* output = nullptr;
    UniqueFd out;
    int peb_size = -1;
    int min_io_size = -1;
    int subpage_size = -1;
    int vid_hdr_offset = 0;
    int erase_counter = 0;
    int ubi_version = 1;
    uint32_t image_seq = 0;
    bool verbose = false;
    UbiConfig dict;
};

// Result of option parsing: go on, or end the run with `status`.
struct OptionsOutcome {
    bool proceed;
    int status;
};

bool is_power_of_2(int v) { return v > 0 && (v & (v - 1)) == 0; }

// A number option that must not be negative; false after its message.
bool non_negative(const char* text, const char* what, int& out) {
    uint32_t v;
    ubi_parse_number(kProg, text, v);
    out = static_cast<int>(v);
    if (out >= 0) return true;
    ubi_errmsg(kProg, "bad %s: \"%s\"\n", what, text);
    return false;
}

OptionsOutcome parse_options(UbinizeArgs& args, int argc, char** argv) {
    for (;;) {
        int c = getopt_long(argc, argv, kShortOptions, kLongOptions, nullptr);
        if (c == -1) break;
        switch (c) {
        case 'o':
            args.output = optarg;
            errno = 0;
            args.out = tool_dup_fd(optarg);
            if (!args.out.valid()) {
                if (errno == 0) errno = EBADF;
                ubi_sys_errmsg(kProg, "cannot open file \"%s\"\n", optarg);
                return {false, -1};
            }
            break;
        case 'p':
            args.peb_size = static_cast<int>(ubi_parse_size(optarg));
            if (args.peb_size <= 0) {
                ubi_errmsg(kProg, "bad physical eraseblock size: \"%s\"\n", optarg);
                return {false, -1};
            }
            if (args.peb_size > kMaxPebSize) {
                ubi_errmsg(kProg, "too high physical eraseblock size %d\n", args.peb_size);
                return {false, -1};
            }
            break;
        case 'm':
            args.min_io_size = static_cast<int>(ubi_parse_size(optarg));
            if (args.min_io_size <= 0) {
                ubi_errmsg(kProg, "bad min. I/O unit size: \"%s\"\n", optarg);
                return {false, -1};
            }
            if (!is_power_of_2(args.min_io_size)) {
                ubi_errmsg(kProg, "min. I/O unit size should be power of 2\n");
                return {false, -1};
            }
            break;
        case 's':
            args.subpage_size = static_cast<int>(ubi_parse_size(optarg));
            if (args.subpage_size <= 0) {
                ubi_errmsg(kProg, "bad sub-page size: \"%s\"\n", optarg);
                return {false, -1};
            }
            if (!is_power_of_2(args.subpage_size)) {
                ubi_errmsg(kProg, "sub-page size should be power of 2\n");
                return {false, -1};
            }
            break;
        case 'O':
            if (!non_negative(optarg, "VID header offset", args.vid_hdr_offset)) return {false, -1};
            break;
        case 'e':
            if (!non_negative(optarg, "erase counter value", args.erase_counter)) return {false, -1};
            break;
        case 'x':
            if (!non_negative(optarg, "UBI version", args.ubi_version)) return {false, -1};
            break;
        case 'Q': {
            uint32_t seq;
            if (!ubi_parse_number(kProg, optarg, seq)) {
                ubi_errmsg(kProg, "bad UBI image sequence number: \"%s\"\n", optarg);
                return {false, -1};
            }
            args.image_seq = seq;
            break;
        }
        case 'v':
            args.verbose = true;
            break;
        case 'h':
            fputs(kUsageHead, stdout);
            fputs(kOptionsHelp, stdout);
            printf("For more information see `man 8 %s`\n\n", kProg);
            return {false, 0};
        case 'V':
            printf("%s (mtd-utils) %s\n", kProg, kVersion);
            return {false, 0};
        default:
            fputs(kUsageHead, stderr);
            fputs("Use -h for help\n\n", stderr);
            return {false, -1};
        }
    }

    if (optind == argc) {
        ubi_errmsg(kProg, "input configuration file was not specified (use -h for help)\n");
        return {false, -1};
    }
    if (optind != argc - 1) {
        ubi_errmsg(kProg, "more then one configuration file was specified (use -h for help)\n");
        return {false, -1};
    }
    args.config = argv[optind];

    if (args.peb_size < 0) {
        ubi_errmsg(kProg, "physical eraseblock size was not specified (use -h for help)\n");
        return {false, -1};
    }
    if (args.peb_size > kMaxPebSize) {
        ubi_errmsg(kProg, "too high physical eraseblock size %d\n", args.peb_size);
        return {false, -1};
    }
    if (args.min_io_size < 0) {
        ubi_errmsg(kProg, "min. I/O unit size was not specified (use -h for help)\n");
        return {false, -1};
    }
    if (args.subpage_size < 0) args.subpage_size = args.min_io_size;
    if (args.subpage_size > args.min_io_size) {
        ubi_errmsg(kProg, "sub-page cannot be larger then min. I/O unit\n");
        return {false, -1};
    }
    if (args.peb_size % args.min_io_size) {
        ubi_errmsg(kProg, "physical eraseblock should be multiple of min. I/O units\n");
        return {false, -1};
    }
    if (args.min_io_size % args.subpage_size) {
        ubi_errmsg(kProg, "min. I/O unit size should be multiple of sub-page size\n");
        return {false, -1};
    }
    if (!args.output) {
        ubi_errmsg(kProg, "output file was not specified (use -h for help)\n");
        return {false, -1};
    }
    if (args.vid_hdr_offset != 0) {
        // The EC header takes the block's first 64 bytes.
        if (args.vid_hdr_offset < kUbiHeaderSize) {
            ubi_errmsg(kProg, "VID header offset %d overlaps the EC header, it has to be at least %d\n",
                       args.vid_hdr_offset, kUbiHeaderSize);
            return {false, -1};
        }
        if (args.vid_hdr_offset + kUbiHeaderSize >= args.peb_size) {
            ubi_errmsg(kProg, "bad VID header position\n");
            return {false, -1};
        }
        if (args.vid_hdr_offset % 8) {
            ubi_errmsg(kProg, "VID header offset has to be multiple of min. I/O unit size\n");
            return {false, -1};
        }
    }
    return {true, 0};
}

// The size of the caller's descriptor named by `text`; -1 (errno set) when
// it cannot be had.
long long image_size(const char* text) {
    struct stat st;
    if (fstat(tool_fd_number(text), &st) != 0) return -1;
    return static_cast<long long>(st.st_size);
}

struct SectionState {
    const UbinizeArgs& args;
    const UbiGeometry& geo;
    std::vector<UbiVolumeSpec>& volumes;
    std::vector<uint8_t>& table;
};

void verbose(const UbinizeArgs& args, const char* format, const char* text) {
    if (args.verbose) ubi_normsg(kProg, format, text);
}

// One section of the configuration: 0 when it was added (or skipped), -1
// after a message.
int read_section(SectionState& st, const char* sname) {
    const UbinizeArgs& args = st.args;
    dictionary* dict = args.dict.get();
    auto key = [&](const char* name) { return std::string(sname) + ":" + name; };
    auto get = [&](const char* name) { return iniparser_getstring(dict, key(name).c_str(), nullptr); };

    if (strlen(sname) > static_cast<size_t>(kMaxSectionName)) {
        ubi_errmsg(kProg, "too long section name \"%s\"\n", sname);
        return -1;
    }

    const char* mode = get("mode");
    if (!mode) {
        ubi_errmsg(kProg, "\"mode\" key not found in section \"%s\"\n", sname);
        ubi_errmsg(kProg,
                   "the \"mode\" key is mandatory and has to be \"mode=ubi\" if the section describes an UBI volume\n");
        return -1;
    }
    if (strcmp(mode, "ubi") != 0) {
        verbose(args, "skip non-ubi section \"%s\"\n", sname);
        return 0;
    }
    if (args.verbose) ubi_normsg(kProg, "mode=ubi, keep parsing\n");

    UbiVolumeSpec vol;
    const char* type = get("vol_type");
    if (!type) {
        ubi_normsg(kProg, "volume type was not specified in section \"%s\", assume \"dynamic\"\n\n", sname);
        vol.type = kUbiDynamicVolume;
    } else if (!strcmp(type, "static")) {
        vol.type = kUbiStaticVolume;
    } else if (!strcmp(type, "dynamic")) {
        vol.type = kUbiDynamicVolume;
    } else {
        ubi_errmsg(kProg, "invalid volume type \"%s\" in section  \"%s\"\n", type, sname);
        return -1;
    }
    verbose(args, "volume type: %s\n", vol.type == kUbiDynamicVolume ? "dynamic" : "static");

    const char* image = get("image");
    long long image_bytes = 0;
    if (image) {
        image_bytes = image_size(image);
        if (image_bytes < 0) {
            ubi_sys_errmsg(kProg, "cannot stat \"%s\" referred from section \"%s\"\n", image, sname);
            return -1;
        }
        if (image_bytes == 0) {
            ubi_errmsg(kProg, "empty file \"%s\" referred from section \"%s\"\n", image, sname);
            return -1;
        }
    } else if (vol.type == kUbiStaticVolume) {
        ubi_errmsg(kProg, "image is not specified for static volume in section \"%s\"\n", sname);
        return -1;
    }

    vol.id = iniparser_getint(dict, key("vol_id").c_str(), -1);
    if (vol.id == -1) {
        ubi_errmsg(kProg, "\"vol_id\" key not found in section  \"%s\"\n", sname);
        return -1;
    }
    if (vol.id < 0) {
        ubi_errmsg(kProg, "negative volume ID %d in section \"%s\"\n", vol.id, sname);
        return -1;
    }
    if (vol.id >= st.geo.max_volumes) {
        ubi_errmsg(kProg, "too high volume ID %d in section \"%s\", max. is %d\n", vol.id, sname,
                   st.geo.max_volumes);
        return -1;
    }
    if (args.verbose) ubi_normsg(kProg, "volume ID: %d\n", vol.id);

    const char* size_text = get("vol_size");
    if (size_text) {
        vol.bytes = ubi_parse_size(size_text);
        if (vol.bytes <= 0) {
            ubi_errmsg(kProg, "bad \"vol_size\" key value \"%s\" (section \"%s\")\n", size_text, sname);
            return -1;
        }
        if (image && image_bytes > vol.bytes) {
            ubi_errmsg(kProg,
                       "error in section \"%s\": size of the image file \"%s\" is %lld, which is larger than "
                       "volume size %lld\n",
                       sname, image, image_bytes, vol.bytes);
            return -1;
        }
        if (args.verbose) ubi_normsg(kProg, "volume size: %lld bytes\n", vol.bytes);
    } else {
        if (!image) {
            ubi_errmsg(kProg,
                       "neither image file (\"image=\") nor volume size (\"vol_size=\") specified in section "
                       "\"%s\"\n",
                       sname);
            return -1;
        }
        vol.bytes = image_size(image);
        if (vol.bytes < 0) {
            ubi_sys_errmsg(kProg, "cannot stat \"%s\"\n", image);
            return -1;
        }
        if (vol.bytes == 0) {
            ubi_errmsg(kProg, "file \"%s\" referred from section \"%s\" is empty\n", image, sname);
            return -1;
        }
        ubi_normsg(kProg, "volume size was not specified in section \"%s\", assume minimum to fit image \"%s\"",
                   sname, image);
        ubi_print_size(vol.bytes, true);
        printf("\n");
    }

    const char* name = get("vol_name");
    if (!name) {
        ubi_errmsg(kProg, "\"vol_name\" key not found in section \"%s\"\n", sname);
        return -1;
    }
    // A volume without a name cannot be attached by name; the release refuses one too.
    if (!*name) {
        ubi_errmsg(kProg, "empty volume name in section \"%s\"\n", sname);
        return -1;
    }
    if (strlen(name) > static_cast<size_t>(kUbiVolumeNameMax)) {
        ubi_errmsg(kProg, "too long volume name in section \"%s\", max. is %d characters\n", sname,
                   kUbiVolumeNameMax);
        return -1;
    }
    vol.name = name;
    verbose(args, "volume name: %s\n", name);

    vol.alignment = iniparser_getint(dict, key("vol_alignment").c_str(), 1);
    if (vol.alignment < 0) {
        ubi_errmsg(kProg, "negative volume alignement %d in section \"%s\"\n", vol.alignment, sname);
        return -1;
    }
    // The data pad is the LEB size modulo the alignment.
    if (vol.alignment == 0) {
        ubi_errmsg(kProg, "zero volume alignment in section \"%s\", has to be at least 1\n", sname);
        return -1;
    }
    if (args.verbose) ubi_normsg(kProg, "volume alignment: %d\n", vol.alignment);

    const char* flags = get("vol_flags");
    if (flags) {
        if (!strcmp(flags, "autoresize")) {
            vol.flags |= kUbiFlagAutoresize;
            if (args.verbose) ubi_normsg(kProg, "autoresize flags found\n");
        } else if (!strcmp(flags, "skip-check")) {
            vol.flags |= kUbiFlagSkipCheck;
            if (args.verbose) ubi_normsg(kProg, "skip-check flag found\n");
        } else {
            ubi_errmsg(kProg, "unknown flags \"%s\" in section \"%s\"\n", flags, sname);
            return -1;
        }
    }

    vol.data_pad = st.geo.leb_size % vol.alignment;
    vol.usable_leb_size = st.geo.leb_size - vol.data_pad;
    long long counted = vol.type == kUbiDynamicVolume ? vol.bytes : image_bytes;
    // An alignment of the LEB size or more leaves no usable space; the
    // record layer refuses it below.
    if (vol.usable_leb_size > 0) vol.used_blocks = static_cast<int>((counted + vol.usable_leb_size - 1) / vol.usable_leb_size);
    vol.compat = 0;
    if (args.verbose) ubi_normsg(kProg, "adding volume %d\n", vol.id);

    for (const UbiVolumeSpec& earlier : st.volumes) {
        if (earlier.id == vol.id) {
            ubi_errmsg(kProg, "volume IDs must be unique, but ID %d in section \"%s\" is not\n", vol.id, sname);
            return -1;
        }
        if (earlier.name == vol.name) {
            ubi_errmsg(kProg, "volume name must be unique, but name \"%s\" in section \"%s\" is not\n", name, sname);
            return -1;
        }
    }
    if ((vol.flags & kUbiFlagSkipCheck) && vol.type != kUbiStaticVolume) {
        ubi_errmsg(kProg, "skip-check is only valid for static volumes\n");
        return -1;
    }
    if (vol.flags & kUbiFlagAutoresize)
        for (const UbiVolumeSpec& earlier : st.volumes)
            if (earlier.flags & kUbiFlagAutoresize) {
                ubi_errmsg(kProg, "only one volume is allowed to have auto-resize flag\n");
                return -1;
            }

    if (ubigen_store_volume_record(st.geo, vol, st.table) != 0) {
        ubi_errmsg(kProg, "cannot add volume for section \"%s\"\n", sname);
        return -1;
    }
    st.volumes.push_back(vol);

    if (image) {
        errno = 0;
        UniqueFd in = tool_dup_input(image);
        if (!in.valid()) {
            if (errno == 0) errno = EBADF;
            ubi_sys_errmsg(kProg, "cannot open \"%s\"\n", image);
            return -1;
        }
        if (args.verbose) {
            ubi_normsg(kProg, "writing volume %d\n", vol.id);
            ubi_normsg(kProg, "image file: %s\n", image);
        }
        if (ubigen_emit_volume_blocks(st.geo, vol, args.erase_counter, image_bytes, in.get(), args.out.get()) != 0) {
            ubi_errmsg(kProg, "cannot write volume for section \"%s\"\n", sname);
            return -1;
        }
        if (args.verbose) printf("\n");
    }
    return 0;
}

int run(int argc, char** argv) {
    tool_reset_getopt(0);
    UbinizeArgs args;
    ubi_seed_random();
    args.image_seq = static_cast<uint32_t>(rand());

    OptionsOutcome options = parse_options(args, argc, argv);
    if (!options.proceed) return options.status;

    UbiGeometry geo = ubigen_derive_geometry(args.peb_size, args.min_io_size, args.subpage_size,
                                             args.vid_hdr_offset, args.ubi_version, args.image_seq);
    if (args.verbose) {
        ubi_normsg(kProg, "LEB size:                  %d\n", geo.leb_size);
        ubi_normsg(kProg, "PEB size:                  %d\n", geo.peb_size);
        ubi_normsg(kProg, "min. I/O size:             %d\n", geo.min_io_size);
        ubi_normsg(kProg, "sub-page size:             %d\n", geo.subpage_size);
        ubi_normsg(kProg, "VID offset:                %d\n", geo.vid_hdr_offset);
        ubi_normsg(kProg, "data offset:               %d\n", geo.data_offset);
        ubi_normsg(kProg, "UBI image sequence number: %u\n", geo.image_seq);
    }
    // The headers can push the data offset to the block's end (a large
    // VID header offset, or a PEB of one or two I/O units): no room for the
    // volume table then.
    if (geo.max_volumes < 1) {
        ubi_errmsg(kProg, "LEB size %d leaves no room for the volume table (PEB size %d, data offset %d)\n",
                   geo.leb_size, geo.peb_size, geo.data_offset);
        return -1;
    }

    std::vector<uint8_t> table = ubigen_blank_volume_table(geo);

    args.dict = ubi_load_config(args.config);
    if (!args.dict) {
        ubi_errmsg(kProg, "cannot load the input ini file \"%s\"\n", args.config);
        return -1;
    }
    verbose(args, "loaded the ini-file \"%s\"\n", args.config);

    int sections = iniparser_getnsec(args.dict.get());
    if (sections == -1) {
        ubi_errmsg(kProg, "ini-file parsing error (iniparser_getnsec)\n");
        return -1;
    }
    if (args.verbose) ubi_normsg(kProg, "count of sections: %d\n", sections);
    if (sections == 0) {
        ubi_errmsg(kProg, "no sections found the ini-file \"%s\"\n", args.config);
        return -1;
    }
    if (sections > geo.max_volumes) {
        ubi_errmsg(kProg, "too many sections (%d) in the ini-file \"%s\"\n", sections, args.config);
        ubi_normsg(kProg, "each section corresponds to an UBI volume, maximum count of volumes is %d\n",
                   geo.max_volumes);
        return -1;
    }

    std::vector<UbiVolumeSpec> volumes;
    volumes.reserve(static_cast<size_t>(sections));
    off_t volumes_start = static_cast<off_t>(geo.peb_size) * 2;
    if (lseek(args.out.get(), volumes_start, SEEK_SET) != volumes_start) {
        ubi_sys_errmsg(kProg, "cannot seek file \"%s\"\n", args.output);
        return -1;
    }

    SectionState state{args, geo, volumes, table};
    for (int i = 0; i < sections; ++i) {
        const char* sname = iniparser_getsecname(args.dict.get(), i);
        if (!sname) {
            ubi_errmsg(kProg, "ini-file parsing error (iniparser_getsecname)\n");
            return -1;
        }
        if (args.verbose) {
            printf("\n");
            ubi_normsg(kProg, "parsing section \"%s\"\n", sname);
        }
        if (read_section(state, sname) != 0) return -1;
    }

    if (args.verbose) ubi_normsg(kProg, "writing layout volume\n");
    if (ubigen_emit_layout_blocks(geo, 0, 1, args.erase_counter, args.erase_counter, table, args.out.get()) != 0) {
        ubi_errmsg(kProg, "cannot write layout volume\n");
        return -1;
    }
    if (args.verbose) ubi_normsg(kProg, "done\n");
    return 0;
}

}  // namespace

int ubinize_main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const std::exception&) {
        // Only allocations can throw here.
        ubi_errmsg(kProg, "cannot allocate memory\n");
        return -1;
    }
}
