// Shared pieces of the socket-layer tests: a fixture that puts the socket
// library and the message loop back as they were, variants of the library
// module, loopback addresses and a pump that waits for a condition.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "platform/Messages.h"
#include "platform/Modules.h"
#include "platform/Winsock.h"
#include "socket/AdWUtil.h"

namespace socket_test {

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

// Dispatches messages until done() holds; false after a generous deadline.
inline bool PumpUntil(const std::function<bool()>& done, int deadlineMs = 20000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(deadlineMs);
  for (;;) {
    platform::MSG msg;
    while (platform::PeekMessage(msg, true))
      platform::DispatchMessage(msg);
    if (done()) return true;
    if (std::chrono::steady_clock::now() > end) return false;
    platform::WaitForWork(50);
  }
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
