#include "flash/script_runner.h"

#include "flash/tcp_transport.h"
#include "flash/udp_transport.h"

std::unique_ptr<Transport> script_open_transport(bool tcp, const std::string& host, int port,
                                                 std::string& error) {
    return tcp ? tcp::OpenTransport(host, port, &error) : udp::OpenTransport(host, port, &error);
}
