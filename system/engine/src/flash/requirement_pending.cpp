// Requirement checks are not built yet: a queued check always fails.
#include <cstdio>

#include "flash/actions.h"

int32_t action_match_required(QueuedAction&, int32_t status, const char* response) {
    if (status != 0) {
        fprintf(stderr, "FAILED (%s)\n", response);
        return status;
    }
    fprintf(stderr, "FAILED (requirement checks are not available)\n");
    return -1;
}

int32_t action_match_rejected(QueuedAction& action, int32_t status, const char* response) {
    return action_match_required(action, status, response);
}
