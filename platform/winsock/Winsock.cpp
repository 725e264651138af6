// The socket library's core: start-up, errors, blocking, and the socket
// calls themselves. Notifications are in WinsockAsync.cpp, name services in
// WinsockLookup.cpp.
#include "platform/winsock/WinsockPosix.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdio>
#include <cstring>

namespace platform {
namespace wsock {
namespace {

thread_local int t_lastError = 0;
thread_local FARPROC t_hook = nullptr;  // nullptr: the default hook
thread_local bool t_blocking = false;
thread_local bool t_cancelled = false;

std::mutex g_startLock;
std::atomic<int> g_startups{0};

// While a hook is installed, a blocking call waits in slices of this length
// and calls the hook in between.
constexpr int kHookSliceMs = 50;

constexpr SOCKET kLastHandle = 0x7FFFFFFF;

struct ErrorMapping {
  int system;
  int winsock;
};

constexpr ErrorMapping kErrors[] = {
    {EINTR, WSAEINTR},
    {EBADF, WSAENOTSOCK},
    {EACCES, WSAEACCES},
    {EPERM, WSAEACCES},
    {EFAULT, WSAEFAULT},
    {EINVAL, WSAEINVAL},
    {EMFILE, WSAEMFILE},
    {ENFILE, WSAEMFILE},
    {EAGAIN, WSAEWOULDBLOCK},  // also EWOULDBLOCK
    {EINPROGRESS, WSAEWOULDBLOCK},
    {EALREADY, WSAEALREADY},
    {ENOTSOCK, WSAENOTSOCK},
    {EDESTADDRREQ, WSAEDESTADDRREQ},
    {EMSGSIZE, WSAEMSGSIZE},
    {EPROTOTYPE, WSAEPROTOTYPE},
    {ENOPROTOOPT, WSAENOPROTOOPT},
    {EPROTONOSUPPORT, WSAEPROTONOSUPPORT},
    {ESOCKTNOSUPPORT, WSAESOCKTNOSUPPORT},
    {EOPNOTSUPP, WSAEOPNOTSUPP},
    {EPFNOSUPPORT, WSAEPFNOSUPPORT},
    {EAFNOSUPPORT, WSAEAFNOSUPPORT},
    {EADDRINUSE, WSAEADDRINUSE},
    {EADDRNOTAVAIL, WSAEADDRNOTAVAIL},
    {ENETDOWN, WSAENETDOWN},
    {ENETUNREACH, WSAENETUNREACH},
    {ENETRESET, WSAENETRESET},
    {ECONNABORTED, WSAECONNABORTED},
    {ECONNRESET, WSAECONNRESET},
    // A send after the connection broke; a send after our own shutdown is
    // refused before it reaches the system (WSAESHUTDOWN).
    {EPIPE, WSAECONNRESET},
    {ENOBUFS, WSAENOBUFS},
    {ENOMEM, WSAENOBUFS},
    {EISCONN, WSAEISCONN},
    {ENOTCONN, WSAENOTCONN},
    {ESHUTDOWN, WSAESHUTDOWN},
    {ETOOMANYREFS, WSAETOOMANYREFS},
    {ETIMEDOUT, WSAETIMEDOUT},
    {ECONNREFUSED, WSAECONNREFUSED},
    {ELOOP, WSAELOOP},
    {ENAMETOOLONG, WSAENAMETOOLONG},
    {EHOSTDOWN, WSAEHOSTDOWN},
    {EHOSTUNREACH, WSAEHOSTUNREACH},
    {ENOTEMPTY, WSAENOTEMPTY},
    {EUSERS, WSAEUSERS},
    {EDQUOT, WSAEDQUOT},
    {ESTALE, WSAESTALE},
    {EREMOTE, WSAEREMOTE},
    // The resolver's codes.
    {EAI_NONAME, WSAHOST_NOT_FOUND},
    {EAI_AGAIN, WSATRY_AGAIN},
    {EAI_FAIL, WSANO_RECOVERY},
    {EAI_NODATA, WSANO_DATA},
    {EAI_ADDRFAMILY, WSANO_DATA},
    {EAI_FAMILY, WSAEAFNOSUPPORT},
    {EAI_SOCKTYPE, WSAESOCKTNOSUPPORT},
    {EAI_MEMORY, WSAENOBUFS},
    {EAI_OVERFLOW, WSAEFAULT},
    {EAI_BADFLAGS, WSAEINVAL},
};

BOOL DefaultBlockingHook() {
  return 0;
}

// Waits until the descriptor is ready for `events`, on behalf of a
// blocking call. Returns 0, or WSAEINTR when the call was cancelled.
int BlockingWait(int fd, short events) {
  t_blocking = true;
  t_cancelled = false;
  int result = 0;
  for (;;) {
    int timeoutMs = -1;
    if (t_hook != nullptr) {
      timeoutMs = t_hook() ? 0 : kHookSliceMs;
      if (t_cancelled) {
        result = WSAEINTR;
        break;
      }
    }
    pollfd p{fd, events, 0};
    const int n = ::poll(&p, 1, timeoutMs);
    if (n > 0) break;
    if (n < 0 && errno != EINTR) {
      result = WinsockError(errno);
      break;
    }
  }
  t_blocking = false;
  t_cancelled = false;
  return result;
}

int Fail(int winsockError) {
  SetLastError(winsockError);
  return SOCKET_ERROR;
}

// What a call needs of its socket, copied under the lock.
struct SocketView {
  int fd = -1;
  int type = SOCK_STREAM;
  bool nonBlocking = false;
  bool selected = false;
  bool listening = false;
  Socket::Link link = Socket::Link::Idle;
  bool recvShut = false;
  bool sendShut = false;
  int hardError = 0;
};

bool View(SOCKET s, SocketView& view) {
  std::lock_guard<std::mutex> guard(Sockets().lock);
  const Socket* k = FindSocket(s);
  if (k == nullptr) {
    SetLastError(WSAENOTSOCK);
    return false;
  }
  view = SocketView{k->fd,   k->type,     k->nonBlocking, k->window != 0, k->listening,
                    k->link, k->recvShut, k->sendShut,    k->hardError};
  return true;
}

template <class Change>
void Modify(SOCKET s, Change change) {
  std::lock_guard<std::mutex> guard(Sockets().lock);
  if (Socket* k = FindSocket(s)) change(*k);
}

// The notifier learns the end of a selected socket's connect; for any other
// socket it is looked up when a call depends on it.
void RefreshLink(SOCKET s, SocketView& v) {
  if (v.link != Socket::Link::Connecting || v.selected) return;
  pollfd p{v.fd, POLLOUT, 0};
  if (::poll(&p, 1, 0) <= 0) return;
  v.link = PendingSystemError(v.fd) == 0 ? Socket::Link::Connected : Socket::Link::Idle;
  Modify(s, [&](Socket& k) { k.link = v.link; });
}

// Errors after which the connection is gone for good.
bool IsHardError(int winsockError) {
  return winsockError == WSAECONNRESET || winsockError == WSAECONNABORTED ||
         winsockError == WSAENETRESET || winsockError == WSAETIMEDOUT;
}

int FailFromErrno(SOCKET s, int systemError) {
  const int error = WinsockError(systemError);
  if (IsHardError(error)) {
    Modify(s, [&](Socket& k) {
      if (k.hardError == 0) k.hardError = error;
    });
  }
  return Fail(error);
}

// Adds a new descriptor to the table under a fresh handle, or refuses it
// when it is too high. Handles count up and are never reused while the
// process runs, so a notice still queued for a closed socket can never be
// taken for one of a later socket. They stay below 2^31, since the layers
// above keep a handle in a signed 32-bit device number.
SOCKET Adopt(int fd, int type, Socket::Link link) {
  if (fd >= kDescriptorLimit) {
    ::close(fd);
    Fail(WSAEMFILE);
    return INVALID_SOCKET;
  }
  SocketTable& table = Sockets();
  std::lock_guard<std::mutex> guard(table.lock);
  if (table.lastHandle >= kLastHandle) {
    ::close(fd);
    Fail(WSAEMFILE);
    return INVALID_SOCKET;
  }
  Socket k;
  k.fd = fd;
  k.type = type;
  k.link = link;
  const SOCKET handle = ++table.lastHandle;
  table.sockets[handle] = k;
  return handle;
}

bool ToSystemAddress(const sockaddr* name, int namelen, ::sockaddr_in& out) {
  if (name == nullptr || namelen < static_cast<int>(sizeof(sockaddr_in))) {
    SetLastError(WSAEFAULT);
    return false;
  }
  sockaddr_in in;
  std::memcpy(&in, name, sizeof in);
  if (in.sin_family != AF_INET) {
    SetLastError(WSAEAFNOSUPPORT);
    return false;
  }
  out = ::sockaddr_in{};
  out.sin_family = sys::kAfInet;
  out.sin_port = in.sin_port;
  out.sin_addr.s_addr = in.sin_addr.s_addr;
  return true;
}

// Fills a caller's address record; false (WSAEFAULT) when it is too short.
bool CheckAddressBuffer(const sockaddr* name, const int* namelen) {
  if (name != nullptr && (namelen == nullptr || *namelen < static_cast<int>(sizeof(sockaddr_in)))) {
    SetLastError(WSAEFAULT);
    return false;
  }
  return true;
}

void FromSystemAddress(const ::sockaddr_in& in, sockaddr* name, int* namelen) {
  if (name == nullptr) return;
  sockaddr_in out{};
  out.sin_family = AF_INET;
  out.sin_port = in.sin_port;
  out.sin_addr.s_addr = in.sin_addr.s_addr;
  std::memcpy(name, &out, sizeof out);
  *namelen = sizeof out;
}

bool SystemFlags(int flags, int allowed, int& out) {
  if ((flags & ~allowed) != 0) {
    SetLastError(WSAEOPNOTSUPP);
    return false;
  }
  out = ((flags & MSG_OOB) ? sys::kMsgOob : 0) | ((flags & MSG_PEEK) ? sys::kMsgPeek : 0) |
        ((flags & MSG_DONTROUTE) ? sys::kMsgDontRoute : 0);
  return true;
}

int Receive(SOCKET s, char* buf, int len, int flags, sockaddr* from, int* fromlen) {
  if (!Enter()) return SOCKET_ERROR;
  SocketView v;
  if (!View(s, v)) return SOCKET_ERROR;
  int sysFlags = 0;
  if (!SystemFlags(flags, MSG_OOB | MSG_PEEK, sysFlags)) return SOCKET_ERROR;
  if (len < 0 || (buf == nullptr && len > 0)) return Fail(WSAEFAULT);
  const bool wantsFrom = v.type == SOCK_DGRAM && from != nullptr;
  if (wantsFrom && !CheckAddressBuffer(from, fromlen)) return SOCKET_ERROR;
  // Any receive, also a failing one, enables FD_READ again.
  struct Rearm {
    SOCKET s;
    ~Rearm() { Reenable(s, FD_READ); }
  } rearm{s};
  if (v.hardError != 0) return Fail(v.hardError);
  if (v.recvShut) return Fail(WSAESHUTDOWN);
  for (;;) {
    ::sockaddr_in peer{};
    socklen_t peerLen = sizeof peer;
    const ssize_t n = ::recvfrom(v.fd, buf, static_cast<size_t>(len), sysFlags | MSG_DONTWAIT,
                                 wantsFrom ? reinterpret_cast<::sockaddr*>(&peer) : nullptr,
                                 wantsFrom ? &peerLen : nullptr);
    if (n >= 0) {
      if (wantsFrom) FromSystemAddress(peer, from, fromlen);
      return static_cast<int>(n);
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN || v.nonBlocking) return FailFromErrno(s, errno);
    if (const int error = BlockingWait(v.fd, POLLIN)) return Fail(error);
  }
}

int Send(SOCKET s, const char* buf, int len, int flags, const sockaddr* to, int tolen) {
  if (!Enter()) return SOCKET_ERROR;
  SocketView v;
  if (!View(s, v)) return SOCKET_ERROR;
  int sysFlags = 0;
  if (!SystemFlags(flags, MSG_OOB | MSG_DONTROUTE, sysFlags)) return SOCKET_ERROR;
  if (len < 0 || (buf == nullptr && len > 0)) return Fail(WSAEFAULT);
  ::sockaddr_in target{};
  const bool hasTarget = v.type == SOCK_DGRAM && to != nullptr;
  if (hasTarget && !ToSystemAddress(to, tolen, target)) return SOCKET_ERROR;
  if (v.hardError != 0) return Fail(v.hardError);
  if (v.sendShut) return Fail(WSAESHUTDOWN);
  int sent = 0;
  for (;;) {
    const ssize_t n = ::sendto(v.fd, buf + sent, static_cast<size_t>(len - sent),
                               sysFlags | MSG_DONTWAIT | MSG_NOSIGNAL,
                               hasTarget ? reinterpret_cast<const ::sockaddr*>(&target) : nullptr,
                               hasTarget ? sizeof target : 0);
    if (n >= 0) {
      sent += static_cast<int>(n);
      // A non-blocking send takes what fits; a blocking one all of it.
      if (v.nonBlocking || sent == len) return sent;
      continue;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN && v.nonBlocking) {
      if (sent > 0) return sent;
      Reenable(s, FD_WRITE);
      return Fail(WSAEWOULDBLOCK);
    }
    if (errno != EAGAIN) return sent > 0 ? sent : FailFromErrno(s, errno);
    if (const int error = BlockingWait(v.fd, POLLOUT)) return sent > 0 ? sent : Fail(error);
  }
}

// Socket options: Winsock's (level, name) and the system's, and how the
// value is carried. The type is fixed when the socket is made and kept in
// the table, so it is answered without a system call: the socket layer asks
// for it on every notification to tell a live handle from a closed one.
enum class OptionKind { Bool, Int, Linger, DontLinger, Error, ReadOnlyBool, Type };
struct OptionMapping {
  int level;
  int name;
  int sysLevel;
  int sysName;
  OptionKind kind;
};
constexpr OptionMapping kOptions[] = {
    {SOL_SOCKET, SO_DEBUG, sys::kSolSocket, sys::kSoDebug, OptionKind::Bool},
    {SOL_SOCKET, SO_ACCEPTCONN, sys::kSolSocket, sys::kSoAcceptConn, OptionKind::ReadOnlyBool},
    {SOL_SOCKET, SO_REUSEADDR, sys::kSolSocket, sys::kSoReuseAddr, OptionKind::Bool},
    {SOL_SOCKET, SO_KEEPALIVE, sys::kSolSocket, sys::kSoKeepAlive, OptionKind::Bool},
    {SOL_SOCKET, SO_DONTROUTE, sys::kSolSocket, sys::kSoDontRoute, OptionKind::Bool},
    {SOL_SOCKET, SO_BROADCAST, sys::kSolSocket, sys::kSoBroadcast, OptionKind::Bool},
    {SOL_SOCKET, SO_LINGER, sys::kSolSocket, sys::kSoLinger, OptionKind::Linger},
    {SOL_SOCKET, SO_DONTLINGER, sys::kSolSocket, sys::kSoLinger, OptionKind::DontLinger},
    {SOL_SOCKET, SO_OOBINLINE, sys::kSolSocket, sys::kSoOobInline, OptionKind::Bool},
    {SOL_SOCKET, SO_SNDBUF, sys::kSolSocket, sys::kSoSndBuf, OptionKind::Int},
    {SOL_SOCKET, SO_RCVBUF, sys::kSolSocket, sys::kSoRcvBuf, OptionKind::Int},
    {SOL_SOCKET, SO_SNDLOWAT, sys::kSolSocket, sys::kSoSndLowat, OptionKind::Int},
    {SOL_SOCKET, SO_RCVLOWAT, sys::kSolSocket, sys::kSoRcvLowat, OptionKind::Int},
    {SOL_SOCKET, SO_ERROR, sys::kSolSocket, sys::kSoError, OptionKind::Error},
    {SOL_SOCKET, SO_TYPE, sys::kSolSocket, sys::kSoType, OptionKind::Type},
    {IPPROTO_TCP, TCP_NODELAY, sys::kIpprotoTcp, sys::kTcpNoDelay, OptionKind::Bool},
};

const OptionMapping* FindOption(int level, int name) {
  if (level != SOL_SOCKET && level != IPPROTO_TCP && level != IPPROTO_IP) {
    SetLastError(WSAEINVAL);
    return nullptr;
  }
  for (const OptionMapping& o : kOptions)
    if (o.level == level && o.name == name) return &o;
  SetLastError(WSAENOPROTOOPT);
  return nullptr;
}

}  // namespace

int PendingSystemError(int fd) {
  int error = 0;
  socklen_t len = sizeof error;
  if (::getsockopt(fd, sys::kSolSocket, sys::kSoError, &error, &len) != 0) return errno;
  return error;
}

SocketTable& Sockets() {
  static SocketTable table;
  return table;
}

Socket* FindSocket(SOCKET s) {
  auto& sockets = Sockets().sockets;
  auto it = sockets.find(s);
  return it == sockets.end() ? nullptr : &it->second;
}

int WinsockError(int systemError) {
  if (systemError == EAI_SYSTEM) systemError = errno;
  for (const ErrorMapping& m : kErrors)
    if (m.system == systemError) return m.winsock;
  return WSASYSCALLFAILURE;
}

void SetLastError(int winsockError) {
  t_lastError = winsockError;
}

bool Enter() {
  if (g_startups.load() == 0) {
    SetLastError(WSANOTINITIALISED);
    return false;
  }
  if (t_blocking) {
    SetLastError(WSAEINPROGRESS);
    return false;
  }
  return true;
}

}  // namespace wsock

using wsock::Enter;
using wsock::Fail;
using wsock::SetLastError;
using wsock::Socket;
using wsock::SocketView;

int WSAStartup(WORD wVersionRequested, WSADATA* lpWSAData) {
  if (lpWSAData == nullptr) return WSAEFAULT;
  const unsigned major = wVersionRequested & 0xFF;
  const unsigned minor = (wVersionRequested >> 8) & 0xFF;
  *lpWSAData = WSADATA{};
  lpWSAData->wVersion = MAKEWORD(1, 1);
  lpWSAData->wHighVersion = MAKEWORD(1, 1);
  std::snprintf(lpWSAData->szDescription, sizeof lpWSAData->szDescription,
                "TKV Setup Windows Sockets 1.1 over POSIX sockets");
  std::snprintf(lpWSAData->szSystemStatus, sizeof lpWSAData->szSystemStatus, "Running");
  lpWSAData->iMaxSockets = wsock::kDescriptorLimit;
  lpWSAData->iMaxUdpDg = 65467;
  if (major < 1 || (major == 1 && minor < 1)) return WSAVERNOTSUPPORTED;
  std::lock_guard<std::mutex> guard(wsock::g_startLock);
  ++wsock::g_startups;
  return 0;
}

int WSACleanup() {
  if (!Enter()) return SOCKET_ERROR;
  std::vector<Socket> closing;
  {
    std::lock_guard<std::mutex> guard(wsock::g_startLock);
    if (--wsock::g_startups > 0) return 0;
    // The last clean-up closes what is still open, as Winsock does.
    wsock::SocketTable& table = wsock::Sockets();
    std::lock_guard<std::mutex> tableGuard(table.lock);
    for (auto& [s, k] : table.sockets)
      closing.push_back(k);
    table.sockets.clear();
  }
  for (const Socket& k : closing) {
    if (k.registered) UnwatchFd(k.fd);
    ::close(k.fd);
  }
  return 0;
}

void WSASetLastError(int iError) {
  SetLastError(iError);
}

int WSAGetLastError() {
  return wsock::t_lastError;
}

BOOL WSAIsBlocking() {
  return wsock::t_blocking ? 1 : 0;
}

FARPROC WSASetBlockingHook(FARPROC lpBlockFunc) {
  if (!Enter()) return nullptr;
  if (lpBlockFunc == nullptr) {
    SetLastError(WSAEFAULT);
    return nullptr;
  }
  FARPROC previous = wsock::t_hook ? wsock::t_hook : &wsock::DefaultBlockingHook;
  wsock::t_hook = lpBlockFunc == &wsock::DefaultBlockingHook ? nullptr : lpBlockFunc;
  return previous;
}

int WSAUnhookBlockingHook() {
  if (!Enter()) return SOCKET_ERROR;
  wsock::t_hook = nullptr;
  return 0;
}

int WSACancelBlockingCall() {
  if (wsock::g_startups.load() == 0) return Fail(WSANOTINITIALISED);
  if (!wsock::t_blocking) return Fail(WSAEINVAL);
  wsock::t_cancelled = true;
  return 0;
}

SOCKET socket(int af, int type, int protocol) {
  if (!Enter()) return INVALID_SOCKET;
  if (af != AF_INET) {
    SetLastError(WSAEAFNOSUPPORT);
    return INVALID_SOCKET;
  }
  int sysType = 0;
  if (type == SOCK_STREAM && (protocol == 0 || protocol == IPPROTO_TCP)) {
    sysType = sys::kSockStream;
  } else if (type == SOCK_DGRAM && (protocol == 0 || protocol == IPPROTO_UDP)) {
    sysType = sys::kSockDgram;
  } else {
    SetLastError(type == SOCK_STREAM || type == SOCK_DGRAM ? WSAEPROTONOSUPPORT
                                                           : WSAESOCKTNOSUPPORT);
    return INVALID_SOCKET;
  }
  // The descriptor is always non-blocking; blocking calls wait themselves.
  const int fd = ::socket(sys::kAfInet, sysType | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    SetLastError(wsock::WinsockError(errno));
    return INVALID_SOCKET;
  }
  return wsock::Adopt(fd, type, Socket::Link::Idle);
}

int closesocket(SOCKET s) {
  if (!Enter()) return SOCKET_ERROR;
  Socket k;
  {
    std::lock_guard<std::mutex> guard(wsock::Sockets().lock);
    Socket* found = wsock::FindSocket(s);
    if (found == nullptr) return Fail(WSAENOTSOCK);
    k = *found;
    wsock::Sockets().sockets.erase(s);
  }
  if (k.registered) UnwatchFd(k.fd);
  ::close(k.fd);
  return 0;
}

int bind(SOCKET s, const sockaddr* name, int namelen) {
  if (!Enter()) return SOCKET_ERROR;
  SocketView v;
  if (!wsock::View(s, v)) return SOCKET_ERROR;
  ::sockaddr_in address;
  if (!wsock::ToSystemAddress(name, namelen, address)) return SOCKET_ERROR;
  if (::bind(v.fd, reinterpret_cast<const ::sockaddr*>(&address), sizeof address) != 0)
    return wsock::FailFromErrno(s, errno);
  return 0;
}

int connect(SOCKET s, const sockaddr* name, int namelen) {
  if (!Enter()) return SOCKET_ERROR;
  SocketView v;
  if (!wsock::View(s, v)) return SOCKET_ERROR;
  ::sockaddr_in address;
  if (!wsock::ToSystemAddress(name, namelen, address)) return SOCKET_ERROR;
  const bool stream = v.type == SOCK_STREAM;
  wsock::RefreshLink(s, v);
  if (stream) {
    if (v.listening) return Fail(WSAEINVAL);
    if (v.link == Socket::Link::Connected) return Fail(WSAEISCONN);
    if (v.link == Socket::Link::Connecting) return Fail(WSAEALREADY);
    // The system would take "any" as this host; Winsock refuses it.
    if (address.sin_addr.s_addr == 0 || address.sin_port == 0) return Fail(WSAEADDRNOTAVAIL);
  }
  const auto setLink = [&](Socket::Link link) {
    wsock::Modify(s, [&](Socket& k) { k.link = link; });
  };
  if (::connect(v.fd, reinterpret_cast<const ::sockaddr*>(&address), sizeof address) == 0) {
    // A selected socket still learns of the connection through FD_CONNECT.
    setLink(stream && v.selected ? Socket::Link::Connecting : Socket::Link::Connected);
    wsock::UpdateWatch(s);
    return 0;
  }
  if (errno != EINPROGRESS) return wsock::FailFromErrno(s, errno);
  setLink(Socket::Link::Connecting);
  if (v.nonBlocking) {
    wsock::UpdateWatch(s);
    return Fail(WSAEWOULDBLOCK);
  }
  if (const int error = wsock::BlockingWait(v.fd, POLLOUT)) {
    setLink(Socket::Link::Idle);
    return Fail(error);
  }
  if (const int error = wsock::PendingSystemError(v.fd)) {
    setLink(Socket::Link::Idle);
    return Fail(wsock::WinsockError(error));
  }
  setLink(Socket::Link::Connected);
  return 0;
}

int listen(SOCKET s, int backlog) {
  if (!Enter()) return SOCKET_ERROR;
  SocketView v;
  if (!wsock::View(s, v)) return SOCKET_ERROR;
  if (v.type != SOCK_STREAM) return Fail(WSAEOPNOTSUPP);
  wsock::RefreshLink(s, v);
  if (v.link != Socket::Link::Idle) return Fail(WSAEISCONN);
  // Winsock listens only on a bound socket; the system would bind it.
  ::sockaddr_in local{};
  socklen_t len = sizeof local;
  if (::getsockname(v.fd, reinterpret_cast<::sockaddr*>(&local), &len) != 0 || local.sin_port == 0)
    return Fail(WSAEINVAL);
  if (::listen(v.fd, std::max(backlog, 1)) != 0) return wsock::FailFromErrno(s, errno);
  wsock::Modify(s, [](Socket& k) { k.listening = true; });
  wsock::UpdateWatch(s);
  return 0;
}

SOCKET accept(SOCKET s, sockaddr* addr, int* addrlen) {
  if (!Enter()) return INVALID_SOCKET;
  SocketView v;
  if (!wsock::View(s, v)) return INVALID_SOCKET;
  if (!v.listening) {
    SetLastError(WSAEINVAL);
    return INVALID_SOCKET;
  }
  if (!wsock::CheckAddressBuffer(addr, addrlen)) return INVALID_SOCKET;
  struct Rearm {
    SOCKET s;
    ~Rearm() { wsock::Reenable(s, FD_ACCEPT); }
  } rearm{s};
  for (;;) {
    ::sockaddr_in peer{};
    socklen_t peerLen = sizeof peer;
    const int fd = ::accept4(v.fd, reinterpret_cast<::sockaddr*>(&peer), &peerLen,
                             SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd >= 0) {
      const SOCKET accepted = wsock::Adopt(fd, SOCK_STREAM, Socket::Link::Connected);
      if (accepted == INVALID_SOCKET) return INVALID_SOCKET;
      wsock::InheritSelection(s, accepted);
      wsock::FromSystemAddress(peer, addr, addrlen);
      return accepted;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN || v.nonBlocking) {
      wsock::FailFromErrno(s, errno);
      return INVALID_SOCKET;
    }
    if (const int error = wsock::BlockingWait(v.fd, POLLIN)) {
      SetLastError(error);
      return INVALID_SOCKET;
    }
  }
}

int recv(SOCKET s, char* buf, int len, int flags) {
  return wsock::Receive(s, buf, len, flags, nullptr, nullptr);
}

int recvfrom(SOCKET s, char* buf, int len, int flags, sockaddr* from, int* fromlen) {
  return wsock::Receive(s, buf, len, flags, from, fromlen);
}

int send(SOCKET s, const char* buf, int len, int flags) {
  return wsock::Send(s, buf, len, flags, nullptr, 0);
}

int sendto(SOCKET s, const char* buf, int len, int flags, const sockaddr* to, int tolen) {
  return wsock::Send(s, buf, len, flags, to, tolen);
}

int shutdown(SOCKET s, int how) {
  if (!Enter()) return SOCKET_ERROR;
  SocketView v;
  if (!wsock::View(s, v)) return SOCKET_ERROR;
  int sysHow = 0;
  switch (how) {
    case SD_RECEIVE:
      sysHow = SHUT_RD;
      break;
    case SD_SEND:
      sysHow = SHUT_WR;
      break;
    case SD_BOTH:
      sysHow = SHUT_RDWR;
      break;
    default:
      return Fail(WSAEINVAL);
  }
  wsock::RefreshLink(s, v);
  if (::shutdown(v.fd, sysHow) != 0) {
    // The system forgets the connection once both sides closed it or it was
    // reset; for Winsock a socket that was connected stays so until it is
    // closed, and shutting it down then is no error.
    if (errno != ENOTCONN || v.link != Socket::Link::Connected)
      return wsock::FailFromErrno(s, errno);
  }
  wsock::Modify(s, [&](Socket& k) {
    if (how != SD_SEND) k.recvShut = true;
    if (how != SD_RECEIVE) k.sendShut = true;
  });
  wsock::UpdateWatch(s);
  return 0;
}

int getsockname(SOCKET s, sockaddr* name, int* namelen) {
  if (!Enter()) return SOCKET_ERROR;
  SocketView v;
  if (!wsock::View(s, v)) return SOCKET_ERROR;
  if (name == nullptr || !wsock::CheckAddressBuffer(name, namelen)) return Fail(WSAEFAULT);
  ::sockaddr_in local{};
  socklen_t len = sizeof local;
  if (::getsockname(v.fd, reinterpret_cast<::sockaddr*>(&local), &len) != 0)
    return wsock::FailFromErrno(s, errno);
  // An unbound socket has no name under Winsock.
  if (local.sin_port == 0) return Fail(WSAEINVAL);
  wsock::FromSystemAddress(local, name, namelen);
  return 0;
}

int getpeername(SOCKET s, sockaddr* name, int* namelen) {
  if (!Enter()) return SOCKET_ERROR;
  SocketView v;
  if (!wsock::View(s, v)) return SOCKET_ERROR;
  if (name == nullptr || !wsock::CheckAddressBuffer(name, namelen)) return Fail(WSAEFAULT);
  ::sockaddr_in peer{};
  socklen_t len = sizeof peer;
  if (::getpeername(v.fd, reinterpret_cast<::sockaddr*>(&peer), &len) != 0)
    return wsock::FailFromErrno(s, errno);
  wsock::FromSystemAddress(peer, name, namelen);
  return 0;
}

int setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen) {
  if (!Enter()) return SOCKET_ERROR;
  SocketView v;
  if (!wsock::View(s, v)) return SOCKET_ERROR;
  const wsock::OptionMapping* o = wsock::FindOption(level, optname);
  if (o == nullptr) return SOCKET_ERROR;
  if (o->kind == wsock::OptionKind::Error || o->kind == wsock::OptionKind::ReadOnlyBool ||
      o->kind == wsock::OptionKind::Type)
    return Fail(WSAENOPROTOOPT);
  int result = 0;
  if (o->kind == wsock::OptionKind::Linger) {
    if (optval == nullptr || optlen < static_cast<int>(sizeof(linger))) return Fail(WSAEFAULT);
    linger in;
    std::memcpy(&in, optval, sizeof in);
    ::linger out{in.l_onoff != 0 ? 1 : 0, in.l_linger};
    result = ::setsockopt(v.fd, o->sysLevel, o->sysName, &out, sizeof out);
  } else {
    if (optval == nullptr || optlen < static_cast<int>(sizeof(int))) return Fail(WSAEFAULT);
    int value = 0;
    std::memcpy(&value, optval, sizeof value);
    if (o->kind == wsock::OptionKind::DontLinger) {
      ::linger out{value != 0 ? 0 : 1, 0};
      result = ::setsockopt(v.fd, o->sysLevel, o->sysName, &out, sizeof out);
    } else {
      if (o->kind == wsock::OptionKind::Bool) value = value != 0 ? 1 : 0;
      result = ::setsockopt(v.fd, o->sysLevel, o->sysName, &value, sizeof value);
    }
  }
  return result == 0 ? 0 : wsock::FailFromErrno(s, errno);
}

int getsockopt(SOCKET s, int level, int optname, char* optval, int* optlen) {
  if (!Enter()) return SOCKET_ERROR;
  SocketView v;
  if (!wsock::View(s, v)) return SOCKET_ERROR;
  const wsock::OptionMapping* o = wsock::FindOption(level, optname);
  if (o == nullptr) return SOCKET_ERROR;
  const int need =
      o->kind == wsock::OptionKind::Linger ? static_cast<int>(sizeof(linger)) : sizeof(int);
  if (optval == nullptr || optlen == nullptr || *optlen < need) return Fail(WSAEFAULT);
  if (o->kind == wsock::OptionKind::Linger || o->kind == wsock::OptionKind::DontLinger) {
    ::linger in{};
    socklen_t len = sizeof in;
    if (::getsockopt(v.fd, o->sysLevel, o->sysName, &in, &len) != 0)
      return wsock::FailFromErrno(s, errno);
    if (o->kind == wsock::OptionKind::Linger) {
      const linger out{static_cast<u_short>(in.l_onoff != 0 ? 1 : 0),
                       static_cast<u_short>(in.l_linger)};
      std::memcpy(optval, &out, sizeof out);
    } else {
      const BOOL out = in.l_onoff == 0 ? 1 : 0;
      std::memcpy(optval, &out, sizeof out);
    }
    *optlen = need;
    return 0;
  }
  int value = 0;
  if (o->kind == wsock::OptionKind::Error) {
    value = v.hardError;
    if (value == 0) {
      const int pending = wsock::PendingSystemError(v.fd);
      value = pending == 0 ? 0 : wsock::WinsockError(pending);
    }
  } else if (o->kind == wsock::OptionKind::Type) {
    // SOCK_STREAM and SOCK_DGRAM have the same numbers on both sides.
    value = v.type;
  } else {
    socklen_t len = sizeof value;
    if (::getsockopt(v.fd, o->sysLevel, o->sysName, &value, &len) != 0)
      return wsock::FailFromErrno(s, errno);
    if (o->kind == wsock::OptionKind::Bool || o->kind == wsock::OptionKind::ReadOnlyBool)
      value = value != 0 ? 1 : 0;
  }
  std::memcpy(optval, &value, sizeof value);
  *optlen = need;
  return 0;
}

int ioctlsocket(SOCKET s, std::int32_t cmd, u_long* argp) {
  if (!Enter()) return SOCKET_ERROR;
  SocketView v;
  if (!wsock::View(s, v)) return SOCKET_ERROR;
  if (argp == nullptr) return Fail(WSAEFAULT);
  switch (cmd) {
    case FIONBIO: {
      bool refused = false;
      wsock::Modify(s, [&](Socket& k) {
        // A selected socket stays non-blocking.
        if (*argp == 0 && k.window != 0)
          refused = true;
        else
          k.nonBlocking = *argp != 0;
      });
      return refused ? Fail(WSAEINVAL) : 0;
    }
    case FIONREAD: {
      int waiting = 0;
      if (!v.listening && ::ioctl(v.fd, sys::kFionRead, &waiting) != 0)
        return wsock::FailFromErrno(s, errno);
      *argp = static_cast<u_long>(waiting);
      return 0;
    }
    case SIOCATMARK: {
      // Winsock answers TRUE when no urgent data is waiting to be read.
      int atMark = 0;
      if (::ioctl(v.fd, sys::kSiocAtMark, &atMark) != 0) return wsock::FailFromErrno(s, errno);
      pollfd p{v.fd, POLLPRI, 0};
      const bool urgent = ::poll(&p, 1, 0) > 0 && (p.revents & POLLPRI) != 0;
      *argp = (!urgent || atMark != 0) ? 1 : 0;
      return 0;
    }
    default:
      return Fail(WSAEINVAL);
  }
}

int select(int /*nfds: ignored, as by Winsock*/, fd_set* readfds, fd_set* writefds,
           fd_set* exceptfds, const timeval* timeout) {
  if (!Enter()) return SOCKET_ERROR;
  struct Watched {
    SOCKET s;
    bool connecting;
  };
  std::vector<pollfd> polls;
  std::vector<Watched> watched;
  {
    std::lock_guard<std::mutex> guard(wsock::Sockets().lock);
    for (fd_set* set : {readfds, writefds, exceptfds}) {
      if (set == nullptr) continue;
      if (set->fd_count > WS_FD_SETSIZE) return Fail(WSAEINVAL);
      for (u_int i = 0; i < set->fd_count; ++i) {
        const SOCKET s = set->fd_array[i];
        const Socket* k = wsock::FindSocket(s);
        if (k == nullptr) return Fail(WSAENOTSOCK);
        auto it = std::find_if(watched.begin(), watched.end(),
                               [&](const Watched& w) { return w.s == s; });
        std::size_t index = static_cast<std::size_t>(it - watched.begin());
        if (it == watched.end()) {
          watched.push_back({s, k->link == Socket::Link::Connecting});
          polls.push_back(pollfd{k->fd, 0, 0});
        }
        polls[index].events |= set == readfds ? POLLIN : set == writefds ? POLLOUT : POLLPRI;
      }
    }
  }
  if (polls.empty()) return Fail(WSAEINVAL);
  int timeoutMs = -1;
  if (timeout != nullptr) {
    if (timeout->tv_sec < 0 || timeout->tv_usec < 0) return Fail(WSAEINVAL);
    const long long ms = static_cast<long long>(timeout->tv_sec) * 1000 +
                         (static_cast<long long>(timeout->tv_usec) + 999) / 1000;
    timeoutMs = static_cast<int>(std::min<long long>(ms, INT_MAX));
  }
  int n;
  do {
    n = ::poll(polls.data(), polls.size(), timeoutMs);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return Fail(wsock::WinsockError(errno));
  // A failed connect shows in the exception set, not as writable.
  const auto ready = [&](const fd_set* set, std::size_t i) {
    const short r = polls[i].revents;
    const bool failed = (r & POLLERR) != 0;
    if (set == readfds) return (r & (POLLIN | POLLHUP | POLLERR)) != 0 && !watched[i].connecting;
    if (set == writefds) return (r & POLLOUT) != 0 && !(watched[i].connecting && failed);
    return (r & POLLPRI) != 0 || (watched[i].connecting && failed);
  };
  int count = 0;
  for (fd_set* set : {readfds, writefds, exceptfds}) {
    if (set == nullptr) continue;
    fd_set result{};
    for (u_int i = 0; i < set->fd_count; ++i) {
      const SOCKET s = set->fd_array[i];
      const auto it =
          std::find_if(watched.begin(), watched.end(), [&](const Watched& w) { return w.s == s; });
      if (ready(set, static_cast<std::size_t>(it - watched.begin()))) FdSet(s, result);
    }
    *set = result;
    count += static_cast<int>(result.fd_count);
  }
  return count;
}

std::vector<ProcEntry> WinsockEntryPoints() {
  return {
      {"accept", ProcAddressOf<accept_fn>(&accept)},
      {"bind", ProcAddressOf<bind_fn>(&bind)},
      {"closesocket", ProcAddressOf<closesocket_fn>(&closesocket)},
      {"connect", ProcAddressOf<connect_fn>(&connect)},
      {"ioctlsocket", ProcAddressOf<ioctlsocket_fn>(&ioctlsocket)},
      {"getpeername", ProcAddressOf<getpeername_fn>(&getpeername)},
      {"getsockname", ProcAddressOf<getsockname_fn>(&getsockname)},
      {"getsockopt", ProcAddressOf<getsockopt_fn>(&getsockopt)},
      {"htonl", ProcAddressOf<htonl_fn>(&htonl)},
      {"htons", ProcAddressOf<htons_fn>(&htons)},
      {"inet_addr", ProcAddressOf<inet_addr_fn>(&inet_addr)},
      {"inet_ntoa", ProcAddressOf<inet_ntoa_fn>(&inet_ntoa)},
      {"listen", ProcAddressOf<listen_fn>(&listen)},
      {"ntohl", ProcAddressOf<ntohl_fn>(&ntohl)},
      {"ntohs", ProcAddressOf<ntohs_fn>(&ntohs)},
      {"recv", ProcAddressOf<recv_fn>(&recv)},
      {"recvfrom", ProcAddressOf<recvfrom_fn>(&recvfrom)},
      {"select", ProcAddressOf<select_fn>(&select)},
      {"send", ProcAddressOf<send_fn>(&send)},
      {"sendto", ProcAddressOf<sendto_fn>(&sendto)},
      {"setsockopt", ProcAddressOf<setsockopt_fn>(&setsockopt)},
      {"shutdown", ProcAddressOf<shutdown_fn>(&shutdown)},
      {"socket", ProcAddressOf<socket_fn>(&socket)},
      {"gethostbyaddr", ProcAddressOf<gethostbyaddr_fn>(&gethostbyaddr)},
      {"gethostbyname", ProcAddressOf<gethostbyname_fn>(&gethostbyname)},
      {"gethostname", ProcAddressOf<gethostname_fn>(&gethostname)},
      {"getservbyport", ProcAddressOf<getservbyport_fn>(&getservbyport)},
      {"getservbyname", ProcAddressOf<getservbyname_fn>(&getservbyname)},
      {"getprotobynumber", ProcAddressOf<getprotobynumber_fn>(&getprotobynumber)},
      {"getprotobyname", ProcAddressOf<getprotobyname_fn>(&getprotobyname)},
      {"WSAStartup", ProcAddressOf<WSAStartup_fn>(&WSAStartup)},
      {"WSACleanup", ProcAddressOf<WSACleanup_fn>(&WSACleanup)},
      {"WSASetLastError", ProcAddressOf<WSASetLastError_fn>(&WSASetLastError)},
      {"WSAGetLastError", ProcAddressOf<WSAGetLastError_fn>(&WSAGetLastError)},
      {"WSAIsBlocking", ProcAddressOf<WSAIsBlocking_fn>(&WSAIsBlocking)},
      {"WSAUnhookBlockingHook", ProcAddressOf<WSAUnhookBlockingHook_fn>(&WSAUnhookBlockingHook)},
      {"WSASetBlockingHook", ProcAddressOf<WSASetBlockingHook_fn>(&WSASetBlockingHook)},
      {"WSACancelBlockingCall", ProcAddressOf<WSACancelBlockingCall_fn>(&WSACancelBlockingCall)},
      {"WSAAsyncGetServByName", ProcAddressOf<WSAAsyncGetServByName_fn>(&WSAAsyncGetServByName)},
      {"WSAAsyncGetServByPort", ProcAddressOf<WSAAsyncGetServByPort_fn>(&WSAAsyncGetServByPort)},
      {"WSAAsyncGetProtoByName", ProcAddressOf<WSAAsyncGetProtoByName_fn>(&WSAAsyncGetProtoByName)},
      {"WSAAsyncGetProtoByNumber",
       ProcAddressOf<WSAAsyncGetProtoByNumber_fn>(&WSAAsyncGetProtoByNumber)},
      {"WSAAsyncGetHostByName", ProcAddressOf<WSAAsyncGetHostByName_fn>(&WSAAsyncGetHostByName)},
      {"WSAAsyncGetHostByAddr", ProcAddressOf<WSAAsyncGetHostByAddr_fn>(&WSAAsyncGetHostByAddr)},
      {"WSACancelAsyncRequest", ProcAddressOf<WSACancelAsyncRequest_fn>(&WSACancelAsyncRequest)},
      {"WSAAsyncSelect", ProcAddressOf<WSAAsyncSelect_fn>(&WSAAsyncSelect)},
  };
}

void RegisterWinsockModule() {
  RegisterModule("WSOCK32", WinsockEntryPoints());
}

namespace {
// The module is in the table before main runs, as a system DLL is always
// there to be loaded. The library is linked whole (platform/winsock's
// CMakeLists.txt), so this object is kept although nothing names it.
const bool g_registered = (RegisterWinsockModule(), true);
}  // namespace

}  // namespace platform
