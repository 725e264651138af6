// The test FTP servers themselves, driven by plain blocking sockets, so that
// a fault of theirs is never taken for a fault of the client: the scripted
// server's dialogue, its rules, both data modes, its transfer faults, and
// the real servers' greeting and a file over PASV.
#include "ftp/FtpServers.h"
#include "ftp/FtpServersPosix.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using ftptest::LoopbackAddress;
using ftptest::Reply;
using ftptest::ScriptedFtpServer;
using ftptest::Transfer;

// One blocking connection of the test to 127.0.0.1. Reads give up after a
// few seconds, so a missing answer fails the test instead of hanging it.
class Peer {
 public:
  explicit Peer(std::uint16_t port) : Peer(::socket(AF_INET, SOCK_STREAM, 0)) {
    const sockaddr_in a = LoopbackAddress(port);
    EXPECT_EQ(::connect(fd_, reinterpret_cast<const sockaddr*>(&a), sizeof a), 0) << port;
  }
  explicit Peer(int fd) : fd_(fd) {
    const timeval limit{5, 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  }
  ~Peer() { ::close(fd_); }
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;

  void SendLine(const std::string& line) {
    const std::string bytes = line + "\r\n";
    ASSERT_EQ(::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
  }

  // Exactly n bytes, or what came before the end, a reset or the time-out.
  std::string Read(std::size_t n) {
    std::string got;
    while (got.size() < n) {
      const std::size_t want = n - got.size();
      std::string buffer(want, '\0');
      const ssize_t r = ::recv(fd_, buffer.data(), want, 0);
      if (r <= 0) break;
      got.append(buffer, 0, static_cast<std::size_t>(r));
    }
    return got;
  }

  // One whole reply: lines up to the one that starts with the code and a
  // blank, each with its CR LF.
  std::string Reply() {
    std::string text, line;
    for (;;) {
      const std::string c = Read(1);
      if (c.empty()) return text + line;
      line += c;
      if (!line.ends_with("\r\n")) continue;
      text += line;
      const bool last = line.size() >= 4 && line[3] == ' ' && text.compare(0, 3, line, 0, 3) == 0;
      line.clear();
      if (last) return text;
    }
  }

  std::string Command(const std::string& line) {
    SendLine(line);
    return Reply();
  }

  // Everything up to the peer's end; reset says whether it ended in a reset.
  std::string ReadToEnd(bool* reset = nullptr) {
    std::string got;
    char buffer[65536];
    for (;;) {
      const ssize_t r = ::recv(fd_, buffer, sizeof buffer, 0);
      if (r > 0) {
        got.append(buffer, static_cast<std::size_t>(r));
        continue;
      }
      if (reset != nullptr) *reset = r < 0 && errno == ECONNRESET;
      return got;
    }
  }

  // Whether nothing arrives within ms (the connection still open and quiet).
  bool QuietFor(int ms) {
    pollfd p{fd_, POLLIN, 0};
    return ::poll(&p, 1, ms) == 0;
  }

  int Fd() const { return fd_; }

 private:
  int fd_;
};

// The port of a "227 ... (h1,h2,h3,h4,p1,p2)" reply, 0 when there is none.
std::uint16_t PassivePort(const std::string& reply) {
  unsigned v[6] = {};
  const std::size_t open = reply.find('(');
  if (open == std::string::npos || std::sscanf(reply.c_str() + open, "(%u,%u,%u,%u,%u,%u)", &v[0],
                                               &v[1], &v[2], &v[3], &v[4], &v[5]) != 6)
    return 0;
  return static_cast<std::uint16_t>(v[4] * 256 + v[5]);
}

// Bytes that differ from position to position, so a lost or shifted block
// shows.
std::string Pattern(std::size_t n) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i)
    s[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
  return s;
}

// A peer that has read the greeting and logged in with the built-in answers.
std::unique_ptr<Peer> LoggedIn(ScriptedFtpServer& server) {
  auto peer = std::make_unique<Peer>(server.Port());
  EXPECT_EQ(peer->Reply(), "220 Scripted FTP server ready.\r\n");
  EXPECT_EQ(peer->Command("USER tkvdemo"), "331 Password required.\r\n");
  EXPECT_EQ(peer->Command("PASS demo2026"), "230 Logged in.\r\n");
  return peer;
}

TEST(ScriptedFtpServerTest, AnswersTheLoginDialogueAndRecordsEveryLine) {
  ScriptedFtpServer server;
  {
    std::unique_ptr<Peer> peer = LoggedIn(server);
    EXPECT_EQ(peer->Command("FEAT"), "502 Command not implemented.\r\n");
    EXPECT_EQ(peer->Command("PWD"), "257 \"/\" is the current directory.\r\n");
    EXPECT_EQ(peer->Command("quit"), "221 Goodbye.\r\n");
    bool reset = true;
    EXPECT_EQ(peer->ReadToEnd(&reset), "");
    EXPECT_FALSE(reset);
  }
  EXPECT_EQ(server.Commands(),
            (std::vector<std::string>{"USER tkvdemo", "PASS demo2026", "FEAT", "PWD", "quit"}));
  EXPECT_EQ(server.CountOf("QUIT"), 1u);
  EXPECT_EQ(server.CountOf("USER tkvdemo"), 1u);
  EXPECT_EQ(server.CountOf("USER other"), 0u);
  EXPECT_EQ(server.Connections(), 1);
}

TEST(ScriptedFtpServerTest, SendsTheScriptedBytesAsTheyAre) {
  ScriptedFtpServer server;
  const std::string greeting = "220-Welcome\r\n\xFF\xF4\xFF\xFF more\r\n220 Ready\r\n";
  server.SetGreeting(greeting);
  server.On("USER", "331 First.\r\n");
  server.On("USER", "230 Then this, every time.\r\n");
  server.On("cwd", "250 Any folder.\r\n");
  server.On("CWD /locked", "550 Not this one.\r\n");
  server.On("PASS", "");
  server.On("NOOP", Reply("421 Closing.\r\n", Reply::Then::kClose));

  Peer peer(server.Port());
  EXPECT_EQ(peer.Read(greeting.size()), greeting);
  EXPECT_EQ(peer.Command("USER a"), "331 First.\r\n");
  EXPECT_EQ(peer.Command("USER b"), "230 Then this, every time.\r\n");
  EXPECT_EQ(peer.Command("USER c"), "230 Then this, every time.\r\n");
  EXPECT_EQ(peer.Command("CWD /open"), "250 Any folder.\r\n");
  EXPECT_EQ(peer.Command("cwd /locked"), "550 Not this one.\r\n");
  peer.SendLine("PASS silent");  // answered with nothing
  EXPECT_EQ(peer.Command("NOOP"), "421 Closing.\r\n");
  EXPECT_EQ(peer.ReadToEnd(), "");
}

TEST(ScriptedFtpServerTest, ServesAFileOverPassiveByteForByteFromTheRestartOffset) {
  ScriptedFtpServer server;
  const std::string file = Pattern(3 * 1024 * 1024 + 17);
  server.SetFile("Setup.exe", file);
  std::unique_ptr<Peer> control = LoggedIn(server);
  EXPECT_EQ(control->Command("TYPE I"), "200 OK.\r\n");

  const std::string pasv = control->Command("PASV");
  EXPECT_EQ(pasv.rfind("227 Entering Passive Mode (127,0,0,1,", 0), 0u) << pasv;
  Peer whole(PassivePort(pasv));
  EXPECT_EQ(control->Command("RETR Setup.exe"), "150 Opening data connection.\r\n");
  EXPECT_EQ(whole.ReadToEnd(), file);
  EXPECT_EQ(control->Reply(), "226 Transfer complete.\r\n");

  const std::string pasv2 = control->Command("PASV");
  Peer rest(PassivePort(pasv2));
  EXPECT_EQ(control->Command("REST 1000001"), "350 Restarting at 1000001.\r\n");
  EXPECT_EQ(control->Command("RETR Setup.exe"), "150 Opening data connection.\r\n");
  EXPECT_EQ(rest.ReadToEnd(), file.substr(1000001));
  EXPECT_EQ(control->Reply(), "226 Transfer complete.\r\n");

  // Each PASV serves one transfer; unknown names are refused.
  EXPECT_EQ(control->Command("RETR Setup.exe"), "425 Use PORT or PASV first.\r\n");
  EXPECT_EQ(control->Command("RETR Other.exe"), "550 No such file or directory.\r\n");
}

TEST(ScriptedFtpServerTest, ConnectsToThePortAddressForAListing) {
  ScriptedFtpServer server;
  const std::string listing = "Setup.exe\r\nreadme.txt\r\n";
  server.SetListing("NLST", listing);
  std::unique_ptr<Peer> control = LoggedIn(server);

  const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a = LoopbackAddress(0);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(::listen(listener, 1), 0);
  socklen_t length = sizeof a;
  ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &length), 0);
  const unsigned port = ntohs(a.sin_port);

  EXPECT_EQ(control->Command("PORT 10,0,0,1,4,1"), "501 Only 127.0.0.1 is served.\r\n");
  EXPECT_EQ(control->Command("PORT 127,0,0,1," + std::to_string(port >> 8) + "," +
                             std::to_string(port & 0xFF)),
            "200 PORT command successful.\r\n");
  EXPECT_EQ(control->Command("NLST"), "150 Opening data connection.\r\n");
  pollfd p{listener, POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 5000), 1);
  Peer data(::accept(listener, nullptr, nullptr));
  ::close(listener);
  EXPECT_EQ(data.ReadToEnd(), listing);
  EXPECT_EQ(control->Reply(), "226 Transfer complete.\r\n");
}

TEST(ScriptedFtpServerTest, PassiveReplyNamesTheTemplateAddressWithTheListenerPort) {
  ScriptedFtpServer server;
  const std::uint16_t port = ftptest::FreeLoopbackPort();
  server.SetPassivePort(port);
  server.SetPassiveReply("227 Entering Passive Mode (192,168,1,2,{p1},{p2}).\r\n");
  server.SetListing("LIST /pub", "-rw-r--r-- 1 ftp ftp 5 Jan 1 00:00 a\r\n");
  std::unique_ptr<Peer> control = LoggedIn(server);
  const std::string pasv = control->Command("PASV");
  EXPECT_EQ(pasv, "227 Entering Passive Mode (192,168,1,2," + std::to_string(port >> 8) + "," +
                      std::to_string(port & 0xFF) + ").\r\n");
  Peer data(port);
  EXPECT_EQ(control->Command("LIST /pub"), "150 Opening data connection.\r\n");
  EXPECT_EQ(data.ReadToEnd(), "-rw-r--r-- 1 ftp ftp 5 Jan 1 00:00 a\r\n");
  EXPECT_EQ(control->Reply(), "226 Transfer complete.\r\n");
}

// What the client sees of one retrieve with a given transfer option.
struct FaultCase {
  const char* name;
  std::function<void(Transfer&)> setUp;
  std::size_t bytesBefore;  // the file's bytes that arrive before the end
  bool dataReset;           // the data connection ends in a reset
  std::string finalReply;   // what the control connection brings next
  bool controlReset;        // the control connection ends in a reset instead
};

class ScriptedTransferFaultTest : public ::testing::TestWithParam<FaultCase> {};

TEST_P(ScriptedTransferFaultTest, EndsTheTransferAsScripted) {
  const FaultCase& c = GetParam();
  ScriptedFtpServer server;
  const std::string file = Pattern(200000);
  Transfer how;
  c.setUp(how);
  server.SetFile("f.bin", file, how);
  std::unique_ptr<Peer> control = LoggedIn(server);
  Peer data(PassivePort(control->Command("PASV")));
  EXPECT_EQ(control->Command("RETR f.bin"), "150 Opening data connection.\r\n");
  bool reset = false;
  EXPECT_EQ(data.ReadToEnd(&reset), file.substr(0, c.bytesBefore));
  EXPECT_EQ(reset, c.dataReset);
  if (c.controlReset) {
    bool controlReset = false;
    EXPECT_EQ(control->ReadToEnd(&controlReset), "");
    EXPECT_TRUE(controlReset);
    return;
  }
  if (c.finalReply.empty()) {
    EXPECT_TRUE(control->QuietFor(300));
    EXPECT_EQ(control->Command("NOOP"), "200 OK.\r\n");
  } else {
    EXPECT_EQ(control->Reply(), c.finalReply);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Options, ScriptedTransferFaultTest,
    ::testing::Values(FaultCase{"ResetData",
                                [](Transfer& t) {
                                  t.resetDataAfter = 70000;
                                  t.finalReply = "426 Connection reset.\r\n";
                                },
                                70000, true, "426 Connection reset.\r\n", false},
                      FaultCase{"ResetControl", [](Transfer& t) { t.resetControlAfter = 1000; },
                                1000, true, "", true},
                      FaultCase{"NoFinalReply", [](Transfer& t) { t.finalReply.reset(); }, 200000,
                                false, "", false},
                      FaultCase{"FinalBeforeClose",
                                [](Transfer& t) {
                                  t.finalBeforeClose = true;
                                  t.finalReply = "451 Local error.\r\n";
                                },
                                200000, false, "451 Local error.\r\n", false}),
    [](const ::testing::TestParamInfo<FaultCase>& info) { return std::string(info.param.name); });

TEST(ScriptedFtpServerTest, AborStopsAHeldTransfer) {
  ScriptedFtpServer server;
  Transfer how;
  how.hold = true;
  server.SetFile("f.bin", "never sent", how);
  std::unique_ptr<Peer> control = LoggedIn(server);
  Peer data(PassivePort(control->Command("PASV")));
  EXPECT_EQ(control->Command("RETR f.bin"), "150 Opening data connection.\r\n");
  EXPECT_TRUE(data.QuietFor(200));
  EXPECT_EQ(control->Command("ABOR"), "426 Transfer aborted.\r\n");
  EXPECT_EQ(control->Reply(), "226 Abort successful.\r\n");
  EXPECT_EQ(data.ReadToEnd(), "");
}

TEST(ScriptedFtpServerTest, SendAndCloseReachTheClientWhileItWaits) {
  ScriptedFtpServer server;
  server.On("NOOP", "");
  std::unique_ptr<Peer> peer = LoggedIn(server);
  peer->SendLine("noop");
  EXPECT_TRUE(server.WaitForCommand("NOOP", 5000));
  EXPECT_FALSE(server.WaitForCommand("NOOP", 50, 2));
  server.Send("421-Service\r\n421 going down.\r\n");
  EXPECT_EQ(peer->Reply(), "421-Service\r\n421 going down.\r\n");
  server.CloseControl();
  EXPECT_EQ(peer->ReadToEnd(), "");
}

// A client that leaves in the middle of a dripped file, and one that stays
// connected while the server is destroyed: neither stalls the server.
TEST(ScriptedFtpServerTest, OutlivesClientsThatLeaveAndStopsUnderOneThatStays) {
  auto server = std::make_unique<ScriptedFtpServer>();
  Transfer drip;
  drip.dripMs = 20;
  server->SetFile("slow.bin", Pattern(1000), drip);
  {
    std::unique_ptr<Peer> control = LoggedIn(*server);
    Peer data(PassivePort(control->Command("PASV")));
    EXPECT_EQ(control->Command("RETR slow.bin"), "150 Opening data connection.\r\n");
    EXPECT_EQ(data.Read(3), Pattern(3));
  }
  std::unique_ptr<Peer> staying = LoggedIn(*server);
  EXPECT_EQ(server->Connections(), 2);
  Peer data(PassivePort(staying->Command("PASV")));
  staying->SendLine("RETR slow.bin");
  EXPECT_EQ(data.Read(2), Pattern(2));
  server.reset();
  EXPECT_NE(data.ReadToEnd().size(), 1000u);
}

// The real servers: each greets, logs the account in and serves a file
// from a folder over PASV byte for byte.
using Launch = std::function<std::unique_ptr<ftptest::RealFtpServer>()>;

class RealFtpServerTest : public ::testing::TestWithParam<std::pair<const char*, Launch>> {};

TEST_P(RealFtpServerTest, GreetsAndServesAFileOverPassive) {
  const std::unique_ptr<ftptest::RealFtpServer> server = GetParam().second();
  if (!server->Running()) GTEST_SKIP() << server->Error();
  const std::string file = Pattern(1024 * 1024 + 3);
  server->AddFile("Program_TKV1/Setup.exe", file);
  EXPECT_EQ(server->Greeting().rfind("220", 0), 0u) << server->Greeting();

  Peer control(server->Port());
  EXPECT_EQ(control.Reply().substr(0, 3), "220");
  EXPECT_EQ(control.Command("USER " + server->User()).substr(0, 3), "331");
  EXPECT_EQ(control.Command("PASS " + server->Password()).substr(0, 3), "230");
  EXPECT_EQ(control.Command("CWD //Program_TKV1").substr(0, 3), "250");
  EXPECT_EQ(control.Command("TYPE I").substr(0, 3), "200");
  const std::string pasv = control.Command("PASV");
  EXPECT_NE(pasv.find("(127,0,0,1,"), std::string::npos) << pasv;
  {
    Peer data(PassivePort(pasv));
    const std::string start = control.Command("RETR Setup.exe");
    EXPECT_TRUE(start.starts_with("150") || start.starts_with("125")) << start;
    EXPECT_EQ(data.ReadToEnd(), file);
  }
  // proftpd sends its 226 only once the client has closed the data connection.
  EXPECT_EQ(control.Reply().substr(0, 3), "226");
  EXPECT_EQ(control.Command("QUIT").substr(0, 3), "221");
}

INSTANTIATE_TEST_SUITE_P(
    Servers, RealFtpServerTest,
    ::testing::Values(
        std::pair<const char*, Launch>{"pyftpdlib",
                                       [] { return std::make_unique<ftptest::PyFtpdServer>(); }},
        std::pair<const char*, Launch>{"vsftpd",
                                       [] { return std::make_unique<ftptest::VsftpdServer>(); }},
        std::pair<const char*, Launch>{"pureftpd",
                                       [] { return std::make_unique<ftptest::PureFtpdServer>(); }},
        std::pair<const char*, Launch>{"proftpd",
                                       [] { return std::make_unique<ftptest::ProftpdServer>(); }}),
    [](const auto& info) { return std::string(info.param.first); });

}  // namespace
