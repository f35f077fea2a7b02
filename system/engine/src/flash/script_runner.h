// The download-script runner behind device_run_script, with the transport
// opening made replaceable for tests.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "flash/transport.h"

// Opens the fastboot transport to `host`:`port` ("tcp:" when `tcp`); null
// with `error` set when it cannot connect.
using ScriptTransportOpener = std::unique_ptr<Transport> (*)(bool tcp, const std::string& host,
                                                             int port, std::string& error);

// The transports the engine builds (UDP over the network stack).
std::unique_ptr<Transport> script_open_transport(bool tcp, const std::string& host, int port,
                                                 std::string& error);

// device_run_script with its transport from `open`.
int device_run_script_with(const char* target, uint32_t connectionId, uint16_t localPort,
                           ScriptTransportOpener open);
