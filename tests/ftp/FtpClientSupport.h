// Shared pieces of the FTP client's tests: a client that writes its events
// down in order, and a fixture with a fresh folder, the socket layer and
// the message loop put back afterwards.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "ftp/AdFtp.h"
#include "ftp/FtpServers.h"
#include "platform/Pump.h"
#include "platform/TempFolder.h"
#include "socket/AwWnsock.h"
#include "socket/SocketSupport.h"

namespace ftp_test {

// A client whose four events are written down as lines: "status 3",
// "status 5 [/pub]", "error 550 [550 No.\r\n]", "reply 230", "log 6".
class RecordingClient : public TApdFtpClient {
 public:
  RecordingClient() : TApdFtpClient(nullptr) {
    OnFtpStatus = [this](TObject*, TFtpStatusCode code, const char* info) {
      if (code == scProgress) {
        ++Progress;
        return;
      }
      Events.push_back("status " + std::to_string(code) +
                       (info ? " [" + std::string(info) + "]" : std::string()));
    };
    OnFtpError = [this](TObject*, std::int32_t code, const char* text) {
      Events.push_back("error " + std::to_string(code) +
                       (text ? " [" + std::string(text) + "]" : std::string()));
    };
    OnFtpReply = [this](TObject*, std::int32_t code, const char*) {
      if (RecordReplies) Events.push_back("reply " + std::to_string(code));
    };
    OnFtpLog = [this](TObject*, TFtpLogCode code) {
      Events.push_back("log " + std::to_string(code));
    };
  }

  // The protocol machine's parts, for the tests that reach into it.
  using TApdCustomFtpClient::PushCommand;

  bool Has(const std::string& event) const {
    for (const std::string& e : Events)
      if (e == event) return true;
    return false;
  }
  bool HasPrefix(const std::string& prefix) const {
    for (const std::string& e : Events)
      if (e.starts_with(prefix)) return true;
    return false;
  }

  std::vector<std::string> Events;
  int Progress = 0;
  bool RecordReplies = false;
};

class FtpClientTest : public TempFolderTest {
 protected:
  void SetUp() override {
    TempFolderTest::SetUp();
    UnloadWinsock();
    WinsockDispatcherStartup();
    client = new RecordingClient;
    client->SetServerAddress("127.0.0.1");
    client->SetUserName("tkvdem");
    client->SetPassword("demo2026");
  }
  void TearDown() override {
    if (client != nullptr) client->Free();
    WinsockDispatcherShutdown();
    UnloadWinsock();
    platform::RegisterWinsockModule();
    platform::ResetMessageLoopForTesting();
    TempFolderTest::TearDown();
  }

  // Logs in to a server on 127.0.0.1 and forgets the events of the login.
  void LogIn(std::uint16_t port) {
    client->SetWsPort(std::to_string(port));
    ASSERT_TRUE(client->Login());
    ASSERT_TRUE(PumpUntil([&] { return client->Has("status 3") || client->HasPrefix("error"); }))
        << Joined();
    ASSERT_TRUE(client->Has("status 3")) << Joined();
    client->Events.clear();
  }

  // Pumps until an event that ends an operation arrives.
  bool PumpToOutcome(int deadlineMs = 20000) {
    return PumpUntil(
        [&] {
          for (const std::string& e : client->Events)
            if (e.starts_with("status 4") || e.starts_with("status 5") ||
                e.starts_with("status 6") || e.starts_with("status 8") ||
                e.starts_with("status 9") || e.starts_with("error") || e == "status 0")
              return true;
          return false;
        },
        deadlineMs);
  }

  // Lets queued events arrive: a late second report would show here.
  void Settle(int ms = 300) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    PumpUntil([&] { return std::chrono::steady_clock::now() >= until; });
  }

  // Retrieves "next", which the test's server serves as "next file", and
  // expects it whole with the usual two events: the client is in step
  // after whatever came before.
  void ExpectNextFileWhole() {
    client->Events.clear();
    ASSERT_TRUE(client->Retrieve("next", "next", rmReplace));
    ASSERT_TRUE(PumpToOutcome()) << Joined();
    Settle();
    EXPECT_EQ(client->Events, (std::vector<std::string>{"log 6", "status 8"}));
    EXPECT_EQ(ReadFile("next"), "next file");
  }

  std::string Joined() const {
    std::string all;
    for (const std::string& e : client->Events)
      all += e + " | ";
    return all;
  }

  static std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
  }

  // Bytes that differ from position to position, so a lost or doubled
  // block shows.
  static std::string Pattern(std::size_t size) {
    std::string bytes(size, '\0');
    std::uint32_t x = 2463534242u;
    for (char& c : bytes) {
      x ^= x << 13;
      x ^= x >> 17;
      x ^= x << 5;
      c = static_cast<char>(x);
    }
    return bytes;
  }

  RecordingClient* client = nullptr;
};

}  // namespace ftp_test
