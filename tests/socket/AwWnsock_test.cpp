// The Winsock dispatcher over real loopback sockets on 127.0.0.1 and the real
// message loop: a client and a server connection against the test's own
// sockets, the notices to the port, the rings, the telnet coding and the
// module's start-up and shut-down.
#include "socket/AwWnsock.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "SocketSupport.h"
#include "dispatch/AdExcept.h"

namespace {

using platform::SOCKET;
using socket_test::BoundPort;
using socket_test::EntriesWithout;
using socket_test::PumpUntil;
using socket_test::ReplaceWinsockModule;
using socket_test::Settle;

std::string Bytes(std::initializer_list<int> values) {
  std::string s;
  for (int v : values)
    s.push_back(static_cast<char>(v));
  return s;
}

// The port side: the owner of the dispatcher with its trigger window, which
// records the notices (wParam, lParam) and answers a caller with
// AcceptAnswer.
class TestPort : public TApdBaseComponent {
 public:
  TestPort() : TApdBaseComponent(nullptr) {
    Window = platform::AllocateHWnd(
        [this](platform::HWND, platform::UINT msg, platform::WPARAM w, platform::LPARAM l) {
          if (msg != SocketNotifyMessage) return platform::LRESULT{0};
          Notices.emplace_back(static_cast<int>(w), l);
          if (OnNotice) OnNotice(static_cast<int>(w));
          return static_cast<int>(w) == wsnAccept ? AcceptAnswer : platform::LRESULT{0};
        });
  }
  ~TestPort() override { platform::DestroyWindow(Window); }

  bool Saw(int code) const {
    for (const auto& n : Notices)
      if (n.first == code) return true;
    return false;
  }
  int Count(int code) const {
    int k = 0;
    for (const auto& n : Notices)
      k += n.first == code;
    return k;
  }

  platform::HWND Window = 0;
  std::vector<std::pair<int, platform::LPARAM>> Notices;
  platform::LRESULT AcceptAnswer = 1;
  std::function<void(int)> OnNotice;
};

class WinsockDispatcherTest : public socket_test::SocketLayerTest {
 protected:
  void SetUp() override {
    SocketLayerTest::SetUp();
    WinsockDispatcherStartup();
    port = new TestPort;
  }
  void TearDown() override {
    dispatcher.reset();
    for (SOCKET s : sockets)
      platform::closesocket(s);
    port->Free();
    WinsockDispatcherShutdown();
    SocketLayerTest::TearDown();
  }

  SOCKET Track(SOCKET s) {
    sockets.push_back(s);
    return s;
  }
  SOCKET Listener() { return Track(socket_test::LoopbackListener()); }
  SOCKET AcceptPeer(SOCKET listener) { return Track(socket_test::AcceptCaller(listener)); }
  // A connecting socket of the test to 127.0.0.1 on portNet.
  SOCKET Caller(platform::u_short portNet) { return Track(socket_test::LoopbackCaller(portNet)); }

  std::int32_t Open(platform::u_short portNet, bool telnet, bool client) {
    dispatcher = std::make_unique<TApdWinsockDispatcher>(port);
    dispatcher->SetupAddress(platform::htonl(platform::INADDR_LOOPBACK), portNet, telnet, client);
    const std::int32_t r = dispatcher->OpenSocketDevice(4096, 4096);
    if (r == 0) dispatcher->AddWindowTriggerHandler(port->Window);
    return r;
  }
  // A client dispatcher connected to a peer of the test.
  SOCKET ConnectClient(bool telnet) {
    const SOCKET listener = Listener();
    EXPECT_EQ(Open(BoundPort(listener), telnet, true), 0);
    const SOCKET peer = AcceptPeer(listener);
    EXPECT_TRUE(PumpUntil([&] { return port->Saw(wsnConnect); }));
    return peer;
  }

  static void Send(SOCKET s, const std::string& bytes) { socket_test::SendAll(s, bytes); }
  static std::string Receive(SOCKET s, std::size_t n) { return socket_test::ReceiveAtLeast(s, n); }
  // Nothing more reaches the peer while the loop settles.
  static std::string Leftover(SOCKET s) {
    Settle();
    char buffer[512];
    const int r = platform::recv(s, buffer, sizeof buffer, 0);
    return r > 0 ? std::string(buffer, static_cast<std::size_t>(r)) : std::string();
  }
  // What the dispatcher delivers until it holds n bytes.
  std::string Deliver(std::size_t n) {
    EXPECT_TRUE(PumpUntil([&] { return static_cast<std::size_t>(dispatcher->InputCount()) >= n; }));
    std::string out(static_cast<std::size_t>(dispatcher->InputCount()), '\0');
    dispatcher->ReadBlock(reinterpret_cast<std::uint8_t*>(out.data()),
                          static_cast<std::uint32_t>(out.size()));
    return out;
  }
  // Sends bytes from the peer in pieces while taking what the dispatcher
  // delivers into got, until got holds `expected` bytes; false after the
  // deadline.
  bool Stream(SOCKET peer, const std::string& bytes, std::size_t expected, std::string& got) {
    std::size_t offset = 0;
    return PumpUntil([&] {
      if (offset < bytes.size()) {
        const int r =
            platform::send(peer, bytes.data() + offset,
                           static_cast<int>(std::min<std::size_t>(3000, bytes.size() - offset)), 0);
        if (r > 0) offset += static_cast<std::size_t>(r);
      }
      if (const std::int32_t n = dispatcher->InputCount(); n > 0) {
        std::string part(static_cast<std::size_t>(n), '\0');
        dispatcher->ReadBlock(reinterpret_cast<std::uint8_t*>(part.data()),
                              static_cast<std::uint32_t>(n));
        got += part;
      }
      return got.size() >= expected;
    });
  }
  std::int32_t Put(const std::string& bytes) {
    return dispatcher->WriteBlock(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                  static_cast<std::uint32_t>(bytes.size()));
  }
  // The telnet entries of the dispatch log, "subtype value [payload]", in
  // order (a log large enough never to wrap).
  std::vector<std::string> TelnetLog() {
    std::vector<std::string> out;
    std::uint32_t at = dispatcher->LogTail;
    while (at + sizeof(DispatchLogEntry) <= dispatcher->LogHead) {
      DispatchLogEntry e;
      std::memcpy(&e, dispatcher->LogBuffer.data() + at, sizeof e);
      at += sizeof e;
      if (e.Type == dtTelnet) {
        std::string line = std::to_string(e.SubType) + " " + std::to_string(e.Data);
        if (e.PayloadLength > 0)
          line +=
              " " + std::string(reinterpret_cast<const char*>(dispatcher->LogBuffer.data() + at),
                                e.PayloadLength);
        out.push_back(line);
      }
      at += e.PayloadLength;
    }
    return out;
  }
  TWsConnection* Connection() {
    return DeviceSocket().FindConnection(static_cast<SOCKET>(dispatcher->DeviceId));
  }

  TestPort* port = nullptr;
  std::unique_ptr<TApdWinsockDispatcher> dispatcher;
  std::vector<SOCKET> sockets;
};

// ---------------------------------------------------------------------------
// Client connections

TEST_F(WinsockDispatcherTest, ClientConnectsAndMovesDataBothWays) {
  const SOCKET peer = ConnectClient(false);
  EXPECT_EQ(port->Count(wsnConnect), 1);
  EXPECT_TRUE(dispatcher->ModemBits & msDCD);
  EXPECT_TRUE(dispatcher->Started);
  EXPECT_NE(dispatcher->DispatcherWindow, 0u);

  Send(peer, Bytes({'h', 'i', 255, 13, 0}));
  EXPECT_EQ(Deliver(5), Bytes({'h', 'i', 255, 13, 0}));  // telnet off: as they are
  EXPECT_EQ(Put(Bytes({'o', 'k', 255, 13})), 0);
  EXPECT_EQ(Receive(peer, 4), Bytes({'o', 'k', 255, 13}));
}

TEST_F(WinsockDispatcherTest, LargeTransferPassesThroughBothRings) {
  const SOCKET peer = ConnectClient(true);
  std::string sent;
  for (int i = 0; i < 20000; ++i)
    sent.push_back(static_cast<char>('a' + i % 26));
  std::string got;
  ASSERT_TRUE(Stream(peer, sent, sent.size(), got));
  EXPECT_EQ(got, sent);
}

TEST_F(WinsockDispatcherTest, RefusedConnectReachesThePortAsError) {
  ASSERT_EQ(Open(socket_test::FreeLoopbackPort(), true, true), 0);  // the connect completes later
  ASSERT_TRUE(PumpUntil([&] { return port->Saw(platform::WSAECONNREFUSED); }));
  EXPECT_FALSE(port->Saw(wsnConnect));
  EXPECT_FALSE(dispatcher->ModemBits & msDCD);
}

TEST_F(WinsockDispatcherTest, PeerCloseClearsCarrierAndTellsThePort) {
  const SOCKET peer = ConnectClient(true);
  Send(peer, "bye");
  platform::shutdown(peer, platform::SD_SEND);
  ASSERT_TRUE(PumpUntil([&] { return port->Saw(wsnMainClosed); }));
  EXPECT_EQ(port->Count(wsnMainClosed), 1);
  EXPECT_FALSE(dispatcher->ModemBits & msDCD);
  EXPECT_EQ(Connection()->PeerSocket, platform::INVALID_SOCKET);
}

// A reply that a write's status refresh reads into the ring, just before
// the peer closes, gets no read notice of its own. It still reaches the
// dispatcher's readers, before the port hears of the close (on which the
// port closes itself).
TEST_F(WinsockDispatcherTest, BytesReadOutsideAPassAreDeliveredBeforeTheClose) {
  const SOCKET peer = ConnectClient(false);
  struct Reader {
    TApdWinsockDispatcher* d;
    std::string got;
    void Handle(std::uint32_t msg, std::uint32_t count, std::int32_t) {
      if (msg != TriggerAvailMsg || count == 0) return;
      std::string part(count, '\0');
      d->ReadBlock(reinterpret_cast<std::uint8_t*>(part.data()), count);
      got += part;
    }
  } reader{dispatcher.get(), {}};
  dispatcher->SetAvailThreshold(1);
  dispatcher->AddMethodTriggerHandler(MakeTriggerMethod<&Reader::Handle>(&reader));
  std::string atClose = "(no close)";
  port->OnNotice = [&](int code) {
    if (code == wsnMainClosed) atClose = reader.got;
  };
  Send(peer, "221 Goodbye\r\n");
  ASSERT_EQ(platform::shutdown(peer, platform::SD_SEND), 0);
  // Arrived as the system sees it; the loop has not looked yet.
  platform::fd_set set;
  platform::FdZero(set);
  platform::FdSet(Connection()->PeerSocket, set);
  platform::timeval wait{20, 0};
  ASSERT_EQ(platform::select(0, &set, nullptr, nullptr, &wait), 1);
  EXPECT_EQ(Put("QUIT\r\n"), 0);
  ASSERT_TRUE(PumpUntil([&] { return port->Saw(wsnMainClosed); }));
  EXPECT_EQ(atClose, "221 Goodbye\r\n");
  EXPECT_EQ(reader.got, "221 Goodbye\r\n");
  dispatcher->RemoveMethodTriggerHandler(MakeTriggerMethod<&Reader::Handle>(&reader));
}

TEST_F(WinsockDispatcherTest, ResetReachesThePortAsError10054) {
  const SOCKET peer = ConnectClient(true);
  const platform::linger hard{1, 0};
  ASSERT_EQ(platform::setsockopt(peer, platform::SOL_SOCKET, platform::SO_LINGER,
                                 reinterpret_cast<const char*>(&hard), sizeof hard),
            0);
  platform::closesocket(peer);
  std::erase(sockets, peer);
  ASSERT_TRUE(PumpUntil([&] { return port->Saw(platform::WSAECONNRESET); }));
}

TEST_F(WinsockDispatcherTest, BytesWrittenBeforeTheConnectGoOutOnceConnected) {
  const SOCKET listener = Listener();
  ASSERT_EQ(Open(BoundPort(listener), true, true), 0);
  // No peer socket yet: the immediate send fails and the port hears of it.
  EXPECT_EQ(Put("early"), 0);
  EXPECT_TRUE(port->Saw(platform::WSAENOTSOCK));
  const SOCKET peer = AcceptPeer(listener);
  EXPECT_EQ(Receive(peer, 5), "early");
}

TEST_F(WinsockDispatcherTest, OutputCountKeepsTheTotalUntilTheRingIsFoundEmpty) {
  const SOCKET listener = Listener();
  ASSERT_EQ(Open(BoundPort(listener), false, true), 0);
  EXPECT_EQ(Put(std::string(100, 'x')), 0);
  EXPECT_EQ(dispatcher->OutputCount(), 100);  // not connected: the total handed over
  const SOCKET peer = AcceptPeer(listener);
  ASSERT_TRUE(PumpUntil([&] { return port->Saw(wsnConnect); }));
  EXPECT_EQ(Receive(peer, 100), std::string(100, 'x'));
  EXPECT_EQ(dispatcher->OutputCount(), 0);
}

TEST_F(WinsockDispatcherTest, CloseFromInsideANoticeIsDeferredSafely) {
  port->OnNotice = [this](int code) {
    if (code == wsnConnect) dispatcher->CloseDispatcher();
  };
  ConnectClient(true);
  EXPECT_TRUE(dispatcher->ClosePending);
  EXPECT_EQ(dispatcher->DeviceId, -1);
  // The next timer pass releases it.
  ASSERT_TRUE(PumpUntil([&] { return !dispatcher->Started; }));
  EXPECT_EQ(dispatcher->DispatcherWindow, 0u);
}

TEST_F(WinsockDispatcherTest, CloseFromAnErrorNoticeInsideASendKeepsTheConnectionUntilItEnds) {
  const SOCKET listener = Listener();
  ASSERT_EQ(Open(BoundPort(listener), true, true), 0);
  port->OnNotice = [this](int code) {
    if (code == platform::WSAENOTSOCK) dispatcher->CloseDispatcher();
  };
  // The failed send reports, the handler closes, the send call ends on a
  // connection that is retired but not yet freed.
  Put("x");
  EXPECT_EQ(port->Count(platform::WSAENOTSOCK), 1);
  EXPECT_EQ(dispatcher->DeviceId, -1);
  EXPECT_EQ(DeviceSocket().ComponentCount(), 0);
  ASSERT_TRUE(PumpUntil([&] { return !dispatcher->Started; }));
}

TEST_F(WinsockDispatcherTest, TimerTriggersRunOnTheDispatchTimer) {
  ConnectClient(true);
  struct Recorder {
    int timers = 0;
    void Handle(std::uint32_t msg, std::uint32_t, std::int32_t) {
      timers += msg == TriggerTimerMsg;
    }
  } recorder;
  dispatcher->AddMethodTriggerHandler(MakeTriggerMethod<&Recorder::Handle>(&recorder));
  const std::int32_t trigger = dispatcher->NewTimerTrigger();
  ASSERT_GT(trigger, 0);
  dispatcher->ArmTimerTrigger(trigger, 2, true);
  EXPECT_TRUE(PumpUntil([&] { return recorder.timers == 1; }));
  dispatcher->RemoveMethodTriggerHandler(MakeTriggerMethod<&Recorder::Handle>(&recorder));
}

TEST_F(WinsockDispatcherTest, SecondBeginDispatchingRaises) {
  ConnectClient(true);
  try {
    dispatcher->BeginDispatching();
    FAIL() << "no exception";
  } catch (const EGeneral& e) {
    EXPECT_STREQ(e.what(), "Dispatcher already started");
  }
}

TEST_F(WinsockDispatcherTest, FixedLineSettings) {
  ConnectClient(true);
  TLineSettings s;
  EXPECT_EQ(dispatcher->DeviceGetState(s), 0);
  EXPECT_EQ(s.BaudRate, 19200u);
  EXPECT_EQ(s.ByteSize, 8);
  EXPECT_EQ(s.Parity, 0);
  EXPECT_EQ(s.StopBits, 1);
}

// ---------------------------------------------------------------------------
// Server connections

TEST_F(WinsockDispatcherTest, ServerAcceptsOneCallerAtATime) {
  const platform::u_short portNet = socket_test::FreeLoopbackPort();
  ASSERT_EQ(Open(portNet, false, false), 0);

  const SOCKET first = Caller(portNet);
  ASSERT_TRUE(PumpUntil([&] { return port->Saw(wsnAccept); }));
  EXPECT_EQ(port->Notices[0].second,
            static_cast<platform::LPARAM>(platform::htonl(platform::INADDR_LOOPBACK)));
  EXPECT_TRUE(dispatcher->ModemBits & msDCD);
  Send(first, "one");
  EXPECT_EQ(Deliver(3), "one");

  // A second caller is taken and closed at once.
  const SOCKET second = Caller(portNet);
  char c;
  ASSERT_TRUE(PumpUntil([&] { return platform::recv(second, &c, 1, 0) == 0; }));
  EXPECT_EQ(port->Count(wsnAccept), 1);

  // The first leaves; the next caller is offered again.
  platform::closesocket(first);
  std::erase(sockets, first);
  ASSERT_TRUE(PumpUntil([&] { return port->Saw(wsnPeerClosed); }));
  EXPECT_FALSE(dispatcher->ModemBits & msDCD);
  Caller(portNet);
  EXPECT_TRUE(PumpUntil([&] { return port->Count(wsnAccept) == 2; }));
}

TEST_F(WinsockDispatcherTest, RefusedCallerIsDisconnectedAndListeningGoesOn) {
  const platform::u_short portNet = socket_test::FreeLoopbackPort();
  ASSERT_EQ(Open(portNet, false, false), 0);
  port->AcceptAnswer = 0;
  const SOCKET caller = Caller(portNet);
  char c;
  ASSERT_TRUE(PumpUntil([&] { return platform::recv(caller, &c, 1, 0) == 0; }));
  EXPECT_FALSE(dispatcher->ModemBits & msDCD);
  EXPECT_EQ(Connection()->PeerSocket, platform::INVALID_SOCKET);
  port->AcceptAnswer = 1;
  Caller(portNet);
  EXPECT_TRUE(PumpUntil([&] { return dispatcher->ModemBits & msDCD; }));
}

TEST_F(WinsockDispatcherTest, ServicePortInUseFailsTheOpenWithItsCode) {
  const SOCKET busy = Listener();
  EXPECT_EQ(Open(BoundPort(busy), false, false), -platform::WSAEADDRINUSE);
  EXPECT_FALSE(dispatcher->Started);
  EXPECT_EQ(dispatcher->DeviceId, -1);
}

// ---------------------------------------------------------------------------
// Telnet

struct NegotiationCase {
  int command;
  int option;
  int reply;
  bool binaryAfter;  // starting from BinaryMode off
};

class TelnetNegotiationTest : public WinsockDispatcherTest,
                              public ::testing::WithParamInterface<NegotiationCase> {};

TEST_P(TelnetNegotiationTest, EveryRequestIsAnswered) {
  const NegotiationCase& k = GetParam();
  const SOCKET peer = ConnectClient(true);
  Send(peer, Bytes({'a', 255, k.command, k.option, 'b'}));
  EXPECT_EQ(Deliver(2), "ab");
  EXPECT_EQ(Receive(peer, 3), Bytes({255, k.reply, k.option}));
  EXPECT_EQ(Connection()->BinaryMode, k.binaryAfter);
}

INSTANTIATE_TEST_SUITE_P(Table, TelnetNegotiationTest,
                         ::testing::Values(NegotiationCase{telnet::WILL, 0, telnet::DO, true},
                                           NegotiationCase{telnet::WILL, 1, telnet::DO, false},
                                           NegotiationCase{telnet::WILL, 3, telnet::DO, false},
                                           NegotiationCase{telnet::WILL, 24, telnet::DONT, false},
                                           NegotiationCase{telnet::WONT, 0, telnet::DONT, false},
                                           NegotiationCase{telnet::WONT, 5, telnet::DONT, false},
                                           NegotiationCase{telnet::DO, 0, telnet::WILL, true},
                                           NegotiationCase{telnet::DO, 24, telnet::WILL, false},
                                           NegotiationCase{telnet::DO, 1, telnet::WONT, false},
                                           NegotiationCase{telnet::DO, 3, telnet::WONT, false},
                                           NegotiationCase{telnet::DONT, 0, telnet::WONT, false},
                                           NegotiationCase{telnet::DONT, 7, telnet::WONT, false}));

TEST_F(WinsockDispatcherTest, TerminalTypeIsVt100) {
  const SOCKET peer = ConnectClient(true);
  dispatcher->BeginLog(4096);
  Send(peer, Bytes({255, 253, 24}));
  EXPECT_EQ(Receive(peer, 3), Bytes({255, 251, 24}));
  Send(peer, Bytes({255, 250, 24, 1, 255, 240, 'Z'}));
  EXPECT_EQ(Deliver(1), "Z");
  EXPECT_EQ(Receive(peer, 11), Bytes({255, 250, 24, 0, 'v', 't', '1', '0', '0', 255, 240}));
  EXPECT_EQ(Leftover(peer), "");
  Send(peer, Bytes({255, 241, 'Y'}));
  EXPECT_EQ(Deliver(1), "Y");
  // Received DO 24, sent WILL 24, sent the terminal type, a plain command.
  EXPECT_EQ(TelnetLog(), (std::vector<std::string>{"26 24", "20 24", "29 0 vt100", "28 241"}));
}

TEST_F(WinsockDispatcherTest, BinaryModeChangesTheCarriageReturnRules) {
  const SOCKET peer = ConnectClient(true);
  // Off: CR NUL is a bare CR, a bare CR is sent as CR NUL, CR LF as it is.
  Send(peer, Bytes({'A', 13, 0, 'B', 13, 10}));
  EXPECT_EQ(Deliver(5), Bytes({'A', 13, 'B', 13, 10}));
  EXPECT_EQ(Put(Bytes({'x', 13, 'y', 13, 10, 13})), 0);
  EXPECT_EQ(Receive(peer, 8), Bytes({'x', 13, 0, 'y', 13, 10, 13, 0}));

  Send(peer, Bytes({255, 251, 0}));
  EXPECT_EQ(Receive(peer, 3), Bytes({255, 253, 0}));
  Send(peer, Bytes({13, 0}));
  EXPECT_EQ(Deliver(2), Bytes({13, 0}));
  EXPECT_EQ(Put(Bytes({'x', 13, 'y'})), 0);
  EXPECT_EQ(Receive(peer, 3), Bytes({'x', 13, 'y'}));
}

TEST_F(WinsockDispatcherTest, ByteTwoFiftyFiveIsEscapedBothWays) {
  const SOCKET peer = ConnectClient(true);
  EXPECT_EQ(Put(Bytes({65, 255, 66})), 0);
  EXPECT_EQ(Receive(peer, 4), Bytes({65, 255, 255, 66}));
  Send(peer, Bytes({255, 255, 'q'}));
  EXPECT_EQ(Deliver(2), Bytes({255, 'q'}));
}

TEST_F(WinsockDispatcherTest, SplitSequencesWaitForTheirRest) {
  const SOCKET peer = ConnectClient(true);
  Send(peer, Bytes({'a', 255}));
  EXPECT_EQ(Deliver(1), "a");
  Settle();
  EXPECT_EQ(Leftover(peer), "");
  Send(peer, Bytes({253}));
  Settle();
  EXPECT_EQ(Leftover(peer), "");
  Send(peer, Bytes({1, 'b'}));
  EXPECT_EQ(Deliver(1), "b");
  EXPECT_EQ(Receive(peer, 3), Bytes({255, 252, 1}));
  EXPECT_EQ(Leftover(peer), "");  // processed once

  // A CR that ends what has arrived is delivered; a later NUL is data.
  Send(peer, Bytes({'c', 13}));
  EXPECT_EQ(Deliver(2), Bytes({'c', 13}));
  Send(peer, Bytes({0, 'd'}));
  EXPECT_EQ(Deliver(2), Bytes({0, 'd'}));
}

TEST_F(WinsockDispatcherTest, OtherCommandsAndSubnegotiationsAreDropped) {
  const SOCKET peer = ConnectClient(true);
  Send(peer, Bytes({'a', 255, 241, 'b', 255, 250, 31, 0, 80, 255, 240, 'c'}));
  EXPECT_EQ(Deliver(3), "abc");
  EXPECT_EQ(Leftover(peer), "");
}

// A subnegotiation is taken as it arrives, also split over arrivals; one
// that never ends is given up at its bound instead of filling the ring, so
// the line after it still arrives.
TEST_F(WinsockDispatcherTest, SubnegotiationsAreTakenAsTheyArriveWithABound) {
  const SOCKET peer = ConnectClient(true);
  Send(peer, Bytes({'a', 255, 250, 24, 1}));
  EXPECT_EQ(Deliver(1), "a");
  Send(peer, Bytes({255}));
  Settle();
  Send(peer, Bytes({240, 'b'}));
  EXPECT_EQ(Deliver(1), "b");
  EXPECT_EQ(Receive(peer, 11), Bytes({255, 250, 24, 0, 'v', 't', '1', '0', '0', 255, 240}));

  Send(peer, Bytes({255, 250, 24}));
  const std::string endless(3 * 4096, 'x');
  std::string got;
  const std::string expected =
      std::string(endless.size() - WsSubnegotiationLimit, 'x') + "220 ok\r\n";
  ASSERT_TRUE(Stream(peer, endless + "220 ok\r\n", expected.size(), got));
  EXPECT_EQ(got, expected);
}

TEST_F(WinsockDispatcherTest, SendRingWithOneFreeByteRefusesAnEscapedByte) {
  const SOCKET listener = Listener();
  ASSERT_EQ(Open(BoundPort(listener), true, true), 0);
  TWsConnection* c = Connection();
  ASSERT_NE(c, nullptr);
  // Not connected: nothing can leave, so the ring only fills.
  const std::string fill(c->TxRing.size() - 1, 'f');
  EXPECT_EQ(c->WriteData(reinterpret_cast<const std::uint8_t*>(fill.data()),
                         static_cast<std::int32_t>(fill.size())),
            static_cast<std::int32_t>(fill.size()));
  const std::uint8_t iac = 255, plain = 'p';
  EXPECT_EQ(c->WriteData(&iac, 1), 0);
  EXPECT_FALSE(c->TxFull);
  EXPECT_EQ(c->WriteData(&plain, 1), 1);
  EXPECT_TRUE(c->TxFull);
}

// ---------------------------------------------------------------------------
// Module

TEST_F(WinsockDispatcherTest, ShutDownFreesTheLibraryAndTheClass) {
  EXPECT_NE(WinsockLibrary(), 0u);
  WinsockDispatcherShutdown();
  EXPECT_EQ(WinsockLibrary(), 0u);
  EXPECT_EQ(platform::CreateWindow(DispatcherClassName), 0u);
  WinsockDispatcherStartup();  // for the fixture's own shut-down
  EXPECT_NE(WinsockLibrary(), 0u);
}

TEST_F(WinsockDispatcherTest, OpenWithoutTheLibraryReturnsTheStartUpError) {
  WinsockDispatcherShutdown();
  ReplaceWinsockModule(EntriesWithout("WSAAsyncSelect"));
  WinsockDispatcherStartup();
  dispatcher = std::make_unique<TApdWinsockDispatcher>(port);
  dispatcher->SetupAddress(platform::htonl(platform::INADDR_LOOPBACK), platform::htons(21), true,
                           true);
  EXPECT_EQ(dispatcher->OpenSocketDevice(4096, 4096), -9002);
  EXPECT_FALSE(dispatcher->Started);
}

}  // namespace
