// The network stack's socket calls. Its options header must come first and
// as C, or its lock functions link with C++ names.
#pragma once

extern "C" {
#include <lwip/opt.h>
#include <lwip/sockets.h>
}
