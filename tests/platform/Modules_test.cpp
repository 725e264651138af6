// The module table: finding "WSOCK32" by name, binding its entry points by
// exact name, load counts, and a replacement module that lacks one entry.
#include "platform/Modules.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/winsock/Winsock.h"

// Inside the namespace, Winsock's u_long, fd_set and timeval are found
// before the system's own of <sys/types.h>.
namespace platform {
namespace {

// The entry points the socket loader binds, in its order.
const std::vector<std::string> kWinsockNames = {"accept",
                                                "bind",
                                                "closesocket",
                                                "connect",
                                                "ioctlsocket",
                                                "getpeername",
                                                "getsockname",
                                                "getsockopt",
                                                "htonl",
                                                "htons",
                                                "inet_addr",
                                                "inet_ntoa",
                                                "listen",
                                                "ntohl",
                                                "ntohs",
                                                "recv",
                                                "recvfrom",
                                                "select",
                                                "send",
                                                "sendto",
                                                "setsockopt",
                                                "shutdown",
                                                "socket",
                                                "gethostbyaddr",
                                                "gethostbyname",
                                                "gethostname",
                                                "getservbyport",
                                                "getservbyname",
                                                "getprotobynumber",
                                                "getprotobyname",
                                                "WSAStartup",
                                                "WSACleanup",
                                                "WSASetLastError",
                                                "WSAGetLastError",
                                                "WSAIsBlocking",
                                                "WSAUnhookBlockingHook",
                                                "WSASetBlockingHook",
                                                "WSACancelBlockingCall",
                                                "WSAAsyncGetServByName",
                                                "WSAAsyncGetServByPort",
                                                "WSAAsyncGetProtoByName",
                                                "WSAAsyncGetProtoByNumber",
                                                "WSAAsyncGetHostByName",
                                                "WSAAsyncGetHostByAddr",
                                                "WSACancelAsyncRequest",
                                                "WSAAsyncSelect"};

// Binds every name as the loader does; returns the first name not found,
// or "" when all are bound.
std::string FirstMissing(HMODULE module) {
  for (const std::string& name : kWinsockNames)
    if (GetProcAddress(module, name) == nullptr) return name;
  return "";
}

class ModulesTest : public ::testing::Test {
 protected:
  void TearDown() override { RegisterWinsockModule(); }
};

TEST_F(ModulesTest, FindsWinsockByNameIgnoringCaseAndDllSuffix) {
  const HMODULE module = LoadLibrary("WSOCK32");
  ASSERT_NE(module, 0u);
  for (const char* name : {"wsock32", "WSOCK32.DLL", "Wsock32.dll"}) {
    EXPECT_EQ(LoadLibrary(name), module) << name;
    EXPECT_TRUE(FreeLibrary(module));
  }
  for (const char* name : {"", "WSOCK", "WSOCK32.dllx", "WS2_32", ".dll", "WSOCK32 "})
    EXPECT_EQ(LoadLibrary(name), 0u) << '"' << name << '"';
  EXPECT_TRUE(FreeLibrary(module));
}

TEST_F(ModulesTest, BindsAll46EntriesByExactName) {
  const HMODULE module = LoadLibrary("WSOCK32");
  ASSERT_EQ(kWinsockNames.size(), 46u);
  EXPECT_EQ(FirstMissing(module), "");
  EXPECT_EQ(GetProcAddress(module, "Accept"), nullptr);
  EXPECT_EQ(GetProcAddress(module, "accept "), nullptr);
  EXPECT_EQ(GetProcAddress(module, "__WSAFDIsSet"), nullptr);
  // A bound entry is the function itself, called through its typed pointer.
  EXPECT_EQ(GetProcAddress(module, "WSAAsyncSelect"),
            ProcAddressOf<WSAAsyncSelect_fn>(&WSAAsyncSelect));
  const auto swap = reinterpret_cast<htons_fn>(GetProcAddress(module, "htons"));
  EXPECT_EQ(swap(0x1234), 0x3412);
  const auto toAddress = reinterpret_cast<inet_addr_fn>(GetProcAddress(module, "inet_addr"));
  EXPECT_EQ(toAddress("127.0.0.1"), htonl(0x7F000001));
  FreeLibrary(module);
}

TEST_F(ModulesTest, FreeingTheLastLoadUnbindsTheHandle) {
  const HMODULE module = LoadLibrary("WSOCK32");
  EXPECT_EQ(LoadLibrary("WSOCK32"), module);
  EXPECT_TRUE(FreeLibrary(module));
  EXPECT_NE(GetProcAddress(module, "socket"), nullptr);  // one load is left
  EXPECT_TRUE(FreeLibrary(module));
  EXPECT_EQ(GetProcAddress(module, "socket"), nullptr);
  EXPECT_FALSE(FreeLibrary(module));
  EXPECT_FALSE(FreeLibrary(0));
  EXPECT_EQ(LoadLibrary("WSOCK32"), module);
  EXPECT_NE(GetProcAddress(module, "socket"), nullptr);
  FreeLibrary(module);
}

TEST_F(ModulesTest, AModuleLackingOneEntryIsRefusedAtThatName) {
  const HMODULE real = LoadLibrary("WSOCK32");
  std::vector<ProcEntry> entries = WinsockEntryPoints();
  ASSERT_EQ(entries.size(), 46u);
  std::erase_if(entries, [](const ProcEntry& e) { return e.name == "WSACancelAsyncRequest"; });
  RegisterModule("WSOCK32", entries);

  // The old handle went with the module it named.
  EXPECT_EQ(GetProcAddress(real, "socket"), nullptr);
  const HMODULE lacking = LoadLibrary("wsock32.dll");
  ASSERT_NE(lacking, 0u);
  EXPECT_NE(lacking, real);
  EXPECT_EQ(FirstMissing(lacking), "WSACancelAsyncRequest");
  EXPECT_NE(GetProcAddress(lacking, "WSAAsyncSelect"), nullptr);

  RegisterWinsockModule();
  EXPECT_EQ(FirstMissing(LoadLibrary("WSOCK32")), "");
}

TEST_F(ModulesTest, ModulesOfTheirOwnComeAndGo) {
  static int calls;
  calls = 0;
  void (*probe)() = [] { ++calls; };
  RegisterModule("Probe.dll", {{"Probe", ProcAddressOf(probe)}});
  const HMODULE module = LoadLibrary("PROBE");
  ASSERT_NE(module, 0u);
  reinterpret_cast<void (*)()>(GetProcAddress(module, "Probe"))();
  EXPECT_EQ(calls, 1);
  EXPECT_NE(LoadLibrary("WSOCK32"), module);
  EXPECT_TRUE(UnregisterModule("probe"));
  EXPECT_FALSE(UnregisterModule("probe"));
  EXPECT_EQ(LoadLibrary("PROBE"), 0u);
  EXPECT_EQ(GetProcAddress(module, "Probe"), nullptr);
}

}  // namespace
}  // namespace platform
