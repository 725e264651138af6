// The run-time binding of the socket library "WSOCK32".
//
// WinsockFunctions is one process-wide table of the library's 46 entry
// points, typed, in the library's own order. LoadWinsock loads the library
// (once: a held library is not loaded again) and binds every entry by name,
// in that order; at the first name the library lacks it stops and returns
// false, leaving that entry and all after it empty and the library loaded.
// Each call binds the whole table anew, so a later call can succeed where
// an earlier one failed. The table is only replaced once a binding pass is
// over, never left half old and half new. UnloadWinsock frees the library and
// empties the table; it runs once at program end, after the last TApdSocket
// is gone.
//
// The socket wrapper (socket/AdSocket.h) calls the library through this
// table; the FTP client calls "getsockname" through it directly. An entry is
// nullptr until it is bound.
//
// Threads: the main thread only, like every user of the socket library in
// this system; the table has no lock.
#pragma once

#include "platform/Modules.h"
#include "platform/winsock/Winsock.h"

// The entries, in binding order: X(name) for each.
#define APD_WINSOCK_ENTRIES(X) \
  X(accept)                    \
  X(bind)                      \
  X(closesocket)               \
  X(connect)                   \
  X(ioctlsocket)               \
  X(getpeername)               \
  X(getsockname)               \
  X(getsockopt)                \
  X(htonl)                     \
  X(htons)                     \
  X(inet_addr)                 \
  X(inet_ntoa)                 \
  X(listen)                    \
  X(ntohl)                     \
  X(ntohs)                     \
  X(recv)                      \
  X(recvfrom)                  \
  X(select)                    \
  X(send)                      \
  X(sendto)                    \
  X(setsockopt)                \
  X(shutdown)                  \
  X(socket)                    \
  X(gethostbyaddr)             \
  X(gethostbyname)             \
  X(gethostname)               \
  X(getservbyport)             \
  X(getservbyname)             \
  X(getprotobynumber)          \
  X(getprotobyname)            \
  X(WSAStartup)                \
  X(WSACleanup)                \
  X(WSASetLastError)           \
  X(WSAGetLastError)           \
  X(WSAIsBlocking)             \
  X(WSAUnhookBlockingHook)     \
  X(WSASetBlockingHook)        \
  X(WSACancelBlockingCall)     \
  X(WSAAsyncGetServByName)     \
  X(WSAAsyncGetServByPort)     \
  X(WSAAsyncGetProtoByName)    \
  X(WSAAsyncGetProtoByNumber)  \
  X(WSAAsyncGetHostByName)     \
  X(WSAAsyncGetHostByAddr)     \
  X(WSACancelAsyncRequest)     \
  X(WSAAsyncSelect)

struct TWinsockFunctions {
#define APD_WINSOCK_FIELD(name) platform::name##_fn name = nullptr;
  APD_WINSOCK_ENTRIES(APD_WINSOCK_FIELD)
#undef APD_WINSOCK_FIELD
};

constexpr int WinsockEntryCount = 46;
static_assert(sizeof(TWinsockFunctions) == WinsockEntryCount * sizeof(void*));

extern TWinsockFunctions WinsockFunctions;

// The name the library is loaded by.
constexpr const char* WinsockLibraryName = "WSOCK32";

// True when the library is loaded and all 46 entries are bound.
bool LoadWinsock();
// Frees the library if it is held and empties the table.
void UnloadWinsock();
// The module handle of the held library, 0 when none is held.
platform::HMODULE WinsockLibrary();
