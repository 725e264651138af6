// ftp-get: retrieves files from an FTP server with the program's own FTP
// client, on the headless backend and the real message loop. It is the tool
// that scripts/bench times, and a quick way to try a server by hand.
//
//   ftp-get [--active] HOST PORT USER PASSWORD REMOTE LOCAL
//   ftp-get [--active] --list NAMES HOST PORT USER PASSWORD FOLDER
//
// The first form retrieves one file. The second logs in once and retrieves
// every remote name of the file NAMES (one a line, blank lines skipped) one
// after another on the same control connection, each into FOLDER under the
// last part of its name. Transfers are binary and replace the local file;
// the data connection is passive unless --active is given.
//
// Exit status: 0 when every file arrived; 1 with one line on stderr on the
// first failure (the session ends there); 2 for a wrong command line.
#include <cstdio>
#include <cstring>
#include <exception>
#include <fstream>
#include <string>
#include <vector>

#include "dispatch/AdExcept.h"
#include "dispatch/AdSrMgr.h"
#include "ftp/AdFtp.h"
#include "platform/Messages.h"
#include "platform/toolkit/Headless.h"
#include "socket/AwWnsock.h"

namespace {

constexpr const char* kUsage =
    "usage: ftp-get [--active] HOST PORT USER PASSWORD REMOTE LOCAL\n"
    "       ftp-get [--active] --list NAMES HOST PORT USER PASSWORD FOLDER\n";

struct TJob {
  std::string Remote;
  std::string Local;
};

// Runs one session: login, the retrieves in order, then the end of the
// connection. Every step starts from an event of the client, so the whole
// session runs inside the message loop and nothing polls.
class TSession {
 public:
  TSession(const std::string& host, const std::string& port, const std::string& user,
           const std::string& password, bool passive, std::vector<TJob> jobs)
      : client_(new TApdFtpClient(nullptr)), jobs_(std::move(jobs)) {
    client_->SetServerAddress(host);
    client_->SetWsPort(port);
    client_->SetUserName(user);
    client_->SetPassword(password);
    client_->SetPassiveMode(passive);
    client_->SetFileType(ftBinary);
    // 20 s to connect and log in; 60 s of silence ends a transfer.
    client_->SetConnectTimeout(364);
    client_->SetTransferTimeout(1092);
    client_->OnFtpStatus = [this](TObject*, TFtpStatusCode code, const char* info) {
      Status(code, info);
    };
    client_->OnFtpError = [this](TObject*, std::int32_t code, const char* text) {
      // -1 without a text is the connect timer: no session came up in time.
      if (code == -1 && text == nullptr) {
        Fail("no session within the connect time-out");
        return;
      }
      Fail("error " + std::to_string(code) + ": " + Trimmed(text, code));
    };
    // A refused or failed connect is a socket error of the control
    // connection, reported by the port rather than by the protocol.
    client_->OnWsError = [this](TObject*, std::int32_t code) {
      Fail("socket error " + std::to_string(code) + ": " + ErrorText(code));
    };
  }
  ~TSession() { client_->Free(); }
  TSession(const TSession&) = delete;
  TSession& operator=(const TSession&) = delete;

  // The error of the session, empty when every file arrived.
  std::string Run() {
    try {
      if (!client_->Login()) return "the client refused to log in";
    } catch (const std::exception& e) {
      return std::string("cannot connect: ") + e.what();
    }
    platform::RunMessageLoop();
    // Closing the control connection ends the session for the server as
    // well as QUIT would; Logout's pause for the 221 reply would only add
    // to every run.
    if (client_->Open()) client_->SetOpen(false);
    return error_;
  }

 private:
  void Status(TFtpStatusCode code, const char* info) {
    switch (code) {
      case scLogin:
        loggedIn_ = true;
        Next();
        break;
      case scTransferOK:
        ++done_;
        Next();
        break;
      case scClose:
        Fail("the server closed the connection");
        break;
      case scTimeout:
        Fail(std::string("time-out") + (info != nullptr ? std::string(": ") + info : ""));
        break;
      default:
        break;
    }
  }

  // A reply's text without its line break, or the error's own text.
  static std::string Trimmed(const char* text, std::int32_t code) {
    std::string line = text != nullptr ? text : "";
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' '))
      line.pop_back();
    return line.empty() ? ErrorText(code) : line;
  }

  // Starts the next retrieve, or ends the loop after the last one.
  void Next() {
    if (finished_) return;
    if (done_ == jobs_.size()) {
      Finish();
      return;
    }
    const TJob& job = jobs_[done_];
    try {
      if (!client_->Retrieve(job.Remote, job.Local, rmReplace))
        Fail("cannot start the retrieve of " + job.Remote);
    } catch (const std::exception& e) {
      Fail(job.Local + ": " + e.what());
    }
  }

  void Fail(const std::string& why) {
    if (finished_) return;
    const std::string what = !loggedIn_             ? std::string("login")
                             : done_ < jobs_.size() ? jobs_[done_].Remote
                                                    : std::string("session");
    error_ = what + ": " + why;
    Finish();
  }

  void Finish() {
    finished_ = true;
    platform::PostQuitMessage(error_.empty() ? 0 : 1);
  }

  TApdFtpClient* client_;
  std::vector<TJob> jobs_;
  std::size_t done_ = 0;
  bool loggedIn_ = false;
  bool finished_ = false;
  std::string error_;
};

std::string BaseName(const std::string& name) {
  const std::size_t slash = name.find_last_of('/');
  return slash == std::string::npos ? name : name.substr(slash + 1);
}

// The jobs of a names file, or an error text.
bool ReadNames(const std::string& path, const std::string& folder, std::vector<TJob>& jobs,
               std::string& error) {
  std::ifstream in(path);
  if (!in) {
    error = "cannot read " + path;
    return false;
  }
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    const std::string base = BaseName(line);
    if (base.empty() || base == "." || base == "..") {
      error = path + ": no file name in \"" + line + "\"";
      return false;
    }
    jobs.push_back({line, folder + "/" + base});
  }
  if (jobs.empty()) {
    error = path + " names no file";
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  bool passive = true;
  std::string names;
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--active") == 0) {
      passive = false;
    } else if (std::strcmp(argv[i], "--list") == 0 && i + 1 < argc) {
      names = argv[++i];
    } else if (std::strcmp(argv[i], "--help") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (argv[i][0] == '-' && argv[i][1] != '\0') {
      std::fprintf(stderr, "ftp-get: unknown option %s\n%s", argv[i], kUsage);
      return 2;
    } else {
      args.emplace_back(argv[i]);
    }
  }
  if (args.size() != (names.empty() ? 6u : 5u)) {
    std::fputs(kUsage, stderr);
    return 2;
  }

  std::vector<TJob> jobs;
  if (names.empty()) {
    jobs.push_back({args[4], args[5]});
  } else {
    std::string error;
    if (!ReadNames(names, args[4], jobs, error)) {
      std::fprintf(stderr, "ftp-get: %s\n", error.c_str());
      return 1;
    }
  }

  platform::UseHeadlessBackend();
  // The error texts of the socket layer come from the string resources.
  InitStringResources();
  WinsockDispatcherStartup();
  std::string error;
  {
    TSession session(args[0], args[1], args[2], args[3], passive, std::move(jobs));
    error = session.Run();
  }
  WinsockDispatcherShutdown();
  DoneStringResources();
  if (!error.empty()) {
    std::fprintf(stderr, "ftp-get: %s\n", error.c_str());
    return 1;
  }
  return 0;
}
