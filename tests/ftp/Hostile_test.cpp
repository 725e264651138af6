// The FTP client against servers that misbehave: replies that never end,
// garbage where numbers belong, connections that die or crawl, hosts that
// cannot be reached and telnet commands inside replies. Every case ends in
// a clear error or a time-out, and the client is closed or in step again
// afterwards. Cases that AdFtp_test.cpp already holds (a 1 MiB reply, an
// endless reply line after login, 426/451 after the data, no final reply,
// a data reset, /dev/full, a 227 naming another host, 421 and 530 at
// login, a refused connect, a silent server) are not repeated here.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <limits>
#include <string>
#include <system_error>
#include <vector>

#include "FtpClientSupport.h"
#include "ftp/AdFtp.h"

namespace {

namespace fs = std::filesystem;
using ftp_test::FtpClientTest;
using ftptest::Reply;
using ftptest::ScriptedFtpServer;
using ftptest::Transfer;
using Events = std::vector<std::string>;

class FtpHostileTest : public FtpClientTest {
 protected:
  int Errors() const {
    int errors = 0;
    for (const std::string& e : client->Events)
      errors += e.starts_with("error");
    return errors;
  }
  // The files the folder holds, so a test sees what a failure left behind.
  std::vector<std::string> FolderEntries() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(Folder()))
      names.push_back(entry.path().filename().string());
    return names;
  }
};

// --- Replies that never end ------------------------------------------------------

TEST_F(FtpHostileTest, EndlessGreetingWithoutLineEndEndsTheConnection) {
  ScriptedFtpServer server;
  server.SetGreeting(std::string(300000, 'g'));
  client->SetWsPort(std::to_string(server.Port()));
  ASSERT_TRUE(client->Login());
  ASSERT_TRUE(PumpUntil([&] { return client->Has("status 0"); }, 10000)) << Joined();
  Settle();
  EXPECT_EQ(Errors(), 1) << Joined();
  EXPECT_TRUE(client->HasPrefix("error 0 [Reply line too long")) << Joined();
  EXPECT_FALSE(client->Connected());
  EXPECT_TRUE(server.Commands().empty()) << "USER never went to a server out of step";
}

TEST_F(FtpHostileTest, MultiLineReplyThatNeverEndsEndsInTheTimeout) {
  // Continuation lines keep coming, each one short, the closing line never;
  // the client keeps the first MaxReplyText characters and waits no longer
  // than its time-out.
  ScriptedFtpServer server;
  std::string endless = "250-start\r\n";
  for (int i = 0; i < 20000; ++i)
    endless += "250-more " + std::to_string(i) + "\r\n";
  server.On("CWD", endless);
  LogIn(server.Port());
  client->SetTransferTimeout(20);
  ASSERT_TRUE(client->ChangeDir("x"));
  ASSERT_TRUE(PumpToOutcome()) << Joined();
  Settle();
  EXPECT_EQ(client->Events[0], "status 9") << Joined();
  EXPECT_FALSE(client->HasPrefix("status 4")) << "the command never completed";
}

// --- Passive replies with garbage ----------------------------------------------------

struct GarbageCase {
  const char* name;
  std::string reply;
};

class FtpPassiveGarbageTest : public FtpHostileTest,
                              public ::testing::WithParamInterface<GarbageCase> {};

TEST_P(FtpPassiveGarbageTest, FailsWithoutConnectingAnywhereElse) {
  ScriptedFtpServer server;
  server.SetPassiveReply(GetParam().reply);
  server.SetFile("f", "bytes");
  server.SetFile("next", "next file");
  LogIn(server.Port());
  client->SetPassiveMode(true);
  client->SetTransferTimeout(20);
  ASSERT_TRUE(client->Retrieve("f", "f", rmReplace));
  ASSERT_TRUE(PumpToOutcome()) << Joined();
  Settle();
  EXPECT_FALSE(client->Has("status 8")) << Joined();
  EXPECT_EQ(Errors() + (client->Has("status 9") ? 1 : 0), 1) << Joined();
}

INSTANTIATE_TEST_SUITE_P(
    Replies, FtpPassiveGarbageTest,
    ::testing::Values(GarbageCase{"NoNumbers", "227 Entering Passive Mode.\r\n"},
                      GarbageCase{"Letters", "227 Entering Passive Mode (a,b,c,d,e,f).\r\n"},
                      GarbageCase{"HugeNumbers",
                                  "227 (127,0,0,1,99999999999999999999,-7777777777777)\r\n"},
                      GarbageCase{"TooFewParts", "227 (127,0,0)\r\n"},
                      GarbageCase{"PortZero", "227 (127,0,0,1,0,0)\r\n"},
                      GarbageCase{"ControlBytes", std::string("227 (\x01\x02,\xfe,,,\x7f,)\r\n")}),
    [](const auto& info) { return std::string(info.param.name); });

// --- Connections that die or crawl ---------------------------------------------------

TEST_F(FtpHostileTest, ControlResetMidFileIsOneFailureAndNoSuccess) {
  Transfer how;
  how.resetControlAfter = 70000;
  ScriptedFtpServer server;
  server.SetFile("f", Pattern(200000), how);
  LogIn(server.Port());
  client->SetPassiveMode(true);
  client->SetTransferTimeout(40);
  ASSERT_TRUE(client->Retrieve("f", "f", rmReplace));
  ASSERT_TRUE(PumpUntil([&] { return client->Has("log 2"); }, 10000)) << Joined();
  Settle(500);
  // The reset is the retrieve's one error; the lost connection then logs out.
  EXPECT_EQ(client->Events, (Events{"log 6", "error 10054", "status 2", "log 2"}));
  EXPECT_FALSE(client->Connected());
  EXPECT_LT(client->BytesTransferred(), 200000);
}

TEST_F(FtpHostileTest, ServerDrippingOneByteASecondEndsInTheTimeout) {
  Transfer how;
  how.dripMs = 1000;
  ScriptedFtpServer server;
  server.SetFile("f", std::string(100, 'd'), how);
  server.SetFile("next", "next file");
  LogIn(server.Port());
  client->SetPassiveMode(true);
  client->SetTransferTimeout(9);  // about half a second
  ASSERT_TRUE(client->Retrieve("f", "f", rmReplace));
  ASSERT_TRUE(PumpToOutcome(10000)) << Joined();
  Settle();
  EXPECT_EQ(client->Events, (Events{"log 6", "status 9"}));
  EXPECT_EQ(client->State(), TApdCustomFtpClient::psIdle);
  EXPECT_LT(ReadFile("f").size(), 100u);
}

// --- Hosts that cannot be reached ----------------------------------------------------

TEST_F(FtpHostileTest, UnresolvableHostRaisesAtLoginAndStaysClosed) {
  // The reserved top-level name never resolves.
  client->SetServerAddress("no-such-host.invalid");
  client->SetWsPort("21");
  client->SetConnectTimeout(40);
  // The name is looked up when the port opens, so Login raises at once.
  EXPECT_ANY_THROW(client->Login());
  Settle();
  EXPECT_EQ(Errors(), 0) << Joined();
  EXPECT_FALSE(client->Connected()) << Joined();
}

// --- A file past 2 GiB ------------------------------------------------------------

TEST_F(FtpHostileTest, FilePastTwoGibibytesCountsUpToTheLargestCountAndArrives) {
  // 2.1 GiB through the loop takes tens of seconds, longer under the
  // address sanitizer, so the case runs only when asked for.
  if (std::getenv("TKV_BIG_FILE_TESTS") == nullptr)
    GTEST_SKIP() << "set TKV_BIG_FILE_TESTS=1 to retrieve a 2.1 GiB file";
  ftptest::PyFtpdServer server;
  if (!server.Running()) GTEST_SKIP() << server.Error();
  const std::uintmax_t size = 2100ull * 1024 * 1024;
  server.AddFile("big.bin", "");
  // A sparse file: the server reads zeros without the disk holding them.
  fs::resize_file(fs::path(server.Root()) / "big.bin", size);
  client->SetUserName(server.User());
  client->SetPassword(server.Password());
  LogIn(server.Port());
  client->SetPassiveMode(true);
  std::int32_t last = 0;
  bool decreased = false;
  const auto recorded = client->OnFtpStatus;
  client->OnFtpStatus = [&](TObject* sender, TFtpStatusCode code, const char* info) {
    if (code == scProgress) {
      decreased = decreased || client->BytesTransferred() < last;
      last = client->BytesTransferred();
    }
    recorded(sender, code, info);
  };
  // The bytes go nowhere: the count is what is looked at, and no disk
  // needs room for them.
  ASSERT_TRUE(client->Retrieve("big.bin", "/dev/null", rmReplace));
  ASSERT_TRUE(PumpToOutcome(600000)) << Joined();
  EXPECT_EQ(client->Events, (Events{"log 6", "status 8"}));
  EXPECT_FALSE(decreased) << "the count wrapped";
  EXPECT_EQ(client->BytesTransferred(), std::numeric_limits<std::int32_t>::max());
}

// --- Telnet commands inside replies ----------------------------------------------------

struct TelnetCase {
  const char* name;
  std::string greeting;
  std::string text;  // the greeting as the client reports it
};

class FtpTelnetTest : public FtpHostileTest, public ::testing::WithParamInterface<TelnetCase> {};

TEST_P(FtpTelnetTest, ReplyIsDecodedAndTheLoginGoesOn) {
  ScriptedFtpServer server;
  server.SetGreeting(GetParam().greeting);
  client->SetWsPort(std::to_string(server.Port()));
  ASSERT_TRUE(client->Login());
  ASSERT_TRUE(PumpUntil([&] { return client->Has("status 3") || client->HasPrefix("error"); }))
      << Joined();
  EXPECT_EQ(client->Events, (Events{"status 1 [" + GetParam().text + "]", "status 3"}));
  // The client's answers to the options travel before USER and the
  // server's telnet layer takes them out.
  EXPECT_EQ(server.Commands(), (std::vector<std::string>{"USER tkvdem", "PASS demo2026"}));
}

INSTANTIATE_TEST_SUITE_P(Sequences, FtpTelnetTest,
                         ::testing::Values(TelnetCase{"DoubledIac",
                                                      "220 a\xff\xff"
                                                      "b\r\n",
                                                      "a\xff"
                                                      "b\r\n"},
                                           TelnetCase{"WillEcho",
                                                      "220 a\xff\xfb\x01"
                                                      "b\r\n",
                                                      "ab\r\n"},
                                           TelnetCase{"DoTerminalType",
                                                      "220 a\xff\xfd\x18"
                                                      "b\r\n",
                                                      "ab\r\n"},
                                           TelnetCase{"Subnegotiation",
                                                      "220 a\xff\xfa\x18\x01\xff\xf0"
                                                      "b\r\n",
                                                      "ab\r\n"},
                                           TelnetCase{"InMultiLineReply",
                                                      "220-one\xff\xfb\x03\r\n220 two\xff\xff\r\n",
                                                      "one\r\n"}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
