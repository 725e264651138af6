// The FTP client against the scripted server on 127.0.0.1: the order of its
// events for login, directory commands, closes, listings and retrieves, and
// the sound endings of failed transfers.
#include "ftp/AdFtp.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "FtpClientSupport.h"
#include "dispatch/AdExcept.h"

namespace {

using ftp_test::FtpClientTest;
using ftptest::Reply;
using ftptest::ScriptedFtpServer;
using ftptest::Transfer;
using Events = std::vector<std::string>;

// --- Login -----------------------------------------------------------------

TEST_F(FtpClientTest, MultiLineGreetingOpensOnceAndLogsIn) {
  ScriptedFtpServer server;
  server.SetGreeting("220-Welcome\r\n220-second line\r\n 220 not the end\r\n220 ready\r\n");
  client->RecordReplies = true;
  client->SetWsPort(std::to_string(server.Port()));
  ASSERT_TRUE(client->Login());
  ASSERT_TRUE(PumpUntil([&] { return client->Has("status 3"); })) << Joined();
  EXPECT_EQ(client->Events, (Events{"reply 220", "reply 220", "reply 0", "reply 220",
                                    "status 1 [Welcome\r\n220-second line\r\n 220 not the end\r\n]",
                                    "reply 331", "reply 230", "status 3"}));
  EXPECT_EQ(server.Commands(), (std::vector<std::string>{"USER tkvdem", "PASS demo2026"}));
  EXPECT_EQ(client->State(), TApdCustomFtpClient::psIdle);
  EXPECT_FALSE(client->Login()) << "a logged-in client does not log in again";
}

struct LoginCase {
  const char* name;
  std::vector<std::pair<std::string, std::string>> rules;
  Events events;
  std::vector<std::string> commands;
};

class FtpLoginTest : public FtpClientTest, public ::testing::WithParamInterface<LoginCase> {};

TEST_P(FtpLoginTest, EventsAndCommands) {
  ScriptedFtpServer server;
  for (const auto& [pattern, reply] : GetParam().rules)
    server.On(pattern, reply);
  client->SetAccount("acct1");
  client->SetWsPort(std::to_string(server.Port()));
  ASSERT_TRUE(client->Login());
  const std::size_t expected = GetParam().events.size();
  PumpUntil([&] { return client->Events.size() >= expected; }, 5000);
  Settle();
  EXPECT_EQ(client->Events, GetParam().events);
  EXPECT_EQ(server.Commands(), GetParam().commands);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, FtpLoginTest,
    ::testing::Values(LoginCase{"UserAloneLogsIn",
                                {{"USER", "230 Welcome.\r\n"}},
                                {"status 1 [Scripted FTP server ready.\r\n]", "status 3"},
                                {"USER tkvdem"}},
                      LoginCase{"AccountAskedAfterPassword",
                                {{"PASS", "332 Account?\r\n"}, {"ACCT", "202 Not needed.\r\n"}},
                                {"status 1 [Scripted FTP server ready.\r\n]"},
                                {"USER tkvdem", "PASS demo2026", "ACCT acct1"}},
                      LoginCase{"RefusedPasswordStaysInLogin",
                                {{"PASS", "530 Login incorrect.\r\n"}},
                                {"status 1 [Scripted FTP server ready.\r\n]",
                                 "error 530 [530 Login incorrect.\r\n]"},
                                {"USER tkvdem", "PASS demo2026"}},
                      LoginCase{
                          "ServiceClosingAtLoginClosesTwice",
                          {{"USER", "421 Too many users.\r\n"}},
                          {"status 1 [Scripted FTP server ready.\r\n]", "status 0", "status 0"},
                          {"USER tkvdem"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(FtpClientTest, LoginWhileLoggingInSendsUserAgain) {
  ScriptedFtpServer server;
  server.On("PASS", "530 No.\r\n");
  client->SetWsPort(std::to_string(server.Port()));
  ASSERT_TRUE(client->Login());
  ASSERT_TRUE(PumpUntil([&] { return client->HasPrefix("error 530"); }));
  EXPECT_EQ(client->State(), TApdCustomFtpClient::psLogin);
  EXPECT_TRUE(client->Login());
  ASSERT_TRUE(server.WaitForCommand("USER", 0, 1));
  ASSERT_TRUE(PumpUntil([&] { return server.CountOf("USER") == 2; }));
}

TEST_F(FtpClientTest, ConnectTimerEndsALoginThatNeverConnects) {
  // Nothing listens on the port: the refused connect leaves the port open
  // and the client in psLogin until the connect timer ends it.
  client->SetWsPort(std::to_string(ftptest::FreeLoopbackPort()));
  client->SetConnectTimeout(2);
  ASSERT_TRUE(client->Login());
  ASSERT_TRUE(PumpUntil([&] { return client->HasPrefix("error -1"); }, 5000)) << Joined();
  // The error is raised at once; the two close reports were posted.
  EXPECT_EQ(client->Events, (Events{"error -1", "status 0", "status 0"}));
  EXPECT_EQ(client->State(), TApdCustomFtpClient::psClosed);
}

TEST_F(FtpClientTest, SilentServerEndsInTheTransferTimeout) {
  ScriptedFtpServer server;
  server.SetGreeting("");
  client->SetTransferTimeout(3);
  client->SetWsPort(std::to_string(server.Port()));
  ASSERT_TRUE(client->Login());
  ASSERT_TRUE(PumpUntil([&] { return client->Has("status 9"); }, 5000)) << Joined();
  // The time-out is raised at once; the close reports were posted.
  EXPECT_EQ(client->Events, (Events{"status 9", "status 0", "status 0"}));
  EXPECT_FALSE(client->Connected());
}

// --- Directory commands --------------------------------------------------------

struct DirCase {
  const char* name;
  std::string argument;  // "" is CurrentDir through ChangeDir("")
  std::string command;
  std::string reply;
  std::string event;
};

class FtpDirTest : public FtpClientTest, public ::testing::WithParamInterface<DirCase> {};

TEST_P(FtpDirTest, OneCommandOneOutcome) {
  ScriptedFtpServer server;
  const DirCase& c = GetParam();
  server.On(c.command.substr(0, 3), c.reply);
  LogIn(server.Port());
  ASSERT_TRUE(client->ChangeDir(c.argument));
  ASSERT_TRUE(PumpToOutcome());
  Settle();
  EXPECT_EQ(client->Events, Events{c.event});
  EXPECT_EQ(server.Commands().back(), c.command);
  EXPECT_EQ(client->State(), TApdCustomFtpClient::psIdle);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, FtpDirTest,
    ::testing::Values(DirCase{"Changed", "//Program_TKV1", "CWD //Program_TKV1", "250 OK.\r\n",
                              "status 4"},
                      DirCase{"Refused", "nowhere", "CWD nowhere", "550 No such folder.\r\n",
                              "error 550 [550 No such folder.\r\n]"},
                      DirCase{"QuotedPath", "", "PWD", "257 \"/Program_TKV1\" is current.\r\n",
                              "status 5 [/Program_TKV1]"},
                      DirCase{"UnquotedPath", "", "PWD", "257 /pub is current.\r\n", "status 5 []"},
                      DirCase{"OneQuote", "", "PWD", "257 \"/pub is current.\r\n", "status 5 []"},
                      DirCase{"StatusText", "", "PWD", "211 System status.\r\n",
                              "status 6 [System status.\r\n]"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(FtpClientTest, OperationsRefuseTheWrongState) {
  EXPECT_FALSE(client->ChangeDir("x"));
  EXPECT_FALSE(client->CurrentDir());
  EXPECT_FALSE(client->ListDir("", false));
  EXPECT_FALSE(client->Retrieve("a", "b", rmReplace));
  EXPECT_FALSE(client->Abort());
  EXPECT_FALSE(client->Logout());
  ScriptedFtpServer server;
  LogIn(server.Port());
  EXPECT_FALSE(client->Abort()) << "nothing to abort while idle";
  EXPECT_FALSE(client->Retrieve("", "b", rmReplace));
  EXPECT_FALSE(client->Retrieve("a", "", rmReplace));
  Settle(100);
  EXPECT_EQ(server.CountOf("ABOR"), 0u);
  EXPECT_TRUE(client->Events.empty()) << Joined();
}

// --- Closing --------------------------------------------------------------------

TEST_F(FtpClientTest, ServiceClosingWhileIdleLogsOutWithoutError) {
  ScriptedFtpServer server;
  LogIn(server.Port());
  server.Send("421 Service closing.\r\n");
  ASSERT_TRUE(PumpUntil([&] { return client->Has("status 0"); })) << Joined();
  Settle();
  EXPECT_EQ(client->Events, (Events{"status 2", "log 2", "status 0"}));
  EXPECT_FALSE(client->Connected());
}

TEST_F(FtpClientTest, LogoutAnsweredWithinTheWaitReportsTwice) {
  ScriptedFtpServer server;
  LogIn(server.Port());
  EXPECT_TRUE(client->Logout());
  Settle();
  EXPECT_EQ(client->Events, (Events{"status 2", "log 2", "status 0"}));
  EXPECT_EQ(server.Commands().back(), "QUIT");
}

TEST_F(FtpClientTest, LogoutOfASlowServerReportsOnce) {
  ScriptedFtpServer server;
  Reply slow("221 Goodbye.\r\n");
  slow.delayMs = 1000;
  server.On("QUIT", slow);
  LogIn(server.Port());
  EXPECT_TRUE(client->Logout());
  Settle();
  EXPECT_EQ(client->Events, (Events{"status 2", "log 2"}));
}

TEST_F(FtpClientTest, ServerClosingTheConnectionLogsOut) {
  ScriptedFtpServer server;
  LogIn(server.Port());
  server.CloseControl();
  ASSERT_TRUE(PumpUntil([&] { return client->Has("status 2"); })) << Joined();
  Settle();
  EXPECT_EQ(client->Events, (Events{"status 2", "log 2"}));
}

TEST_F(FtpClientTest, NoEventsWhileDestroying) {
  ScriptedFtpServer server;
  LogIn(server.Port());
  Events seen;
  client->OnFtpStatus = [&](TObject*, TFtpStatusCode code, const char*) {
    seen.push_back("status " + std::to_string(code));
  };
  client->OnFtpReply = [&](TObject*, std::int32_t code, const char*) {
    seen.push_back("reply " + std::to_string(code));
  };
  client->OnFtpError = [&](TObject*, std::int32_t code, const char*) {
    seen.push_back("error " + std::to_string(code));
  };
  server.Send("250 A late reply.\r\n");
  server.WaitForCommand("NOTHING", 200);
  client->Free();  // closes the connection: no logout report either
  client = nullptr;
  Settle();
  EXPECT_TRUE(seen.empty());
}

// --- Settings ---------------------------------------------------------------------

TEST_F(FtpClientTest, AddressAndServiceCannotChangeWhileConnected) {
  EXPECT_EQ(client->WsPort(), "ftp");
  EXPECT_EQ(client->TransferTimeout(), 1092);
  EXPECT_EQ(client->ConnectTimeout(), 0);
  EXPECT_EQ(client->FileType(), ftBinary);
  EXPECT_FALSE(client->PassiveMode());
  client->SetServerAddress("  127.0.0.1  ");
  EXPECT_EQ(client->ServerAddress(), "127.0.0.1");
  ScriptedFtpServer server;
  LogIn(server.Port());
  try {
    client->SetServerAddress("127.0.0.2");
    FAIL() << "no exception";
  } catch (const EApdSocketException& e) {
    EXPECT_EQ(e.ErrorCode(), 9006);
  }
  EXPECT_THROW(client->SetWsPort("21"), EApdSocketException);
  EXPECT_NO_THROW(client->SetServerAddress("127.0.0.1"));
}

TEST_F(FtpClientTest, TheThirtyThirdPushOverflowsAndEmptiesTheStack) {
  for (int i = 0; i < 32; ++i)
    client->PushCommand("NOOP");
  try {
    client->PushCommand("NOOP");
    FAIL() << "no exception";
  } catch (const platform::Exception& e) {
    EXPECT_STREQ(e.what(), "FTP Command stack full");
  }
  EXPECT_NO_THROW(client->PushCommand("NOOP")) << "the stack was emptied";
}

TEST_F(FtpClientTest, TransferTimeoutEndsACommandWithoutAnswer) {
  ScriptedFtpServer server;
  server.On("CWD", "");
  LogIn(server.Port());
  client->SetTransferTimeout(3);
  ASSERT_TRUE(client->ChangeDir("slow"));
  ASSERT_TRUE(PumpToOutcome(5000)) << Joined();
  EXPECT_EQ(client->Events, Events{"status 9"});
  EXPECT_EQ(client->State(), TApdCustomFtpClient::psIdle);
}

TEST_F(FtpClientTest, TransferTimeoutOfZeroNeverExpires) {
  ScriptedFtpServer server;
  server.On("CWD", "");
  LogIn(server.Port());
  client->SetTransferTimeout(0);
  ASSERT_TRUE(client->ChangeDir("slow"));
  Settle(600);
  EXPECT_TRUE(client->Events.empty()) << Joined();
  EXPECT_EQ(client->State(), TApdCustomFtpClient::psCommand);
}

// --- Listings --------------------------------------------------------------------

struct ListCase {
  const char* name;
  bool passive;
  bool full;
  std::string folder;
  std::vector<std::string> commands;  // after the login
};

class FtpListTest : public FtpClientTest, public ::testing::WithParamInterface<ListCase> {};

TEST_P(FtpListTest, CommandsAndListing) {
  const ListCase& c = GetParam();
  ScriptedFtpServer server;
  const std::string line = c.commands.back();
  server.SetListing(line, "Setup.exe\r\nreadme.txt\r\n");
  LogIn(server.Port());
  client->SetPassiveMode(c.passive);
  client->SetFileType(ftBinary);
  ASSERT_TRUE(client->ListDir(c.folder, c.full));
  ASSERT_TRUE(PumpToOutcome()) << Joined();
  Settle();
  EXPECT_EQ(client->Events, Events{"status 6 [Setup.exe\r\nreadme.txt\r\n]"});
  std::vector<std::string> commands = server.Commands();
  commands.erase(commands.begin(), commands.begin() + 2);
  if (!c.passive) {
    ASSERT_FALSE(commands.empty());
    EXPECT_TRUE(commands.front().starts_with("PORT 127,0,0,1,")) << commands.front();
    commands.erase(commands.begin());
  }
  EXPECT_EQ(commands, c.commands);
  EXPECT_EQ(client->BytesTransferred(), 23);
}

INSTANTIATE_TEST_SUITE_P(
    Modes, FtpListTest,
    ::testing::Values(ListCase{"PassiveNames", true, false, "", {"TYPE A", "PASV", "NLST"}},
                      ListCase{"PassiveFolder", true, true, "pub", {"TYPE A", "PASV", "LIST pub"}},
                      ListCase{"ActiveNames", false, false, "", {"TYPE A", "NLST"}},
                      ListCase{"ActiveFull", false, true, "", {"TYPE A", "LIST"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(FtpClientTest, EmptyListingEndsWithEmptyText) {
  ScriptedFtpServer server;
  server.SetListing("NLST", "");
  LogIn(server.Port());
  client->SetPassiveMode(true);
  ASSERT_TRUE(client->ListDir("", false));
  ASSERT_TRUE(PumpToOutcome()) << Joined();
  EXPECT_EQ(client->Events, Events{"status 6 []"});
}

TEST_F(FtpClientTest, ListingLongerThanTheBufferArrivesWhole) {
  std::string names;
  for (int i = 0; names.size() < 5u * 1024 * 1024; ++i)
    names += "file_" + std::to_string(i) + ".dat\r\n";
  ScriptedFtpServer server;
  server.SetListing("NLST", names);
  LogIn(server.Port());
  client->SetPassiveMode(true);
  std::string listing;
  client->OnFtpStatus = [&](TObject*, TFtpStatusCode code, const char* info) {
    if (code == scDataAvail) listing = info;
  };
  ASSERT_TRUE(client->ListDir("", false));
  ASSERT_TRUE(PumpUntil([&] { return !listing.empty(); }));
  EXPECT_EQ(listing.size(), names.size());
  EXPECT_TRUE(listing == names);
}

// --- Retrieves --------------------------------------------------------------------

TEST_F(FtpClientTest, PassiveReplyAddressIsNotTrustedButItsPortIs) {
  ScriptedFtpServer server;
  server.SetPassivePort(5001);
  server.SetPassiveReply("227 Entering Passive Mode (192,168,1,2,19,137).\r\n");
  server.SetFile("a.bin", "abc");
  LogIn(server.Port());
  client->SetPassiveMode(true);
  ASSERT_TRUE(client->Retrieve("a.bin", "a.bin", rmReplace));
  ASSERT_TRUE(PumpToOutcome()) << Joined();
  if (client->HasPrefix("error")) GTEST_SKIP() << "port 5001 is in use here: " << Joined();
  EXPECT_EQ(client->Events, (Events{"log 6", "status 8"}));
  EXPECT_EQ(ReadFile("a.bin"), "abc");
}

struct RetrieveCase {
  const char* name;
  bool passive;
  TFtpRetrieveMode mode;
  std::string before;  // the local file before; "-" for none
  std::int32_t restartAt;
  std::string after;
  std::vector<std::string> commands;  // after the login, PORT left out
  std::int32_t restartAfter;
};

class FtpRetrieveTest : public FtpClientTest, public ::testing::WithParamInterface<RetrieveCase> {};

TEST_P(FtpRetrieveTest, LocalFileAndCommands) {
  const RetrieveCase& c = GetParam();
  ScriptedFtpServer server;
  server.SetFile("Setup.exe", "0123456789");
  if (c.before != "-") WriteFile("local.bin", c.before);
  LogIn(server.Port());
  client->SetPassiveMode(c.passive);
  client->SetRestartAt(c.restartAt);
  ASSERT_TRUE(client->Retrieve("Setup.exe", "local.bin", c.mode));
  ASSERT_TRUE(PumpToOutcome()) << Joined();
  Settle();
  EXPECT_TRUE(client->Has("status 8")) << Joined();
  EXPECT_FALSE(client->HasPrefix("error")) << Joined();
  EXPECT_EQ(ReadFile("local.bin"), c.after);
  std::vector<std::string> commands = server.Commands();
  commands.erase(commands.begin(), commands.begin() + 2);
  std::erase_if(commands, [](const std::string& s) { return s.starts_with("PORT "); });
  EXPECT_EQ(commands, c.commands);
  EXPECT_EQ(client->RestartAt(), c.restartAfter);
  const std::int32_t fetched = c.mode == rmRestart || c.mode > rmRestart ? 10 - c.restartAfter : 10;
  EXPECT_EQ(client->BytesTransferred(), fetched) << "only the bytes of this transfer count";
}

INSTANTIATE_TEST_SUITE_P(
    Modes, FtpRetrieveTest,
    ::testing::Values(RetrieveCase{"ReplaceCutsALongerFile",
                                   true,
                                   rmReplace,
                                   "a much longer old file",
                                   0,
                                   "0123456789",
                                   {"TYPE I", "PASV", "RETR Setup.exe"},
                                   0},
                      RetrieveCase{"ReplaceActive",
                                   false,
                                   rmReplace,
                                   "-",
                                   0,
                                   "0123456789",
                                   {"TYPE I", "RETR Setup.exe"},
                                   0},
                      RetrieveCase{"AppendAddsAfterTheOldBytes",
                                   true,
                                   rmAppend,
                                   "old",
                                   0,
                                   "old0123456789",
                                   {"TYPE I", "PASV", "RETR Setup.exe"},
                                   0},
                      RetrieveCase{"RestartBeyondTheFileUsesItsSize",
                                   true,
                                   rmRestart,
                                   "0123",
                                   99,
                                   "0123456789",
                                   {"TYPE I", "PASV", "REST 4", "RETR Setup.exe"},
                                   4},
                      RetrieveCase{"RestartNegativeUsesTheSize",
                                   false,
                                   rmRestart,
                                   "01234",
                                   -5,
                                   "0123456789",
                                   {"TYPE I", "REST 5", "RETR Setup.exe"},
                                   5},
                      RetrieveCase{"RestartWithinTheFile",
                                   true,
                                   static_cast<TFtpRetrieveMode>(7),
                                   "01xxxx",
                                   2,
                                   "0123456789",
                                   {"TYPE I", "PASV", "REST 2", "RETR Setup.exe"},
                                   2}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(FtpClientTest, RetrieveOfABigFileArrivesByteForByte) {
  const std::string bytes = Pattern(8 * 1024 * 1024 + 17);
  ScriptedFtpServer server;
  server.SetFile("big.bin", bytes);
  LogIn(server.Port());
  client->SetPassiveMode(true);
  ASSERT_TRUE(client->Retrieve("big.bin", "big.bin", rmReplace));
  ASSERT_TRUE(PumpToOutcome(60000)) << Joined();
  EXPECT_EQ(client->Events, (Events{"log 6", "status 8"}));
  EXPECT_TRUE(ReadFile("big.bin") == bytes);
  EXPECT_EQ(client->BytesTransferred(), static_cast<std::int32_t>(bytes.size()));
  EXPECT_GE(client->Progress, static_cast<int>(bytes.size() / FtpBufferSize));
}

TEST_F(FtpClientTest, FinalReplyBeforeTheDataCloseStillWaitsForAllBytes) {
  const std::string bytes = Pattern(300000);
  Transfer how;
  how.finalBeforeClose = true;
  ScriptedFtpServer server;
  server.SetFile("f", bytes, how);
  LogIn(server.Port());
  client->SetPassiveMode(true);
  ASSERT_TRUE(client->Retrieve("f", "f", rmReplace));
  ASSERT_TRUE(PumpToOutcome()) << Joined();
  EXPECT_EQ(client->Events, (Events{"log 6", "status 8"}));
  EXPECT_TRUE(ReadFile("f") == bytes);
}

// A failed transfer gives one error, and the client is in step with the
// server for the next operation.
struct FailureCase {
  const char* name;
  Transfer how;
  std::string local;
  std::string errorPrefix;
};

class FtpFailureTest : public FtpClientTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(FtpFailureTest, OneErrorAndInStepAfterwards) {
  const FailureCase& c = GetParam();
  ScriptedFtpServer server;
  server.SetFile("f", Pattern(200000), c.how);
  server.SetFile("next", "next file");
  LogIn(server.Port());
  client->SetPassiveMode(true);
  client->SetTransferTimeout(40);
  ASSERT_TRUE(client->Retrieve("f", c.local, rmReplace));
  ASSERT_TRUE(PumpToOutcome()) << Joined();
  Settle(500);
  EXPECT_FALSE(client->Has("status 8")) << Joined();
  int errors = 0;
  for (const std::string& e : client->Events)
    errors += e.starts_with("error");
  EXPECT_EQ(errors, 1) << Joined();
  EXPECT_TRUE(client->HasPrefix(c.errorPrefix)) << Joined();
  EXPECT_EQ(client->State(), TApdCustomFtpClient::psIdle);

  ExpectNextFileWhole();
}

Transfer Finally(const char* reply) {
  Transfer t;
  t.finalReply = reply;
  return t;
}
Transfer ResetAfter(std::size_t n) {
  Transfer t;
  t.resetDataAfter = n;
  t.finalReply = "426 Connection closed; transfer aborted.\r\n";
  return t;
}

INSTANTIATE_TEST_SUITE_P(
    Endings, FtpFailureTest,
    ::testing::Values(
        FailureCase{"AbortedAfterAllData", Finally("426 Transfer aborted.\r\n"), "f", "error 426"},
        FailureCase{"LocalErrorAfterAllData", Finally("451 Local error.\r\n"), "f", "error 451"},
        FailureCase{"DataReset", ResetAfter(70000), "f", "error "},
        FailureCase{"DiskFull", Transfer{}, "/dev/full", "error -101 [Disk is full"}),
    [](const auto& info) { return std::string(info.param.name); });

// A server that refuses the transfer may reset the passive data connection
// it never accepted just before its refusal (proftpd does). The refusal is
// what the user must hear, once, and the client stays in step.
TEST_F(FtpClientTest, RefusedTransferReportsTheReplyNotTheDataReset) {
  ScriptedFtpServer server;
  server.SetFile("next", "next file");
  LogIn(server.Port());
  client->SetPassiveMode(true);
  for (int round = 0; round < 5; ++round) {
    client->Events.clear();
    ASSERT_TRUE(round % 2 == 0 ? client->Retrieve("gone", "gone", rmReplace)
                               : client->ListDir("gone", false));
    ASSERT_TRUE(PumpToOutcome()) << Joined();
    Settle(100);
    const std::string log = round % 2 == 0 ? "log 6" : "";
    Events expected{"error 550 [550 No such file or directory.\r\n]"};
    if (!log.empty()) expected.insert(expected.begin(), log);
    EXPECT_EQ(client->Events, expected) << "round " << round;
  }
  ExpectNextFileWhole();
}

TEST_F(FtpClientTest, MissingFinalReplyEndsInTheTransferTimeout) {
  Transfer how;
  how.finalReply.reset();
  ScriptedFtpServer server;
  server.SetFile("f", "all the bytes", how);
  LogIn(server.Port());
  client->SetPassiveMode(true);
  client->SetTransferTimeout(10);
  ASSERT_TRUE(client->Retrieve("f", "f", rmReplace));
  ASSERT_TRUE(PumpToOutcome()) << Joined();
  EXPECT_EQ(client->Events, (Events{"log 6", "status 9"}));
}

TEST_F(FtpClientTest, UnopenableLocalFileLeavesTheClientIdle) {
  ScriptedFtpServer server;
  server.SetFile("f", "bytes");
  LogIn(server.Port());
  client->SetPassiveMode(true);
  EXPECT_THROW(client->Retrieve("f", "missing_folder/f", rmReplace), EInOutError);
  EXPECT_EQ(client->State(), TApdCustomFtpClient::psIdle);
  ASSERT_TRUE(client->Retrieve("f", "f", rmReplace)) << "the next operation runs at once";
  ASSERT_TRUE(PumpToOutcome()) << Joined();
  EXPECT_EQ(client->Events, (Events{"log 6", "status 8"}));
  EXPECT_EQ(server.CountOf("RETR"), 1u);
}

// --- Replies a server should not send ----------------------------------------------

TEST_F(FtpClientTest, HugeReplyKeepsItsStartAndTheClientInStep) {
  // A multi-line reply of 1 MiB in lines of 1 KiB.
  std::string reply;
  for (int i = 0; i < 1024; ++i)
    reply += "250-" + std::string(1018, 'x') + "\r\n";
  reply += "250 done\r\n";
  ScriptedFtpServer server;
  server.On("CWD", reply);
  LogIn(server.Port());
  ASSERT_TRUE(client->ChangeDir("big"));
  ASSERT_TRUE(PumpToOutcome()) << Joined();
  EXPECT_EQ(client->Events, Events{"status 4"});
  client->Events.clear();
  ASSERT_TRUE(client->CurrentDir());
  ASSERT_TRUE(PumpToOutcome()) << Joined();
  EXPECT_EQ(client->Events, Events{"status 5 [/]"});
}

TEST_F(FtpClientTest, EndlessReplyLineEndsTheConnectionWithOneError) {
  ScriptedFtpServer server;
  server.On("CWD", std::string(200000, 'x'));
  LogIn(server.Port());
  ASSERT_TRUE(client->ChangeDir("x"));
  ASSERT_TRUE(PumpUntil([&] { return client->Has("status 0"); })) << Joined();
  Settle();
  EXPECT_EQ(client->Events,
            (Events{"error 0 [Reply line too long: the server sent more than 65536 bytes "
                    "without CR LF]",
                    "status 2", "log 2", "status 0"}));
  EXPECT_FALSE(client->Connected());
}

TEST_F(FtpClientTest, OverlongReplyTextIsCutAtTheBuffer) {
  ScriptedFtpServer server;
  server.On("CWD", "550 " + std::string(40000, 'y') + "\r\n");
  LogIn(server.Port());
  std::string text;
  client->OnFtpError = [&](TObject*, std::int32_t, const char* t) { text = t; };
  ASSERT_TRUE(client->ChangeDir("x"));
  ASSERT_TRUE(PumpUntil([&] { return !text.empty(); }));
  EXPECT_EQ(text.size(), static_cast<std::size_t>(MaxReplyText));
  EXPECT_EQ(text.substr(0, 5), "550 y");
}

}  // namespace
