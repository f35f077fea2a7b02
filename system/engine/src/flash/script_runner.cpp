#include "flash/script_runner.h"

#include <sys/random.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>

#include <android-base/parsenetaddress.h>
#include <json/json.h>

#include "flash/actions.h"
#include "flash/client_util.h"
#include "flash/device_script.h"
#include "flash/fastboot.h"
#include "flash/flash_upload.h"
#include "flash/image_cache.h"
#include "flash/package.h"
#include "flash/requirements.h"
#include "flash/sparse_crc_stream.h"
#include "flash/thread_state.h"
#include "link/ethos_link.h"


namespace {

constexpr int kDefaultPort = 5554;
constexpr int32_t kLinkTimeoutUnitMs = 1500;  // times the thread's multiplier
constexpr int32_t kBootTimeoutMs = 1000;
constexpr size_t kVariableSize = 65;
constexpr size_t kRequirementLineMax = 1023;
constexpr size_t kFuseRandomAt = 32;
constexpr size_t kFuseRandomSize = 32;

// Results of a script.
constexpr int kOk = 0;
constexpr int kFailed = 1;
constexpr int kImageFailed = -1;

struct Target {
    bool tcp = false;
    std::string host;
    int port = kDefaultPort;
};

// Step 2 of the start; false after its message.
bool parse_target(const char* text, Target& target) {
    std::string rest = text ? text : "";
    DownloadThreadState& st = download_thread_state();
    if (rest.compare(0, 4, "usb:") == 0) {
        st.noAck = true;
        rest.erase(0, 4);
    } else {
        st.noAck = false;
        if (rest.compare(0, 5, "uart:") == 0) rest.erase(0, 5);
    }
    if (rest.compare(0, 4, "tcp:") == 0) {
        target.tcp = true;
    } else if (rest.compare(0, 4, "udp:") != 0) {
        // Every target the engine builds names a transport.
        fprintf(stderr, "error: no transport in target '%s'\n", text ? text : "");
        return false;
    }
    rest.erase(0, 4);
    std::string error;
    target.port = kDefaultPort;
    if (!android::base::ParseNetAddress(rest, &target.host, &target.port, nullptr, &error)) {
        fprintf(stderr, "error: Invalid network address '%s': %s\n", rest.c_str(), error.c_str());
        return false;
    }
    return true;
}

void set_link_timeout(int32_t milliseconds) {
    ethos_link_set_timeout(download_thread_state().connection, milliseconds);
}

int32_t multiplied_timeout() {
    return static_cast<int32_t>(download_thread_state().multiplier) * kLinkTimeoutUnitMs;
}

// Step 4 and 5; false when a query failed.
bool read_bootrom_info(Transport& transport) {
    char version[kVariableSize] = {};
    char platform[kVariableSize] = {};
    action_add_notice("processing command [get bootrom info]");
    action_add_variable_query("version-bootrom", version, sizeof version);
    action_add_variable_query("platform", platform, sizeof platform);
    if (action_run_all(transport) != 0) return false;
    DownloadThreadState& st = download_thread_state();
    st.bootromVersion.assign(version, strnlen(version, sizeof version));
    std::string name(platform, strnlen(platform, sizeof platform));
    if (name == "SILICON" || name == "NATIVE") st.multiplier = 1;
    return true;
}

// A member of a command as text; missing or null reads as empty.
std::string text_of(const Json::Value& cmd, const char* key) {
    const Json::Value& v = cmd[key];
    return v.isNull() ? std::string() : v.asString();
}

// The command's image after the boot-ROM version rule; false to skip it.
bool versioned_image(const Json::Value& cmd, std::string& image) {
    std::string version = text_of(cmd, "version-bootrom");
    image = text_of(cmd, "image");
    if (version.empty()) return true;
    if (version != download_thread_state().bootromVersion) return false;
    image = version + "/" + image;
    return true;
}

// Loads `image` for `command` and checks its kind; false (result -1) after
// "cannot load". A record of another kind ends the script as fatal.
bool load(Transport& transport, const std::string& image, const char* command, uint32_t kind,
          LoadedImage& loaded, const std::string& partition = std::string()) {
    if (!load_command_image(transport, image, command, loaded, partition)) {
        int err = errno;
        printf("cannot load '%s': %s\n", image.c_str(), strerror(err));
        return false;
    }
    if (loaded.kind != kind) {
        if (kind == kImageSparse) fatal_error("unknown buffer type: %d", static_cast<int>(loaded.kind));
        fatal_error("unknown buffer type: %d for %s command", static_cast<int>(loaded.kind), command);
    }
    return true;
}

int run_or(Transport& transport, int failure) { return action_run_all(transport) == 0 ? kOk : failure; }

int run_boot_or_call(Transport& transport, const std::string& command, const Json::Value& cmd) {
    std::string image;
    if (!versioned_image(cmd, image)) return kOk;  // for another boot ROM: skipped silently
    action_add_notice(format_text("processing command [%s %s]", command.c_str(), image.c_str()).c_str());
    LoadedImage loaded;
    if (!load(transport, image, command.c_str(), kImageDescriptor, loaded)) return kImageFailed;
    action_add_download_file(image.c_str(), loaded.fd, static_cast<uint32_t>(loaded.size));
    action_add_command("verify", "verifying");
    if (command == "call") {
        action_add_command("call", "calling");
        return run_or(transport, kFailed);
    }
    if (action_run_all(transport) != 0) return kImageFailed;
    set_link_timeout(kBootTimeoutMs);
    action_add_command("boot", "booting");
    return run_or(transport, kFailed);
}

int run_flash(Transport& transport, const Json::Value& cmd) {
    std::string partition = text_of(cmd, "partition");
    std::string image = text_of(cmd, "image");
    action_add_notice(format_text("processing command [flash %s %s]", partition.c_str(), image.c_str()).c_str());
    LoadedImage loaded;
    if (!load(transport, image, "flash", kImageSparse, loaded, partition)) return kImageFailed;
    // File systems that the device keeps in a structured form are erased first;
    // without an answer the flash goes ahead as it is.
    std::string type;
    if (fastboot_read_variable(transport, ("partition-type:" + partition).c_str(), type) &&
        (type == "ext4" || type == "ubi"))
        action_add_erase(partition.c_str());
    size_t total = 0;
    while (loaded.pieces[total]) ++total;
    for (size_t i = 0; i < total; ++i) {
        int64_t length = sparse_crc_length(loaded.pieces[i]);
        action_add_sparse_piece(partition.c_str(), loaded.pieces[i], static_cast<uint32_t>(length), i + 1,
                                total);
    }
    return run_or(transport, kFailed);
}

int run_partition(Transport& transport, const Json::Value& cmd) {
    std::string image = text_of(cmd, "image");
    action_add_notice(format_text("processing command [partition %s]", image.c_str()).c_str());
    LoadedImage loaded;
    if (!load(transport, image, "partition", kImageDescriptor, loaded)) return kImageFailed;
    action_add_download_file(image.c_str(), loaded.fd, static_cast<uint32_t>(loaded.size));
    action_add_command("partition", "setting partition");
    return run_or(transport, kFailed);
}

int run_fuse(Transport& transport, const Json::Value& cmd) {
    std::string image = text_of(cmd, "image");
    action_add_notice(format_text("processing command [fuse %s]", image.c_str()).c_str());
    LoadedImage loaded;
    if (!load(transport, image, "fuse", kImageMemory, loaded)) return kImageFailed;
    // The random part lies at 32..63; a shorter image has no room for it.
    if (loaded.size < static_cast<int64_t>(kFuseRandomAt + kFuseRandomSize) || loaded.size > UINT32_MAX) {
        fprintf(stderr, "error: fuse image '%s' has %lld bytes\n", image.c_str(),
                static_cast<long long>(loaded.size));
        return kFailed;
    }
    void* copy = malloc(static_cast<size_t>(loaded.size));
    if (!copy) fatal_error("out of memory");
    memcpy(copy, loaded.bytes, static_cast<size_t>(loaded.size));
    uint8_t* random = static_cast<uint8_t*>(copy) + kFuseRandomAt;
    if (getrandom(random, kFuseRandomSize, 0) != static_cast<ssize_t>(kFuseRandomSize)) {
        int err = errno;
        free(copy);
        fprintf(stderr, "error: no random bytes for the fuse image: %s\n", strerror(err));
        return kFailed;
    }
    action_add_download_memory(image.c_str(), copy, static_cast<uint32_t>(loaded.size));
    action_add_command("fuse", "programming fuse blocks");
    return run_or(transport, kFailed);
}

int run_requirement(Transport& transport, const std::string& command, const Json::Value& cmd) {
    std::string name = text_of(cmd, "name");
    std::string value = text_of(cmd, "value");
    action_add_notice(
        format_text("processing command [%s %s %s]", command.c_str(), name.c_str(), value.c_str()).c_str());
    std::string line = command + " " + name + "=" + value;
    // The line is bounded like the device's own; a longer one is refused,
    // not cut into a different requirement.
    if (line.size() > kRequirementLineMax) {
        fprintf(stderr, "error: requirement of %zu characters is too long\n", line.size());
        return kFailed;
    }
    if (!queue_requirement_line(line)) return kFailed;
    return run_or(transport, kFailed);
}

int run_upload(Transport& transport, const Json::Value& cmd) {
    std::string partition = text_of(cmd, "partition");
    std::string image = text_of(cmd, "image");
    std::string path = "upload/" + image;
    // Both become file names under upload/ (the dump, and a flash's stage files).
    for (const std::string* name : {&image, &partition})
        if (!upload_name_ok(*name)) {
            fprintf(stderr, "error: upload of '%s' to '%s': '%s' cannot name a file in upload/\n",
                    partition.c_str(), image.c_str(), name->c_str());
            return kFailed;
        }
    action_add_notice(format_text("processing command [upload %s %s]", partition.c_str(), path.c_str()).c_str());
    int rc = upload_partition(transport, partition, path);
    if (rc != 0) return rc;
    return run_or(transport, kFailed);
}

// One command of the list: 0 goes on, anything else ends the script with it.
int run_command(Transport& transport, const Json::Value& cmd) {
    std::string command = text_of(cmd, "command");
    if (command == "boot" || command == "call") return run_boot_or_call(transport, command, cmd);
    if (command == "reboot") {
        action_add_notice("processing command [reboot]");
        action_add_reboot();
        action_run_all(transport);  // a refused reboot does not end the script
        return kOk;
    }
    if (command == "erase") {
        std::string partition = text_of(cmd, "partition");
        action_add_notice(format_text("processing command [erase %s]", partition.c_str()).c_str());
        action_add_erase(partition.c_str());
        return run_or(transport, kFailed);
    }
    if (command == "flash") return run_flash(transport, cmd);
    if (command == "partition") return run_partition(transport, cmd);
    if (command == "progress") {
        std::string name = text_of(cmd, "name");
        uint32_t value = cmd["value"].isNull() ? 0 : cmd["value"].asUInt();
        action_add_notice(format_text("processing command [progress %s %u]", name.c_str(), value).c_str());
        action_add_command(format_text("progress:%08x", value).c_str(), "setting total progress");
        return run_or(transport, kFailed);
    }
    if (command == "require" || command == "reject") return run_requirement(transport, command, cmd);
    if (command == "upload") return run_upload(transport, cmd);
    if (command == "fuse") return run_fuse(transport, cmd);
    fprintf(stderr, "processing command [%s] failed (unkown command)\n", command.c_str());
    return kFailed;
}

// Every command in order, then the wait for the device to complete.
int run_commands(Transport& transport) {
    const Json::Value& list = package_commands();
    bool rebooted = false;  // the last command was a reboot
    for (Json::ArrayIndex i = 0; i < list.size(); ++i) {
        const Json::Value cmd = list[i];  // a copy: the list is shared by every device
        int rc = run_command(transport, cmd);
        if (rc != kOk) return rc;
        rebooted = text_of(cmd, "command") == "reboot";
    }
    QueuedAction& complete = action_add(ACTION_COMMAND, "complete");
    complete.message = "waiting for all operations to complete";
    // A device told to reboot is gone before it can answer: that failure is
    // expected, not a FAILED line of a device that succeeded.
    if (rebooted) complete.callback = action_print_after_reboot;
    action_run_all(transport);  // its outcome does not change the result
    return kOk;
}

}  // namespace

int device_run_script_with(const char* target, uint32_t connectionId, uint16_t localPort,
                           ScriptTransportOpener open) {
    DownloadThreadState& st = download_thread_state();
    try {
        st.connection = connectionId;
        st.localPort = localPort;
        double started = now_seconds();

        Target where;
        if (!parse_target(target, where)) return kFailed;
        std::string error;
        std::unique_ptr<Transport> transport = open(where.tcp, where.host, where.port, error);
        if (!transport) {
            fprintf(stderr, "error: %s\n", error.c_str());
            return kFailed;
        }
        bool informed = fatal_contain([&] { return read_bootrom_info(*transport); }, false);
        if (!informed) {
            action_queue_clear();
            return kFailed;
        }
        set_link_timeout(multiplied_timeout());

        // A fatal condition (an image of the wrong kind, a sparse failure)
        // ends the script as failed and still runs the finish.
        int result = fatal_contain(
            [&] {
                try {
                    return run_commands(*transport);
                } catch (const std::exception& e) {  // a member of a shape no reader takes
                    fprintf(stderr, "error: %s\n", e.what());
                    return kFailed;
                }
            },
            kFailed);
        action_queue_clear();  // actions of a command that ended before its run

        fprintf(stderr, "all finished. total time: %.3fs\n", now_seconds() - started);
        set_link_timeout(multiplied_timeout());
        st.connection = 0;
        return result;
    } catch (...) {
        // Nothing leaves a download thread's script.
        action_queue_clear();
        st.connection = 0;
        return kFailed;
    }
}

int device_run_script(const char* target, uint32_t connectionId, uint16_t localPort) {
    return device_run_script_with(target, connectionId, localPort, &script_open_transport);
}
