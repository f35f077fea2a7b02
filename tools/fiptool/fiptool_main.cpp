// The package packer's entry: global options, the command, and a descriptor
// list that lives exactly as long as the run.
#include <getopt.h>

#include <cstdio>
#include <new>

#include "tools/common/tool_invocation.h"
#include "tools/fiptool/fip_commands.h"
#include "tools/fiptool/fip_log.h"
#include "tools/fiptool/fip_usage.h"

namespace {

int run_fiptool(int argc, char** argv) {
    static const option kGlobalOptions[] = {{"verbose", no_argument, nullptr, 'v'}, {nullptr, 0, nullptr, 0}};
    tool_reset_getopt(0);
    int c;
    // "+": the first element that is not an option is the command.
    while ((c = getopt_long(argc, argv, "+v", kGlobalOptions, nullptr)) != -1) {
        if (c != 'v') fip_usage_global();
        fip_set_verbose(true);
    }
    if (optind >= argc) fip_usage_global();

    FipRun run;
    fip_add_known_records(run);
    const FipCommand* cmd = fip_find_command(argv[optind]);
    if (!cmd) fip_usage_global();
    int first = optind;
    tool_reset_getopt(0);
    return cmd->handler(run, argc - first, argv + first);
}

}  // namespace

int fiptool_main(int argc, char** argv) {
    fip_set_verbose(false);
    int status;
    try {
        status = run_fiptool(argc, argv);
    } catch (const FipExit& e) {
        status = e.status;
    } catch (const std::bad_alloc&) {
        // Nothing here may allocate again.
        fputs("ERROR: malloc: failed to allocate memory for image\n", stderr);
        status = 1;
    } catch (...) {
        status = 1;
    }
    fflush(stdout);
    fip_set_verbose(false);
    tool_reset_getopt(0);
    return status;
}
