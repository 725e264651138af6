// Shared pieces of the socket-layer tests: a fixture that puts the socket
// library and the message loop back as they were, variants of the library
// module, loopback addresses and a pump that waits for a condition.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "platform/Messages.h"
#include "platform/Modules.h"
#include "platform/Pump.h"
#include "platform/winsock/Winsock.h"
#include "socket/AdWUtil.h"

namespace socket_test {

// The shared pump of the loop tests, under this namespace for the socket tests.
using ::PumpUntil;

// Every test starts and ends with no library held, the real module under
// its name and an empty message loop.
class SocketLayerTest : public ::testing::Test {
 protected:
  void SetUp() override { UnloadWinsock(); }
  void TearDown() override {
    UnloadWinsock();
    platform::RegisterWinsockModule();
    platform::ResetMessageLoopForTesting();
  }
};

// The real entry points less one; the module then lacks that name.
inline std::vector<platform::ProcEntry> EntriesWithout(const std::string& name) {
  std::vector<platform::ProcEntry> entries = platform::WinsockEntryPoints();
  std::erase_if(entries, [&](const platform::ProcEntry& e) { return e.name == name; });
  return entries;
}

// The real entry points with one address replaced.
inline std::vector<platform::ProcEntry> EntriesWith(const std::string& name, void* address) {
  std::vector<platform::ProcEntry> entries = platform::WinsockEntryPoints();
  for (platform::ProcEntry& e : entries)
    if (e.name == name) e.address = address;
  return entries;
}

// Puts a module variant in place of "WSOCK32"; the next LoadWinsock binds it.
inline void ReplaceWinsockModule(std::vector<platform::ProcEntry> entries) {
  UnloadWinsock();
  platform::RegisterModule(WinsockLibraryName, std::move(entries));
}

// 127.0.0.1 with a port in network order.
inline platform::sockaddr_in Loopback(platform::u_short portNet) {
  platform::sockaddr_in a{};
  a.sin_family = platform::AF_INET;
  a.sin_port = portNet;
  a.sin_addr.s_addr = platform::htonl(platform::INADDR_LOOPBACK);
  return a;
}

// The port (network order) a socket is bound to.
inline platform::u_short BoundPort(platform::SOCKET s) {
  platform::sockaddr_in a{};
  int length = sizeof a;
  EXPECT_EQ(platform::getsockname(s, reinterpret_cast<platform::sockaddr*>(&a), &length), 0);
  return a.sin_port;
}

inline void NonBlocking(platform::SOCKET s) {
  platform::u_long on = 1;
  ASSERT_EQ(platform::ioctlsocket(s, platform::FIONBIO, &on), 0);
}

// A non-blocking listening socket on 127.0.0.1, any port; the caller closes
// it.
inline platform::SOCKET LoopbackListener() {
  const platform::SOCKET s = platform::socket(platform::AF_INET, platform::SOCK_STREAM, 0);
  const platform::sockaddr_in a = Loopback(0);
  EXPECT_EQ(platform::bind(s, reinterpret_cast<const platform::sockaddr*>(&a), sizeof a), 0);
  EXPECT_EQ(platform::listen(s, 5), 0);
  NonBlocking(s);
  return s;
}

// A port (network order) the system handed out and that is free again.
inline platform::u_short FreeLoopbackPort() {
  const platform::SOCKET s = platform::socket(platform::AF_INET, platform::SOCK_STREAM, 0);
  const platform::sockaddr_in a = Loopback(0);
  EXPECT_EQ(platform::bind(s, reinterpret_cast<const platform::sockaddr*>(&a), sizeof a), 0);
  const platform::u_short portNet = BoundPort(s);
  platform::closesocket(s);
  return portNet;
}

// A non-blocking socket connected to 127.0.0.1 on portNet; the caller
// closes it.
inline platform::SOCKET LoopbackCaller(platform::u_short portNet) {
  const platform::SOCKET s = platform::socket(platform::AF_INET, platform::SOCK_STREAM, 0);
  const platform::sockaddr_in a = Loopback(portNet);
  EXPECT_EQ(platform::connect(s, reinterpret_cast<const platform::sockaddr*>(&a), sizeof a), 0);
  NonBlocking(s);
  return s;
}

// The next caller of the listener, made non-blocking; INVALID_SOCKET (and a
// failure) after the deadline. The caller closes it.
inline platform::SOCKET AcceptCaller(platform::SOCKET listener) {
  platform::SOCKET peer = platform::INVALID_SOCKET;
  EXPECT_TRUE(PumpUntil([&] {
    peer = platform::accept(listener, nullptr, nullptr);
    return peer != platform::INVALID_SOCKET;
  }));
  if (peer != platform::INVALID_SOCKET) NonBlocking(peer);
  return peer;
}

inline void SendAll(platform::SOCKET s, const std::string& bytes) {
  ASSERT_EQ(platform::send(s, bytes.data(), static_cast<int>(bytes.size()), 0),
            static_cast<int>(bytes.size()));
}

// What the socket receives until it holds n bytes (fewer after the
// deadline), with the loop running.
inline std::string ReceiveAtLeast(platform::SOCKET s, std::size_t n) {
  std::string got;
  PumpUntil([&] {
    char buffer[512];
    const int r = platform::recv(s, buffer, sizeof buffer, 0);
    if (r > 0) got.append(buffer, static_cast<std::size_t>(r));
    return got.size() >= n;
  });
  return got;
}

// Lets the loop watch its descriptors and post, without dispatching, until
// done() holds; false after the deadline.
inline bool WaitUndispatched(const std::function<bool()>& done) {
  const std::uint32_t start = platform::timeGetTime();
  while (!done()) {
    if (platform::timeGetTime() - start > 20000) return false;
    platform::WaitForWork(50);
  }
  return true;
}

// Lets the loop look at every descriptor a few times without waiting and
// dispatches what that posts, to show that a notification does not come.
inline void Settle() {
  for (int i = 0; i < 4; ++i) {
    platform::WaitForWork(0);
    platform::MSG msg;
    while (platform::PeekMessage(msg, true))
      platform::DispatchMessage(msg);
  }
}

}  // namespace socket_test
