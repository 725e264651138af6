// The socket wrapper over real loopback sockets on 127.0.0.1 and the real
// message loop: start-up and its failures, conversions and lookups, the
// error rule of each call, notifications and clean-up.
#include "socket/AdSocket.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <ostream>
#include <string>
#include <type_traits>
#include <vector>

#include "SocketSupport.h"
#include "dispatch/AdExcept.h"
#include "platform/toolkit/Forms.h"

namespace {

using platform::SOCKET;
using socket_test::BoundPort;
using socket_test::EntriesWith;
using socket_test::EntriesWithout;
using socket_test::Loopback;
using socket_test::PumpUntil;
using socket_test::ReplaceWinsockModule;
using socket_test::Settle;
using socket_test::SocketLayerTest;

constexpr const char* kNotInitialized = "Winsock not initialized - ";

static_assert(std::is_base_of_v<platform::Exception, EApdSocketException>);
static_assert(!std::is_base_of_v<EAPDException, EApdSocketException>);

// A library that grants version 2.2 when asked for 1.1.
int StartupGrantingNewerVersion(platform::WORD version, platform::WSADATA* data) {
  const int result = platform::WSAStartup(version, data);
  data->wVersion = platform::MAKEWORD(2, 2);
  return result;
}

// A library that records the clean-up calls it is given.
std::vector<std::string> g_cleanupCalls;
int RecordingCancelBlockingCall() {
  g_cleanupCalls.emplace_back("WSACancelBlockingCall");
  return platform::WSACancelBlockingCall();
}
int RecordingCleanup() {
  g_cleanupCalls.emplace_back("WSACleanup");
  return platform::WSACleanup();
}

// A library whose network subsystem is not ready.
int StartupNotReady(platform::WORD, platform::WSADATA*) {
  return platform::WSASYSNOTREADY;
}

// One report as text: "read 7", "error 7 10061".
std::string Line(const std::string& what, SOCKET s, const std::string& more = "") {
  return what + " " + std::to_string(s) + more;
}

// What a socket object reported, in order.
class EventLog {
 public:
  void Attach(TApdSocket& s) {
    s.OnWsAccept = [this](TObject*, SOCKET k) { Add("accept", k); };
    s.OnWsConnect = [this](TObject*, SOCKET k) { Add("connect", k); };
    s.OnWsDisconnect = [this](TObject*, SOCKET k) { Add("disconnect", k); };
    s.OnWsRead = [this](TObject*, SOCKET k) { Add("read", k); };
    s.OnWsWrite = [this](TObject*, SOCKET k) { Add("write", k); };
    s.OnWsError = [this](TObject*, SOCKET k, int code) {
      Add("error", k, " " + std::to_string(code));
    };
  }
  void Add(const std::string& what, SOCKET s, const std::string& more = "") {
    entries.push_back(Line(what, s, more));
  }
  bool Has(const std::string& entry) const {
    return std::find(entries.begin(), entries.end(), entry) != entries.end();
  }
  std::vector<std::string> entries;
};

// A listening socket of `owner` on 127.0.0.1, selected for accept; its port
// (network order) in *port.
SOCKET Listen(TApdSocket& owner, platform::u_short* port) {
  const SOCKET s = owner.CreateSocket();
  EXPECT_EQ(owner.BindSocket(s, Loopback(0)), 0);
  EXPECT_EQ(owner.ListenSocket(s, 5), 0);
  EXPECT_EQ(owner.AsyncSelect(s, platform::FD_ACCEPT | platform::FD_READ | platform::FD_CLOSE), 0);
  *port = BoundPort(s);
  return s;
}

// ---------------------------------------------------------------------------
// Start-up

struct StartupCase {
  const char* name;
  std::function<void()> prepare;  // changes the library before the object is made
  int initError;
  bool window;
  const char* reason;  // the text after "Winsock not initialized - "
};

class StartupTest : public SocketLayerTest, public ::testing::WithParamInterface<StartupCase> {};

TEST_P(StartupTest, RecordsTheProblemAndEveryOperationRaisesIt) {
  GetParam().prepare();
  TApdSocket s(nullptr);
  EXPECT_EQ(s.InitError(), GetParam().initError);
  EXPECT_EQ(s.Handle() != 0, GetParam().window);
  if (GetParam().window) {
    EXPECT_TRUE(platform::IsWindow(s.Handle()));
  }
  EXPECT_EQ(s.WinsockLoaded(), GetParam().initError != 9002);
  if (GetParam().initError == 0) {
    EXPECT_NO_THROW(s.CheckLoaded());
    EXPECT_EQ(s.StartupData().wVersion, platform::MAKEWORD(1, 1));
    return;
  }
  const std::string expected = kNotInitialized + std::string(GetParam().reason);
  const std::vector<std::function<void()>> operations = {
      [&] { s.CheckLoaded(); },
      [&] { s.CreateSocket(); },
      [&] { s.LastSocketError(); },
      [&] { s.HostToNetPort(21); },
      [&] { s.StringToNetAddress("127.0.0.1"); },
      [&] { s.LookupService("ftp"); },
      [&] { s.CloseSocket(1); },
  };
  for (const auto& operation : operations) {
    try {
      operation();
      ADD_FAILURE() << "no exception";
    } catch (const EApdSocketException& e) {
      EXPECT_EQ(e.ErrorCode(), GetParam().initError);
      EXPECT_EQ(std::string(e.what()), expected);
    }
  }
  // Still a component: events can be assigned.
  s.OnWsRead = [](TObject*, SOCKET) {};
  EXPECT_TRUE(static_cast<bool>(s.OnWsRead));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StartupTest,
    ::testing::Values(
        StartupCase{"Ready", [] {}, 0, true, ""},
        StartupCase{"NoLibrary",
                    [] { ASSERT_TRUE(platform::UnregisterModule(WinsockLibraryName)); }, 9002,
                    false, "Error loading Winsock DLL"},
        StartupCase{"EntryMissing",
                    [] { ReplaceWinsockModule(EntriesWithout("WSACancelAsyncRequest")); }, 9002,
                    false, "Error loading Winsock DLL"},
        StartupCase{"WrongVersion",
                    [] {
                      ReplaceWinsockModule(EntriesWith(
                          "WSAStartup", platform::ProcAddressOf(&StartupGrantingNewerVersion)));
                    },
                    9003, true, "Incorrect version of Winsock"},
        StartupCase{"StartupFails",
                    [] {
                      ReplaceWinsockModule(
                          EntriesWith("WSAStartup", platform::ProcAddressOf(&StartupNotReady)));
                    },
                    10091, false, "Network subsystem unusable"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SocketExceptionTest, PlainFormCarriesTheTextOfTheCode) {
  const EApdSocketException port(9005);
  EXPECT_EQ(port.ErrorCode(), 9005);
  EXPECT_STREQ(port.what(), "Specified port is not valid");
  const EApdSocketException refused(10061);
  EXPECT_EQ(refused.ErrorCode(), 10061);
  EXPECT_STREQ(refused.what(), "The attempt to connect was forcibly refused");
  const EApdSocketException startup = EApdSocketException::NotInitialized(10061);
  EXPECT_EQ(startup.ErrorCode(), 10061);
  EXPECT_EQ(std::string(startup.what()),
            std::string(kNotInitialized) + "The attempt to connect was forcibly refused");
}

// ---------------------------------------------------------------------------
// Conversions and lookups

using SocketTest = SocketLayerTest;

struct AddressCase {
  const char* text;
  platform::u_long hostOrder;  // INADDR_NONE: not an address
};

void PrintTo(const AddressCase& c, std::ostream* os) {
  *os << '"' << c.text << '"';
}

class AddressTest : public SocketLayerTest, public ::testing::WithParamInterface<AddressCase> {};

TEST_P(AddressTest, ReadsTheFirstFifteenCharacters) {
  TApdSocket s(nullptr);
  const platform::u_long expected = GetParam().hostOrder == platform::INADDR_NONE
                                        ? platform::INADDR_NONE
                                        : platform::htonl(GetParam().hostOrder);
  EXPECT_EQ(s.StringToNetAddress(GetParam().text), expected) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(Texts, AddressTest,
                         ::testing::Values(AddressCase{"127.0.0.1", 0x7F000001},
                                           // four three-digit parts: exactly 15 characters
                                           AddressCase{"100.200.100.200", 0x64C864C8},
                                           // the sixteenth character is not read
                                           AddressCase{"100.200.100.2009", 0x64C864C8},
                                           AddressCase{"localhost", platform::INADDR_NONE},
                                           AddressCase{"ftp.example", platform::INADDR_NONE}));

TEST_F(SocketTest, TheCutMatters) {
  // The whole text is no address; its first 15 characters are one.
  TApdSocket s(nullptr);
  EXPECT_EQ(platform::inet_addr("100.200.100.2009"), platform::INADDR_NONE);
  EXPECT_NE(s.StringToNetAddress("100.200.100.2009"), platform::INADDR_NONE);
}

TEST_F(SocketTest, PortsAndAddressesInNetworkOrder) {
  TApdSocket s(nullptr);
  const platform::u_short port = s.HostToNetPort(21);
  const auto* bytes = reinterpret_cast<const unsigned char*>(&port);
  EXPECT_EQ(bytes[0], 0);
  EXPECT_EQ(bytes[1], 21);
  EXPECT_EQ(s.NetToHostPort(s.HostToNetPort(2121)), 2121);
  EXPECT_EQ(s.NetAddressToString(platform::htonl(platform::INADDR_LOOPBACK)), "127.0.0.1");
  EXPECT_EQ(s.NetAddressToString(s.StringToNetAddress("100.200.100.200")), "100.200.100.200");
}

TEST_F(SocketTest, LookupHostName) {
  TApdSocket s(nullptr);
  const platform::u_long loopback = platform::htonl(platform::INADDR_LOOPBACK);
  EXPECT_EQ(s.LookupHostName("localhost"), loopback);
  EXPECT_EQ(s.LookupHostName("127.0.0.1"), loopback);
  // A label longer than 63 characters cannot be asked of a name server, so
  // the resolver answers from the hosts file alone: not found, and no
  // query leaves the machine.
  EXPECT_EQ(s.LookupHostName("no-such-host-" + std::string(70, 'x') + ".invalid"), 0u);
}

TEST_F(SocketTest, LookupServiceInHostOrder) {
  TApdSocket s(nullptr);
  EXPECT_EQ(s.LookupService("ftp"), 21);
  EXPECT_EQ(s.LookupService("telnet"), 23);
  EXPECT_EQ(s.LookupService("no-such-service"), 0);
}

// ---------------------------------------------------------------------------
// The error rule of each call

TEST_F(SocketTest, CreateSocketFailureRaisesThePlainForm) {
  TApdSocket s(nullptr);
  // Every descriptor below the socket library's limit of 1024 is taken, so
  // the next socket is refused. The process limit is raised above it where
  // allowed, so the process itself (and a sanitizer's run time) still finds
  // descriptors to use.
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit roomy = saved;
  roomy.rlim_cur = std::min<rlim_t>(saved.rlim_max, 1100);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &roomy), 0);
  std::vector<int> fillers;
  for (;;) {
    const int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (fd < 0) break;
    fillers.push_back(fd);
    if (fd >= 1023) break;
  }
  int code = 0;
  std::string message;
  try {
    s.CreateSocket();
  } catch (const EApdSocketException& e) {
    code = e.ErrorCode();
    message = e.what();
  }
  for (int fd : fillers)
    close(fd);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
  EXPECT_EQ(code, platform::WSAEMFILE);
  EXPECT_EQ(message, "Too many open files");
}

struct FailingCall {
  const char* name;
  std::function<int(TApdSocket&, SOCKET)> call;
};

class ReportedErrorTest : public SocketLayerTest,
                          public ::testing::WithParamInterface<FailingCall> {};

// 12345 is no socket of the library: every call fails with WSAENOTSOCK.
TEST_P(ReportedErrorTest, GoesToTheHandlerOrRaisesWithout) {
  constexpr SOCKET kNoSocket = 12345;
  TApdSocket s(nullptr);
  EventLog log;
  log.Attach(s);
  EXPECT_EQ(GetParam().call(s, kNoSocket), platform::SOCKET_ERROR);
  EXPECT_EQ(log.entries, std::vector<std::string>{Line("error", kNoSocket, " 10038")});
  EXPECT_EQ(s.LastSocketError(), platform::WSAENOTSOCK);

  s.OnWsError = nullptr;
  try {
    GetParam().call(s, kNoSocket);
    ADD_FAILURE() << "no exception";
  } catch (const EApdSocketException& e) {
    EXPECT_EQ(e.ErrorCode(), platform::WSAENOTSOCK);
    EXPECT_EQ(std::string(e.what()), ErrorText(10038));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Calls, ReportedErrorTest,
    ::testing::Values(
        FailingCall{"Accept",
                    [](TApdSocket& s, SOCKET k) {
                      platform::sockaddr_in a{};
                      return static_cast<int>(s.AcceptSocket(k, a));
                    }},
        FailingCall{"Bind", [](TApdSocket& s, SOCKET k) { return s.BindSocket(k, Loopback(0)); }},
        FailingCall{"Close", [](TApdSocket& s, SOCKET k) { return s.CloseSocket(k); }},
        FailingCall{"Connect",
                    [](TApdSocket& s, SOCKET k) {
                      return s.ConnectSocket(k, Loopback(s.HostToNetPort(21)));
                    }},
        FailingCall{"Listen", [](TApdSocket& s, SOCKET k) { return s.ListenSocket(k, 5); }},
        FailingCall{"Read",
                    [](TApdSocket& s, SOCKET k) {
                      char buffer[8];
                      return s.ReadSocket(k, buffer, sizeof buffer, 0);
                    }},
        FailingCall{"Write", [](TApdSocket& s, SOCKET k) { return s.WriteSocket(k, "x", 1, 0); }},
        FailingCall{"Shutdown",
                    [](TApdSocket& s, SOCKET k) { return s.ShutdownSocket(k, platform::SD_SEND); }},
        FailingCall{"AsyncSelect",
                    [](TApdSocket& s, SOCKET k) { return s.AsyncSelect(k, platform::FD_READ); }},
        FailingCall{"SetSocketOptions",
                    [](TApdSocket& s, SOCKET k) {
                      const std::int32_t on = -1;
                      return s.SetSocketOptions(k, platform::SOL_SOCKET, platform::SO_REUSEADDR,
                                                &on, sizeof on);
                    }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SocketTest, AcceptWithNobodyWaitingIsReportedToo) {
  // Accept has no would-block exemption: an empty queue is an error report.
  TApdSocket s(nullptr);
  platform::u_short port = 0;
  const SOCKET listening = Listen(s, &port);
  platform::sockaddr_in caller{};
  try {
    s.AcceptSocket(listening, caller);
    ADD_FAILURE() << "no exception";
  } catch (const EApdSocketException& e) {
    EXPECT_EQ(e.ErrorCode(), platform::WSAEWOULDBLOCK);
  }
  EventLog log;
  log.Attach(s);
  EXPECT_EQ(s.AcceptSocket(listening, caller), platform::INVALID_SOCKET);
  EXPECT_EQ(log.entries, std::vector<std::string>{Line("error", listening, " 10035")});
}

TEST_F(SocketTest, WouldBlockConnectIsNoErrorAndCompletesAsConnect) {
  TApdSocket server(nullptr);
  platform::u_short port = 0;
  Listen(server, &port);

  TApdSocket client(nullptr);  // no handler: a report would raise here
  const SOCKET c = client.CreateSocket();
  ASSERT_EQ(client.AsyncSelect(c, platform::FD_CONNECT | platform::FD_WRITE), 0);
  EXPECT_EQ(client.ConnectSocket(c, Loopback(port)), platform::SOCKET_ERROR);
  EXPECT_EQ(client.LastSocketError(), platform::WSAEWOULDBLOCK);

  EventLog log;
  log.Attach(client);
  ASSERT_TRUE(PumpUntil([&] { return log.Has(Line("connect", c)); }));
  EXPECT_FALSE(log.Has(Line("error", c, " 10061")));
}

TEST_F(SocketTest, RefusedConnectCompletesAsErrorOnly) {
  TApdSocket client(nullptr);
  // Bound and not listening: connects to its port are refused.
  const SOCKET closedDoor = client.CreateSocket();
  ASSERT_EQ(client.BindSocket(closedDoor, Loopback(0)), 0);
  const platform::u_short port = BoundPort(closedDoor);

  EventLog log;
  log.Attach(client);
  const SOCKET c = client.CreateSocket();
  ASSERT_EQ(client.AsyncSelect(c, platform::FD_CONNECT | platform::FD_WRITE | platform::FD_CLOSE),
            0);
  EXPECT_EQ(client.ConnectSocket(c, Loopback(port)), platform::SOCKET_ERROR);
  EXPECT_TRUE(log.entries.empty()) << log.entries.front();
  ASSERT_TRUE(PumpUntil([&] { return !log.entries.empty(); }));
  Settle();
  EXPECT_EQ(log.entries, std::vector<std::string>{Line("error", c, " 10061")});
}

TEST_F(SocketTest, AnErrorWithoutHandlerInANotificationGoesToTheApplication) {
  TApplication app;
  std::vector<std::string> shown;
  TObject* shownSender = nullptr;
  app.OnException = [&](TObject* sender, const std::exception& e) {
    shownSender = sender;
    shown.emplace_back(e.what());
  };
  TApdSocket client(nullptr);
  const SOCKET closedDoor = client.CreateSocket();
  ASSERT_EQ(client.BindSocket(closedDoor, Loopback(0)), 0);
  const SOCKET c = client.CreateSocket();
  ASSERT_EQ(client.AsyncSelect(c, platform::FD_CONNECT), 0);
  client.ConnectSocket(c, Loopback(BoundPort(closedDoor)));
  // The pump sees no exception: the window procedure keeps it.
  ASSERT_TRUE(PumpUntil([&] { return !shown.empty(); }));
  EXPECT_EQ(shown, std::vector<std::string>{"The attempt to connect was forcibly refused"});
  EXPECT_EQ(shownSender, &client);
}

TEST_F(SocketTest, WriteThatWouldBlockIsNoError) {
  TApdSocket server(nullptr);
  platform::u_short port = 0;
  const SOCKET listening = Listen(server, &port);
  TApdSocket client(nullptr);
  const SOCKET c = client.CreateSocket();
  ASSERT_EQ(client.AsyncSelect(c, platform::FD_CONNECT), 0);
  bool connected = false;
  client.OnWsConnect = [&](TObject*, SOCKET) { connected = true; };
  client.ConnectSocket(c, Loopback(port));
  ASSERT_TRUE(PumpUntil([&] { return connected; }));

  // Nobody reads: the buffers fill and send would block.
  const std::vector<char> block(65536, 'x');
  int result = 0;
  for (int i = 0; i < 4096 && result != platform::SOCKET_ERROR; ++i)
    result = client.WriteSocket(c, block.data(), static_cast<int>(block.size()), 0);
  EXPECT_EQ(result, platform::SOCKET_ERROR);
  EXPECT_EQ(client.LastSocketError(), platform::WSAEWOULDBLOCK);
  (void)listening;
}

// ---------------------------------------------------------------------------
// Notifications

TEST_F(SocketTest, AConversationOverLoopback) {
  TApdSocket server(nullptr);
  EventLog serverLog;
  serverLog.Attach(server);
  platform::u_short port = 0;
  const SOCKET listening = Listen(server, &port);

  SOCKET peer = platform::INVALID_SOCKET;
  std::string received;
  server.OnWsAccept = [&](TObject* sender, SOCKET s) {
    EXPECT_EQ(sender, &server);
    serverLog.Add("accept", s);
    platform::sockaddr_in caller{};
    peer = server.AcceptSocket(s, caller);
    EXPECT_EQ(caller.sin_addr.s_addr, platform::htonl(platform::INADDR_LOOPBACK));
  };
  server.OnWsRead = [&](TObject*, SOCKET s) {
    serverLog.Add("read", s);
    char buffer[64];
    const int n = server.ReadSocket(s, buffer, sizeof buffer, 0);
    if (n > 0) received.append(buffer, static_cast<std::size_t>(n));
  };

  TApdSocket client(nullptr);
  EventLog clientLog;
  clientLog.Attach(client);
  const SOCKET c = client.CreateSocket();
  ASSERT_EQ(client.AsyncSelect(c, platform::FD_CONNECT | platform::FD_WRITE | platform::FD_READ |
                                      platform::FD_CLOSE),
            0);
  client.ConnectSocket(c, Loopback(port));
  ASSERT_TRUE(PumpUntil([&] { return clientLog.Has(Line("write", c)); }));
  EXPECT_TRUE(clientLog.Has(Line("connect", c)));
  EXPECT_EQ(client.WriteSocket(c, "hello", 5, 0), 5);
  ASSERT_TRUE(PumpUntil([&] { return received == "hello"; }));
  EXPECT_TRUE(serverLog.Has(Line("accept", listening)));
  ASSERT_NE(peer, platform::INVALID_SOCKET);

  // Nothing more to read: would block, no report.
  char buffer[8];
  EXPECT_EQ(server.ReadSocket(peer, buffer, sizeof buffer, 0), platform::SOCKET_ERROR);
  EXPECT_FALSE(serverLog.Has(Line("error", peer, " 10035")));

  EXPECT_EQ(client.ShutdownSocket(c, platform::SD_SEND), 0);
  ASSERT_TRUE(PumpUntil([&] { return serverLog.Has(Line("disconnect", peer)); }));
  EXPECT_EQ(server.CloseSocket(peer), 0);
  ASSERT_TRUE(PumpUntil([&] { return clientLog.Has(Line("disconnect", c)); }));
  EXPECT_EQ(client.CloseSocket(c), 0);
}

struct NotifyCase {
  int event;
  int error;
  const char* call;  // "" for nothing
};

void PrintTo(const NotifyCase& c, std::ostream* os) {
  *os << "event " << c.event << " error " << c.error;
}

class NotifyTest : public SocketLayerTest, public ::testing::WithParamInterface<NotifyCase> {};

TEST_P(NotifyTest, EventsBecomeCalls) {
  TApdSocket s(nullptr);
  EventLog log;
  log.Attach(s);
  const SOCKET k = s.CreateSocket();
  ASSERT_TRUE(
      platform::PostMessage(s.Handle(), SocketNotifyMessage, k,
                            platform::WSAMAKESELECTREPLY(GetParam().event, GetParam().error)));
  Settle();
  const std::string call = GetParam().call;
  const std::string more = GetParam().error != 0 ? " " + std::to_string(GetParam().error) : "";
  EXPECT_EQ(log.entries, call.empty() ? std::vector<std::string>{}
                                      : std::vector<std::string>{Line(call, k, more)});
  s.CloseSocket(k);
}

INSTANTIATE_TEST_SUITE_P(Events, NotifyTest,
                         ::testing::Values(NotifyCase{1, 0, "read"}, NotifyCase{2, 0, "write"},
                                           NotifyCase{4, 0, ""},  // out-of-band data
                                           NotifyCase{8, 0, "accept"}, NotifyCase{16, 0, "connect"},
                                           NotifyCase{32, 0, "disconnect"}, NotifyCase{0, 0, ""},
                                           NotifyCase{64, 0, ""}, NotifyCase{3, 0, ""},
                                           NotifyCase{16, 10061, "error"},
                                           NotifyCase{4, 10054, "error"}));

// A close notice that waits in the queue while its socket is closed and a
// new one is made must not reach the new socket, nor be reported at all: in
// the FTP client it would end the next file's transfer.
TEST_F(SocketTest, AStaleNoticeOfAClosedSocketIsDropped) {
  TApdSocket s(nullptr);
  EventLog log;
  log.Attach(s);
  const SOCKET listener = socket_test::LoopbackListener();
  const SOCKET old = s.CreateSocket();
  ASSERT_EQ(s.AsyncSelect(old, platform::FD_CONNECT | platform::FD_READ | platform::FD_CLOSE), 0);
  s.ConnectSocket(old, Loopback(BoundPort(listener)));
  ASSERT_TRUE(PumpUntil([&] { return log.Has(Line("connect", old)); }));
  const SOCKET peer = socket_test::AcceptCaller(listener);
  ASSERT_EQ(platform::closesocket(peer), 0);
  // The loop posts the close notice; it is left waiting.
  platform::MSG pending;
  ASSERT_TRUE(socket_test::WaitUndispatched([&] { return platform::PeekMessage(pending, false); }));
  ASSERT_EQ(s.CloseSocket(old), 0);
  const SOCKET next = s.CreateSocket();
  EXPECT_NE(next, old);
  Settle();
  EXPECT_EQ(log.entries, std::vector<std::string>{Line("connect", old)});
  s.CloseSocket(next);
  platform::closesocket(listener);
}

TEST_F(SocketTest, WindowAnswers) {
  TApdSocket s(nullptr);
  EXPECT_EQ(platform::SendMessage(s.Handle(), platform::WM_QUERYENDSESSION, 0, 0), 1);
  EXPECT_EQ(platform::SendMessage(s.Handle(), platform::WM_CLOSE, 0, 0), 0);
  EXPECT_EQ(platform::SendMessage(s.Handle(), SocketNotifyMessage, 5, 1), 0);
  EXPECT_TRUE(platform::IsWindow(s.Handle())) << "close is not passed on";
}

// A descendant overrides the virtual calls instead of assigning events.
class OverridingSocket : public TApdSocket {
 public:
  using TApdSocket::TApdSocket;
  std::vector<std::string> calls;

 protected:
  void DoAccept(SOCKET s) override { calls.push_back(Line("accept", s)); }
  void DoConnect(SOCKET s) override { calls.push_back(Line("connect", s)); }
  void DoDisconnect(SOCKET s) override { calls.push_back(Line("disconnect", s)); }
  void DoError(SOCKET s, int code) override {
    calls.push_back(Line("error", s, " " + std::to_string(code)));
  }
  void DoRead(SOCKET s) override { calls.push_back(Line("read", s)); }
  void DoWrite(SOCKET s) override { calls.push_back(Line("write", s)); }
};

TEST_F(SocketTest, DescendantsOverrideTheCalls) {
  OverridingSocket s(nullptr);
  EventLog log;
  log.Attach(s);
  const SOCKET k = s.CreateSocket();
  for (int event : {1, 2, 8, 16, 32})
    platform::PostMessage(s.Handle(), SocketNotifyMessage, k,
                          platform::WSAMAKESELECTREPLY(event, 0));
  platform::PostMessage(s.Handle(), SocketNotifyMessage, k, platform::WSAMAKESELECTREPLY(1, 10053));
  // An operation's report goes through the override too: no exception.
  EXPECT_EQ(s.CloseSocket(12345), platform::SOCKET_ERROR);
  Settle();
  EXPECT_EQ(s.calls, (std::vector<std::string>{
                         "error 12345 10038", Line("read", k), Line("write", k), Line("accept", k),
                         Line("connect", k), Line("disconnect", k), Line("error", k, " 10053")}));
  EXPECT_TRUE(log.entries.empty());
  s.CloseSocket(k);
}

// ---------------------------------------------------------------------------
// Clean-up

TEST_F(SocketTest, EachObjectCleansUpItsOwnStartup) {
  auto first = std::make_unique<TApdSocket>(nullptr);
  auto second = std::make_unique<TApdSocket>(nullptr);
  const SOCKET s = second->CreateSocket();
  first.reset();
  // The second start-up still holds: its socket lives.
  platform::u_short port = 0;
  EXPECT_EQ(second->BindSocket(s, Loopback(0)), 0);
  port = BoundPort(s);
  EXPECT_NE(port, 0);
  second.reset();
  // The last clean-up ended the library's start-up.
  EXPECT_EQ(WinsockFunctions.socket(platform::AF_INET, platform::SOCK_STREAM, 0),
            platform::INVALID_SOCKET);
  EXPECT_EQ(WinsockFunctions.WSAGetLastError(), platform::WSANOTINITIALISED);
}

TEST_F(SocketTest, CleanUpCancelsABlockingCallFirst) {
  // A version mismatch still started the library, so it is cleaned up.
  std::vector<platform::ProcEntry> entries =
      EntriesWith("WSAStartup", platform::ProcAddressOf(&StartupGrantingNewerVersion));
  for (platform::ProcEntry& e : entries) {
    if (e.name == "WSACancelBlockingCall")
      e.address = platform::ProcAddressOf(&RecordingCancelBlockingCall);
    if (e.name == "WSACleanup") e.address = platform::ProcAddressOf(&RecordingCleanup);
  }
  ReplaceWinsockModule(entries);
  g_cleanupCalls.clear();
  {
    TApdSocket s(nullptr);
    ASSERT_EQ(s.InitError(), 9003);
    EXPECT_TRUE(g_cleanupCalls.empty());
  }
  EXPECT_EQ(g_cleanupCalls, (std::vector<std::string>{"WSACancelBlockingCall", "WSACleanup"}));
}

TEST_F(SocketTest, AFailedStartupLeavesTheOthersAlone) {
  TApdSocket ready(nullptr);
  platform::u_short port = 0;
  const SOCKET listening = Listen(ready, &port);
  ReplaceWinsockModule(EntriesWith("WSAStartup", platform::ProcAddressOf(&StartupNotReady)));
  {
    TApdSocket failed(nullptr);
    EXPECT_EQ(failed.InitError(), platform::WSASYSNOTREADY);
  }
  // The failed object made no clean-up: the ready one's socket still listens.
  EventLog log;
  log.Attach(ready);
  const SOCKET c = platform::socket(platform::AF_INET, platform::SOCK_STREAM, 0);
  ASSERT_NE(c, platform::INVALID_SOCKET) << platform::WSAGetLastError();
  platform::sockaddr_in to = Loopback(port);
  ASSERT_EQ(platform::connect(c, reinterpret_cast<const platform::sockaddr*>(&to), sizeof to), 0)
      << platform::WSAGetLastError();
  ASSERT_TRUE(PumpUntil([&] { return log.Has(Line("accept", listening)); }));
  platform::closesocket(c);
}

TEST_F(SocketTest, QueuedNotificationsDieWithTheObject) {
  std::vector<std::string> calls;
  auto s = std::make_unique<TApdSocket>(nullptr);
  s->OnWsRead = [&](TObject*, SOCKET k) { calls.push_back(Line("read", k)); };
  const platform::HWND window = s->Handle();
  platform::PostMessage(window, SocketNotifyMessage, 3, platform::WSAMAKESELECTREPLY(1, 0));
  s.reset();
  EXPECT_FALSE(platform::IsWindow(window));
  Settle();
  EXPECT_TRUE(calls.empty());
}

TEST_F(SocketTest, AnObjectMayFreeItselfInItsHandler) {
  auto* s = new TApdSocket(nullptr);
  int calls = 0;
  s->OnWsRead = [&](TObject*, SOCKET) {
    ++calls;
    s->Free();
  };
  const platform::HWND window = s->Handle();
  const SOCKET k = s->CreateSocket();
  platform::PostMessage(window, SocketNotifyMessage, k, platform::WSAMAKESELECTREPLY(1, 0));
  platform::PostMessage(window, SocketNotifyMessage, k, platform::WSAMAKESELECTREPLY(1, 0));
  Settle();
  EXPECT_EQ(calls, 1);
  EXPECT_FALSE(platform::IsWindow(window));
}

TEST_F(SocketTest, FreedWithItsOwner) {
  auto* owner = new TComponent(nullptr);
  auto* s = new TApdSocket(owner);
  EXPECT_EQ(s->Owner(), owner);
  EXPECT_EQ(owner->ComponentCount(), 1);
  const platform::HWND window = s->Handle();
  owner->Free();
  EXPECT_FALSE(platform::IsWindow(window));
}

}  // namespace
