#include "flash/actions.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <list>

#include "flash/client_util.h"
#include "flash/data_phases.h"
#include "flash/fastboot.h"

namespace {

// The thread's queue. Data that the queue took over (a copied file name, a
// memory image) is freed with any action discarded before its callback ran.
class ActionQueue {
public:
    ~ActionQueue() { clear(); }
    std::list<QueuedAction>& actions() { return actions_; }
    void clear() {
        for (QueuedAction& action : actions_)
            if (action.ownsData) free(action.data);
        actions_.clear();
    }

private:
    std::list<QueuedAction> actions_;
};

thread_local ActionQueue t_queue;

struct QueueEmptier {
    ~QueueEmptier() { t_queue.clear(); }
};

void free_owned_data(QueuedAction& action) {
    if (action.ownsData) free(action.data);
    action.data = nullptr;
    action.ownsData = false;
}

uint32_t kib(uint32_t bytes) { return bytes / 1024; }

void print_elapsed(QueuedAction& action) {
    double now = now_seconds();
    fprintf(stderr, "OKAY [%7.3fs]\n", now - action.start);
    action.start = now;
}

// Performs the request of one action; 0 or -1.
int64_t perform(Transport& transport, QueuedAction& action, char* reply) {
    switch (action.operation) {
        case ACTION_DOWNLOAD_MEMORY:
            return fastboot_transfer_memory(transport, action.data, action.size);
        case ACTION_COMMAND:
            return fastboot_request_okay(transport, action.command.c_str());
        case ACTION_QUERY:
            return fastboot_request_reply(transport, action.command.c_str(), reply);
        case ACTION_DOWNLOAD_SPARSE:
            return fastboot_transfer_sparse(transport, static_cast<sparse_file*>(action.data));
        case ACTION_DOWNLOAD_FILE:
            return fastboot_transfer_file(transport, action.descriptor, action.size);
        case ACTION_UPLOAD:
            return fastboot_save_upload(transport, static_cast<const char*>(action.data));
        default:
            fatal_error("unknown action: %d", static_cast<int>(action.operation));
    }
}

}  // namespace

QueuedAction& action_add(uint32_t operation, const char* command) {
    t_queue.actions().emplace_back();
    QueuedAction& action = t_queue.actions().back();
    action.operation = operation;
    action.command = command ? command : "";
    action.callback = action_print_outcome;
    return action;
}

void action_add_command(const char* command, const char* message) {
    action_add(ACTION_COMMAND, command).message = message;
}

void action_add_notice(const char* message) { action_add(ACTION_NOTICE, "").message = message; }

void action_add_reboot() {
    QueuedAction& action = action_add(ACTION_COMMAND, "reboot");
    action.message = "Rebooting...";
    action.callback = action_print_newline;
}

void action_add_erase(const char* partition) {
    action_add(ACTION_COMMAND, (std::string("erase:") + partition).c_str()).message =
        std::string("Erasing '") + partition + "'...";
}

void action_add_upload(const char* fileName) {
    QueuedAction& action = action_add(ACTION_UPLOAD, "");
    action.message = std::string("Uploading '") + fileName + "'";
    action.data = strdup_or_fatal(fileName);
    action.ownsData = true;
    action.callback = action_print_outcome_free;
}

void action_add_download_memory(const char* name, void* data, uint32_t size) {
    QueuedAction& action = action_add(ACTION_DOWNLOAD_MEMORY, "");
    action.message = std::string("Downloading '") + name + "'";
    action.data = data;
    action.size = size;
    action.ownsData = true;
    action.callback = action_print_outcome_free;
}

void action_add_variable_query(const char* variable, char* destination, uint32_t capacity) {
    QueuedAction& action = action_add(ACTION_QUERY, (std::string("getvar:") + variable).c_str());
    action.data = destination;
    action.size = capacity;
    action.callback = action_keep_reply;
}

void action_add_requirement(const char* product, const char* variable, bool invert, uint32_t count,
                            const char** values) {
    if (!values) fatal_error("out of memory");
    QueuedAction& action = action_add(ACTION_QUERY, (std::string("getvar:") + variable).c_str());
    action.message = std::string("Checking ") + variable;
    action.product = product ? product : "";
    action.data = static_cast<void*>(values);
    action.size = count;
    action.callback = invert ? action_match_rejected : action_match_required;
}

void action_add_download_file(const char* name, int descriptor, uint32_t size) {
    QueuedAction& action = action_add(ACTION_DOWNLOAD_FILE, "");
    action.message = format_text("Sending '%s' (%d KB)", name, static_cast<int>(kib(size)));
    action.descriptor = descriptor;
    action.size = size;
}

void action_add_sparse_piece(const char* partition, sparse_file* file, uint32_t size, size_t current,
                             size_t total) {
    QueuedAction& send = action_add(ACTION_DOWNLOAD_SPARSE, "");
    send.message = format_text("Sending sparse '%s' %zu/%zu (%d KB)...", partition, current, total,
                               static_cast<int>(kib(size)));
    send.data = file;
    action_add(ACTION_COMMAND, (std::string("flash:") + partition).c_str()).message =
        format_text("Writing '%s' %zu/%zu...", partition, current, total);
}

int64_t action_run_all(Transport& transport) {
    QueueEmptier emptier;  // also when a fatal error unwinds the run
    int32_t status = 0;
    for (QueuedAction& action : t_queue.actions()) {
        action.start = now_seconds();
        if (!action.message.empty()) fprintf(stderr, "%s\n", action.message.c_str());
        if (action.operation == ACTION_NOTICE) continue;
        char reply[kFastbootResponseSize] = {};
        int32_t result = perform(transport, action, reply) == 0 ? 0 : -1;
        std::string error;
        const char* response = "";
        if (result != 0) {
            error = fastboot_last_error();
            response = error.c_str();
        } else if (action.operation == ACTION_QUERY) {
            response = reply;
        }
        ActionStatusCallback callback = action.callback ? action.callback : action_print_outcome;
        status = callback(action, result, response);
        if (status != 0 && action.operation != ACTION_UPLOAD) break;
    }
    return status;
}

void action_queue_clear() { t_queue.clear(); }

size_t action_queue_size() { return t_queue.actions().size(); }

int32_t action_print_outcome(QueuedAction& action, int32_t status, const char* response) {
    if (status != 0) {
        fprintf(stderr, "FAILED (%s)\n", response);
        return status;
    }
    print_elapsed(action);
    return 0;
}

int32_t action_print_outcome_free(QueuedAction& action, int32_t status, const char* response) {
    if (status != 0)
        fprintf(stderr, "%s FAILED (%s)\n", action.command.c_str(), response);
    else
        print_elapsed(action);
    free_owned_data(action);
    return status;
}

int32_t action_keep_reply(QueuedAction& action, int32_t status, const char* response) {
    if (status != 0) {
        fprintf(stderr, "%s FAILED (%s)\n", action.command.c_str(), response);
        return status;
    }
    if (action.data) strncpy(static_cast<char*>(action.data), response, action.size);
    return 0;
}

int32_t action_print_newline(QueuedAction&, int32_t, const char*) {
    fprintf(stderr, "\n");
    return 0;
}

int32_t action_print_after_reboot(QueuedAction& action, int32_t status, const char* response) {
    if (status == 0) {
        print_elapsed(action);
        return 0;
    }
    fprintf(stderr, "not confirmed after the reboot (%s)\n", response);
    return 0;
}
