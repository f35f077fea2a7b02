#include "core/engine.h"

#include <atomic>
#include <cstdio>
#include <mutex>

#include <json/json.h>

#include "base/events.h"
#include "base/log_capture.h"
#include "base/loop.h"
#include "base/never_destroyed.h"
#include "device/device_monitor.h"
#include "device/device_table.h"
#include "device/port_enum.h"
#include "device/serial_io.h"
#include "flash/device_script.h"
#include "flash/package.h"
#include "flash/thread_state.h"
#include "link/capture.h"
#include "link/ethos_link.h"
#include "link/netif.h"
#include "link/serial_link.h"

namespace {
// engine_stop walks the device table: a link that leaves the list meanwhile
// leaves the closing step to the end of the walk.
bool g_stop_walking = false;
}  // namespace

void engine_on_init() {
    LinkDeviceHooks device;
    device.writePort = serial_send;
    device.linkClosed = device_on_link_closed;
    device.setStatus = device_set_status;
    device.postProgress = device_post_progress;
    ethos_link_set_device_hooks(device);
    ethos_link_set_all_closed_handler(engine_on_all_devices_closed);
    ethos_set_engine_script_runner(device_run_script);
    LogSources sources;
    sources.threadConnection = download_thread_connection;
    sources.pathOf = device_path_by_connection;
    sources.locationOf = device_location_by_connection;
    log_capture_set_sources(sources);
    message_hook_init(engine_loop());
    frame_queue_create(engine_loop());
    network_thread_start();
}

void engine_on_exit() {
    network_thread_join();
    frame_queue_close();
    message_hook_shutdown();
}

void engine_start(const StartParams& p) {
    network_stack_wait();
    engine_set_usb_only(p.usbOnly);
    engine_state().baudRate = p.baudRate;
    engine_state().usbAutoEnable = p.usbAutoEnable;
    engine_state().enableOnce = p.enableOnce;
    engine_state().mode = p.mode;
    std::vector<Training> trainings = trainings_snapshot();
    engine_state().orderCounter = trainings.empty() ? 0 : trainings.back().order;
    engine_state().running = true;
    printf("getting serial devices list...\n");
    serial_queue_enumerate(device_on_port_list);
    engine_set_serial_data_handler(device_on_serial_data);
}

void engine_stop() {
    engine_state().running = false;
    bool any_enabled = false;
    g_stop_walking = true;
    device_table_take_all_offline(&any_enabled);
    g_stop_walking = false;
    if (engine_state().mode == ENGINE_DOWNLOAD && any_enabled && ethos_link_count() > 0) return;
    engine_on_all_devices_closed();
}

void engine_on_all_devices_closed() {
    if (g_stop_walking) return;
    printf("received all devices closed message.\n");
    if (engine_state().running) return;
    device_monitor_enable(false);
    if (engine_state().mode == ENGINE_DOWNLOAD) {
        package_release_images();
        capture_stop();
    }
    device_table_clear();
    trainings_clear();
    Json::Value event;
    if (engine_state().mode == ENGINE_DOWNLOAD) {
        printf("kelvo download engine stopped successfully.\n");
        event["event"] = 3;
    } else if (engine_state().mode == ENGINE_PRODUCTION) {
        printf("kelvo production mode engine stopped successfully.\n");
        event["event"] = 10;
    }
    engine_emit(event);
    engine_state().mode = ENGINE_IDLE;
}
