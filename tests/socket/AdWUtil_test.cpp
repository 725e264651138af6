// The run-time binding of the socket library: the table's order, one load
// however often it binds, and a library that lacks an entry point.
#include "socket/AdWUtil.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "SocketSupport.h"

namespace {

using socket_test::EntriesWithout;
using socket_test::ReplaceWinsockModule;
using socket_test::SocketLayerTest;

// The table's entries as (name, bound address), in table order.
std::vector<std::pair<std::string, void*>> TableEntries() {
  std::vector<std::pair<std::string, void*>> entries;
#define APD_TEST_ENTRY(name) \
  entries.emplace_back(#name, reinterpret_cast<void*>(WinsockFunctions.name));
  APD_WINSOCK_ENTRIES(APD_TEST_ENTRY)
#undef APD_TEST_ENTRY
  return entries;
}

using WinsockUtilTest = SocketLayerTest;

TEST_F(WinsockUtilTest, BindsEveryEntryOfTheLibraryInItsOrder) {
  for (const auto& [name, address] : TableEntries())
    EXPECT_EQ(address, nullptr) << name << " is bound before the library is loaded";
  ASSERT_TRUE(LoadWinsock());
  ASSERT_NE(WinsockLibrary(), 0u);

  const std::vector<platform::ProcEntry> library = platform::WinsockEntryPoints();
  const auto table = TableEntries();
  ASSERT_EQ(table.size(), 46u);
  ASSERT_EQ(library.size(), table.size());
  for (std::size_t i = 0; i < table.size(); ++i) {
    EXPECT_EQ(table[i].first, library[i].name) << "entry " << i;
    EXPECT_EQ(table[i].second, library[i].address) << table[i].first;
  }
  // Typed entries call straight into the library.
  EXPECT_EQ(WinsockFunctions.ntohs(WinsockFunctions.htons(0x1234)), 0x1234);
}

TEST_F(WinsockUtilTest, ALaterCallBindsAnewWithoutLoadingAgain) {
  ASSERT_TRUE(LoadWinsock());
  const platform::HMODULE held = WinsockLibrary();
  WinsockFunctions.accept = nullptr;
  WinsockFunctions.WSAAsyncSelect = nullptr;
  ASSERT_TRUE(LoadWinsock());
  EXPECT_EQ(WinsockLibrary(), held);
  EXPECT_NE(WinsockFunctions.accept, nullptr);
  EXPECT_NE(WinsockFunctions.WSAAsyncSelect, nullptr);
  // Two binds made one load: a single free releases the module.
  UnloadWinsock();
  EXPECT_EQ(WinsockLibrary(), 0u);
  EXPECT_EQ(platform::GetProcAddress(held, "accept"), nullptr);
  EXPECT_EQ(TableEntries().front().second, nullptr);
}

TEST_F(WinsockUtilTest, NoLibraryNoTable) {
  ASSERT_TRUE(platform::UnregisterModule(WinsockLibraryName));
  EXPECT_FALSE(LoadWinsock());
  EXPECT_EQ(WinsockLibrary(), 0u);
  for (const auto& [name, address] : TableEntries())
    EXPECT_EQ(address, nullptr) << name;
  // Once the library is there, the next call loads and binds it.
  platform::RegisterWinsockModule();
  EXPECT_TRUE(LoadWinsock());
}

class MissingEntryTest : public SocketLayerTest,
                         public ::testing::WithParamInterface<const char*> {};

TEST_P(MissingEntryTest, StopsAtTheFirstMissingNameAndKeepsTheLibrary) {
  ASSERT_TRUE(LoadWinsock());  // a full table first: the failed pass must not keep it
  ReplaceWinsockModule(EntriesWithout(GetParam()));
  EXPECT_FALSE(LoadWinsock());
  const platform::HMODULE held = WinsockLibrary();
  EXPECT_NE(held, 0u) << "the library stays loaded";

  bool reached = false;
  for (const auto& [name, address] : TableEntries()) {
    reached = reached || name == GetParam();
    if (reached) {
      EXPECT_EQ(address, nullptr) << name << " is bound although it comes after the missing entry";
    } else {
      EXPECT_EQ(address, platform::GetProcAddress(held, name)) << name;
    }
  }
  EXPECT_TRUE(reached);
  // A later call uses the library it holds.
  EXPECT_FALSE(LoadWinsock());
  EXPECT_EQ(WinsockLibrary(), held);
}

INSTANTIATE_TEST_SUITE_P(Entries, MissingEntryTest,
                         ::testing::Values("accept", "getsockname", "WSAAsyncSelect"));

}  // namespace
