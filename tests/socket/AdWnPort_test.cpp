// The Winsock port over real loopback sockets on 127.0.0.1 and the real
// message loop: a client against a listening socket of the test, a server
// against a calling socket of the test, the events of the trigger window's
// hook, the self-close and the open errors.
#include "socket/AdWnPort.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "SocketSupport.h"
#include "socket/AwWnsock.h"

namespace {

using platform::SOCKET;
using socket_test::BoundPort;
using socket_test::PumpUntil;
using socket_test::Settle;

// A port that records its Winsock events in order.
class RecordingPort : public TApdCustomWinsockPort {
 public:
  RecordingPort() : TApdCustomWinsockPort(nullptr) {
    SetDeviceLayer(dlWinsock);
    SetAutoOpen(false);
    SetWsTelnet(false);
    OnWsConnect = [this](TObject*) { Events.push_back("connect"); };
    OnWsDisconnect = [this](TObject*) { Events.push_back("disconnect"); };
    OnWsError = [this](TObject*, std::int32_t code) {
      Events.push_back("error " + std::to_string(code));
    };
    OnWsAccept = [this](TObject*, std::uint32_t addr, bool& accept) {
      Events.push_back("accept");
      CallerAddress = addr;
      accept = AcceptCallers;
    };
  }

  int Count(const std::string& event) const {
    int k = 0;
    for (const std::string& e : Events)
      k += e == event;
    return k;
  }

  std::vector<std::string> Events;
  std::uint32_t CallerAddress = 0;
  bool AcceptCallers = true;
};

class WinsockPortTest : public socket_test::SocketLayerTest {
 protected:
  void SetUp() override {
    SocketLayerTest::SetUp();
    WinsockDispatcherStartup();
    port = new RecordingPort;
  }
  void TearDown() override {
    port->Free();
    for (SOCKET s : sockets)
      platform::closesocket(s);
    WinsockDispatcherShutdown();
    SocketLayerTest::TearDown();
  }

  SOCKET Track(SOCKET s) {
    sockets.push_back(s);
    return s;
  }
  static std::string PortText(platform::u_short portNet) {
    return std::to_string(platform::ntohs(portNet));
  }
  SOCKET Listener() { return Track(socket_test::LoopbackListener()); }
  SOCKET AcceptPeer(SOCKET listener) { return Track(socket_test::AcceptCaller(listener)); }
  SOCKET Caller(platform::u_short portNet) { return Track(socket_test::LoopbackCaller(portNet)); }
  // Opens the port as a server on a free loopback port (network order).
  platform::u_short OpenServer() {
    const platform::u_short portNet = socket_test::FreeLoopbackPort();
    port->SetWsMode(wsServer);
    port->SetWsPort(PortText(portNet));
    port->SetOpen(true);
    return portNet;
  }
  // A client port connected to a peer socket of the test.
  SOCKET ConnectClient() {
    const SOCKET listener = Listener();
    port->SetWsAddress("127.0.0.1");
    port->SetWsPort(PortText(BoundPort(listener)));
    port->SetOpen(true);
    const SOCKET peer = AcceptPeer(listener);
    EXPECT_TRUE(PumpUntil([&] { return port->Count("connect") == 1; }));
    return peer;
  }
  static void Send(SOCKET s, const std::string& bytes) { socket_test::SendAll(s, bytes); }
  static std::string Receive(SOCKET s, std::size_t n) { return socket_test::ReceiveAtLeast(s, n); }
  // What the port's dispatcher delivers until it holds n bytes.
  std::string Deliver(std::size_t n) {
    TApdBaseDispatcher* d = port->Dispatcher();
    std::string got;
    PumpUntil([&] {
      if (const std::int32_t k = d->InputCount(); k > 0) {
        std::string part(static_cast<std::size_t>(k), '\0');
        d->ReadBlock(reinterpret_cast<std::uint8_t*>(part.data()), static_cast<std::uint32_t>(k));
        got += part;
      }
      return got.size() >= n;
    });
    return got;
  }
  static void HardClose(SOCKET s) {
    const platform::linger hard{1, 0};
    ASSERT_EQ(platform::setsockopt(s, platform::SOL_SOCKET, platform::SO_LINGER,
                                   reinterpret_cast<const char*>(&hard), sizeof hard),
              0);
    platform::closesocket(s);
  }

  RecordingPort* port = nullptr;
  std::vector<SOCKET> sockets;
};

TEST_F(WinsockPortTest, DefaultsAndDeviceLayer) {
  RecordingPort* p = port;
  const TApdCustomWinsockPort plain(nullptr);
  EXPECT_EQ(plain.DeviceLayer(), dlSerial);
  EXPECT_EQ(plain.WsPort(), "telnet");
  EXPECT_EQ(plain.WsMode(), wsClient);
  EXPECT_TRUE(plain.WsTelnet());
  EXPECT_EQ(plain.WsAddress(), "");
  EXPECT_FALSE(p->Open());
}

TEST_F(WinsockPortTest, ClientConnectsAndCarriesDataBothWays) {
  const SOCKET peer = ConnectClient();
  EXPECT_TRUE(port->Open());
  EXPECT_EQ(port->Events, std::vector<std::string>{"connect"});
  port->PutString("hello");
  EXPECT_EQ(Receive(peer, 5), "hello");
  Send(peer, "world");
  EXPECT_EQ(Deliver(5), "world");
}

TEST_F(WinsockPortTest, ClientResolvesHostNameAndServiceNumber) {
  const SOCKET listener = Listener();
  port->SetWsAddress("localhost");
  port->SetWsPort(PortText(BoundPort(listener)));
  port->SetOpen(true);
  AcceptPeer(listener);
  EXPECT_TRUE(PumpUntil([&] { return port->Count("connect") == 1; }));
}

TEST_F(WinsockPortTest, PeerCloseClosesThePortWithOneDisconnect) {
  const SOCKET peer = ConnectClient();
  platform::shutdown(peer, platform::SD_SEND);
  ASSERT_TRUE(PumpUntil([&] { return !port->Open() && port->PortState() == psClosed; }));
  Settle();
  EXPECT_EQ(port->Events, (std::vector<std::string>{"connect", "disconnect"}));
  EXPECT_EQ(port->Dispatcher(), nullptr);
}

TEST_F(WinsockPortTest, ResetReportsTheErrorBeforeTheDisconnect) {
  const SOCKET peer = ConnectClient();
  std::erase(sockets, peer);
  HardClose(peer);
  ASSERT_TRUE(PumpUntil([&] { return !port->Open() && port->PortState() == psClosed; }));
  Settle();
  ASSERT_EQ(port->Count("disconnect"), 1);
  EXPECT_EQ(port->Events.back(), "disconnect");
  EXPECT_EQ(port->Count("error " + std::to_string(platform::WSAECONNRESET)), 1);
}

TEST_F(WinsockPortTest, OwnerCloseEndsInOneDisconnect) {
  const SOCKET peer = ConnectClient();
  port->SetOpen(false);
  EXPECT_FALSE(port->Open());
  EXPECT_EQ(port->Events, (std::vector<std::string>{"connect", "disconnect"}));
  // The peer sees the end of the connection.
  EXPECT_TRUE(PumpUntil([&] {
    char c;
    return platform::recv(peer, &c, 1, 0) == 0;
  }));
  Settle();
  EXPECT_EQ(port->Count("disconnect"), 1);
}

TEST_F(WinsockPortTest, RefusedConnectIsAnErrorAndThePortStaysOpen) {
  port->SetWsAddress("127.0.0.1");
  port->SetWsPort(PortText(socket_test::FreeLoopbackPort()));
  port->SetOpen(true);
  const std::string refused = "error " + std::to_string(platform::WSAECONNREFUSED);
  ASSERT_TRUE(PumpUntil([&] { return port->Count(refused) == 1; }));
  Settle();
  EXPECT_TRUE(port->Open());
  EXPECT_EQ(port->Events, std::vector<std::string>{refused});
  port->SetOpen(false);
  EXPECT_EQ(port->Events, (std::vector<std::string>{refused, "disconnect"}));
}

TEST_F(WinsockPortTest, ServerAcceptsACallerAndHearsItLeave) {
  const platform::u_short portNet = OpenServer();
  const SOCKET caller = Caller(portNet);
  ASSERT_TRUE(PumpUntil([&] { return port->Count("accept") == 1; }));
  EXPECT_EQ(port->CallerAddress, platform::htonl(platform::INADDR_LOOPBACK));
  Send(caller, "ping");
  EXPECT_EQ(Deliver(4), "ping");
  port->PutString("pong");
  EXPECT_EQ(Receive(caller, 4), "pong");
  platform::shutdown(caller, platform::SD_SEND);
  ASSERT_TRUE(PumpUntil([&] { return port->Count("disconnect") == 1; }));
  Settle();
  EXPECT_TRUE(port->Open());  // a server keeps listening
  EXPECT_EQ(port->Count("disconnect"), 1);
}

TEST_F(WinsockPortTest, ResetCallerOfAServerIsOneDisconnect) {
  const platform::u_short portNet = OpenServer();
  const SOCKET caller = Caller(portNet);
  ASSERT_TRUE(PumpUntil([&] { return port->Count("accept") == 1; }));
  std::erase(sockets, caller);
  HardClose(caller);
  ASSERT_TRUE(PumpUntil([&] { return port->Count("disconnect") >= 1; }));
  Settle();
  EXPECT_TRUE(port->Open());
  // The caller's end is reported once, then the error itself.
  EXPECT_EQ(port->Events, (std::vector<std::string>{"accept", "disconnect", "error 10054"}));
}

TEST_F(WinsockPortTest, RefusedCallerIsDroppedAndTheServerKeepsListening) {
  port->AcceptCallers = false;
  const platform::u_short portNet = OpenServer();
  const SOCKET first = Caller(portNet);
  ASSERT_TRUE(PumpUntil([&] {
    char c;
    return platform::recv(first, &c, 1, 0) == 0;
  }));
  EXPECT_EQ(port->Count("accept"), 1);
  EXPECT_TRUE(port->Open());

  port->AcceptCallers = true;
  const SOCKET second = Caller(portNet);
  ASSERT_TRUE(PumpUntil([&] { return port->Count("accept") == 2; }));
  Send(second, "ok");
  EXPECT_EQ(Deliver(2), "ok");
}

TEST_F(WinsockPortTest, TriggerEventsStillReachThePortThroughTheHook) {
  int avail = 0;
  port->SetOnTriggerAvail([&](TObject*, std::uint16_t count) { avail += count; });
  const SOCKET peer = ConnectClient();
  Send(peer, "abc");
  ASSERT_TRUE(PumpUntil([&] { return avail >= 3; }));
  EXPECT_EQ(Deliver(3), "abc");
}

TEST_F(WinsockPortTest, CloseFromInsideTheConnectEventIsDeferredSafely) {
  port->OnWsConnect = [this](TObject*) {
    port->Events.push_back("connect");
    port->SetOpen(false);
  };
  const SOCKET listener = Listener();
  port->SetWsAddress("127.0.0.1");
  port->SetWsPort(PortText(BoundPort(listener)));
  port->SetOpen(true);
  AcceptPeer(listener);
  ASSERT_TRUE(PumpUntil([&] { return port->PortState() == psClosed; }));
  Settle();
  EXPECT_FALSE(port->Open());
  EXPECT_EQ(port->Events, (std::vector<std::string>{"connect", "disconnect"}));
}

TEST_F(WinsockPortTest, AcceptHandlerThatRaisesRefusesTheCaller) {
  bool asked = false;
  port->OnWsAccept = [&](TObject*, std::uint32_t, bool&) {
    asked = true;
    throw std::runtime_error("handler failed");
  };
  const platform::u_short portNet = OpenServer();
  const SOCKET caller = Caller(portNet);
  ASSERT_TRUE(PumpUntil([&] {
    char c;
    return platform::recv(caller, &c, 1, 0) == 0;
  }));
  EXPECT_TRUE(asked);
  EXPECT_TRUE(port->Open());
}

TEST_F(WinsockPortTest, SettersTrimAndRefuseChangesWhileOpen) {
  port->SetWsAddress("  127.0.0.1\t ");
  EXPECT_EQ(port->WsAddress(), "127.0.0.1");
  port->SetWsPort(" 21\r\n");
  EXPECT_EQ(port->WsPort(), "21");

  ConnectClient();
  const std::string address = port->WsAddress();
  const std::string service = port->WsPort();
  EXPECT_NO_THROW(port->SetWsAddress(address));
  EXPECT_NO_THROW(port->SetWsPort(service));
  for (int which = 0; which < 2; ++which) {
    try {
      if (which == 0)
        port->SetWsAddress("localhost");
      else
        port->SetWsPort("ftp");
      ADD_FAILURE() << "no exception for setter " << which;
    } catch (const EApdSocketException& e) {
      EXPECT_EQ(e.ErrorCode(), 9006);
      EXPECT_STREQ(e.what(), "Cannot change parameter while socket is connected");
    }
  }
  EXPECT_EQ(port->WsAddress(), address);
  EXPECT_EQ(port->WsPort(), service);
}

struct OpenErrorCase {
  const char* name;
  std::uint8_t mode;
  std::string address;
  std::string service;
  int code;
};

class WinsockPortOpenErrorTest : public WinsockPortTest,
                                 public ::testing::WithParamInterface<OpenErrorCase> {};

TEST_P(WinsockPortOpenErrorTest, RaisesAndLeavesThePortClosed) {
  const OpenErrorCase& c = GetParam();
  port->SetWsMode(c.mode);
  port->SetWsAddress(c.address);
  port->SetWsPort(c.service);
  try {
    port->SetOpen(true);
    ADD_FAILURE() << "the open did not raise";
  } catch (const EApdSocketException& e) {
    EXPECT_EQ(e.ErrorCode(), c.code);
  }
  EXPECT_FALSE(port->Open());
  EXPECT_EQ(port->PortState(), psClosed);
  EXPECT_EQ(port->Dispatcher(), nullptr);
  EXPECT_EQ(port->TriggerWindow(), 0);
  Settle();
  EXPECT_TRUE(port->Events.empty());
}

const std::string UnknownHost = "no-such-host-" + std::string(70, 'x') + ".invalid";

INSTANTIATE_TEST_SUITE_P(
    Cases, WinsockPortOpenErrorTest,
    ::testing::Values(OpenErrorCase{"NoAddress", wsClient, "", "telnet", 10039},
                      OpenErrorCase{"BlankAddress", wsClient, "   ", "telnet", 10039},
                      OpenErrorCase{"UnknownHost", wsClient, UnknownHost, "telnet", 9007},
                      OpenErrorCase{"PortZero", wsClient, "127.0.0.1", "0", 9005},
                      OpenErrorCase{"PortLow16BitsZero", wsClient, "127.0.0.1", "65536", 9005},
                      OpenErrorCase{"UnknownService", wsClient, "127.0.0.1", "no-such-service",
                                    9005},
                      OpenErrorCase{"EmptyService", wsServer, "", "", 9005},
                      OpenErrorCase{"NumberWithTail", wsClient, "127.0.0.1", "21x", 9005}),
    [](const ::testing::TestParamInfo<OpenErrorCase>& info) { return info.param.name; });

}  // namespace
