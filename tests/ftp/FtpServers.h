// FTP servers for the tests, all on 127.0.0.1 only: a scripted server whose
// replies a test writes as a table, for reply sequences and faults that real
// servers will not produce, and launchers of four real servers (pyftpdlib,
// vsftpd, pure-ftpd and proftpd from Debian) that serve a temporary folder.
//
// Threads: a ScriptedFtpServer serves on a thread of its own, so the test's
// main thread stays free to run the client's message loop; every public
// method of it may be called from any thread and none of them waits for the
// client, except WaitForCommand. A launcher blocks only in its constructor,
// until the server has sent its greeting, and in its destructor, until the
// process has ended; it must be made on a thread that outlives it (the
// server process is killed when that thread ends).
//
// Nothing here depends on the test framework or on the system's socket
// headers (their macros would clash with the platform's Winsock names), so
// any test program may use it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ftptest {

// A port on 127.0.0.1 (host order) that was free a moment ago, for a server
// that the test starts on a port of its choice.
std::uint16_t FreeLoopbackPort();

// One answer on the control connection. The bytes go out exactly as given:
// the test writes the CR LF, continuation lines, telnet bytes, or nothing.
struct Reply {
  enum class Then {
    kNothing,
    kClose,  // close the control connection after the bytes
    kReset,  // reset it (linger time 0), so the client sees a reset
  };
  Reply() = default;
  Reply(std::string text) : bytes(std::move(text)) {}
  Reply(const char* text) : bytes(text) {}
  Reply(std::string text, Then after) : bytes(std::move(text)), then(after) {}

  std::string bytes;
  int delayMs = 0;  // waited before the first byte
  int dripMs = 0;   // above 0: one byte, then this pause, and so on
  Then then = Then::kNothing;
};

// How a file or a listing is sent. The steps are: the start reply, the data
// connection (accepted on the listener of the last PASV, or connected to the
// address of the last PORT), the bytes, then the close of the data
// connection and the final reply, in the order chosen below.
struct Transfer {
  std::string startReply = "150 Opening data connection.\r\n";  // empty: none
  // The reply after the data; none at all when empty.
  std::optional<std::string> finalReply = "226 Transfer complete.\r\n";
  bool finalBeforeClose = false;  // the final reply goes out before the data close
  int finalDelayMs = 0;           // waited before the final reply
  int dripMs = 0;                 // above 0: one byte per dripMs
  // After this many bytes the data connection is reset (linger time 0); the
  // final reply follows as configured. The bytes have reached the client's
  // system before the reset, and Linux lets the client read them all before
  // it reports the reset.
  std::optional<std::size_t> resetDataAfter;
  // After this many bytes both connections are reset, as if the server died.
  std::optional<std::size_t> resetControlAfter;
  // The data connection is opened and nothing is sent until the client
  // closes it, sends ABOR or leaves; then the final reply as configured.
  bool hold = false;
};

// A scripted FTP server. It listens from construction on an ephemeral port
// of 127.0.0.1 and serves one control connection at a time on its thread;
// the next caller waits in the backlog. The destructor ends any session and
// joins the thread without waiting for the client.
//
// Telnet commands in a command line (IAC and its command, with the option
// of WILL, WONT, DO and DONT, a subnegotiation up to IAC SE) are taken out
// before it is recorded or matched. Commands are matched by a pattern: a verb alone ("USER", any
// case) matches every line with that verb; a pattern with a blank ("RETR Setup.exe") matches that
// whole line, its verb in any case and the rest exactly. A whole-line rule wins over a verb rule,
// and any rule wins over the built-in answers:
//   USER 331, PASS 230, CWD 250, PWD 257 "/", TYPE 200, NOOP 200,
//   REST n 350 (n applies to the next RETR), PASV 227 (a data listener on
//   127.0.0.1), PORT h1,..,p2 200 (only 127.0.0.1 is accepted, else 501),
//   RETR / NLST / LIST: the data table (550 when the line is not in it,
//   after closing the passive listener, which resets a data connection
//   waiting on it; 425 without PASV or PORT before), ABOR 226, QUIT 221 and
//   close, anything
//   else 502 "Command not implemented.".
// ABOR during a transfer stops it: the data connection is closed, "426
// Transfer aborted." goes out, then ABOR is answered as usual. A client that
// closes either connection at any moment ends the transfer or the session.
class ScriptedFtpServer {
 public:
  ScriptedFtpServer();  // throws std::runtime_error when it cannot listen
  ~ScriptedFtpServer();
  ScriptedFtpServer(const ScriptedFtpServer&) = delete;
  ScriptedFtpServer& operator=(const ScriptedFtpServer&) = delete;

  // The listening port, host order.
  std::uint16_t Port() const;

  // Sent when a connection is accepted; "220 Scripted FTP server ready." by
  // default, empty to say nothing.
  void SetGreeting(Reply greeting);
  // Appends an answer for the pattern. Several answers for one pattern serve
  // its successive commands in order; the last one keeps serving.
  void On(const std::string& pattern, Reply reply);
  // The 227 text of PASV, with "{p1}" and "{p2}" replaced by the two bytes
  // of the listener's port (high first). Default:
  // "227 Entering Passive Mode (127,0,0,1,{p1},{p2}).\r\n".
  void SetPassiveReply(std::string templateText);
  // The port the PASV listener binds (0, the default: any free one).
  void SetPassivePort(std::uint16_t port);
  // The bytes of "RETR name", and how they are sent.
  void SetFile(const std::string& name, std::string bytes, Transfer how = {});
  // The bytes of a listing command line ("NLST", "LIST", "NLST /pub").
  void SetListing(const std::string& commandLine, std::string bytes, Transfer how = {});

  // Every command line received so far, over all connections, in order,
  // without its CR LF. A line is recorded as soon as it arrives, also while
  // a transfer or a delay is in progress.
  std::vector<std::string> Commands() const;
  // How many received lines match the pattern; never waits.
  std::size_t CountOf(const std::string& pattern) const;
  // Waits until CountOf(pattern) reaches count or the time runs out. It
  // blocks the calling thread: do not call it on the thread whose message
  // loop the client needs to send that command.
  bool WaitForCommand(const std::string& pattern, int timeoutMs, std::size_t count = 1) const;
  // How many control connections have been accepted.
  int Connections() const;

  // Queues raw bytes for the control connection; they go out as soon as the
  // server thread is free to write (also during transfers and delays).
  // Bytes queued while no connection is open go out on the next one, after
  // its greeting has started.
  void Send(std::string bytes);
  // Closes (or resets) the control connection after the queued bytes;
  // nothing happens when no connection is open.
  void CloseControl(bool reset = false);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// A real FTP server process on 127.0.0.1 serving Root() as "/". The
// constructor starts it and returns once the server has sent its 220
// greeting, or has failed: then Running() is false and Error() says why (a
// missing program reads "... is not installed ..."), so that the test can
// skip with that text. The destructor kills the server's process group,
// reaps the process and removes the root folder.
class RealFtpServer {
 public:
  virtual ~RealFtpServer();
  RealFtpServer(const RealFtpServer&) = delete;
  RealFtpServer& operator=(const RealFtpServer&) = delete;

  bool Running() const { return pid_ > 0; }
  const std::string& Error() const { return error_; }
  std::uint16_t Port() const { return port_; }
  // The folder served as "/", a fresh temporary one, readable by the server.
  const std::string& Root() const { return root_; }
  // The account to log in with.
  const std::string& User() const { return user_; }
  const std::string& Password() const { return password_; }
  // The greeting read while waiting for the server, with its CR LF.
  const std::string& Greeting() const { return greeting_; }
  // Writes a file under Root() (relative path, folders made as needed),
  // readable by the server.
  void AddFile(const std::string& relativePath, const std::string& bytes) const;
  void AddFolder(const std::string& relativePath) const;

 protected:
  RealFtpServer(std::string user, std::string password);
  // Starts program with the arguments (the port is known by then) and waits
  // for the greeting; the server's output goes to a log file whose tail
  // Error() quotes on failure.
  void Launch(const std::string& program, const std::vector<std::string>& arguments);
  std::string WorkFolder() const { return work_; }  // beside Root(), not served
  void ChoosePorts(std::uint16_t port);
  void Fail(std::string why) { error_ = std::move(why); }
  std::uint16_t PassiveFirst() const { return passiveFirst_; }
  std::uint16_t PassiveLast() const { return passiveLast_; }

 private:
  void Stop();

  std::string user_, password_, work_, root_, error_, greeting_;
  std::uint16_t port_ = 0, passiveFirst_ = 0, passiveLast_ = 0;
  int pid_ = -1;
};

// pyftpdlib from Debian, run by /usr/bin/python3 with a small script: one
// account (user "tkvdemo", password "demo2026") whose home is Root(), read
// access only, passive ports from a small range.
class PyFtpdServer : public RealFtpServer {
 public:
  explicit PyFtpdServer(std::uint16_t port = 0);  // 0: a free port
};

// vsftpd from Debian with a generated configuration: stand-alone in the
// foreground, anonymous login only (user "anonymous", any password) with
// Root() as its root, passive address 127.0.0.1 with a small port range,
// active mode from an unprivileged port. It needs root, as vsftpd changes
// to its unprivileged users; otherwise Error() says so.
class VsftpdServer : public RealFtpServer {
 public:
  explicit VsftpdServer(std::uint16_t port = 0);  // 0: a free port
};

// The two servers that Debian will not install beside vsftpd are run from
// their unpacked packages, which scripts/deps test puts under this folder
// (one subfolder per package, e.g. ".../pure-ftpd/usr/sbin/pure-ftpd").
inline constexpr const char* kUnpackedServersFolder = "/var/cache/tkv-setup/ftp-servers";

// pure-ftpd from its unpacked package, in the foreground: one virtual user
// (user "tkvdemo", password "demo2026") in a generated PureDB, chrooted to
// Root() and mapped to the unprivileged user "nobody"; anonymous login off,
// passive address 127.0.0.1 with a small port range. It needs root (it
// changes to the virtual user's uid); otherwise Error() says so.
class PureFtpdServer : public RealFtpServer {
 public:
  explicit PureFtpdServer(std::uint16_t port = 0);  // 0: a free port
};

// proftpd from its unpacked package, stand-alone in the foreground (-n)
// with a generated configuration: one account (user "tkvdemo", password
// "demo2026") from a generated AuthUserFile, chrooted to Root(), running as
// "nobody"; writes refused, passive ports from a small range. It needs
// root; otherwise Error() says so.
class ProftpdServer : public RealFtpServer {
 public:
  explicit ProftpdServer(std::uint16_t port = 0);  // 0: a free port
};

}  // namespace ftptest
