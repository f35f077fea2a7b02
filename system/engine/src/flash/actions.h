// The download thread's action queue: commands, queries, data phases and
// notices are queued, then run in order against one transport, each one's
// outcome handed to its status callback.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "flash/transport.h"

struct sparse_file;

enum ActionOp : uint32_t {
    ACTION_DOWNLOAD_MEMORY = 0,
    ACTION_COMMAND = 1,
    ACTION_QUERY = 2,
    ACTION_NOTICE = 3,
    ACTION_DOWNLOAD_SPARSE = 4,
    ACTION_DOWNLOAD_FILE = 6,
    ACTION_UPLOAD = 7,
};

struct QueuedAction;
using ActionStatusCallback = int32_t (*)(QueuedAction& action, int32_t status,
                                         const char* response);

struct QueuedAction {
    uint32_t operation = ACTION_COMMAND;
    std::string command;
    std::string message;
    std::string product;    // left empty by every queueing operation
    void* data = nullptr;   // by operation, see the queueing operations
    uint32_t size = 0;
    int descriptor = -1;
    ActionStatusCallback callback = nullptr;  // action_print_outcome unless set
    double start = -1.0;
    // The queue frees `data` (with free()) when the action is destroyed
    // without its callback having released it.
    bool ownsData = false;
};

// Queueing operations: each appends to the calling thread's queue.
QueuedAction& action_add(uint32_t operation, const char* command);
void action_add_command(const char* command, const char* message);
void action_add_notice(const char* message);
void action_add_reboot();
void action_add_erase(const char* partition);
void action_add_upload(const char* fileName);
// Takes over `data`, which must come from malloc(); it is freed after the run.
void action_add_download_memory(const char* name, void* data, uint32_t size);
// The reply is copied into `destination` (capacity bytes, NUL-padded).
void action_add_variable_query(const char* variable, char* destination, uint32_t capacity);
// `values` (count texts) must stay valid until the queue has run.
void action_add_requirement(const char* product, const char* variable, bool invert,
                            uint32_t count, const char** values);
void action_add_download_file(const char* name, int descriptor, uint32_t size);
void action_add_sparse_piece(const char* partition, sparse_file* file, uint32_t size,
                             size_t current, size_t total);

// Runs and empties the calling thread's queue: 0 when every action succeeded,
// otherwise the result of the failing callback.
int64_t action_run_all(Transport& transport);

// Discards the calling thread's queue without running it.
void action_queue_clear();
// Number of actions queued on the calling thread.
size_t action_queue_size();

// Status callbacks.
int32_t action_print_outcome(QueuedAction& action, int32_t status, const char* response);
int32_t action_print_outcome_free(QueuedAction& action, int32_t status, const char* response);
int32_t action_keep_reply(QueuedAction& action, int32_t status, const char* response);
int32_t action_print_newline(QueuedAction& action, int32_t status, const char* response);
// A request to a device that was told to reboot: no answer is what the reboot
// does, so a failure prints "not confirmed after the reboot (%s)", no FAILED
// line, and returns 0.
int32_t action_print_after_reboot(QueuedAction& action, int32_t status, const char* response);
// The requirement check; defined with the requirement lines.
int32_t action_match_required(QueuedAction& action, int32_t status, const char* response);
int32_t action_match_rejected(QueuedAction& action, int32_t status, const char* response);
