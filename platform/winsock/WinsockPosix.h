// Private to the socket library's implementation (Winsock*.cpp): the POSIX
// side and the state its parts share.
//
// The system headers define macros under Winsock's own names (SOL_SOCKET
// is 1 there and 0xFFFF here, htonl may be a macro, ...). This header
// includes them first, keeps the system values it needs as sys:: constants,
// removes the clashing macros and only then includes platform/winsock/Winsock.h.
// So an implementation file includes this header before anything else and
// names system constants only through sys::.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace platform::sys {
constexpr int kAfInet = AF_INET;
constexpr int kSolSocket = SOL_SOCKET;
constexpr int kSoDebug = SO_DEBUG;
constexpr int kSoAcceptConn = SO_ACCEPTCONN;
constexpr int kSoReuseAddr = SO_REUSEADDR;
constexpr int kSoKeepAlive = SO_KEEPALIVE;
constexpr int kSoDontRoute = SO_DONTROUTE;
constexpr int kSoBroadcast = SO_BROADCAST;
constexpr int kSoLinger = SO_LINGER;
constexpr int kSoOobInline = SO_OOBINLINE;
constexpr int kSoSndBuf = SO_SNDBUF;
constexpr int kSoRcvBuf = SO_RCVBUF;
constexpr int kSoSndLowat = SO_SNDLOWAT;
constexpr int kSoRcvLowat = SO_RCVLOWAT;
constexpr int kSoError = SO_ERROR;
constexpr int kSoType = SO_TYPE;
constexpr int kSockStream = SOCK_STREAM;
constexpr int kSockDgram = SOCK_DGRAM;
constexpr int kIpprotoTcp = IPPROTO_TCP;
constexpr int kTcpNoDelay = TCP_NODELAY;
constexpr int kMsgOob = MSG_OOB;
constexpr int kMsgPeek = MSG_PEEK;
constexpr int kMsgDontRoute = MSG_DONTROUTE;
constexpr unsigned long kFionRead = FIONREAD;
constexpr unsigned long kSiocAtMark = SIOCATMARK;
}  // namespace platform::sys

#undef AF_INET
#undef AF_UNSPEC
#undef PF_INET
#undef SOL_SOCKET
#undef SO_DEBUG
#undef SO_ACCEPTCONN
#undef SO_REUSEADDR
#undef SO_KEEPALIVE
#undef SO_DONTROUTE
#undef SO_BROADCAST
#undef SO_LINGER
#undef SO_OOBINLINE
#undef SO_SNDBUF
#undef SO_RCVBUF
#undef SO_SNDLOWAT
#undef SO_RCVLOWAT
#undef SO_SNDTIMEO
#undef SO_RCVTIMEO
#undef SO_ERROR
#undef SO_TYPE
#undef SOCK_STREAM
#undef SOCK_DGRAM
#undef SOCK_RAW
#undef IPPROTO_IP
#undef IPPROTO_TCP
#undef IPPROTO_UDP
#undef TCP_NODELAY
#undef MSG_OOB
#undef MSG_PEEK
#undef MSG_DONTROUTE
#undef INADDR_ANY
#undef INADDR_LOOPBACK
#undef INADDR_BROADCAST
#undef INADDR_NONE
#undef SOMAXCONN
#undef FIONBIO
#undef FIONREAD
#undef SIOCATMARK
#undef htonl
#undef htons
#undef ntohl
#undef ntohs

#include "platform/winsock/Winsock.h"

namespace platform::wsock {

// Descriptors from this number on are refused: the toolkit's select()
// aborts on them.
constexpr int kDescriptorLimit = 1024;

// One socket of the library; the table's key is its handle, which is not
// its descriptor: the system hands a closed descriptor's number out again
// at once, a handle is never handed out twice.
struct Socket {
  int fd = -1;
  int type = SOCK_STREAM;  // Winsock's number
  bool nonBlocking = false;
  bool listening = false;
  enum class Link { Idle, Connecting, Connected } link = Link::Idle;
  bool recvShut = false;
  bool sendShut = false;
  // A hard failure of the connection (reset, abort, time-out) once seen:
  // later calls report it, and the notifier reports it as the close.
  int hardError = 0;

  // The WSAAsyncSelect selection and which notifications are enabled.
  HWND window = 0;
  UINT message = 0;
  std::int32_t events = 0;
  bool readArmed = false;
  bool writeArmed = false;
  bool acceptArmed = false;
  bool closeReported = false;
  short watching = 0;  // the poll events the loop watches for it
  // The loop holds a watch of the descriptor, paused or not, which closing
  // must remove.
  bool registered = false;
};

struct SocketTable {
  std::mutex lock;
  std::map<SOCKET, Socket> sockets;
  SOCKET lastHandle = 0;
};
SocketTable& Sockets();
// Under the table's lock: the socket, or nullptr when s is not one of ours.
Socket* FindSocket(SOCKET s);

// The one mapping of system errors to Winsock numbers: errno values, and
// the resolver's EAI_ codes (negative). Unknown values give
// WSASYSCALLFAILURE.
int WinsockError(int systemError);
void SetLastError(int winsockError);
// The descriptor's pending system error (SO_ERROR), which reading clears:
// the outcome of a connect that was under way.
int PendingSystemError(int fd);
// True when the library is started and no blocking call of this thread is
// under way; otherwise sets the last error and returns false.
bool Enter();

// Notifications (WinsockAsync.cpp). Main thread only, like the selection.
// Enables the given FD_ events again after the call that re-enables them
// and updates the watch.
void Reenable(SOCKET s, std::int32_t events);
// Updates the watch after a change of the socket's state.
void UpdateWatch(SOCKET s);
// An accepted socket takes over the listening socket's selection.
void InheritSelection(SOCKET listener, SOCKET accepted);

}  // namespace platform::wsock
