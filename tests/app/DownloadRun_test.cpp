// The download run of the window on the headless backend, against the
// scripted FTP server on 127.0.0.1: the press, the three timers and the
// client's events driven through the message loop, the files that arrive,
// the boxes the user sees and the names that are never fetched.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "app/uGetUpdateFile.h"
#include "ftp/FtpServers.h"
#include "platform/Pump.h"
#include "platform/TempFolder.h"
#include "platform/toolkit/Headless.h"
#include "socket/AwWnsock.h"
#include "socket/SocketSupport.h"

namespace {

namespace fs = std::filesystem;
using ftptest::ScriptedFtpServer;

const char kQuestion[] = "Required files had been completely downloaded, install program now?";

// The window on the headless backend with the socket layer and the message
// loop put back afterwards; the subclass starts it against its server.
class WindowRunFixture : public TempFolderTest {
 protected:
  void SetUp() override {
    TempFolderTest::SetUp();
    platform::ResetMessageLoopForTesting();
    platform::UseHeadlessBackend();
    platform::HeadlessBoxes().Reset();
    UnloadWinsock();
    WinsockDispatcherStartup();
  }
  void StartWindow(TDistributionServer distribution) {
    application = new TApplication();
    window = StartApplication(*application, std::move(distribution));
  }
  void TearDown() override {
    delete application;
    WinsockDispatcherShutdown();
    UnloadWinsock();
    platform::RegisterWinsockModule();
    EXPECT_EQ(platform::HeadlessBoxes().Pending(), 0) << "a scripted box was never shown";
    platform::HeadlessBoxes().Reset();
    SwitchAllLanguages(0);
    platform::ResetMessageLoopForTesting();
    TempFolderTest::TearDown();
  }

  fs::path Target(const std::string& edition = "Program_TKV1") const {
    return fs::path(Folder()) / "data" / "tkv-setup" / "drive_c" / edition;
  }
  static std::string Read(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
  }
  std::vector<std::string> Received() const { return window->Memo1->Lines().Lines(); }
  // Every box shown so far, as "caption|text".
  std::vector<std::string> Boxes() const {
    std::vector<std::string> boxes;
    for (const auto& box : platform::HeadlessBoxes().Shown())
      boxes.push_back(box.Caption + "|" + box.Text);
    return boxes;
  }
  bool BoxShown(const std::string& text) const {
    for (const auto& box : platform::HeadlessBoxes().Shown())
      if (box.Text == text) return true;
    return false;
  }

  // Presses "Download File" and runs the loop until ended() holds, the run's
  // timer is off and a scripted answer has been taken, then lets the last
  // reports of the logout arrive.
  void PressAndRun(int answer, const std::function<bool()>& ended) {
    if (answer != 0) platform::HeadlessBoxes().Answer(answer);
    window->btnFileDownload->Click();
    ASSERT_TRUE(PumpUntil(
        [&] {
          return ended() && !window->Timer1->Enabled() &&
                 (answer == 0 || platform::HeadlessBoxes().Pending() == 0);
        },
        60000))
        << "status: " << window->StatusBar1->SimpleText();
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
    PumpUntil([&] { return std::chrono::steady_clock::now() >= until; });
  }

  TApplication* application = nullptr;
  TGetUpdateFile* window = nullptr;
};

class DownloadRunTest : public WindowRunFixture {
 protected:
  void SetUp() override {
    WindowRunFixture::SetUp();
    server.On("CWD //Program_TKV1", "250 Folder changed.\r\n");
    server.On("CWD //Program_TKV", "250 Folder changed.\r\n");
    StartWindow(
        TDistributionServer{"127.0.0.1", "tkvdem", "demo2026", std::to_string(server.Port())});
  }

  // Presses "Download File" and runs the loop until the run has logged out
  // and finished (the question, when there is one, is answered by then).
  void Run(int answer = 0) {
    const std::size_t quits = server.CountOf("QUIT");
    PressAndRun(answer, [&] { return server.CountOf("QUIT") > quits; });
  }

  ScriptedFtpServer server;
};

TEST_F(DownloadRunTest, WholeRunFetchesTheListedFilesInServerOrder) {
  server.SetListing("NLST", "zeta.txt\r\n\r\n  Setup.exe \t\r\n\talpha.bin\rlast.dat");
  server.SetFile("zeta.txt", "z");
  server.SetFile("Setup.exe", "#!/bin/sh\n");
  server.SetFile("alpha.bin", std::string(100000, 'a'));
  server.SetFile("last.dat", "l");
  Run(platform::IDNO);
  EXPECT_EQ(Received(),
            (std::vector<std::string>{"zeta.txt", "Setup.exe", "alpha.bin", "last.dat"}));
  EXPECT_EQ(Read(Target() / "SetupTKV1.exe"), "#!/bin/sh\n");
  EXPECT_FALSE(fs::exists(Target() / "Setup.exe"));
  EXPECT_EQ(Read(Target() / "alpha.bin"), std::string(100000, 'a'));
  EXPECT_EQ(window->ReceivedCount, 4);
  EXPECT_EQ(Boxes(), (std::vector<std::string>{"Confirm|" + std::string(kQuestion)}));
  EXPECT_FALSE(application->Terminated()) << "No leaves the window open";
  const std::vector<std::string> listed = window->FileListBox1->Items().Lines();
  EXPECT_NE(std::find(listed.begin(), listed.end(), "SetupTKV1.exe"), listed.end());
  EXPECT_EQ(window->StatusBar1->SimpleText(), "Logged out");

  std::vector<std::string> commands = server.Commands();
  EXPECT_EQ(commands, (std::vector<std::string>{"USER tkvdem",
                                                "PASS demo2026",
                                                "PWD",
                                                "TYPE A",
                                                "PASV",
                                                "NLST",
                                                "CWD //Program_TKV1",
                                                "PWD",
                                                "TYPE A",
                                                "PASV",
                                                "NLST",
                                                "TYPE I",
                                                "PASV",
                                                "RETR zeta.txt",
                                                "TYPE I",
                                                "PASV",
                                                "RETR Setup.exe",
                                                "TYPE I",
                                                "PASV",
                                                "RETR alpha.bin",
                                                "TYPE I",
                                                "PASV",
                                                "RETR last.dat",
                                                "QUIT"}));
}

TEST_F(DownloadRunTest, InstallerNameFollowsTheEditionSelectedAndItsLetterCase) {
  window->TKV->SetChecked(true);
  window->TKV->Click();
  server.SetListing("NLST", "Setup.exe\r\nsetup.EXE\r\n");
  server.SetFile("Setup.exe", "installer");
  server.SetFile("setup.EXE", "other");
  Run(platform::IDCANCEL);
  EXPECT_EQ(server.CountOf("CWD //Program_TKV"), 1u);
  const fs::path target = fs::current_path();
  EXPECT_EQ(Read(target / "SetupTKV.exe"), "installer");
  EXPECT_EQ(Read(target / "setup.EXE"), "other");
}

TEST_F(DownloadRunTest, EmptyListAsksNothingButReceivedFilesCountAcrossRuns) {
  server.SetListing("NLST", "");
  Run();
  EXPECT_TRUE(Boxes().empty());
  EXPECT_EQ(window->ReceivedCount, 0);

  server.SetListing("NLST", "one.txt\r\n");
  server.SetFile("one.txt", "1");
  Run(platform::IDNO);
  EXPECT_EQ(window->ReceivedCount, 1);

  server.SetListing("NLST", "\r\n");
  Run(platform::IDNO);
  EXPECT_EQ(window->ReceivedCount, 1);
  EXPECT_TRUE(Received().empty()) << "a press clears the received list";
  EXPECT_EQ(Boxes().size(), 2u) << "the count is never reset, so the question comes again";
}

TEST_F(DownloadRunTest, FailedFileIsSkippedWithOneWarningAndLeavesNothingBehind) {
  server.SetListing("NLST", "first.txt\r\nSetup.exe\r\nthird.txt\r\n");
  server.SetFile("first.txt", "1");
  ftptest::Transfer broken;
  broken.finalReply = "426 Connection closed; transfer aborted.\r\n";
  server.SetFile("Setup.exe", std::string(50000, 's'), broken);
  server.SetFile("third.txt", "3");
  platform::HeadlessBoxes().Answer(platform::IDOK);
  Run(platform::IDNO);
  EXPECT_EQ(Received(), (std::vector<std::string>{"first.txt", "third.txt"}));
  EXPECT_EQ(window->ReceivedCount, 2);
  EXPECT_EQ(Boxes(),
            (std::vector<std::string>{"FTP Error: 426|426 Connection closed; transfer aborted.\r\n",
                                      "Confirm|" + std::string(kQuestion)}));
  EXPECT_FALSE(fs::exists(Target() / "SetupTKV1.exe")) << "no truncated installer stays";

  platform::HeadlessBoxes().Answer(platform::IDOK);
  window->btnInstall->Click();
  EXPECT_TRUE(BoxShown("Required files not complete !"));
  EXPECT_TRUE(application->Terminated());
}

TEST_F(DownloadRunTest, NamesThatLeaveTheFolderAreNeverFetched) {
  server.SetListing(
      "NLST", ".\r\n..\r\n../x\r\n/etc/passwd\r\na\\b\r\nC:x\r\nbell\x07.txt\r\ngood.txt\r\n");
  server.SetFile("good.txt", "g");
  Run(platform::IDNO);
  EXPECT_EQ(Received(), std::vector<std::string>{"good.txt"});
  EXPECT_EQ(server.CountOf("RETR"), 1u);
  EXPECT_TRUE(Boxes().size() == 1) << "no error for names passed over";
}

TEST_F(DownloadRunTest, TenThousandNamesAreSiftedAndThePlainOnesFetched) {
  // Fetching ten thousand files would take minutes; the listing holds that
  // many names, and all but three of them point into a folder.
  std::string listing = "first.txt\r\n";
  for (int i = 0; i < 10000; ++i) {
    listing += "sub/n" + std::to_string(i) + "\r\n";
    if (i == 5000) listing += "middle.txt\r\n";
  }
  listing += "last.txt\r\n";
  server.SetListing("NLST", listing);
  for (const char* name : {"first.txt", "middle.txt", "last.txt"})
    server.SetFile(name, name);
  Run(platform::IDNO);
  EXPECT_EQ(Received(), (std::vector<std::string>{"first.txt", "middle.txt", "last.txt"}));
  EXPECT_EQ(server.CountOf("RETR"), 3u);
  EXPECT_EQ(Read(Target() / "middle.txt"), "middle.txt");
  EXPECT_FALSE(fs::exists(Target() / "sub"));
}

TEST_F(DownloadRunTest, SilentServerTimesOutAndTheWindowStaysUsable) {
  server.SetGreeting("");
  platform::HeadlessBoxes().Answer(platform::IDOK);
  window->btnFileDownload->Click();
  // The window's own time-out is minutes long; the connection is not made
  // yet, so a short one still applies to this run.
  window->ApdFtpClient1->SetTransferTimeout(10);
  ASSERT_TRUE(PumpUntil([&] { return BoxShown("Transfer timed out"); }, 20000))
      << "status: " << window->StatusBar1->SimpleText();
  ASSERT_TRUE(PumpUntil([&] { return !window->ApdFtpClient1->Connected(); }, 5000));
  EXPECT_TRUE(Received().empty());

  // The next press, on a server that answers, is a whole run.
  server.SetGreeting("220 Back.\r\n");
  server.SetListing("NLST", "one.txt\r\n");
  server.SetFile("one.txt", "1");
  Run(platform::IDNO);
  EXPECT_EQ(Received(), std::vector<std::string>{"one.txt"});
}

TEST_F(DownloadRunTest, UnwritableLocalFileIsAWarningAndTheRunGoesOn) {
  fs::create_directories(Target() / "blocked.txt");
  server.SetListing("NLST", "blocked.txt\r\nok.txt\r\n");
  server.SetFile("blocked.txt", "b");
  server.SetFile("ok.txt", "ok");
  platform::HeadlessBoxes().Answer(platform::IDOK);
  Run(platform::IDNO);
  ASSERT_EQ(platform::HeadlessBoxes().Shown().size(), 2u);
  EXPECT_TRUE(platform::HeadlessBoxes().Shown()[0].Caption.starts_with("FTP Error: -"));
  EXPECT_EQ(Received(), std::vector<std::string>{"ok.txt"});
  EXPECT_EQ(server.CountOf("RETR"), 1u) << "the unwritable file was never asked for";
}

TEST_F(DownloadRunTest, YesStartsTheInstallerAndEndsTheProgram) {
  const fs::path marker = fs::path(Folder()) / "installer-ran";
  server.SetListing("NLST", "Setup.exe\r\n");
  server.SetFile("Setup.exe", "#!/bin/sh\necho ran > '" + marker.string() + "'\n");
  Run(platform::IDYES);
  EXPECT_TRUE(application->Terminated());
  EXPECT_TRUE(PumpUntil([&] { return fs::exists(marker); }, 10000));
}

TEST_F(DownloadRunTest, InstallBeforeAnythingWasReceived) {
  platform::HeadlessBoxes().Answer(platform::IDOK);
  window->btnInstall->Click();
  EXPECT_EQ(Boxes(), (std::vector<std::string>{"TKV/TKV1 Setup|Required files not complete !"}));
  EXPECT_TRUE(application->Terminated());
}

TEST_F(DownloadRunTest, CloseRestoresTheEnglishCaptionInChinese) {
  window->BitBtn1->Click();
  ASSERT_NE(window->Caption(), window->SavedCaption);
  server.SetGreeting("421 Too busy.\r\n");
  window->btnFileDownload->Click();
  EXPECT_EQ(window->StatusBar1->SimpleText(), "請稍候.....");
  ASSERT_TRUE(PumpUntil([&] { return window->Caption() == window->SavedCaption; }, 10000));
  EXPECT_EQ(window->SavedCaption, "Program Installation System  (Updated on 2019/03/25)");
}

// The whole run against each real server, from the demo account's root:
// the edition's folder, its files byte for byte, the installer under its
// edition's name, the question, and the logout. pure-ftpd lists "." and
// "..", which the run passes over.
struct RealServerRun {
  const char* name;
  std::function<std::unique_ptr<ftptest::RealFtpServer>()> start;
};

class RealServerRunTest : public WindowRunFixture,
                          public ::testing::WithParamInterface<RealServerRun> {
 protected:
  void SetUp() override {
    WindowRunFixture::SetUp();
    server = GetParam().start();
    if (!server->Running()) GTEST_SKIP() << server->Error();
    StartWindow(TDistributionServer{"127.0.0.1", server->User(), server->Password(),
                                    std::to_string(server->Port())});
  }

  std::unique_ptr<ftptest::RealFtpServer> server;
};

TEST_P(RealServerRunTest, WholeRunFetchesTheEditionsFiles) {
  std::string data(3 * 1024 * 1024 + 7, '\0');
  for (std::size_t i = 0; i < data.size(); ++i)
    data[i] = static_cast<char>((i * 131) ^ (i >> 9));
  server->AddFile("Program_TKV1/Setup.exe", "#!/bin/sh\necho installed\n");
  server->AddFile("Program_TKV1/data.bin", data);
  server->AddFile("Program_TKV1/readme.txt", "read me\n");
  server->AddFile("Program_TKV/other.txt", "another edition\n");
  PressAndRun(platform::IDNO, [&] { return window->StatusBar1->SimpleText() == "Logged out"; });
  std::vector<std::string> received = Received();
  std::sort(received.begin(), received.end());
  EXPECT_EQ(received, (std::vector<std::string>{"Setup.exe", "data.bin", "readme.txt"}));
  EXPECT_EQ(window->ReceivedCount, 3);
  EXPECT_EQ(Read(Target() / "SetupTKV1.exe"), "#!/bin/sh\necho installed\n");
  EXPECT_TRUE(Read(Target() / "data.bin") == data) << "data.bin differs";
  EXPECT_EQ(Read(Target() / "readme.txt"), "read me\n");
  EXPECT_FALSE(fs::exists(Target() / "other.txt"));
  EXPECT_EQ(Boxes(), (std::vector<std::string>{"Confirm|" + std::string(kQuestion)}));
  EXPECT_FALSE(application->Terminated());
}

INSTANTIATE_TEST_SUITE_P(
    Servers, RealServerRunTest,
    ::testing::Values(
        RealServerRun{"Pyftpdlib", [] { return std::make_unique<ftptest::PyFtpdServer>(); }},
        RealServerRun{"Vsftpd", [] { return std::make_unique<ftptest::VsftpdServer>(); }},
        RealServerRun{"PureFtpd", [] { return std::make_unique<ftptest::PureFtpdServer>(); }},
        RealServerRun{"Proftpd", [] { return std::make_unique<ftptest::ProftpdServer>(); }}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
