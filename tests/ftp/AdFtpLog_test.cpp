// The FTP history log: its line format, its file (created, appended, never
// emptied), the linking rules with the client, and the lines a real
// retrieve and an abort write.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <string>

#include "FtpClientSupport.h"
#include "dispatch/AdExcept.h"
#include "platform/SysUtils.h"
#include "platform/toolkit/Classes.h"

namespace {

using ftp_test::FtpClientTest;

class FtpLogTest : public FtpClientTest {
 protected:
  void SetUp() override {
    FtpClientTest::SetUp();
    platform::SetShortDateFormat("yyyy/mm/dd");
    log = new TApdFtpLog(nullptr);
    client->SetFtpLog(log);
  }
  void TearDown() override {
    if (log != nullptr) log->Free();
    FtpClientTest::TearDown();
  }
  // Whether a line starts with "yyyy/mm/dd", optionally " hh:nn:ss", then
  // " : "; the length of that prefix, 0 when it does not.
  static std::size_t StampLength(const std::string& line) {
    auto digits = [&](std::size_t at, std::size_t n) {
      if (line.size() < at + n) return false;
      for (std::size_t i = at; i < at + n; ++i)
        if (line[i] < '0' || line[i] > '9') return false;
      return true;
    };
    if (!digits(0, 4) || line.size() < 10 || line[4] != '/' || !digits(5, 2) || line[7] != '/' ||
        !digits(8, 2))
      return 0;
    std::size_t at = 10;
    if (line.size() >= 19 && line[10] == ' ' && digits(11, 2) && line[13] == ':' && digits(14, 2) &&
        line[16] == ':' && digits(17, 2))
      at = 19;
    return line.compare(at, 3, " : ") == 0 ? at + 3 : 0;
  }
  // The lines of the history file without their timestamps.
  std::vector<std::string> Texts(const std::string& name = "VORNFTP.HIS") {
    const std::string all = ReadFile(name);
    std::vector<std::string> texts;
    std::size_t at = 0;
    while (at < all.size()) {
      const std::size_t end = all.find("\r\n", at);
      EXPECT_NE(end, std::string::npos) << "every line ends with CR LF";
      if (end == std::string::npos) break;
      const std::string text = all.substr(at, end - at);
      const std::size_t stamp = StampLength(text);
      EXPECT_GT(stamp, 0u) << text;
      texts.push_back(text.substr(stamp));
      at = end + 2;
    }
    return texts;
  }
  TApdFtpLog* log = nullptr;
};

TEST_F(FtpLogTest, DefaultsAndLinking) {
  TApdFtpLog fresh(nullptr);
  EXPECT_FALSE(fresh.Enabled());
  EXPECT_EQ(fresh.FtpHistoryName(), "VORNFTP.HIS");
  EXPECT_EQ(log->FtpClient(), client) << "setting the client's log links it";
  TApdFtpLog other(nullptr);
  client->SetFtpLog(&other);
  EXPECT_EQ(log->FtpClient(), client) << "the previous log keeps its client";
  client->SetFtpLog(log);
}

TEST_F(FtpLogTest, DisabledWritesNothing) {
  log->UpdateLog(lcReceive);
  EXPECT_FALSE(std::filesystem::exists("VORNFTP.HIS"));
}

TEST_F(FtpLogTest, EventTextsWithTheClientsValues) {
  log->SetEnabled(true);
  client->SetServerAddress("127.0.0.1");
  client->SetRestartAt(77);
  WriteFile("VORNFTP.HIS", "an older line\r\n");
  for (int code = lcClose; code <= 12; ++code)
    log->UpdateLog(static_cast<TFtpLogCode>(code));
  const std::string all = ReadFile("VORNFTP.HIS");
  EXPECT_TRUE(all.starts_with("an older line\r\n")) << "an existing history is kept";
  WriteFile("VORNFTP.HIS", all.substr(15));
  EXPECT_EQ(Texts(),
            (std::vector<std::string>{"Disconnected", "Connected to 127.0.0.1", "tkvdem logged out",
                                      "tkvdem logged in", "Deleting ", "Renaming ", "Downloading ",
                                      "Uploading ", "Transfer complete. 0 bytes Transferred",
                                      "Attempting re-transfer at 77 bytes", "Transfer timed out",
                                      "Transfer aborted by user", ""}));
}

TEST_F(FtpLogTest, RetrieveAndRestartLinesComeFromTheClient) {
  log->SetEnabled(true);
  ftptest::ScriptedFtpServer server;
  server.SetFile("Setup.exe", "0123456789");
  LogIn(server.Port());
  client->SetPassiveMode(true);
  ASSERT_TRUE(client->Retrieve("Setup.exe", "a.exe", rmReplace));
  ASSERT_TRUE(PumpToOutcome());
  WriteFile("b.exe", "0123");
  client->Events.clear();
  client->SetRestartAt(1000);
  ASSERT_TRUE(client->Retrieve("Setup.exe", "b.exe", rmRestart));
  ASSERT_TRUE(PumpToOutcome());
  EXPECT_EQ(ReadFile("b.exe"), "0123456789");
  client->Events.clear();
  EXPECT_TRUE(client->Logout());
  Settle();
  EXPECT_EQ(Texts(),
            (std::vector<std::string>{"Downloading Setup.exe", "Attempting re-transfer at 4 bytes",
                                      "tkvdem logged out"}));
  EXPECT_TRUE(client->Events == (std::vector<std::string>{"status 2", "status 0"}))
      << "a linked log takes the log events: " << Joined();
}

TEST_F(FtpLogTest, AbortWritesItsLine) {
  log->SetEnabled(true);
  ftptest::Transfer hold;
  hold.hold = true;
  ftptest::ScriptedFtpServer server;
  server.SetFile("f", "x", hold);
  LogIn(server.Port());
  client->SetPassiveMode(true);
  ASSERT_TRUE(client->Retrieve("f", "f", rmReplace));
  ASSERT_TRUE(PumpUntil([&] { return server.CountOf("RETR") == 1; }));
  EXPECT_TRUE(client->Abort());
  ASSERT_TRUE(PumpToOutcome()) << Joined();
  Settle();
  EXPECT_EQ(Texts(), (std::vector<std::string>{"Downloading f", "Transfer aborted by user"}));
  EXPECT_TRUE(client->HasPrefix("error 426")) << Joined();
  EXPECT_FALSE(client->Has("status 8"));
}

TEST_F(FtpLogTest, UnwritableHistoryRaisesAndLeavesTheClientAlone) {
  log->SetEnabled(true);
  std::filesystem::create_directory("history_is_a_folder");
  log->SetFtpHistoryName("history_is_a_folder");
  EXPECT_THROW(log->UpdateLog(lcReceive), EInOutError);
  EXPECT_EQ(client->State(), TApdCustomFtpClient::psClosed);
  EXPECT_TRUE(std::filesystem::is_directory("history_is_a_folder"));
}

TEST_F(FtpLogTest, FreeingTheLogUnlinksTheClient) {
  log->Free();
  log = nullptr;
  EXPECT_EQ(client->FtpLog(), nullptr);
}

TEST_F(FtpLogTest, ComponentsOfOneOwnerLinkAndUnlink) {
  TComponent owner(nullptr);
  auto* ownedClient = new TApdFtpClient(&owner);
  auto* ownedLog = new TApdFtpLog(&owner);
  ownedClient->SetFtpLog(ownedLog);
  ownedClient->Free();
  EXPECT_EQ(ownedLog->FtpClient(), nullptr) << "the removal of the client unlinks the log";
}

}  // namespace
