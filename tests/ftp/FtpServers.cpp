// The test FTP servers: the scripted server's thread, its session and
// transfer steps, and the launchers of the real servers.
#include "ftp/FtpServers.h"
#include "ftp/FtpServersPosix.h"

#include <arpa/inet.h>
#include <crypt.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string_view>
#include <thread>

namespace ftptest {

namespace {

using Clock = std::chrono::steady_clock;

// How long the server waits for a data connection to come up.
constexpr int kDataConnectMs = 10000;

std::string Upper(std::string s) {
  for (char& c : s)
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

// A command line or pattern split at its first blank: the verb in upper
// case, and the rest as it is.
struct Split {
  std::string verb;
  std::string rest;
  bool hasRest = false;
};

Split SplitLine(const std::string& line) {
  Split s;
  const std::size_t blank = line.find(' ');
  s.verb = Upper(line.substr(0, blank));
  if (blank != std::string::npos) {
    s.rest = line.substr(blank + 1);
    s.hasRest = true;
  }
  return s;
}

// A command line without the telnet commands a client may put in front of
// or among its commands (its answers to options the server offered), as a
// server's telnet layer would take them out; IAC IAC stays as one 0xFF.
std::string WithoutTelnetCommands(const std::string& line) {
  std::string out;
  for (std::size_t i = 0; i < line.size(); ++i) {
    if (static_cast<unsigned char>(line[i]) != 0xFF || i + 1 >= line.size()) {
      out += line[i];
      continue;
    }
    const auto command = static_cast<unsigned char>(line[i + 1]);
    if (command == 0xFF) {
      out += line[i];
      ++i;
    } else if (command == 0xFA) {  // SB ... IAC SE
      const std::size_t end = line.find("\xFF\xF0", i + 2);
      i = end == std::string::npos ? line.size() : end + 1;
    } else {
      i += command >= 0xFB ? 2 : 1;  // WILL, WONT, DO, DONT carry an option
    }
  }
  return out;
}

// The key under which a whole line is stored and looked up.
std::string LineKey(const std::string& line) {
  const Split s = SplitLine(line);
  return s.hasRest ? s.verb + " " + s.rest : s.verb;
}

bool Matches(const std::string& line, const std::string& pattern) {
  const Split p = SplitLine(pattern);
  const Split l = SplitLine(line);
  if (p.verb != l.verb) return false;
  return !p.hasRest || (l.hasRest && l.rest == p.rest);
}

std::uint16_t LocalPort(int fd) {
  sockaddr_in a{};
  socklen_t length = sizeof a;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length) != 0) return 0;
  return ntohs(a.sin_port);
}

void NonBlocking(int fd) {
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

// A listening socket on 127.0.0.1 and the port (0: any), or -1.
int Listen(std::uint16_t port, int backlog) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  const sockaddr_in a = LoopbackAddress(port);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0 || listen(fd, backlog) != 0) {
    close(fd);
    return -1;
  }
  NonBlocking(fd);
  return fd;
}

// Closes with linger time 0, so the peer gets a reset instead of an end.
void ResetAndClose(int fd) {
  const linger l{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  close(fd);
}

int RemainingMs(Clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left < 0 ? 0 : static_cast<int>(left);
}

}  // namespace

sockaddr_in LoopbackAddress(std::uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

std::uint16_t FreeLoopbackPort() {
  const int fd = Listen(0, 1);
  if (fd < 0) return 0;
  const std::uint16_t port = LocalPort(fd);
  close(fd);
  return port;
}

// ---------------------------------------------------------------------------
// The scripted server.

struct ScriptedFtpServer::Impl {
  struct DataEntry {
    std::string bytes;
    Transfer how;
  };
  enum class Outcome { kDone, kAborted, kClientGone, kControlGone };

  // The table and the record, shared with the test's threads under mutex.
  mutable std::mutex mutex;
  mutable std::condition_variable commandArrived;
  Reply greeting{"220 Scripted FTP server ready.\r\n"};
  std::map<std::string, std::deque<Reply>> rules;
  std::string passiveTemplate = "227 Entering Passive Mode (127,0,0,1,{p1},{p2}).\r\n";
  std::uint16_t passivePort = 0;
  std::map<std::string, DataEntry> data;
  std::vector<std::string> commands;
  int connections = 0;
  bool sessionOpen = false;
  std::string outbox;
  bool closeRequested = false;
  bool resetRequested = false;

  // Fixed from construction.
  int listener = -1;
  int wakeRead = -1;
  int wakeWrite = -1;
  std::uint16_t port = 0;
  std::atomic<bool> stopping{false};
  std::thread thread;

  // The session, owned by the server thread alone.
  int control = -1;
  std::string received;           // bytes of a line not yet ended
  std::deque<std::string> inbox;  // lines waiting to be handled
  std::string pending;            // bytes not yet written on control
  int passiveListener = -1;
  bool haveActive = false;
  sockaddr_in activeAddress{};
  std::uint64_t restartAt = 0;

  void Wake() const {
    const char c = 1;
    [[maybe_unused]] const ssize_t n = write(wakeWrite, &c, 1);
  }

  bool ControlOpen() const { return control >= 0 && !stopping; }

  // One wait of at most timeoutMs (-1: until something happens): writes what
  // is pending on control, reads and records command lines, takes the bytes
  // and the close requests of the test. Returns the events of extraFd.
  short Step(int timeoutMs, int extraFd = -1, short extraEvents = 0) {
    bool closeNow = false, reset = false;
    {
      std::lock_guard lock(mutex);
      if (control >= 0) {
        pending += outbox;
        outbox.clear();
        closeNow = closeRequested;
        reset = resetRequested;
        closeRequested = resetRequested = false;
      }
    }
    if (closeNow) {
      CloseControlNow(reset);
      return 0;
    }
    pollfd fds[3] = {{wakeRead, POLLIN, 0}, {control, POLLIN, 0}, {extraFd, extraEvents, 0}};
    if (!pending.empty()) fds[1].events |= POLLOUT;
    if (poll(fds, 3, timeoutMs) < 0) return 0;
    if (fds[0].revents & POLLIN) {
      char drain[64];
      while (read(wakeRead, drain, sizeof drain) > 0) {
      }
    }
    if (control >= 0 && (fds[1].revents & POLLOUT)) {
      const ssize_t n = send(control, pending.data(), pending.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n > 0) {
        pending.erase(0, static_cast<std::size_t>(n));
      } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        DropControl();
      }
    }
    if (control >= 0 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) ReadControl();
    return fds[2].revents;
  }

  void ReadControl() {
    char buffer[4096];
    const ssize_t n = recv(control, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
      DropControl();
      return;
    }
    if (n < 0) return;
    received.append(buffer, static_cast<std::size_t>(n));
    std::size_t end;
    while ((end = received.find('\n')) != std::string::npos) {
      std::string line = received.substr(0, end);
      received.erase(0, end + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      line = WithoutTelnetCommands(line);
      {
        std::lock_guard lock(mutex);
        commands.push_back(line);
      }
      commandArrived.notify_all();
      inbox.push_back(std::move(line));
    }
  }

  // The client has gone: whatever is pending can no longer be sent.
  void DropControl() {
    close(control);
    control = -1;
    pending.clear();
  }

  void CloseControlNow(bool reset) {
    if (control < 0) return;
    if (!reset) Flush();
    if (control < 0) return;
    if (reset) {
      ResetAndClose(control);
    } else {
      close(control);
    }
    control = -1;
    pending.clear();
  }

  void Flush() {
    while (!pending.empty() && ControlOpen())
      Step(200);
  }

  void Delay(int ms) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(ms);
    while (ControlOpen() && Clock::now() < deadline)
      Step(RemainingMs(deadline));
  }

  void Answer(const Reply& reply) {
    if (reply.delayMs > 0) Delay(reply.delayMs);
    if (reply.dripMs > 0) {
      for (char c : reply.bytes) {
        if (!ControlOpen()) return;
        pending += c;
        Flush();
        Delay(reply.dripMs);
      }
    } else {
      pending += reply.bytes;
      Flush();
    }
    if (reply.then != Reply::Then::kNothing) CloseControlNow(reply.then == Reply::Then::kReset);
  }

  std::optional<std::string> NextLine() {
    while (inbox.empty() && ControlOpen())
      Step(-1);
    if (!ControlOpen()) return std::nullopt;
    std::string line = std::move(inbox.front());
    inbox.pop_front();
    return line;
  }

  // The rule for a line, consuming it unless it is the last for its pattern.
  std::optional<Reply> TakeRule(const std::string& line) {
    std::lock_guard lock(mutex);
    for (const std::string& key : {LineKey(line), SplitLine(line).verb}) {
      const auto found = rules.find(key);
      if (found == rules.end() || found->second.empty()) continue;
      Reply reply = found->second.front();
      if (found->second.size() > 1) found->second.pop_front();
      return reply;
    }
    return std::nullopt;
  }

  void Run() {
    while (!stopping) {
      pollfd fds[2] = {{wakeRead, POLLIN, 0}, {listener, POLLIN, 0}};
      if (poll(fds, 2, -1) < 0) continue;
      if (fds[0].revents & POLLIN) {
        char drain[64];
        while (read(wakeRead, drain, sizeof drain) > 0) {
        }
      }
      if (stopping || !(fds[1].revents & POLLIN)) continue;
      const int fd = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd >= 0) Session(fd);
    }
  }

  void Session(int fd) {
    Reply hello;
    {
      std::lock_guard lock(mutex);
      control = fd;
      sessionOpen = true;
      ++connections;
      hello = greeting;
    }
    Answer(hello);
    while (std::optional<std::string> line = NextLine())
      Handle(*line);
    if (control >= 0) CloseControlNow(false);
    CloseListener();
    haveActive = false;
    restartAt = 0;
    received.clear();
    inbox.clear();
    pending.clear();
    std::lock_guard lock(mutex);
    sessionOpen = false;
    outbox.clear();
    closeRequested = resetRequested = false;
  }

  void CloseListener() {
    if (passiveListener >= 0) close(passiveListener);
    passiveListener = -1;
  }

  void Handle(const std::string& line) {
    if (std::optional<Reply> rule = TakeRule(line)) {
      Answer(*rule);
      return;
    }
    const Split s = SplitLine(line);
    const std::string& verb = s.verb;
    if (verb == "USER") {
      Answer("331 Password required.\r\n");
    } else if (verb == "PASS") {
      Answer("230 Logged in.\r\n");
    } else if (verb == "CWD") {
      Answer("250 Directory changed.\r\n");
    } else if (verb == "PWD") {
      Answer("257 \"/\" is the current directory.\r\n");
    } else if (verb == "TYPE" || verb == "NOOP") {
      Answer("200 OK.\r\n");
    } else if (verb == "REST") {
      Restart(s.rest);
    } else if (verb == "PASV") {
      Passive();
    } else if (verb == "PORT") {
      Active(s.rest);
    } else if (verb == "RETR" || verb == "NLST" || verb == "LIST") {
      Transmit(line, verb == "RETR");
    } else if (verb == "ABOR") {
      Answer("226 Abort successful.\r\n");
    } else if (verb == "QUIT") {
      Answer(Reply("221 Goodbye.\r\n", Reply::Then::kClose));
    } else {
      Answer("502 Command not implemented.\r\n");
    }
  }

  void Restart(const std::string& text) {
    const auto digit = [](char c) { return c >= '0' && c <= '9'; };
    if (text.empty() || text.size() > 18 || !std::all_of(text.begin(), text.end(), digit)) {
      Answer("501 Bad restart offset.\r\n");
      return;
    }
    restartAt = std::stoull(text);
    Answer("350 Restarting at " + text + ".\r\n");
  }

  void Passive() {
    CloseListener();
    haveActive = false;
    std::string text;
    std::uint16_t fixedPort;
    {
      std::lock_guard lock(mutex);
      text = passiveTemplate;
      fixedPort = passivePort;
    }
    passiveListener = Listen(fixedPort, 1);
    if (passiveListener < 0) {
      Answer("425 Cannot open a passive listener.\r\n");
      return;
    }
    const std::uint16_t p = LocalPort(passiveListener);
    for (const auto& [name, value] :
         {std::pair{std::string("{p1}"), p >> 8}, std::pair{std::string("{p2}"), p & 0xFF}}) {
      for (std::size_t at; (at = text.find(name)) != std::string::npos;)
        text.replace(at, name.size(), std::to_string(value));
    }
    Answer(text);
  }

  void Active(const std::string& text) {
    unsigned v[6];
    char tail;
    if (std::sscanf(text.c_str(), "%u,%u,%u,%u,%u,%u%c", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5],
                    &tail) != 6 ||
        std::any_of(v, v + 6, [](unsigned x) { return x > 255; })) {
      Answer("501 Bad PORT address.\r\n");
      return;
    }
    if (v[0] != 127 || v[1] != 0 || v[2] != 0 || v[3] != 1) {
      Answer("501 Only 127.0.0.1 is served.\r\n");
      return;
    }
    CloseListener();
    activeAddress = LoopbackAddress(static_cast<std::uint16_t>(v[4] * 256 + v[5]));
    haveActive = true;
    Answer("200 PORT command successful.\r\n");
  }

  bool AborWaiting() const {
    return std::any_of(inbox.begin(), inbox.end(),
                       [](const std::string& l) { return SplitLine(l).verb == "ABOR"; });
  }

  // The data connection of the last PASV or PORT, or -1.
  int OpenData() {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kDataConnectMs);
    if (passiveListener >= 0) {
      while (ControlOpen() && !AborWaiting() && Clock::now() < deadline) {
        if (Step(RemainingMs(deadline), passiveListener, POLLIN) & POLLIN) {
          const int fd = accept4(passiveListener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
          if (fd >= 0) {
            CloseListener();
            return fd;
          }
        }
      }
      CloseListener();
      return -1;
    }
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    haveActive = false;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&activeAddress), sizeof activeAddress) == 0)
      return fd;
    if (errno == EINPROGRESS) {
      while (ControlOpen() && !AborWaiting() && Clock::now() < deadline) {
        if (Step(RemainingMs(deadline), fd, POLLOUT) & (POLLOUT | POLLERR | POLLHUP)) {
          int error = 0;
          socklen_t length = sizeof error;
          getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
          if (error == 0) return fd;
          break;
        }
      }
    }
    close(fd);
    return -1;
  }

  // Waits until the bytes written on fd have reached the peer's system, so
  // that a reset right after cannot discard them on this side.
  void AwaitDelivered(int fd) {
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(5);
    int queued = 0;
    while (ioctl(fd, SIOCOUTQ, &queued) == 0 && queued > 0 && Clock::now() < deadline && !stopping)
      Step(10);
  }

  void Transmit(const std::string& line, bool isFile) {
    std::optional<DataEntry> entry;
    {
      std::lock_guard lock(mutex);
      const auto found = data.find(LineKey(line));
      if (found != data.end()) entry = found->second;
    }
    const std::uint64_t offset = isFile ? restartAt : 0;
    restartAt = 0;
    if (!entry) {
      // As proftpd does: the passive listener goes first, which resets a
      // data connection still waiting on it, just before the 550.
      CloseListener();
      Answer("550 No such file or directory.\r\n");
      return;
    }
    if (passiveListener < 0 && !haveActive) {
      Answer("425 Use PORT or PASV first.\r\n");
      return;
    }
    const Transfer& how = entry->how;
    if (!how.startReply.empty()) Answer(how.startReply);
    int fd = OpenData();
    if (fd < 0) {
      if (ControlOpen() && !AborWaiting()) Answer("425 Cannot open data connection.\r\n");
      return;
    }
    const std::size_t from =
        static_cast<std::size_t>(std::min<std::uint64_t>(offset, entry->bytes.size()));
    switch (Stream(fd, std::string_view(entry->bytes).substr(from), how)) {
      case Outcome::kControlGone:
        if (fd >= 0) close(fd);
        return;
      case Outcome::kAborted:
        close(fd);
        Answer("426 Transfer aborted.\r\n");
        return;
      case Outcome::kClientGone:
        close(fd);
        Answer("426 Connection closed; transfer aborted.\r\n");
        return;
      case Outcome::kDone:
        break;
    }
    if (how.finalBeforeClose) {
      Finish(how);
      if (fd >= 0) {
        AwaitDelivered(fd);
        close(fd);
      }
    } else {
      if (fd >= 0) close(fd);
      Finish(how);
    }
  }

  void Finish(const Transfer& how) {
    if (how.finalDelayMs > 0) Delay(how.finalDelayMs);
    if (how.finalReply && ControlOpen()) Answer(*how.finalReply);
  }

  // Why a transfer must stop at once, if it must.
  std::optional<Outcome> Interrupted() const {
    if (!ControlOpen()) return Outcome::kControlGone;
    if (AborWaiting()) return Outcome::kAborted;
    return std::nullopt;
  }

  // Writes the bytes on the data connection as the options say. The data
  // connection is still open afterwards (fd >= 0), unless it was reset.
  Outcome Stream(int& fd, std::string_view bytes, const Transfer& how) {
    if (how.hold) return Hold(fd);
    std::size_t sent = 0;
    for (;;) {
      if (const std::optional<Outcome> stop = Interrupted()) return *stop;
      if (how.resetControlAfter && sent >= *how.resetControlAfter) {
        AwaitDelivered(fd);
        ResetAndClose(fd);
        fd = -1;
        CloseControlNow(true);
        return Outcome::kControlGone;
      }
      if (how.resetDataAfter && sent >= *how.resetDataAfter) {
        AwaitDelivered(fd);
        ResetAndClose(fd);
        fd = -1;
        return Outcome::kDone;
      }
      if (sent >= bytes.size()) return Outcome::kDone;
      std::size_t chunk = how.dripMs > 0 ? 1 : std::min<std::size_t>(bytes.size() - sent, 65536);
      for (const auto& limit : {how.resetDataAfter, how.resetControlAfter})
        if (limit) chunk = std::min(chunk, *limit - sent);
      if (!(Step(200, fd, POLLOUT) & (POLLOUT | POLLERR | POLLHUP))) continue;
      const ssize_t n = send(fd, bytes.data() + sent, chunk, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) continue;
      if (n <= 0) return Outcome::kClientGone;
      sent += static_cast<std::size_t>(n);
      if (how.dripMs > 0) Delay(how.dripMs);
    }
  }

  Outcome Hold(int& fd) {
    for (;;) {
      if (const std::optional<Outcome> stop = Interrupted()) return *stop;
      if (Step(200, fd, POLLIN) & (POLLIN | POLLERR | POLLHUP)) {
        char buffer[512];
        const ssize_t n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) return Outcome::kDone;
      }
    }
  }
};

ScriptedFtpServer::ScriptedFtpServer() : impl_(std::make_unique<Impl>()) {
  int pipeFds[2];
  if (pipe2(pipeFds, O_NONBLOCK | O_CLOEXEC) != 0) throw std::runtime_error("no pipe");
  impl_->wakeRead = pipeFds[0];
  impl_->wakeWrite = pipeFds[1];
  impl_->listener = Listen(0, 4);
  if (impl_->listener < 0) {
    close(pipeFds[0]);
    close(pipeFds[1]);
    throw std::runtime_error("the scripted FTP server cannot listen on 127.0.0.1");
  }
  impl_->port = LocalPort(impl_->listener);
  impl_->thread = std::thread([this] { impl_->Run(); });
}

ScriptedFtpServer::~ScriptedFtpServer() {
  impl_->stopping = true;
  impl_->Wake();
  impl_->thread.join();
  if (impl_->control >= 0) close(impl_->control);
  impl_->CloseListener();
  close(impl_->listener);
  close(impl_->wakeRead);
  close(impl_->wakeWrite);
}

std::uint16_t ScriptedFtpServer::Port() const {
  return impl_->port;
}

void ScriptedFtpServer::SetGreeting(Reply greeting) {
  std::lock_guard lock(impl_->mutex);
  impl_->greeting = std::move(greeting);
}

void ScriptedFtpServer::On(const std::string& pattern, Reply reply) {
  std::lock_guard lock(impl_->mutex);
  impl_->rules[LineKey(pattern)].push_back(std::move(reply));
}

void ScriptedFtpServer::SetPassiveReply(std::string templateText) {
  std::lock_guard lock(impl_->mutex);
  impl_->passiveTemplate = std::move(templateText);
}

void ScriptedFtpServer::SetPassivePort(std::uint16_t port) {
  std::lock_guard lock(impl_->mutex);
  impl_->passivePort = port;
}

void ScriptedFtpServer::SetFile(const std::string& name, std::string bytes, Transfer how) {
  std::lock_guard lock(impl_->mutex);
  impl_->data["RETR " + name] = {std::move(bytes), std::move(how)};
}

void ScriptedFtpServer::SetListing(const std::string& commandLine, std::string bytes,
                                   Transfer how) {
  std::lock_guard lock(impl_->mutex);
  impl_->data[LineKey(commandLine)] = {std::move(bytes), std::move(how)};
}

std::vector<std::string> ScriptedFtpServer::Commands() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->commands;
}

std::size_t ScriptedFtpServer::CountOf(const std::string& pattern) const {
  std::lock_guard lock(impl_->mutex);
  return static_cast<std::size_t>(
      std::count_if(impl_->commands.begin(), impl_->commands.end(),
                    [&](const std::string& line) { return Matches(line, pattern); }));
}

bool ScriptedFtpServer::WaitForCommand(const std::string& pattern, int timeoutMs,
                                       std::size_t count) const {
  std::unique_lock lock(impl_->mutex);
  return impl_->commandArrived.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
    return static_cast<std::size_t>(std::count_if(
               impl_->commands.begin(), impl_->commands.end(),
               [&](const std::string& line) { return Matches(line, pattern); })) >= count;
  });
}

int ScriptedFtpServer::Connections() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->connections;
}

void ScriptedFtpServer::Send(std::string bytes) {
  {
    std::lock_guard lock(impl_->mutex);
    impl_->outbox += bytes;
  }
  impl_->Wake();
}

void ScriptedFtpServer::CloseControl(bool reset) {
  {
    std::lock_guard lock(impl_->mutex);
    if (!impl_->sessionOpen) return;
    impl_->closeRequested = true;
    impl_->resetRequested = reset;
  }
  impl_->Wake();
}

// ---------------------------------------------------------------------------
// The real servers.

namespace {

std::string ReadTail(const std::string& path, std::size_t most) {
  std::ifstream in(path, std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), {});
  return text.size() > most ? text.substr(text.size() - most) : text;
}

// Connects to the server and reads its greeting up to the last line ("220 "
// after a CR LF or at the start); empty when it does not come in time.
std::string ReadGreeting(std::uint16_t port, int timeoutMs) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return {};
  const sockaddr_in a = LoopbackAddress(port);
  std::string text;
  if (connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      if (text.size() >= 6 && text.ends_with("\r\n")) {
        const std::size_t before = text.rfind("\r\n", text.size() - 3);
        const std::size_t last = before == std::string::npos ? 0 : before + 2;
        if (text.compare(last, 4, "220 ") == 0) break;
      }
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, RemainingMs(deadline)) <= 0) {
        text.clear();
        break;
      }
      char buffer[512];
      const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
      if (n <= 0) {
        text.clear();
        break;
      }
      text.append(buffer, static_cast<std::size_t>(n));
    }
    if (!text.empty()) {
      const char quit[] = "QUIT\r\n";
      [[maybe_unused]] const ssize_t n = send(fd, quit, sizeof quit - 1, MSG_NOSIGNAL);
    }
  }
  close(fd);
  return text;
}

}  // namespace

RealFtpServer::RealFtpServer(std::string user, std::string password)
    : user_(std::move(user)), password_(std::move(password)) {
  std::string pattern = std::filesystem::temp_directory_path() / "tkv-ftpserver-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    error_ = "cannot make a temporary folder";
    return;
  }
  work_ = pattern;
  root_ = work_ + "/root";
  std::filesystem::create_directory(root_);
  // The server may serve the folder as an unprivileged user.
  chmod(work_.c_str(), 0755);
  chmod(root_.c_str(), 0755);
}

RealFtpServer::~RealFtpServer() {
  Stop();
  std::error_code ignored;
  if (!work_.empty()) std::filesystem::remove_all(work_, ignored);
}

void RealFtpServer::AddFolder(const std::string& relativePath) const {
  std::filesystem::path path = std::filesystem::path(root_) / relativePath;
  std::filesystem::create_directories(path);
  for (; path != root_ && path.has_parent_path(); path = path.parent_path())
    chmod(path.c_str(), 0755);
}

void RealFtpServer::AddFile(const std::string& relativePath, const std::string& bytes) const {
  const std::filesystem::path path = std::filesystem::path(root_) / relativePath;
  if (path.has_parent_path() && path.parent_path() != root_)
    AddFolder(std::filesystem::relative(path.parent_path(), root_).string());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  out.close();
  chmod(path.c_str(), 0644);
}

void RealFtpServer::ChoosePorts(std::uint16_t port) {
  port_ = port != 0 ? port : FreeLoopbackPort();
  // A small range beside a free port; a server skips ports that are taken.
  passiveFirst_ = FreeLoopbackPort();
  if (passiveFirst_ > 65535 - 20) passiveFirst_ = 65535 - 20;
  passiveLast_ = static_cast<std::uint16_t>(passiveFirst_ + 19);
}

void RealFtpServer::Launch(const std::string& program, const std::vector<std::string>& arguments) {
  if (work_.empty()) return;
  error_.clear();
  greeting_.clear();
  if (access(program.c_str(), X_OK) != 0) {
    error_ = program + " is not installed (scripts/deps test installs it)";
    return;
  }
  const std::string log = work_ + "/server.log";
  std::vector<std::string> argv{program};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  std::vector<char*> args;
  for (std::string& a : argv)
    args.push_back(a.data());
  args.push_back(nullptr);
  const int logFd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const int nullFd = open("/dev/null", O_RDONLY | O_CLOEXEC);
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid == 0) {
    // Only async-signal-safe calls between fork and exec.
    setpgid(0, 0);
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);
    dup2(nullFd, 0);
    dup2(logFd, 1);
    dup2(logFd, 2);
    // The test's own sockets must not live on in the server.
    close_range(3, ~0U, 0);
    execv(program.c_str(), args.data());
    _exit(127);
  }
  close(logFd);
  close(nullFd);
  if (pid < 0) {
    error_ = "cannot start " + program;
    return;
  }
  setpgid(pid, pid);
  pid_ = pid;
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(15);
  while (Clock::now() < deadline) {
    int status;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      error_ = program + " ended before it greeted: " + ReadTail(log, 2000);
      return;
    }
    greeting_ = ReadGreeting(port_, 2000);
    if (!greeting_.empty()) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  Stop();
  error_ = program + " did not greet on port " + std::to_string(port_) + ": " + ReadTail(log, 2000);
}

void RealFtpServer::Stop() {
  if (pid_ <= 0) return;
  kill(-pid_, SIGTERM);
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(3);
  int status;
  while (waitpid(pid_, &status, WNOHANG) == 0) {
    if (Clock::now() >= deadline) {
      kill(-pid_, SIGKILL);
      waitpid(pid_, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  // Session processes of the server are in its group too.
  kill(-pid_, SIGKILL);
  pid_ = -1;
}

namespace {

// The pyftpdlib server: one account, read access, loopback only.
constexpr const char* kPyFtpdScript = R"(
import sys
from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer
port, root, user, password, first, last = sys.argv[1:7]
authorizer = DummyAuthorizer()
authorizer.add_user(user, password, root, perm="elr")
class Handler(FTPHandler):
    pass
Handler.authorizer = authorizer
Handler.passive_ports = range(int(first), int(last) + 1)
server = FTPServer(("127.0.0.1", int(port)), Handler)
server.serve_forever()
)";

}  // namespace

PyFtpdServer::PyFtpdServer(std::uint16_t port) : RealFtpServer("tkvdemo", "demo2026") {
  for (int attempt = 0; attempt < 3; ++attempt) {
    ChoosePorts(port);
    Launch("/usr/bin/python3",
           {"-c", kPyFtpdScript, std::to_string(Port()), Root(), User(), Password(),
            std::to_string(PassiveFirst()), std::to_string(PassiveLast())});
    if (Error().find("No module named") != std::string::npos)
      Fail("pyftpdlib is not installed for /usr/bin/python3 (scripts/deps test installs it)");
    if (Running() || port != 0 || Error().find("not installed") != std::string::npos) break;
  }
}

VsftpdServer::VsftpdServer(std::uint16_t port) : RealFtpServer("anonymous", "demo2026") {
  if (geteuid() != 0) {
    Fail("vsftpd needs to run as root here (it changes to its unprivileged users)");
    return;
  }
  for (int attempt = 0; attempt < 3; ++attempt) {
    ChoosePorts(port);
    const std::string config = WorkFolder() + "/vsftpd.conf";
    std::ofstream out(config, std::ios::trunc);
    out << "listen=YES\n"
           "listen_ipv6=NO\n"
           "listen_address=127.0.0.1\n"
           "listen_port="
        << Port()
        << "\n"
           "background=NO\n"
           "anonymous_enable=YES\n"
           "local_enable=NO\n"
           "write_enable=NO\n"
           "anon_root="
        << Root()
        << "\n"
           "pasv_enable=YES\n"
           "pasv_address=127.0.0.1\n"
           "pasv_min_port="
        << PassiveFirst() << "\npasv_max_port=" << PassiveLast()
        << "\n"
           "port_enable=YES\n"
           "connect_from_port_20=NO\n"
           "seccomp_sandbox=NO\n"
           "isolate=NO\n"
           "isolate_network=NO\n"
           "xferlog_enable=NO\n"
           "syslog_enable=NO\n"
           "max_per_ip=0\n"
           "max_clients=0\n";
    out.close();
    Launch("/usr/sbin/vsftpd", {config});
    if (Running() || port != 0 || Error().find("not installed") != std::string::npos) break;
  }
}

namespace {

// The hash of the demo password for the account files of pure-ftpd and
// proftpd, in the SHA-512 form of crypt(3) that both accept.
std::string DemoPasswordHash(const std::string& password) {
  crypt_data data{};
  const char* hash = crypt_r(password.c_str(), "$6$tkvtestsalt$", &data);
  return hash != nullptr && hash[0] == '$' ? hash : std::string();
}

// Runs a program to its end with the output sent to log; true when it
// exited with 0.
bool RunToEnd(const std::string& program, std::vector<std::string> arguments,
              const std::string& log) {
  arguments.insert(arguments.begin(), program);
  std::vector<char*> args;
  for (std::string& a : arguments)
    args.push_back(a.data());
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  pid_t pid = -1;
  const int failed = posix_spawn(&pid, program.c_str(), &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (failed != 0) return false;
  int status = 0;
  return waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string Unpacked(const std::string& package, const std::string& program) {
  return std::string(kUnpackedServersFolder) + "/" + package + "/" + program;
}

// The uid and gid of "nobody", which serve the files of pure-ftpd and proftpd.
constexpr int kNobody = 65534;

}  // namespace

PureFtpdServer::PureFtpdServer(std::uint16_t port) : RealFtpServer("tkvdemo", "demo2026") {
  if (geteuid() != 0) {
    Fail("pure-ftpd needs to run as root here (it changes to its virtual user's uid)");
    return;
  }
  const std::string server = Unpacked("pure-ftpd", "usr/sbin/pure-ftpd");
  const std::string pureDb = Unpacked("pure-ftpd", "usr/bin/pure-pw");
  if (access(server.c_str(), X_OK) != 0 || access(pureDb.c_str(), X_OK) != 0) {
    Fail(server + " is not unpacked (scripts/deps test unpacks it)");
    return;
  }
  // A virtual user's line: name, hash, uid, gid, gecos, then the home
  // folder, whose "/./" ending chroots the user there.
  const std::string passwd = WorkFolder() + "/pureftpd.passwd";
  const std::string database = WorkFolder() + "/pureftpd.pdb";
  {
    std::ofstream out(passwd, std::ios::trunc);
    out << User() << ":" << DemoPasswordHash(Password()) << ":" << kNobody << ":" << kNobody
        << "::" << Root() << "/./::::::::::::\n";
  }
  if (!RunToEnd(pureDb, {"mkdb", database, "-f", passwd}, WorkFolder() + "/pure-pw.log")) {
    Fail("pure-pw mkdb failed: " + ReadTail(WorkFolder() + "/pure-pw.log", 2000));
    return;
  }
  for (int attempt = 0; attempt < 3; ++attempt) {
    ChoosePorts(port);
    Launch(server,
           {"--bind", "127.0.0.1," + std::to_string(Port()), "--login", "puredb:" + database,
            "--noanonymous", "--dontresolve", "--chrooteveryone", "--minuid", "1",
            "--maxclientsnumber", "50", "--maxclientsperip", "50", "--passiveportrange",
            std::to_string(PassiveFirst()) + ":" + std::to_string(PassiveLast()),
            "--forcepassiveip", "127.0.0.1"});
    if (Running() || port != 0) break;
  }
}

ProftpdServer::ProftpdServer(std::uint16_t port) : RealFtpServer("tkvdemo", "demo2026") {
  if (geteuid() != 0) {
    Fail("proftpd needs to run as root here (it chroots and changes to its user)");
    return;
  }
  const std::string server = Unpacked("proftpd-core", "usr/sbin/proftpd");
  if (access(server.c_str(), X_OK) != 0) {
    Fail(server + " is not unpacked (scripts/deps test unpacks it)");
    return;
  }
  const std::string users = WorkFolder() + "/proftpd.passwd";
  const std::string groups = WorkFolder() + "/proftpd.group";
  {
    std::ofstream out(users, std::ios::trunc);
    out << User() << ":" << DemoPasswordHash(Password()) << ":" << kNobody << ":" << kNobody
        << "::" << Root() << ":/bin/false\n";
    std::ofstream group(groups, std::ios::trunc);
    group << "nogroup:x:" << kNobody << ":\n";
  }
  // proftpd refuses account files that others may read.
  chmod(users.c_str(), 0600);
  chmod(groups.c_str(), 0600);
  for (int attempt = 0; attempt < 3; ++attempt) {
    ChoosePorts(port);
    const std::string config = WorkFolder() + "/proftpd.conf";
    std::ofstream out(config, std::ios::trunc);
    out << "ServerType standalone\n"
           "ServerName \"TKV test\"\n"
           "DefaultAddress 127.0.0.1\n"
           "SocketBindTight on\n"
           "UseIPv6 off\n"
           "Port "
        << Port() << "\nPassivePorts " << PassiveFirst() << " " << PassiveLast()
        << "\n"
           "User nobody\n"
           "Group nogroup\n"
           "AuthOrder mod_auth_file.c\n"
           "AuthUserFile "
        << users << "\nAuthGroupFile " << groups
        << "\n"
           "RequireValidShell off\n"
           "UseFtpUsers off\n"
           "DefaultRoot ~\n"
           "PidFile "
        << WorkFolder() << "/proftpd.pid\nScoreboardFile " << WorkFolder()
        << "/proftpd.scoreboard\n"
           "DelayTable none\n"
           "WtmpLog off\n"
           "UseReverseDNS off\n"
           "TransferLog none\n"
           "MaxInstances 50\n"
           "<Limit WRITE>\n"
           "  DenyAll\n"
           "</Limit>\n";
    out.close();
    Launch(server, {"-n", "-q", "-c", config});
    if (Running() || port != 0) break;
  }
}

}  // namespace ftptest
