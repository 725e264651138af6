// The POSIX side of the test servers, for their own sources and tests only:
// the system's socket headers define macros that clash with the platform's
// Winsock names, so test code of the client does not include this.
#pragma once

#include <netinet/in.h>

#include <cstdint>

namespace ftptest {

// 127.0.0.1 with the port (host order), for the tests' own sockets.
sockaddr_in LoopbackAddress(std::uint16_t port);

}  // namespace ftptest
