#include "tools/fiptool/fip_commands.h"

#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <initializer_list>
#include <string>
#include <vector>

#include <openssl/evp.h>

#include "platform/unique_fd.h"
#include "tools/common/tool_invocation.h"
#include "tools/fiptool/fip_log.h"
#include "tools/fiptool/fip_options.h"
#include "tools/fiptool/fip_package.h"
#include "tools/fiptool/fip_usage.h"

namespace {

// getopt_long's value for an image option; its long index is the descriptor's.
constexpr int kOptImage = 0;
constexpr int kOptPlatTocFlags = 0x100;
constexpr int kOptAlign = 0x101;

const FipCommand kCommands[] = {
    {"info", fip_run_info, fip_usage_info},       {"create", fip_run_create, fip_usage_create},
    {"update", fip_run_update, fip_usage_update}, {"unpack", fip_run_unpack, fip_usage_unpack},
    {"remove", fip_run_remove, fip_usage_remove}, {"version", fip_run_version, fip_usage_version},
    {"help", fip_run_help, nullptr},
};

// One long option per descriptor (in list order, so the long index is the
// descriptor's position), then the command's own options.
std::vector<option> long_options(const FipRun& run, int image_has_arg, std::initializer_list<option> extra) {
    std::vector<option> opts;
    for (const auto& rec : run.records) opts.push_back({rec->option.c_str(), image_has_arg, nullptr, kOptImage});
    opts.insert(opts.end(), extra);
    opts.push_back({nullptr, 0, nullptr, 0});
    return opts;
}

// The descriptor that a "--blob" UUID selects: a known image, an earlier
// blob, or a new blob appended to the list.
FipImageRecord& record_for_blob(FipRun& run, const FipUuid& uuid) {
    if (FipImageRecord* rec = fip_record_for_uuid(run, uuid)) return *rec;
    std::string text = fip_uuid_format(uuid);
    return fip_make_record(run, uuid, text, "blob");
}

void set_offset(FipRun& run, char* value) {
    if (value[0] == '\0') fip_usage_create();
    FipOffsetValue off = fip_parse_offset(value);
    if (!off.has_uuid || fip_uuid_is_zero(off.uuid) || off.offset == 0) fip_usage_create();
    FipImageRecord* rec = fip_record_for_uuid(run, off.uuid);
    if (!rec) fip_usage_create();
    rec->fixed_offset = off.offset;
}

// How one command reads its options.
struct FipCommandSyntax {
    FipAction image_action;  // what an image option or "--blob" marks
    int image_has_arg;       // an image option's value: a file, or none (remove)
    const char* short_options;
    bool blob_needs_file;
    bool o_is_offset;  // "-o" is "--offset" (create), else "--out"
    void (*usage)();
};

struct FipCommandOptions {
    uint64_t toc_flags = 0;
    bool flags_given = false;
    uint32_t align = 1;
    bool force = false;
    const char* out = nullptr;
    const char* package = nullptr;  // the first operand
};

// Parses a command's options (the elements from its name on); marks the
// descriptors they name. A bad option or a missing operand prints the usage.
FipCommandOptions parse_command(FipRun& run, int argc, char** argv, const FipCommandSyntax& syntax,
                                std::initializer_list<option> extra) {
    if (argc < 2) syntax.usage();
    std::vector<option> opts = long_options(run, syntax.image_has_arg, extra);
    FipCommandOptions o;
    int c, index = 0;
    while ((c = getopt_long(argc, argv, syntax.short_options, opts.data(), &index)) != -1) {
        switch (c) {
            case kOptImage:
                fip_assign_action(*run.records[static_cast<size_t>(index)], syntax.image_action,
                                  syntax.image_has_arg == no_argument ? nullptr : optarg);
                break;
            case kOptPlatTocFlags:
                o.toc_flags |= fip_parse_plat_toc_flags(optarg);
                o.flags_given = true;
                break;
            case kOptAlign:
                o.align = fip_parse_align(optarg);
                break;
            case 'b': {
                FipBlobValue blob = fip_parse_blob(optarg);
                if (!blob.has_uuid || fip_uuid_is_zero(blob.uuid) || (syntax.blob_needs_file && blob.file.empty()))
                    syntax.usage();
                fip_assign_action(record_for_blob(run, blob.uuid), syntax.image_action,
                                  syntax.blob_needs_file ? blob.file.c_str() : nullptr);
                break;
            }
            case 'o':
                if (syntax.o_is_offset)
                    set_offset(run, optarg);
                else
                    o.out = optarg;
                break;
            case 'f':
                o.force = true;
                break;
            default:
                syntax.usage();
        }
    }
    if (optind >= argc) syntax.usage();
    o.package = argv[optind];
    return o;
}

// An output descriptor that already holds bytes would be overwritten in part.
bool output_fd_holds_data(const char* text) {
    UniqueFd fd = tool_dup_fd(text);
    struct stat st;
    return fd.valid() && fstat(fd.get(), &st) == 0 && st.st_size > 0;
}

std::string sha256_hex(const std::vector<uint8_t>& data) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (EVP_Digest(data.data(), data.size(), md, &len, EVP_sha256(), nullptr) != 1) return std::string();
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < len; ++i) {
        hex += digits[md[i] >> 4];
        hex += digits[md[i] & 15];
    }
    return hex;
}

void write_unpacked(int dirfd, const std::string& name, const std::vector<uint8_t>& payload) {
    UniqueFd fd(openat(dirfd, name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (!fd.valid()) fip_fail_errno("fopen");
    ToolFile f(fdopen(fd.get(), "wb"));
    if (!f) fip_fail_errno("fopen");
    fd.release();
    if (fwrite(payload.data(), 1, payload.size(), f.get()) != payload.size() || fclose(f.release()) != 0)
        fip_fail("Failed to write %s", name.c_str());
}

}  // namespace

const FipCommand* fip_find_command(const char* name) {
    for (const FipCommand& cmd : kCommands)
        if (std::string(cmd.name) == name) return &cmd;
    return nullptr;
}

int fip_run_create(FipRun& run, int argc, char** argv) {
    FipCommandOptions o = parse_command(run, argc, argv,
                                        {FipAction::pack, required_argument, "b:o:", true, true, fip_usage_create},
                                        {{"plat-toc-flags", required_argument, nullptr, kOptPlatTocFlags},
                                         {"align", required_argument, nullptr, kOptAlign},
                                         {"blob", required_argument, nullptr, 'b'},
                                         {"offset", required_argument, nullptr, 'o'}});
    fip_load_images(run);
    fip_write_package(run, {o.package, false}, o.toc_flags, o.align);
    return 0;
}

int fip_run_update(FipRun& run, int argc, char** argv) {
    FipCommandOptions o = parse_command(run, argc, argv,
                                        {FipAction::pack, required_argument, "b:o:", true, false, fip_usage_update},
                                        {{"plat-toc-flags", required_argument, nullptr, kOptPlatTocFlags},
                                         {"align", required_argument, nullptr, kOptAlign},
                                         {"blob", required_argument, nullptr, 'b'},
                                         {"out", required_argument, nullptr, 'o'}});
    uint64_t toc_flags = 0;
    if (access(o.package, F_OK) == 0) {
        toc_flags = fip_read_package(run, o.package).flags;
        if (o.flags_given) toc_flags &= ~(uint64_t{0xFFFF} << kFipPlatTocFlagsShift);
    }
    toc_flags |= o.toc_flags;
    fip_load_images(run);
    // "--out" follows the caller's descriptor convention; the input itself is a path.
    fip_write_package(run, o.out ? FipOutput{o.out, false} : FipOutput{o.package, true}, toc_flags, o.align);
    return 0;
}

int fip_run_unpack(FipRun& run, int argc, char** argv) {
    FipCommandOptions o = parse_command(run, argc, argv,
                                        {FipAction::unpack, required_argument, "b:fo:", true, false, fip_usage_unpack},
                                        {{"blob", required_argument, nullptr, 'b'},
                                         {"force", no_argument, nullptr, 'f'},
                                         {"out", required_argument, nullptr, 'o'}});
    // Descriptors that exist now were named by options; reading adds blobs behind them.
    const size_t option_records = run.records.size();
    bool unpack_all = true;
    for (const auto& rec : run.records)
        if (rec->action == FipAction::unpack) unpack_all = false;

    fip_read_package(run, o.package);

    // The output directory is opened, not entered: the process's current
    // directory is shared with the engine's other threads.
    UniqueFd dir;
    int dirfd = AT_FDCWD;
    if (o.out) {
        dir.reset(open(o.out, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!dir.valid()) fip_fail_errno("chdir %s", o.out);
        dirfd = dir.get();
    }

    for (size_t i = 0; i < run.records.size(); ++i) {
        const FipImageRecord& rec = *run.records[i];
        bool named = i < option_records && rec.action == FipAction::unpack;
        if (!rec.image) {
            if (named) fip_warn("%s does not exist in %s", fip_record_label(rec), o.package);
            continue;
        }
        if (!unpack_all && !named) continue;
        std::string file = rec.has_argument ? rec.argument : rec.option + ".bin";
        if (!o.force && faccessat(dirfd, file.c_str(), F_OK, 0) == 0) {
            fip_warn("File %s already exists, use --force to overwrite it", file.c_str());
            continue;
        }
        fip_debug("Unpacking %s", file.c_str());
        write_unpacked(dirfd, file, rec.image->payload);
    }
    return 0;
}

int fip_run_remove(FipRun& run, int argc, char** argv) {
    FipCommandOptions o = parse_command(run, argc, argv,
                                        {FipAction::remove, no_argument, "b:fo:", false, false, fip_usage_remove},
                                        {{"align", required_argument, nullptr, kOptAlign},
                                         {"blob", required_argument, nullptr, 'b'},
                                         {"force", no_argument, nullptr, 'f'},
                                         {"out", required_argument, nullptr, 'o'}});
    if (o.out && !o.force && output_fd_holds_data(o.out))
        fip_fail("File %s already exists, use --force to overwrite it", o.out);

    FipTocHeader header = fip_read_package(run, o.package);
    for (auto& rec : run.records) {
        if (rec->action != FipAction::remove) continue;
        if (rec->image) {
            fip_debug("Removing %s", fip_record_label(*rec));
            rec->image.reset();
        } else {
            fip_warn("%s does not exist in %s", fip_record_label(*rec), o.package);
        }
    }
    fip_write_package(run, o.out ? FipOutput{o.out, false} : FipOutput{o.package, true}, header.flags, o.align);
    return 0;
}

int fip_run_info(FipRun& run, int argc, char** argv) {
    if (argc != 2) fip_usage_info();
    FipTocHeader header = fip_read_package(run, argv[1]);
    fip_debug("toc_header[name]: 0x%llX", static_cast<unsigned long long>(header.name));
    fip_debug("toc_header[serial_number]: 0x%llX", static_cast<unsigned long long>(header.serial_number));
    fip_debug("toc_header[flags]: 0x%llX", static_cast<unsigned long long>(header.flags));
    for (const auto& rec : run.records) {
        if (!rec->image) continue;
        const FipTocItem& item = rec->image->toc;
        printf("%s: offset=0x%llX, size=0x%llX, cmdline=\"--%s\"", rec->name.c_str(),
               static_cast<unsigned long long>(item.offset), static_cast<unsigned long long>(item.size),
               rec->option.c_str());
        if (fip_verbose()) printf(", sha256=%s", sha256_hex(rec->image->payload).c_str());
        printf("\n");
    }
    return 0;
}

int fip_run_version(FipRun&, int, char**) {
    printf("Unknown version\n");
    return 0;
}

int fip_run_help(FipRun&, int argc, char** argv) {
    if (argc < 2) fip_usage_global();
    const FipCommand* cmd = fip_find_command(argv[1]);
    if (cmd && cmd->usage) cmd->usage();
    printf("No help for subcommand '%s'\n", argv[1]);
    return 0;
}
