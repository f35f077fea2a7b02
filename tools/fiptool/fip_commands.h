// The commands of the packer: each handler gets the elements from its own
// name on and returns the run's status.
#pragma once

#include "tools/fiptool/fip_records.h"

struct FipCommand {
    const char* name;
    int (*handler)(FipRun& run, int argc, char** argv);
    void (*usage)();  // null when the command has no usage text
};

// The command of that exact name, or null.
const FipCommand* fip_find_command(const char* name);

int fip_run_info(FipRun& run, int argc, char** argv);
int fip_run_create(FipRun& run, int argc, char** argv);
int fip_run_update(FipRun& run, int argc, char** argv);
int fip_run_unpack(FipRun& run, int argc, char** argv);
int fip_run_remove(FipRun& run, int argc, char** argv);
int fip_run_version(FipRun& run, int argc, char** argv);
int fip_run_help(FipRun& run, int argc, char** argv);
