// The socket library over real loopback sockets on 127.0.0.1: start-up,
// error numbers, blocking calls, conversions, name services, and the
// notifications of WSAAsyncSelect with their re-enabling rules.
#include "platform/winsock/Winsock.h"
#include "platform/Pump.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "platform/Clock.h"
#include "platform/Messages.h"

// Inside the namespace, Winsock's u_long, fd_set and timeval are found
// before the system's own of <sys/types.h>.
namespace platform {
namespace {

constexpr UINT kSocketMessage = 0x0B11;
constexpr UINT kLookupMessage = WM_USER + 7;

// One notification as the window received it.
struct Note {
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  int Event() const { return WSAGETSELECTEVENT(lParam); }
  int Error() const { return WSAGETSELECTERROR(lParam); }
};

sockaddr_in Loopback(u_short portNet) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = portNet;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

const sockaddr* AsAddr(const sockaddr_in& a) {
  return reinterpret_cast<const sockaddr*>(&a);
}

// A socket bound to 127.0.0.1 on an ephemeral port; the port (network
// order) in *port. Bound and not listening, it refuses connects.
SOCKET Bound(u_short* port) {
  SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
  EXPECT_NE(s, INVALID_SOCKET);
  sockaddr_in a = Loopback(0);
  EXPECT_EQ(bind(s, AsAddr(a), sizeof a), 0) << WSAGetLastError();
  int len = sizeof a;
  EXPECT_EQ(getsockname(s, reinterpret_cast<sockaddr*>(&a), &len), 0);
  *port = a.sin_port;
  return s;
}

SOCKET Listener(u_short* port) {
  SOCKET s = Bound(port);
  EXPECT_EQ(listen(s, SOMAXCONN), 0) << WSAGetLastError();
  return s;
}

int ConnectTo(SOCKET s, u_short port, u_long addressHost = INADDR_LOOPBACK) {
  sockaddr_in a = Loopback(port);
  a.sin_addr.s_addr = htonl(addressHost);
  return connect(s, AsAddr(a), sizeof a);
}

// A blocking client connected to the port.
SOCKET Client(u_short port) {
  SOCKET c = socket(AF_INET, SOCK_STREAM, 0);
  EXPECT_EQ(ConnectTo(c, port), 0) << WSAGetLastError();
  return c;
}

// A connected pair: a blocking client and the socket accepted for it.
void Pair(SOCKET* client, SOCKET* server) {
  u_short port;
  SOCKET l = Listener(&port);
  *client = Client(port);
  *server = accept(l, nullptr, nullptr);
  EXPECT_NE(*server, INVALID_SOCKET) << WSAGetLastError();
  closesocket(l);
}

// Closes with linger on and no time: the peer sees a reset.
void ResetAndClose(SOCKET s) {
  const linger abortive{1, 0};
  EXPECT_EQ(setsockopt(s, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abortive),
                       sizeof abortive),
            0);
  EXPECT_EQ(closesocket(s), 0);
}

// Waits until the socket is readable (data or end) as the system sees it.
bool Readable(SOCKET s) {
  fd_set set;
  FdZero(set);
  FdSet(s, set);
  timeval wait{20, 0};
  return select(0, &set, nullptr, nullptr, &wait) == 1;
}

class WinsockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetMessageLoopForTesting();
    WSADATA data;
    ASSERT_EQ(WSAStartup(MAKEWORD(1, 1), &data), 0);
    window_ = AllocateHWnd([this](HWND, UINT msg, WPARAM wParam, LPARAM lParam) {
      notes_.push_back({msg, wParam, lParam});
      return 0;
    });
  }
  void TearDown() override {
    // The last clean-up closes whatever a test left open.
    EXPECT_EQ(WSACleanup(), 0);
    ResetMessageLoopForTesting();
  }

  // Lets the loop look at every descriptor a few times without waiting and
  // dispatches what that posts. Used after the condition a notification
  // would follow from is known to hold, to show that none comes.
  static void Settle() {
    for (int i = 0; i < 4; ++i) {
      WaitForWork(0);
      MSG msg;
      while (PeekMessage(msg, true))
        DispatchMessage(msg);
    }
  }

  int Count(SOCKET s, int event) const {
    int n = 0;
    for (const Note& note : notes_)
      if (note.message == kSocketMessage && note.wParam == s && note.Event() == event) ++n;
    return n;
  }
  const Note* Find(SOCKET s, int event) const {
    for (const Note& note : notes_)
      if (note.message == kSocketMessage && note.wParam == s && note.Event() == event) return &note;
    return nullptr;
  }
  const Note* WaitFor(SOCKET s, int event, int count = 1) {
    PumpUntil([&] { return Count(s, event) >= count; });
    return Find(s, event);
  }
  int CountFor(SOCKET s) const {
    int n = 0;
    for (const Note& note : notes_)
      n += note.wParam == s ? 1 : 0;
    return n;
  }

  HWND window_ = 0;
  std::vector<Note> notes_;
};

// --- start-up ---

struct StartupCase {
  WORD requested;
  int result;
};

class WinsockStartupTest : public ::testing::TestWithParam<StartupCase> {};

TEST_P(WinsockStartupTest, GrantsOneOneAndRefusesLess) {
  WSADATA data;
  EXPECT_EQ(WSAStartup(GetParam().requested, &data), GetParam().result);
  EXPECT_EQ(data.wVersion, MAKEWORD(1, 1));
  EXPECT_EQ(data.wHighVersion, MAKEWORD(1, 1));
  EXPECT_STRNE(data.szDescription, "");
  if (GetParam().result == 0) {
    EXPECT_EQ(WSACleanup(), 0);
  }
}

INSTANTIATE_TEST_SUITE_P(Versions, WinsockStartupTest,
                         ::testing::Values(StartupCase{MAKEWORD(1, 1), 0},
                                           StartupCase{MAKEWORD(2, 2), 0},
                                           StartupCase{MAKEWORD(1, 0), WSAVERNOTSUPPORTED},
                                           StartupCase{MAKEWORD(0, 9), WSAVERNOTSUPPORTED}));

TEST(WinsockLifetimeTest, CallsNeedStartupAndTheLastCleanupClosesSockets) {
  EXPECT_EQ(socket(AF_INET, SOCK_STREAM, 0), INVALID_SOCKET);
  EXPECT_EQ(WSAGetLastError(), WSANOTINITIALISED);
  EXPECT_EQ(WSACleanup(), SOCKET_ERROR);
  // The conversions need no start-up.
  EXPECT_EQ(htons(0x1234), 0x3412);
  EXPECT_EQ(inet_addr("1.2.3.4"), htonl(0x01020304));

  WSADATA data;
  ASSERT_EQ(WSAStartup(MAKEWORD(1, 1), &data), 0);
  ASSERT_EQ(WSAStartup(MAKEWORD(1, 1), &data), 0);
  SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_NE(s, INVALID_SOCKET);
  EXPECT_EQ(WSACleanup(), 0);  // one start-up is left: s stays
  u_long waiting = 7;
  EXPECT_EQ(ioctlsocket(s, FIONREAD, &waiting), 0);
  EXPECT_EQ(waiting, 0u);
  EXPECT_EQ(WSACleanup(), 0);
  ASSERT_EQ(WSAStartup(MAKEWORD(1, 1), &data), 0);
  EXPECT_EQ(ioctlsocket(s, FIONREAD, &waiting), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
  EXPECT_EQ(WSACleanup(), 0);
}

TEST(WinsockLifetimeTest, LastErrorBelongsToTheThread) {
  WSASetLastError(WSAECONNRESET);
  std::thread([] {
    EXPECT_EQ(WSAGetLastError(), 0);
    WSASetLastError(WSAETIMEDOUT);
  }).join();
  EXPECT_EQ(WSAGetLastError(), WSAECONNRESET);
}

// --- error numbers ---

struct ErrorCase {
  const char* name;
  std::function<int()> call;  // returns the call's result
  int error;
};

class WinsockErrorTest : public WinsockTest, public ::testing::WithParamInterface<ErrorCase> {};

TEST_P(WinsockErrorTest, FailsWithTheWinsockNumber) {
  WSASetLastError(0);
  EXPECT_EQ(GetParam().call(), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(
    Calls, WinsockErrorTest,
    ::testing::Values(
        ErrorCase{"RefusedConnect",
                  [] {
                    u_short port;
                    Bound(&port);
                    return ConnectTo(socket(AF_INET, SOCK_STREAM, 0), port);
                  },
                  WSAECONNREFUSED},
        ErrorCase{"AddressInUse",
                  [] {
                    u_short port;
                    Listener(&port);
                    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
                    sockaddr_in a = Loopback(port);
                    return bind(s, AsAddr(a), sizeof a);
                  },
                  WSAEADDRINUSE},
        ErrorCase{"AddressNotLocal",
                  [] {
                    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
                    sockaddr_in a = Loopback(0);
                    a.sin_addr.s_addr = inet_addr("192.0.2.1");  // bound only, never sent to
                    return bind(s, AsAddr(a), sizeof a);
                  },
                  WSAEADDRNOTAVAIL},
        ErrorCase{"ConnectToAny",
                  [] { return ConnectTo(socket(AF_INET, SOCK_STREAM, 0), htons(21), 0); },
                  WSAEADDRNOTAVAIL},
        ErrorCase{"NotASocket", [] { return recv(12345, nullptr, 0, 0); }, WSAENOTSOCK},
        ErrorCase{"InvalidSocket", [] { return send(INVALID_SOCKET, "x", 1, 0); }, WSAENOTSOCK},
        ErrorCase{"WouldBlock",
                  [] {
                    SOCKET c, s;
                    Pair(&c, &s);
                    u_long on = 1;
                    ioctlsocket(s, FIONBIO, &on);
                    char b[4];
                    return recv(s, b, sizeof b, 0);
                  },
                  WSAEWOULDBLOCK},
        ErrorCase{"SendAfterShutdown",
                  [] {
                    SOCKET c, s;
                    Pair(&c, &s);
                    shutdown(c, SD_SEND);
                    return send(c, "x", 1, 0);
                  },
                  WSAESHUTDOWN},
        ErrorCase{"ShutdownOfUnconnected",
                  [] { return shutdown(socket(AF_INET, SOCK_STREAM, 0), SD_BOTH); }, WSAENOTCONN},
        ErrorCase{"PeerOfUnconnected",
                  [] {
                    sockaddr_in a;
                    int len = sizeof a;
                    return getpeername(socket(AF_INET, SOCK_STREAM, 0),
                                       reinterpret_cast<sockaddr*>(&a), &len);
                  },
                  WSAENOTCONN},
        ErrorCase{"NameOfUnbound",
                  [] {
                    sockaddr_in a;
                    int len = sizeof a;
                    return getsockname(socket(AF_INET, SOCK_STREAM, 0),
                                       reinterpret_cast<sockaddr*>(&a), &len);
                  },
                  WSAEINVAL},
        ErrorCase{"ListenUnbound", [] { return listen(socket(AF_INET, SOCK_STREAM, 0), 5); },
                  WSAEINVAL},
        ErrorCase{"ShortAddress",
                  [] {
                    sockaddr_in a = Loopback(0);
                    return bind(socket(AF_INET, SOCK_STREAM, 0), AsAddr(a), 8);
                  },
                  WSAEFAULT},
        ErrorCase{"UnknownOptionLevel",
                  [] {
                    int on = 1;
                    return setsockopt(socket(AF_INET, SOCK_STREAM, 0), 42, SO_REUSEADDR,
                                      reinterpret_cast<const char*>(&on), sizeof on);
                  },
                  WSAEINVAL},
        ErrorCase{"UnknownOption",
                  [] {
                    int on = 1;
                    return setsockopt(socket(AF_INET, SOCK_STREAM, 0), SOL_SOCKET, 0x4242,
                                      reinterpret_cast<const char*>(&on), sizeof on);
                  },
                  WSAENOPROTOOPT},
        ErrorCase{"UnknownFamily", [] { return static_cast<int>(socket(23, SOCK_STREAM, 0)); },
                  WSAEAFNOSUPPORT},
        ErrorCase{"CancelWithoutBlockingCall", [] { return WSACancelBlockingCall(); }, WSAEINVAL}),
    [](const auto& info) { return std::string(info.param.name); });

// --- blocking calls ---

TEST_F(WinsockTest, BlockingCallsMoveAllTheData) {
  u_short port;
  SOCKET l = Listener(&port);
  std::string sent(300000, '\0');
  for (std::size_t i = 0; i < sent.size(); ++i)
    sent[i] = static_cast<char>(i * 7 + i / 251);
  int sentCount = 0;
  std::thread peer([&] {
    SOCKET c = Client(port);
    sentCount = send(c, sent.data(), static_cast<int>(sent.size()), 0);
    closesocket(c);
  });
  sockaddr_in from;
  int fromLen = sizeof from;
  SOCKET s = accept(l, reinterpret_cast<sockaddr*>(&from), &fromLen);
  ASSERT_NE(s, INVALID_SOCKET) << WSAGetLastError();
  EXPECT_EQ(fromLen, 16);
  EXPECT_EQ(from.sin_family, AF_INET);
  EXPECT_STREQ(inet_ntoa(from.sin_addr), "127.0.0.1");
  std::string received;
  char buffer[8192];
  for (;;) {
    const int n = recv(s, buffer, sizeof buffer, 0);
    ASSERT_GE(n, 0) << WSAGetLastError();
    if (n == 0) break;
    received.append(buffer, static_cast<std::size_t>(n));
  }
  peer.join();
  EXPECT_EQ(sentCount, static_cast<int>(sent.size()));
  EXPECT_TRUE(received == sent);
}

TEST_F(WinsockTest, BlockingHookRunsAndCancelEndsTheCall) {
  SOCKET c, s;
  Pair(&c, &s);
  static int calls;
  static int nestedError;
  calls = 0;
  nestedError = 0;
  FARPROC previous = WSASetBlockingHook([]() -> BOOL {
    EXPECT_TRUE(WSAIsBlocking());
    // No other call may be made while one blocks.
    if (socket(AF_INET, SOCK_STREAM, 0) == INVALID_SOCKET) nestedError = WSAGetLastError();
    if (++calls == 3) {
      EXPECT_EQ(WSACancelBlockingCall(), 0);
    }
    return 0;
  });
  ASSERT_NE(previous, nullptr);  // the default hook
  char b[4];
  EXPECT_EQ(recv(s, b, sizeof b, 0), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAEINTR);
  EXPECT_EQ(calls, 3);
  EXPECT_EQ(nestedError, WSAEINPROGRESS);
  EXPECT_FALSE(WSAIsBlocking());
  EXPECT_EQ(WSAUnhookBlockingHook(), 0);
  // Without the hook the call waits for the data.
  std::thread([c] { send(c, "ok", 2, 0); }).join();
  EXPECT_EQ(recv(s, b, sizeof b, 0), 2);
}

TEST_F(WinsockTest, DescriptorsAtTheToolkitLimitAreRefused) {
  std::vector<int> fillers;
  for (;;) {
    const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    fillers.push_back(fd);
    if (fd >= 1023) break;
  }
  EXPECT_EQ(socket(AF_INET, SOCK_STREAM, 0), INVALID_SOCKET);
  EXPECT_EQ(WSAGetLastError(), WSAEMFILE);
  ::close(fillers.back());
  fillers.pop_back();
  const SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
  EXPECT_NE(s, INVALID_SOCKET);  // on the last free descriptor below the limit
  closesocket(s);
  for (int fd : fillers)
    ::close(fd);
}

TEST_F(WinsockTest, OptionsTranslateWinsockNumbers) {
  SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
  const int minusOne = -1;  // how the dispatcher switches address reuse on
  EXPECT_EQ(setsockopt(s, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&minusOne), 4),
            0);
  int value = 0;
  int len = sizeof value;
  EXPECT_EQ(getsockopt(s, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<char*>(&value), &len), 0);
  EXPECT_EQ(value, 1);
  EXPECT_EQ(getsockopt(s, SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&value), &len), 0);
  EXPECT_EQ(value, SOCK_STREAM);
  const linger set{1, 7};
  EXPECT_EQ(setsockopt(s, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&set), sizeof set),
            0);
  linger got{};
  len = sizeof got;
  EXPECT_EQ(getsockopt(s, SOL_SOCKET, SO_LINGER, reinterpret_cast<char*>(&got), &len), 0);
  EXPECT_EQ(got.l_onoff, 1);
  EXPECT_EQ(got.l_linger, 7);
  EXPECT_EQ(getsockopt(s, SOL_SOCKET, SO_DONTLINGER, reinterpret_cast<char*>(&value), &len), 0);
  EXPECT_EQ(value, 0);
  len = 2;
  EXPECT_EQ(getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&value), &len),
            SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAEFAULT);
  // The type is read-only, for datagrams as for streams.
  SOCKET d = socket(AF_INET, SOCK_DGRAM, 0);
  len = sizeof value;
  EXPECT_EQ(getsockopt(d, SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&value), &len), 0);
  EXPECT_EQ(value, SOCK_DGRAM);
  EXPECT_EQ(setsockopt(d, SOL_SOCKET, SO_TYPE, reinterpret_cast<const char*>(&value), 4),
            SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAENOPROTOOPT);
  closesocket(d);
}

TEST_F(WinsockTest, SelectReportsReadableWritableAndAFailedConnect) {
  SOCKET c, s;
  Pair(&c, &s);
  fd_set readSet, writeSet;
  FdZero(readSet);
  FdSet(s, readSet);
  timeval zero{0, 0};
  EXPECT_EQ(select(0, &readSet, nullptr, nullptr, &zero), 0);
  EXPECT_EQ(readSet.fd_count, 0u);
  ASSERT_EQ(send(c, "abc", 3, 0), 3);
  FdSet(s, readSet);
  FdZero(writeSet);
  FdSet(c, writeSet);
  timeval wait{20, 0};
  EXPECT_EQ(select(0, &readSet, &writeSet, nullptr, &wait), 2);
  EXPECT_TRUE(FdIsSet(s, readSet));
  EXPECT_TRUE(FdIsSet(c, writeSet));
  u_long waiting = 0;
  EXPECT_EQ(ioctlsocket(s, FIONREAD, &waiting), 0);
  EXPECT_EQ(waiting, 3u);

  u_short freePort;
  SOCKET holder = Bound(&freePort);  // bound, not listening: connects are refused
  SOCKET refused = socket(AF_INET, SOCK_STREAM, 0);
  u_long on = 1;
  ASSERT_EQ(ioctlsocket(refused, FIONBIO, &on), 0);
  EXPECT_EQ(ConnectTo(refused, freePort), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
  fd_set failSet;
  FdZero(failSet);
  FdSet(refused, failSet);
  FdZero(writeSet);
  FdSet(refused, writeSet);
  EXPECT_EQ(select(0, nullptr, &writeSet, &failSet, &wait), 1);
  EXPECT_TRUE(FdIsSet(refused, failSet));
  EXPECT_FALSE(FdIsSet(refused, writeSet));
  closesocket(holder);
}

// --- conversions ---

struct AddressCase {
  const char* text;
  u_long hostOrder;
};

class InetAddrTest : public ::testing::TestWithParam<AddressCase> {};

TEST_P(InetAddrTest, ReadsDottedTextAsWinsockDoes) {
  EXPECT_EQ(inet_addr(GetParam().text), htonl(GetParam().hostOrder)) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Texts, InetAddrTest,
    ::testing::Values(AddressCase{"127.0.0.1", 0x7F000001}, AddressCase{"0.0.0.0", 0},
                      AddressCase{"192.168.1.2", 0xC0A80102},
                      AddressCase{"123.123.123.123", 0x7B7B7B7B},  // 15 characters
                      AddressCase{"10.1", 0x0A000001}, AddressCase{"10.1.2", 0x0A010002},
                      AddressCase{"2130706433", 0x7F000001}, AddressCase{"0x7f.1", 0x7F000001},
                      AddressCase{"017.0.0.1", 0x0F000001},
                      AddressCase{"1.2.3.4 trailing", 0x01020304},
                      AddressCase{"1.2.3.256", INADDR_NONE}, AddressCase{"1.2.3.4.5", INADDR_NONE},
                      AddressCase{"1..2.3", INADDR_NONE}, AddressCase{"1.2.3.", INADDR_NONE},
                      AddressCase{"08.1.1.1", INADDR_NONE}, AddressCase{"1.2.3.4x", INADDR_NONE},
                      AddressCase{"10.256.1", INADDR_NONE}, AddressCase{"4294967296", INADDR_NONE},
                      AddressCase{"", INADDR_NONE}, AddressCase{" 1.2.3.4", INADDR_NONE},
                      AddressCase{"localhost", INADDR_NONE},
                      AddressCase{"255.255.255.255", INADDR_NONE}));

TEST(WinsockConversionTest, NtoaAndByteOrder) {
  const char* texts[] = {"127.0.0.1", "0.0.0.0", "255.255.255.254", "192.168.1.2"};
  for (const char* text : texts) {
    in_addr a{inet_addr(text)};
    EXPECT_STREQ(inet_ntoa(a), text);
  }
  const u_short port = htons(21);
  unsigned char bytes[2];
  std::memcpy(bytes, &port, 2);
  EXPECT_EQ(bytes[0], 0);
  EXPECT_EQ(bytes[1], 21);
  EXPECT_EQ(ntohs(port), 21);
  EXPECT_EQ(ntohl(htonl(0x01020304)), 0x01020304u);
  const u_long address = htonl(0x7F000001);
  unsigned char addressBytes[4];
  std::memcpy(addressBytes, &address, 4);
  EXPECT_EQ(addressBytes[0], 127);
  EXPECT_EQ(addressBytes[3], 1);
}

// --- name services ---

struct ServiceCase {
  const char* name;
  const char* proto;
  int port;  // host order; 0: not in the table
};

class ServiceTest : public WinsockTest, public ::testing::WithParamInterface<ServiceCase> {};

TEST_P(ServiceTest, ReadsTheServicesTable) {
  servent* s = getservbyname(GetParam().name, GetParam().proto);
  if (GetParam().port == 0) {
    EXPECT_EQ(s, nullptr);
    EXPECT_EQ(WSAGetLastError(), WSANO_DATA);
    return;
  }
  ASSERT_NE(s, nullptr) << WSAGetLastError();
  EXPECT_EQ(s->s_port, static_cast<short>(htons(static_cast<u_short>(GetParam().port))));
  EXPECT_STREQ(s->s_name, GetParam().name);
  EXPECT_STREQ(s->s_proto, "tcp");
}

INSTANTIATE_TEST_SUITE_P(Names, ServiceTest,
                         ::testing::Values(ServiceCase{"ftp", "tcp", 21},
                                           ServiceCase{"telnet", "tcp", 23},
                                           ServiceCase{"ftp", nullptr, 21},
                                           ServiceCase{"no-such-service", "tcp", 0}));

TEST_F(WinsockTest, ServiceAndProtocolLookupsBothWays) {
  servent* s = getservbyport(htons(21), "tcp");
  ASSERT_NE(s, nullptr);
  EXPECT_STREQ(s->s_name, "ftp");
  protoent* p = getprotobyname("tcp");
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->p_proto, IPPROTO_TCP);
  p = getprotobynumber(IPPROTO_UDP);
  ASSERT_NE(p, nullptr);
  EXPECT_STREQ(p->p_name, "udp");
  EXPECT_EQ(getprotobyname("no-such-protocol"), nullptr);
  EXPECT_EQ(WSAGetLastError(), WSANO_DATA);
}

TEST_F(WinsockTest, HostLookupsOfLoopback) {
  for (const char* name : {"localhost", "127.0.0.1"}) {
    hostent* h = gethostbyname(name);
    ASSERT_NE(h, nullptr) << name << " " << WSAGetLastError();
    EXPECT_EQ(h->h_addrtype, AF_INET);
    EXPECT_EQ(h->h_length, 4);
    ASSERT_NE(h->h_addr_list[0], nullptr);
    u_long first;
    std::memcpy(&first, h->h_addr_list[0], 4);
    EXPECT_EQ(first, htonl(INADDR_LOOPBACK)) << name;
  }
  const u_long loopback = htonl(INADDR_LOOPBACK);
  hostent* h = gethostbyaddr(reinterpret_cast<const char*>(&loopback), 4, AF_INET);
  ASSERT_NE(h, nullptr) << WSAGetLastError();
  EXPECT_STREQ(h->h_name, "localhost");
  EXPECT_EQ(gethostbyaddr(reinterpret_cast<const char*>(&loopback), 4, 23), nullptr);
  EXPECT_EQ(WSAGetLastError(), WSAEAFNOSUPPORT);
  char name[256];
  EXPECT_EQ(gethostname(name, sizeof name), 0);
  EXPECT_GT(std::strlen(name), 0u);
  EXPECT_EQ(gethostname(name, 1), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAEFAULT);
}

TEST_F(WinsockTest, AsyncLookupPostsItsResultOrTheSizeItNeeds) {
  alignas(hostent) char buffer[MAXGETHOSTSTRUCT];
  HANDLE request =
      WSAAsyncGetHostByName(window_, kLookupMessage, "localhost", buffer, sizeof buffer);
  ASSERT_NE(request, nullptr);
  ASSERT_TRUE(PumpUntil([&] { return !notes_.empty(); }));
  EXPECT_EQ(notes_[0].message, kLookupMessage);
  EXPECT_EQ(notes_[0].wParam, reinterpret_cast<std::uintptr_t>(request));
  EXPECT_EQ(WSAGETASYNCERROR(notes_[0].lParam), 0);
  const hostent* h = reinterpret_cast<const hostent*>(buffer);
  u_long first;
  std::memcpy(&first, h->h_addr_list[0], 4);
  EXPECT_EQ(first, htonl(INADDR_LOOPBACK));
  EXPECT_EQ(WSACancelAsyncRequest(request), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAEALREADY);

  alignas(servent) char small[8];
  HANDLE second = WSAAsyncGetServByName(window_, kLookupMessage, "ftp", "tcp", small, sizeof small);
  ASSERT_NE(second, nullptr);
  EXPECT_NE(second, request);
  ASSERT_TRUE(PumpUntil([&] { return notes_.size() == 2; }));
  EXPECT_EQ(WSAGETASYNCERROR(notes_[1].lParam), WSAENOBUFS);
  alignas(servent) char enough[MAXGETHOSTSTRUCT];
  ASSERT_GT(WSAGETASYNCBUFLEN(notes_[1].lParam), 8);
  ASSERT_LE(WSAGETASYNCBUFLEN(notes_[1].lParam), MAXGETHOSTSTRUCT);
  WSAAsyncGetServByName(window_, kLookupMessage, "ftp", "tcp", enough,
                        WSAGETASYNCBUFLEN(notes_[1].lParam));
  ASSERT_TRUE(PumpUntil([&] { return notes_.size() == 3; }));
  EXPECT_EQ(WSAGETASYNCERROR(notes_[2].lParam), 0);
  EXPECT_EQ(reinterpret_cast<const servent*>(enough)->s_port, static_cast<short>(htons(21)));
}

// --- notifications ---

TEST_F(WinsockTest, ConnectNotifiesConnectThenWriteOnce) {
  u_short port;
  SOCKET l = Listener(&port);
  SOCKET c = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_EQ(WSAAsyncSelect(c, window_, kSocketMessage, FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE),
            0);
  EXPECT_EQ(ConnectTo(c, port), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
  const Note* connected = WaitFor(c, FD_CONNECT);
  ASSERT_NE(connected, nullptr);
  EXPECT_EQ(connected->Error(), 0);
  ASSERT_NE(WaitFor(c, FD_WRITE), nullptr);
  Settle();
  EXPECT_EQ(Count(c, FD_CONNECT), 1);
  EXPECT_EQ(Count(c, FD_WRITE), 1);
  EXPECT_EQ(CountFor(c), 2);  // nothing to read, nothing closed
  EXPECT_EQ(notes_[0].Event(), FD_CONNECT);
  closesocket(l);
}

TEST_F(WinsockTest, RefusedConnectNotifiesConnectWithTheError) {
  u_short freePort;
  SOCKET holder = Bound(&freePort);  // bound, not listening
  SOCKET c = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_EQ(WSAAsyncSelect(c, window_, kSocketMessage, FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE),
            0);
  EXPECT_EQ(ConnectTo(c, freePort), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
  const Note* connected = WaitFor(c, FD_CONNECT);
  ASSERT_NE(connected, nullptr);
  EXPECT_EQ(connected->Error(), WSAECONNREFUSED);
  Settle();
  EXPECT_EQ(CountFor(c), 1);  // no write, no close
  closesocket(holder);
}

TEST_F(WinsockTest, AcceptIsNotifiedAgainOnlyAfterAnAccept) {
  u_short port;
  SOCKET l = Listener(&port);
  ASSERT_EQ(WSAAsyncSelect(l, window_, kSocketMessage, FD_ACCEPT | FD_READ | FD_WRITE | FD_CLOSE),
            0);
  Client(port);
  Client(port);  // two callers wait
  ASSERT_NE(WaitFor(l, FD_ACCEPT), nullptr);
  Settle();
  EXPECT_EQ(Count(l, FD_ACCEPT), 1);
  SOCKET first = accept(l, nullptr, nullptr);
  ASSERT_NE(first, INVALID_SOCKET);
  ASSERT_NE(WaitFor(l, FD_ACCEPT, 2), nullptr);
  SOCKET second = accept(l, nullptr, nullptr);
  ASSERT_NE(second, INVALID_SOCKET);
  // The accepted sockets took the listener's selection: each may write.
  ASSERT_NE(WaitFor(first, FD_WRITE), nullptr);
  ASSERT_NE(WaitFor(second, FD_WRITE), nullptr);
  Settle();
  EXPECT_EQ(Count(l, FD_ACCEPT), 2);
  EXPECT_EQ(CountFor(first), 1);
  u_long off = 0;
  EXPECT_EQ(ioctlsocket(first, FIONBIO, &off), SOCKET_ERROR);  // selected: stays non-blocking
  EXPECT_EQ(WSAGetLastError(), WSAEINVAL);
  EXPECT_EQ(accept(l, nullptr, nullptr), INVALID_SOCKET);
  EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
}

TEST_F(WinsockTest, ReadIsNotifiedAgainAfterARecvThatLeavesData) {
  SOCKET c, s;
  Pair(&c, &s);
  ASSERT_EQ(WSAAsyncSelect(s, window_, kSocketMessage, FD_READ | FD_CLOSE), 0);
  ASSERT_EQ(send(c, "0123456789", 10, 0), 10);
  ASSERT_NE(WaitFor(s, FD_READ), nullptr);
  Settle();
  EXPECT_EQ(Count(s, FD_READ), 1);  // not again before a recv
  char b[16];
  ASSERT_EQ(recv(s, b, 4, 0), 4);
  ASSERT_NE(WaitFor(s, FD_READ, 2), nullptr);  // six bytes are left
  ASSERT_EQ(recv(s, b, sizeof b, 0), 6);
  EXPECT_EQ(std::string(b, 6), "456789");
  Settle();
  EXPECT_EQ(Count(s, FD_READ), 2);  // nothing is left
  EXPECT_EQ(recv(s, b, sizeof b, 0), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
  ASSERT_EQ(send(c, "x", 1, 0), 1);
  ASSERT_NE(WaitFor(s, FD_READ, 3), nullptr);  // new data after the failed recv
}

TEST_F(WinsockTest, WriteIsNotifiedAfterASendThatWouldBlock) {
  SOCKET c, s;
  Pair(&c, &s);
  const int small = 4096;
  setsockopt(s, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&small), sizeof small);
  setsockopt(c, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&small), sizeof small);
  ASSERT_EQ(WSAAsyncSelect(s, window_, kSocketMessage, FD_WRITE), 0);
  ASSERT_NE(WaitFor(s, FD_WRITE), nullptr);  // connected and writable
  const std::string block(16384, 'w');
  int total = 0;
  for (;;) {
    const int n = send(s, block.data(), static_cast<int>(block.size()), 0);
    if (n == SOCKET_ERROR) break;
    total += n;
    ASSERT_LT(total, 64 << 20) << "the send never filled the buffers";
  }
  EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
  Settle();
  EXPECT_EQ(Count(s, FD_WRITE), 1);  // the peer has read nothing yet
  // The peer drains everything; room to send comes back once.
  std::thread reader([&] {
    std::vector<char> b(65536);
    for (int got = 0; got < total;) {
      const int n = recv(c, b.data(), static_cast<int>(b.size()), 0);
      if (n <= 0) return;
      got += n;
    }
  });
  ASSERT_NE(WaitFor(s, FD_WRITE, 2), nullptr);
  reader.join();
  Settle();
  EXPECT_EQ(Count(s, FD_WRITE), 2);
}

TEST_F(WinsockTest, CloseIsNotifiedOnceAfterTheDataWasRead) {
  SOCKET c, s;
  Pair(&c, &s);
  ASSERT_EQ(WSAAsyncSelect(s, window_, kSocketMessage, FD_READ | FD_WRITE | FD_CLOSE), 0);
  ASSERT_EQ(send(c, "abc", 3, 0), 3);
  ASSERT_EQ(closesocket(c), 0);
  ASSERT_NE(WaitFor(s, FD_READ), nullptr);
  Settle();
  EXPECT_EQ(Count(s, FD_CLOSE), 0);  // the data comes first
  char b[8];
  ASSERT_EQ(recv(s, b, sizeof b, 0), 3);
  const Note* closed = WaitFor(s, FD_CLOSE);
  ASSERT_NE(closed, nullptr);
  EXPECT_EQ(closed->Error(), 0);
  EXPECT_EQ(recv(s, b, sizeof b, 0), 0);
  Settle();
  EXPECT_EQ(Count(s, FD_CLOSE), 1);
  EXPECT_EQ(Count(s, FD_READ), 1);
}

TEST_F(WinsockTest, ResetIsNotifiedAsCloseWithConnReset) {
  SOCKET c, s;
  Pair(&c, &s);
  ASSERT_EQ(WSAAsyncSelect(s, window_, kSocketMessage, FD_READ | FD_CLOSE), 0);
  ResetAndClose(c);
  const Note* closed = WaitFor(s, FD_CLOSE);
  ASSERT_NE(closed, nullptr);
  EXPECT_EQ(closed->Error(), WSAECONNRESET);
  char b[4];
  EXPECT_EQ(recv(s, b, sizeof b, 0), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAECONNRESET);
  Settle();
  EXPECT_EQ(Count(s, FD_CLOSE), 1);
  EXPECT_EQ(Count(s, FD_READ), 0);
}

TEST_F(WinsockTest, DataBeforeAResetIsOfferedFirst) {
  SOCKET c, s;
  Pair(&c, &s);
  ASSERT_EQ(WSAAsyncSelect(s, window_, kSocketMessage, FD_READ | FD_CLOSE), 0);
  ASSERT_EQ(send(c, "abc", 3, 0), 3);
  ASSERT_TRUE(Readable(s));
  ResetAndClose(c);
  ASSERT_NE(WaitFor(s, FD_READ), nullptr);
  char b[8];
  EXPECT_EQ(recv(s, b, sizeof b, 0), 3);
  const Note* closed = WaitFor(s, FD_CLOSE);
  ASSERT_NE(closed, nullptr);
  EXPECT_EQ(closed->Error(), WSAECONNRESET);
  EXPECT_EQ(notes_.front().Event(), FD_READ);
}

TEST_F(WinsockTest, DatagramsCarryTheirSender) {
  SOCKET a = socket(AF_INET, SOCK_DGRAM, 0);
  SOCKET b = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in any = Loopback(0);
  ASSERT_EQ(bind(a, AsAddr(any), sizeof any), 0);
  ASSERT_EQ(bind(b, AsAddr(any), sizeof any), 0);
  sockaddr_in aName, bName;
  int len = sizeof aName;
  ASSERT_EQ(getsockname(a, reinterpret_cast<sockaddr*>(&aName), &len), 0);
  len = sizeof bName;
  ASSERT_EQ(getsockname(b, reinterpret_cast<sockaddr*>(&bName), &len), 0);
  ASSERT_EQ(WSAAsyncSelect(b, window_, kSocketMessage, FD_READ), 0);
  ASSERT_EQ(sendto(a, "ping", 4, 0, AsAddr(bName), sizeof bName), 4);
  ASSERT_NE(WaitFor(b, FD_READ), nullptr);
  char text[8];
  sockaddr_in from{};
  int fromLen = sizeof from;
  ASSERT_EQ(recvfrom(b, text, sizeof text, 0, reinterpret_cast<sockaddr*>(&from), &fromLen), 4);
  EXPECT_EQ(std::string(text, 4), "ping");
  EXPECT_EQ(fromLen, 16);
  EXPECT_EQ(from.sin_port, aName.sin_port);
  EXPECT_EQ(from.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
}

TEST_F(WinsockTest, NoEventsSilencesTheSocket) {
  SOCKET c, s;
  Pair(&c, &s);
  ASSERT_EQ(WSAAsyncSelect(s, window_, kSocketMessage, FD_READ | FD_WRITE | FD_CLOSE), 0);
  ASSERT_EQ(WSAAsyncSelect(s, window_, kSocketMessage, 0), 0);
  ASSERT_EQ(send(c, "abc", 3, 0), 3);
  ASSERT_EQ(shutdown(c, SD_SEND), 0);
  ASSERT_TRUE(Readable(s));
  Settle();
  EXPECT_EQ(CountFor(s), 0);
  // Still non-blocking: reading past the data does not wait.
  char b[8];
  EXPECT_EQ(recv(s, b, sizeof b, 0), 3);
  EXPECT_EQ(recv(s, b, sizeof b, 0), 0);
}

TEST_F(WinsockTest, ClosesocketStopsNotifications) {
  SOCKET c, s;
  Pair(&c, &s);
  ASSERT_EQ(WSAAsyncSelect(s, window_, kSocketMessage, FD_READ | FD_CLOSE), 0);
  ASSERT_EQ(send(c, "abc", 3, 0), 3);
  ASSERT_TRUE(Readable(s));
  ASSERT_EQ(closesocket(s), 0);
  Settle();
  EXPECT_EQ(CountFor(s), 0);
  // The descriptor comes back at once for a new socket; its handle does
  // not, and the closed handle stays no socket.
  SOCKET again = socket(AF_INET, SOCK_STREAM, 0);
  EXPECT_NE(again, s);
  char b[4];
  EXPECT_EQ(recv(s, b, sizeof b, 0), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
  Settle();
  EXPECT_EQ(CountFor(again), 0);
}

// --- shutdown after the connection ended ---

// How the connection of a pair ends before our side shuts it down.
struct EndedCase {
  const char* name;
  std::function<void(SOCKET ours, SOCKET peer)> end;
};

void PrintTo(const EndedCase& c, std::ostream* os) {
  *os << c.name;
}

class WinsockShutdownTest : public WinsockTest, public ::testing::WithParamInterface<EndedCase> {};

// The close sequence of a data connection shuts both sides down after the
// peer is gone; a socket that was connected stays so for shutdown until it
// is closed.
TEST_P(WinsockShutdownTest, ShutdownOfAConnectedSocketSucceedsAfterThePeerIsGone) {
  SOCKET c, s;
  Pair(&c, &s);
  GetParam().end(c, s);
  ASSERT_TRUE(Readable(c));
  EXPECT_EQ(shutdown(c, SD_SEND), 0) << WSAGetLastError();
  EXPECT_EQ(shutdown(c, SD_BOTH), 0) << WSAGetLastError();
  EXPECT_EQ(closesocket(c), 0);
}

INSTANTIATE_TEST_SUITE_P(Ends, WinsockShutdownTest,
                         ::testing::Values(EndedCase{"BothSidesClosed",
                                                     [](SOCKET ours, SOCKET peer) {
                                                       ASSERT_EQ(shutdown(ours, SD_SEND), 0);
                                                       ASSERT_EQ(closesocket(peer), 0);
                                                       char b[4];
                                                       ASSERT_TRUE(Readable(ours));
                                                       ASSERT_EQ(recv(ours, b, sizeof b, 0), 0);
                                                     }},
                                           EndedCase{"PeerReset",
                                                     [](SOCKET ours, SOCKET peer) {
                                                       ResetAndClose(peer);
                                                       ASSERT_TRUE(Readable(ours));
                                                       char b[4];
                                                       ASSERT_EQ(recv(ours, b, sizeof b, 0),
                                                                 SOCKET_ERROR);
                                                     }}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace platform
