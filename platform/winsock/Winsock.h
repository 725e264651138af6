// The socket library "WSOCK32": Windows Sockets 1.1 over POSIX sockets.
//
// The 46 entry points below keep their Winsock names and signatures and are
// registered in the module table (platform/Modules.h) under "WSOCK32", so
// the loader above binds them by name at run time. Types and constants are
// Winsock's own (a 16-byte sockaddr_in, hostent, servent, WSADATA, SOL_SOCKET
// 0xFFFF, ...), declared here in namespace platform. This header includes no
// system socket header; a translation unit that includes it must not include
// <sys/socket.h>, <netinet/in.h> or <netdb.h> either, since their macros
// share these names. Only platform/winsock/WinsockPosix.h does both, carefully.
// The C library declares u_long, fd_set and timeval of its own in the
// global namespace (through almost any header), so name them as
// platform::u_long and so on rather than through `using namespace`.
//
// Handles: a SOCKET is the number of a descriptor this library made; any
// other number is WSAENOTSOCK. Descriptors at or above 1024 are refused with
// WSAEMFILE, since the toolkit's select() cannot watch them.
//
// Errors: a failing call returns SOCKET_ERROR (or INVALID_SOCKET, nullptr,
// 0 for a handle) and leaves a Winsock error number for WSAGetLastError.
// The last error is per thread. Every entry point except the byte-order
// functions, inet_addr, inet_ntoa and the two last-error calls needs a
// successful WSAStartup first (else WSANOTINITIALISED).
//
// Blocking: a socket is blocking until ioctlsocket(FIONBIO) or
// WSAAsyncSelect makes it non-blocking. A blocking call waits on the
// descriptor; while a blocking hook is installed (WSASetBlockingHook) the
// wait calls the hook between short waits, and WSACancelBlockingCall from
// inside the hook ends the call with WSAEINTR. The default hook does
// nothing (it does not pump messages), so a blocking call without a hook
// simply waits.
//
// Notifications: WSAAsyncSelect(s, window, message, events) posts
// `message` to `window` with wParam = s and lParam = WSAMAKESELECTREPLY(
// event, error), through the message loop of platform/Messages.h, with
// Winsock's re-enabling rules:
//   FD_READ    when data waits; again only after a recv (or recvfrom) call,
//              when data is still waiting then.
//   FD_WRITE   once when a connect completes, for an accepted socket, when
//              WSAAsyncSelect finds the socket connected, and after a send
//              that failed with WSAEWOULDBLOCK once sending is possible.
//   FD_ACCEPT  when a caller waits; again only after an accept call.
//   FD_CONNECT once when a connect completes, with its error (for example
//              WSAECONNREFUSED) when it failed.
//   FD_CLOSE   once, when the peer has closed and the data before the close
//              has been read (error 0), or at once when the connection was
//              reset (WSAECONNRESET). Data that waits unread while FD_READ
//              is not selected holds the close back until a recv.
// An accepted socket inherits the listening socket's selection. Events 0
// stops notifications (the socket stays non-blocking); closesocket stops
// them too. Messages already posted stay in the queue, as with Winsock;
// since handles are not reused, such a message names no later socket.
// Selection and the calls that re-enable notifications belong to the main
// thread (the thread of the message loop).
//
// Lookups: gethostbyname resolves names and dotted addresses through the
// system's resolver (IPv4 only); getservbyname and getprotobyname read the
// system's services and protocols tables. Their results live in storage of
// the calling thread until its next lookup of the same kind. The WSAAsync*
// lookups run at once in the caller and post their completion message; so
// WSACancelAsyncRequest always finds the request completed (WSAEALREADY).
#pragma once

#include <cstdint>
#include <vector>

#include "platform/Messages.h"
#include "platform/Modules.h"

namespace platform {

// Win32 scalar types as Winsock uses them (Windows' long is 32 bits).
using BOOL = int;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using HANDLE = void*;
using u_char = unsigned char;
using u_short = std::uint16_t;
using u_int = std::uint32_t;
using u_long = std::uint32_t;

using SOCKET = std::uint32_t;
constexpr SOCKET INVALID_SOCKET = ~SOCKET{0};
constexpr int SOCKET_ERROR = -1;

// Address families, socket types, protocols.
constexpr int AF_UNSPEC = 0;
constexpr int AF_INET = 2;
constexpr int PF_INET = AF_INET;
constexpr int SOCK_STREAM = 1;
constexpr int SOCK_DGRAM = 2;
constexpr int SOCK_RAW = 3;
constexpr int IPPROTO_IP = 0;
constexpr int IPPROTO_TCP = 6;
constexpr int IPPROTO_UDP = 17;

constexpr u_long INADDR_ANY = 0x00000000;
constexpr u_long INADDR_LOOPBACK = 0x7F000001;  // host order
constexpr u_long INADDR_BROADCAST = 0xFFFFFFFF;
constexpr u_long INADDR_NONE = 0xFFFFFFFF;

// Socket options (level SOL_SOCKET unless noted).
constexpr int SOL_SOCKET = 0xFFFF;
constexpr int SO_DEBUG = 0x0001;
constexpr int SO_ACCEPTCONN = 0x0002;
constexpr int SO_REUSEADDR = 0x0004;
constexpr int SO_KEEPALIVE = 0x0008;
constexpr int SO_DONTROUTE = 0x0010;
constexpr int SO_BROADCAST = 0x0020;
constexpr int SO_USELOOPBACK = 0x0040;
constexpr int SO_LINGER = 0x0080;
constexpr int SO_OOBINLINE = 0x0100;
constexpr int SO_DONTLINGER = ~SO_LINGER;
constexpr int SO_SNDBUF = 0x1001;
constexpr int SO_RCVBUF = 0x1002;
constexpr int SO_SNDLOWAT = 0x1003;
constexpr int SO_RCVLOWAT = 0x1004;
constexpr int SO_SNDTIMEO = 0x1005;
constexpr int SO_RCVTIMEO = 0x1006;
constexpr int SO_ERROR = 0x1007;
constexpr int SO_TYPE = 0x1008;
constexpr int TCP_NODELAY = 0x0001;  // level IPPROTO_TCP

constexpr int MSG_OOB = 0x1;
constexpr int MSG_PEEK = 0x2;
constexpr int MSG_DONTROUTE = 0x4;

constexpr int SD_RECEIVE = 0;
constexpr int SD_SEND = 1;
constexpr int SD_BOTH = 2;

constexpr int SOMAXCONN = 5;

// ioctlsocket commands (Windows' long: the top bit makes FIONBIO negative).
constexpr std::int32_t FIONBIO = static_cast<std::int32_t>(0x8004667Eu);
constexpr std::int32_t FIONREAD = 0x4004667F;
constexpr std::int32_t SIOCATMARK = 0x40047307;

// WSAAsyncSelect events and the parts of a notification's lParam.
constexpr std::int32_t FD_READ = 0x01;
constexpr std::int32_t FD_WRITE = 0x02;
constexpr std::int32_t FD_OOB = 0x04;
constexpr std::int32_t FD_ACCEPT = 0x08;
constexpr std::int32_t FD_CONNECT = 0x10;
constexpr std::int32_t FD_CLOSE = 0x20;
constexpr LPARAM WSAMAKESELECTREPLY(int event, int error) {
  return static_cast<LPARAM>((static_cast<std::uint32_t>(error) << 16) |
                             (static_cast<std::uint32_t>(event) & 0xFFFF));
}
constexpr int WSAGETSELECTEVENT(LPARAM lParam) {
  return lParam & 0xFFFF;
}
constexpr int WSAGETSELECTERROR(LPARAM lParam) {
  return static_cast<int>((static_cast<std::uint32_t>(lParam) >> 16) & 0xFFFF);
}
// The WSAAsync* lookups complete with wParam = the request's handle and
// lParam = WSAMAKEASYNCREPLY(bytes the result needs, error).
constexpr LPARAM WSAMAKEASYNCREPLY(int bufferLength, int error) {
  return WSAMAKESELECTREPLY(bufferLength, error);
}
constexpr int WSAGETASYNCBUFLEN(LPARAM lParam) {
  return WSAGETSELECTEVENT(lParam);
}
constexpr int WSAGETASYNCERROR(LPARAM lParam) {
  return WSAGETSELECTERROR(lParam);
}
constexpr int MAXGETHOSTSTRUCT = 1024;

// Error numbers.
constexpr int WSABASEERR = 10000;
constexpr int WSAEINTR = 10004;
constexpr int WSAEBADF = 10009;
constexpr int WSAEACCES = 10013;
constexpr int WSAEFAULT = 10014;
constexpr int WSAEINVAL = 10022;
constexpr int WSAEMFILE = 10024;
constexpr int WSAEWOULDBLOCK = 10035;
constexpr int WSAEINPROGRESS = 10036;
constexpr int WSAEALREADY = 10037;
constexpr int WSAENOTSOCK = 10038;
constexpr int WSAEDESTADDRREQ = 10039;
constexpr int WSAEMSGSIZE = 10040;
constexpr int WSAEPROTOTYPE = 10041;
constexpr int WSAENOPROTOOPT = 10042;
constexpr int WSAEPROTONOSUPPORT = 10043;
constexpr int WSAESOCKTNOSUPPORT = 10044;
constexpr int WSAEOPNOTSUPP = 10045;
constexpr int WSAEPFNOSUPPORT = 10046;
constexpr int WSAEAFNOSUPPORT = 10047;
constexpr int WSAEADDRINUSE = 10048;
constexpr int WSAEADDRNOTAVAIL = 10049;
constexpr int WSAENETDOWN = 10050;
constexpr int WSAENETUNREACH = 10051;
constexpr int WSAENETRESET = 10052;
constexpr int WSAECONNABORTED = 10053;
constexpr int WSAECONNRESET = 10054;
constexpr int WSAENOBUFS = 10055;
constexpr int WSAEISCONN = 10056;
constexpr int WSAENOTCONN = 10057;
constexpr int WSAESHUTDOWN = 10058;
constexpr int WSAETOOMANYREFS = 10059;
constexpr int WSAETIMEDOUT = 10060;
constexpr int WSAECONNREFUSED = 10061;
constexpr int WSAELOOP = 10062;
constexpr int WSAENAMETOOLONG = 10063;
constexpr int WSAEHOSTDOWN = 10064;
constexpr int WSAEHOSTUNREACH = 10065;
constexpr int WSAENOTEMPTY = 10066;
constexpr int WSAEPROCLIM = 10067;
constexpr int WSAEUSERS = 10068;
constexpr int WSAEDQUOT = 10069;
constexpr int WSAESTALE = 10070;
constexpr int WSAEREMOTE = 10071;
constexpr int WSASYSNOTREADY = 10091;
constexpr int WSAVERNOTSUPPORTED = 10092;
constexpr int WSANOTINITIALISED = 10093;
constexpr int WSAEDISCON = 10101;
constexpr int WSASYSCALLFAILURE = 10107;
constexpr int WSAHOST_NOT_FOUND = 11001;
constexpr int WSATRY_AGAIN = 11002;
constexpr int WSANO_RECOVERY = 11003;
constexpr int WSANO_DATA = 11004;
constexpr int WSANO_ADDRESS = WSANO_DATA;

// Records, in Winsock's 32-bit layout where it matters (sockaddr_in).
struct in_addr {
  u_long s_addr;  // network order
};
struct sockaddr {
  u_short sa_family;
  char sa_data[14];
};
struct sockaddr_in {
  short sin_family;  // AF_INET
  u_short sin_port;  // network order
  in_addr sin_addr;
  char sin_zero[8];
};
static_assert(sizeof(sockaddr_in) == 16 && sizeof(sockaddr) == 16);

struct hostent {
  char* h_name;
  char** h_aliases;
  short h_addrtype;
  short h_length;
  char** h_addr_list;  // addresses of h_length bytes, network order, ending in nullptr
};
struct servent {
  char* s_name;
  char** s_aliases;
  short s_port;  // network order
  char* s_proto;
};
struct protoent {
  char* p_name;
  char** p_aliases;
  short p_proto;
};
struct linger {
  u_short l_onoff;
  u_short l_linger;  // seconds
};
struct timeval {
  std::int32_t tv_sec;
  std::int32_t tv_usec;
};

// Winsock's socket set: a count and an array of handles. The system's
// FD_SET family of macros owns those names, so the helpers are functions.
constexpr u_int WS_FD_SETSIZE = 64;
struct fd_set {
  u_int fd_count;
  SOCKET fd_array[WS_FD_SETSIZE];
};
inline void FdZero(fd_set& set) {
  set.fd_count = 0;
}
inline bool FdIsSet(SOCKET s, const fd_set& set) {
  for (u_int i = 0; i < set.fd_count; ++i)
    if (set.fd_array[i] == s) return true;
  return false;
}
inline void FdSet(SOCKET s, fd_set& set) {
  if (!FdIsSet(s, set) && set.fd_count < WS_FD_SETSIZE) set.fd_array[set.fd_count++] = s;
}
inline void FdClr(SOCKET s, fd_set& set) {
  for (u_int i = 0; i < set.fd_count; ++i) {
    if (set.fd_array[i] == s) {
      set.fd_array[i] = set.fd_array[--set.fd_count];
      return;
    }
  }
}

constexpr int WSADESCRIPTION_LEN = 256;
constexpr int WSASYS_STATUS_LEN = 128;
struct WSADATA {
  WORD wVersion;      // granted: low byte major, high byte minor
  WORD wHighVersion;  // the highest this library supports
  char szDescription[WSADESCRIPTION_LEN + 1];
  char szSystemStatus[WSASYS_STATUS_LEN + 1];
  unsigned short iMaxSockets;
  unsigned short iMaxUdpDg;
  char* lpVendorInfo;
};
constexpr WORD MAKEWORD(unsigned low, unsigned high) {
  return static_cast<WORD>((low & 0xFF) | ((high & 0xFF) << 8));
}

// A blocking hook: called while a blocking call waits; returns TRUE when it
// did some work and wants to be called again at once.
using FARPROC = BOOL (*)();

// The 46 entry points.
SOCKET accept(SOCKET s, sockaddr* addr, int* addrlen);
int bind(SOCKET s, const sockaddr* name, int namelen);
int closesocket(SOCKET s);
int connect(SOCKET s, const sockaddr* name, int namelen);
int ioctlsocket(SOCKET s, std::int32_t cmd, u_long* argp);
int getpeername(SOCKET s, sockaddr* name, int* namelen);
int getsockname(SOCKET s, sockaddr* name, int* namelen);
int getsockopt(SOCKET s, int level, int optname, char* optval, int* optlen);
u_long htonl(u_long hostlong);
u_short htons(u_short hostshort);
u_long inet_addr(const char* cp);
char* inet_ntoa(in_addr in);
int listen(SOCKET s, int backlog);
u_long ntohl(u_long netlong);
u_short ntohs(u_short netshort);
int recv(SOCKET s, char* buf, int len, int flags);
int recvfrom(SOCKET s, char* buf, int len, int flags, sockaddr* from, int* fromlen);
int select(int nfds, fd_set* readfds, fd_set* writefds, fd_set* exceptfds, const timeval* timeout);
int send(SOCKET s, const char* buf, int len, int flags);
int sendto(SOCKET s, const char* buf, int len, int flags, const sockaddr* to, int tolen);
int setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen);
int shutdown(SOCKET s, int how);
SOCKET socket(int af, int type, int protocol);
hostent* gethostbyaddr(const char* addr, int len, int type);
hostent* gethostbyname(const char* name);
int gethostname(char* name, int namelen);
servent* getservbyport(int port, const char* proto);
servent* getservbyname(const char* name, const char* proto);
protoent* getprotobynumber(int number);
protoent* getprotobyname(const char* name);
int WSAStartup(WORD wVersionRequested, WSADATA* lpWSAData);
int WSACleanup();
void WSASetLastError(int iError);
int WSAGetLastError();
BOOL WSAIsBlocking();
int WSAUnhookBlockingHook();
FARPROC WSASetBlockingHook(FARPROC lpBlockFunc);
int WSACancelBlockingCall();
HANDLE WSAAsyncGetServByName(HWND hWnd, u_int wMsg, const char* name, const char* proto, char* buf,
                             int buflen);
HANDLE WSAAsyncGetServByPort(HWND hWnd, u_int wMsg, int port, const char* proto, char* buf,
                             int buflen);
HANDLE WSAAsyncGetProtoByName(HWND hWnd, u_int wMsg, const char* name, char* buf, int buflen);
HANDLE WSAAsyncGetProtoByNumber(HWND hWnd, u_int wMsg, int number, char* buf, int buflen);
HANDLE WSAAsyncGetHostByName(HWND hWnd, u_int wMsg, const char* name, char* buf, int buflen);
HANDLE WSAAsyncGetHostByAddr(HWND hWnd, u_int wMsg, const char* addr, int len, int type, char* buf,
                             int buflen);
int WSACancelAsyncRequest(HANDLE hAsyncTaskHandle);
int WSAAsyncSelect(SOCKET s, HWND hWnd, u_int wMsg, std::int32_t lEvent);

// Typed pointers of the entry points, for binding the addresses that
// GetProcAddress returns: reinterpret_cast<platform::accept_fn>(address).
using accept_fn = decltype(&accept);
using bind_fn = decltype(&bind);
using closesocket_fn = decltype(&closesocket);
using connect_fn = decltype(&connect);
using ioctlsocket_fn = decltype(&ioctlsocket);
using getpeername_fn = decltype(&getpeername);
using getsockname_fn = decltype(&getsockname);
using getsockopt_fn = decltype(&getsockopt);
using htonl_fn = decltype(&htonl);
using htons_fn = decltype(&htons);
using inet_addr_fn = decltype(&inet_addr);
using inet_ntoa_fn = decltype(&inet_ntoa);
using listen_fn = decltype(&listen);
using ntohl_fn = decltype(&ntohl);
using ntohs_fn = decltype(&ntohs);
using recv_fn = decltype(&recv);
using recvfrom_fn = decltype(&recvfrom);
using select_fn = decltype(&select);
using send_fn = decltype(&send);
using sendto_fn = decltype(&sendto);
using setsockopt_fn = decltype(&setsockopt);
using shutdown_fn = decltype(&shutdown);
using socket_fn = decltype(&socket);
using gethostbyaddr_fn = decltype(&gethostbyaddr);
using gethostbyname_fn = decltype(&gethostbyname);
using gethostname_fn = decltype(&gethostname);
using getservbyport_fn = decltype(&getservbyport);
using getservbyname_fn = decltype(&getservbyname);
using getprotobynumber_fn = decltype(&getprotobynumber);
using getprotobyname_fn = decltype(&getprotobyname);
using WSAStartup_fn = decltype(&WSAStartup);
using WSACleanup_fn = decltype(&WSACleanup);
using WSASetLastError_fn = decltype(&WSASetLastError);
using WSAGetLastError_fn = decltype(&WSAGetLastError);
using WSAIsBlocking_fn = decltype(&WSAIsBlocking);
using WSAUnhookBlockingHook_fn = decltype(&WSAUnhookBlockingHook);
using WSASetBlockingHook_fn = decltype(&WSASetBlockingHook);
using WSACancelBlockingCall_fn = decltype(&WSACancelBlockingCall);
using WSAAsyncGetServByName_fn = decltype(&WSAAsyncGetServByName);
using WSAAsyncGetServByPort_fn = decltype(&WSAAsyncGetServByPort);
using WSAAsyncGetProtoByName_fn = decltype(&WSAAsyncGetProtoByName);
using WSAAsyncGetProtoByNumber_fn = decltype(&WSAAsyncGetProtoByNumber);
using WSAAsyncGetHostByName_fn = decltype(&WSAAsyncGetHostByName);
using WSAAsyncGetHostByAddr_fn = decltype(&WSAAsyncGetHostByAddr);
using WSACancelAsyncRequest_fn = decltype(&WSACancelAsyncRequest);
using WSAAsyncSelect_fn = decltype(&WSAAsyncSelect);

// The module "WSOCK32": its 46 entry points by name. This library
// registers them in the module table while the program starts;
// RegisterWinsockModule registers them again, for a test that replaced the
// module.
std::vector<ProcEntry> WinsockEntryPoints();
void RegisterWinsockModule();

}  // namespace platform
