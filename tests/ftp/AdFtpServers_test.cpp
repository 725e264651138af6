// The FTP client against real servers from Debian on 127.0.0.1, in passive
// and active mode: login, the current folder, a change of folder, both
// listings and retrieves in the three modes, a restart beyond the end of the
// file, a large file byte for byte. One table of servers: what differs
// between them is written in their row.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "FtpClientSupport.h"

namespace {

using ftp_test::FtpClientTest;
using ftptest::RealFtpServer;

struct ServerCase {
  const char* name;
  std::function<std::unique_ptr<RealFtpServer>()> start;
  bool passive;
  // The events of a restart at an offset beyond the end of the file.
  std::vector<std::string> restartBeyondEnd;
};

class FtpRealServerTest : public FtpClientTest, public ::testing::WithParamInterface<ServerCase> {
 protected:
  void SetUp() override {
    FtpClientTest::SetUp();
    server = GetParam().start();
    if (!server->Running()) GTEST_SKIP() << server->Error();
    server->AddFolder("Program_TKV1");
    server->AddFile("Program_TKV1/Setup.exe", "#!/bin/sh\necho installed\n");
    server->AddFile("Program_TKV1/data.bin", Pattern(100000));
    client->SetUserName(server->User());
    client->SetPassword(server->Password());
    LogIn(server->Port());
    client->SetPassiveMode(GetParam().passive);
  }

  // Runs one operation to its outcome and returns the events it gave.
  std::vector<std::string> Run(const std::function<bool()>& operation) {
    client->Events.clear();
    EXPECT_TRUE(operation());
    EXPECT_TRUE(PumpToOutcome(60000)) << Joined();
    return client->Events;
  }

  std::unique_ptr<RealFtpServer> server;
};

TEST_P(FtpRealServerTest, FoldersAndListings) {
  EXPECT_EQ(Run([&] { return client->CurrentDir(); }), std::vector<std::string>{"status 5 [/]"});
  EXPECT_EQ(Run([&] { return client->ChangeDir("//Program_TKV1"); }),
            std::vector<std::string>{"status 4"});
  const auto names = Run([&] { return client->ListDir("", false); });
  ASSERT_EQ(names.size(), 1u) << Joined();
  EXPECT_NE(names[0].find("Setup.exe"), std::string::npos) << names[0];
  EXPECT_NE(names[0].find("data.bin"), std::string::npos) << names[0];
  const auto full = Run([&] { return client->ListDir("", true); });
  ASSERT_EQ(full.size(), 1u) << Joined();
  EXPECT_NE(full[0].find("100000"), std::string::npos) << "LIST shows sizes: " << full[0];
}

TEST_P(FtpRealServerTest, RetrieveModes) {
  ASSERT_EQ(Run([&] { return client->ChangeDir("/Program_TKV1"); }),
            std::vector<std::string>{"status 4"});
  const std::string whole = Pattern(100000);
  EXPECT_EQ(Run([&] { return client->Retrieve("data.bin", "data.bin", rmReplace); }),
            (std::vector<std::string>{"log 6", "status 8"}));
  EXPECT_TRUE(ReadFile("data.bin") == whole);

  WriteFile("half.bin", whole.substr(0, 40000));
  client->SetRestartAt(40000);
  EXPECT_EQ(Run([&] { return client->Retrieve("data.bin", "half.bin", rmRestart); }),
            (std::vector<std::string>{"log 9", "status 8"}));
  EXPECT_TRUE(ReadFile("half.bin") == whole);
  EXPECT_EQ(client->BytesTransferred(), 60000);

  WriteFile("more.bin", "head:");
  EXPECT_EQ(Run([&] { return client->Retrieve("Setup.exe", "more.bin", rmAppend); }),
            (std::vector<std::string>{"log 6", "status 8"}));
  EXPECT_EQ(ReadFile("more.bin"), "head:#!/bin/sh\necho installed\n");
}

// A restart offset beyond the file: most servers refuse the RETR with 554,
// which is the one error; vsftpd opens the transfer and sends nothing, which
// is a success with no bytes. Either way the local file keeps its bytes.
TEST_P(FtpRealServerTest, RestartBeyondTheEndOfTheFile) {
  const std::string local = Pattern(200000);
  WriteFile("long.bin", local);
  client->SetRestartAt(200000);
  const auto events =
      Run([&] { return client->Retrieve("/Program_TKV1/data.bin", "long.bin", rmRestart); });
  ASSERT_EQ(events.size(), GetParam().restartBeyondEnd.size()) << Joined();
  for (std::size_t i = 0; i < events.size(); ++i)
    EXPECT_TRUE(events[i].starts_with(GetParam().restartBeyondEnd[i])) << Joined();
  EXPECT_TRUE(ReadFile("long.bin") == local);
  Settle();
  EXPECT_EQ(client->Events.size(), events.size()) << "one outcome only: " << Joined();
}

TEST_P(FtpRealServerTest, LargeFileArrivesByteForByte) {
  const std::string big = Pattern(64u * 1024 * 1024 + 5);
  server->AddFile("big.bin", big);
  EXPECT_EQ(Run([&] { return client->Retrieve("/big.bin", "big.bin", rmReplace); }),
            (std::vector<std::string>{"log 6", "status 8"}));
  EXPECT_EQ(client->BytesTransferred(), static_cast<std::int32_t>(big.size()));
  EXPECT_TRUE(ReadFile("big.bin") == big);
}

TEST_P(FtpRealServerTest, MissingFileIsOneErrorAndLogoutEndsTheSession) {
  const auto events = Run([&] { return client->Retrieve("nothing.here", "x", rmReplace); });
  ASSERT_EQ(events.size(), 2u) << Joined();
  EXPECT_EQ(events[0], "log 6");
  EXPECT_TRUE(events[1].starts_with("error 550")) << events[1];
  client->Events.clear();
  EXPECT_TRUE(client->Logout());
  Settle();
  EXPECT_EQ(client->Events, (std::vector<std::string>{"status 2", "log 2", "status 0"}));
}

std::unique_ptr<RealFtpServer> StartPyFtpd() {
  return std::make_unique<ftptest::PyFtpdServer>();
}
std::unique_ptr<RealFtpServer> StartVsftpd() {
  return std::make_unique<ftptest::VsftpdServer>();
}

std::unique_ptr<RealFtpServer> StartPureFtpd() {
  return std::make_unique<ftptest::PureFtpdServer>();
}
std::unique_ptr<RealFtpServer> StartProftpd() {
  return std::make_unique<ftptest::ProftpdServer>();
}

const std::vector<std::string> kRefused{"log 9", "error 554"};
const std::vector<std::string> kNothingSent{"log 9", "status 8"};

INSTANTIATE_TEST_SUITE_P(
    Servers, FtpRealServerTest,
    ::testing::Values(ServerCase{"PyftpdlibPassive", StartPyFtpd, true, kRefused},
                      ServerCase{"PyftpdlibActive", StartPyFtpd, false, kRefused},
                      ServerCase{"VsftpdPassive", StartVsftpd, true, kNothingSent},
                      ServerCase{"VsftpdActive", StartVsftpd, false, kNothingSent},
                      ServerCase{"PureFtpdPassive", StartPureFtpd, true, kRefused},
                      ServerCase{"PureFtpdActive", StartPureFtpd, false, kRefused},
                      ServerCase{"ProftpdPassive", StartProftpd, true, kRefused},
                      ServerCase{"ProftpdActive", StartProftpd, false, kRefused}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
