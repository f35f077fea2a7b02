#include "flash/script_runner.h"

// The UDP transport is not part of the engine yet: no device can be reached.
std::unique_ptr<Transport> script_open_transport(bool tcp, const std::string& host, int port,
                                                 std::string& error) {
    (void)tcp;
    error = "Failed to connect to " + host + ":" + std::to_string(port);
    return nullptr;
}
