#include "platform/Process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/Files.h"

extern char** environ;

namespace platform {

namespace {

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

bool EndsWithExe(const std::string& name) {
  if (name.size() < 4) return false;
  std::string tail = name.substr(name.size() - 4);
  for (char& c : tail)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return tail == ".exe";
}

bool IsRegularFile(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

std::uint32_t FromErrno(int error) {
  switch (error) {
    case ENOENT:
      return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
      return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case ETXTBSY:
      return ERROR_ACCESS_DENIED;
    case ENOEXEC:
    case ELIBBAD:
    case EISDIR:
      return ERROR_BAD_FORMAT;
    default:
      return ERROR_OUT_OF_RESOURCES;
  }
}

// The first bytes of a file tell how it runs.
enum class Kind { kNative, kWindows, kUnknown };

std::uint32_t KindOf(const std::string& path, Kind& kind) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return FromErrno(errno);
  unsigned char head[4] = {0, 0, 0, 0};
  ssize_t got = 0;
  do {
    got = read(fd, head, sizeof head);
  } while (got < 0 && errno == EINTR);
  close(fd);
  kind = Kind::kUnknown;
  if (got >= 2 && head[0] == '#' && head[1] == '!') kind = Kind::kNative;
  if (got == 4 && std::memcmp(head,
                              "\x7f"
                              "ELF",
                              4) == 0)
    kind = Kind::kNative;
  if (got >= 2 && head[0] == 'M' && head[1] == 'Z') kind = Kind::kWindows;
  return WINEXEC_STARTED;
}

// The first executable "wine" on the PATH, or "".
std::string FindWine() {
  const char* path = std::getenv("PATH");
  std::string folders = path ? path : "/usr/local/bin:/usr/bin:/bin";
  std::size_t start = 0;
  for (;;) {
    std::size_t end = folders.find(':', start);
    std::string folder = folders.substr(start, end == std::string::npos ? end : end - start);
    if (!folder.empty()) {
      std::string candidate = folder + "/wine";
      if (IsRegularFile(candidate) && access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    if (end == std::string::npos) return "";
    start = end + 1;
  }
}

[[noreturn]] void ReportAndExit(int reportFd, int error) {
  ssize_t put = write(reportFd, &error, sizeof error);
  (void)put;
  _exit(127);
}

// Starts path with argv, detached. Between fork and exec only
// async-signal-safe calls are made: other threads may hold locks.
std::uint32_t Spawn(const std::string& path, const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const std::string& arg : args)
    argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  long openMax = std::clamp(sysconf(_SC_OPEN_MAX), 256L, 65536L);

  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) return ERROR_OUT_OF_RESOURCES;
  int devNull = open("/dev/null", O_RDONLY | O_CLOEXEC);

  pid_t middle = fork();
  if (middle < 0) {
    close(report[0]);
    close(report[1]);
    if (devNull >= 0) close(devNull);
    return ERROR_OUT_OF_RESOURCES;
  }
  if (middle == 0) {
    // The middle process starts a session and leaves at once, so the
    // program is adopted by init: it is nobody's zombie and outlives us.
    if (setsid() < 0) ReportAndExit(report[1], errno);
    pid_t program = fork();
    if (program < 0) ReportAndExit(report[1], errno);
    if (program > 0) _exit(0);

    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    for (int sig = 1; sig < NSIG; ++sig)
      sigaction(sig, &fallback, nullptr);
    if (devNull >= 0) dup2(devNull, STDIN_FILENO);
    // Nothing of ours (sockets, the X connection) passes to the program.
    if (syscall(SYS_close_range, 3U, ~0U, 4U /* CLOSE_RANGE_CLOEXEC */) != 0) {
      for (int fd = 3; fd < openMax; ++fd)
        fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    execve(path.c_str(), argv.data(), environ);
    ReportAndExit(report[1], errno);
  }

  close(report[1]);
  if (devNull >= 0) close(devNull);
  int status = 0;
  while (waitpid(middle, &status, 0) < 0 && errno == EINTR) {
  }
  // The report pipe closes without a word when exec succeeded.
  int error = 0;
  ssize_t got = 0;
  do {
    got = read(report[0], &error, sizeof error);
  } while (got < 0 && errno == EINTR);
  close(report[0]);
  if (got == static_cast<ssize_t>(sizeof error)) return FromErrno(error);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return ERROR_OUT_OF_RESOURCES;
  return WINEXEC_STARTED;
}

}  // namespace

std::vector<std::string> CommandLineToArgv(const std::string& commandLine) {
  std::vector<std::string> words;
  std::size_t at = 0;
  std::size_t size = commandLine.size();
  while (at < size && IsSpace(commandLine[at]))
    ++at;
  if (at == size) return words;

  // The program name: quotes only group, backslashes are literal.
  std::string name;
  bool quoted = false;
  for (; at < size && (quoted || !IsSpace(commandLine[at])); ++at) {
    if (commandLine[at] == '"') {
      quoted = !quoted;
    } else {
      name += commandLine[at];
    }
  }
  words.push_back(name);

  for (;;) {
    while (at < size && IsSpace(commandLine[at]))
      ++at;
    if (at == size) return words;
    std::string word;
    quoted = false;
    while (at < size && (quoted || !IsSpace(commandLine[at]))) {
      std::size_t slashes = 0;
      while (at < size && commandLine[at] == '\\') {
        ++slashes;
        ++at;
      }
      if (at < size && commandLine[at] == '"') {
        word.append(slashes / 2, '\\');
        if (slashes % 2 == 1) {
          word += '"';
        } else {
          quoted = !quoted;
        }
        ++at;
      } else {
        word.append(slashes, '\\');
        if (at < size && (quoted || !IsSpace(commandLine[at]))) word += commandLine[at++];
      }
    }
    words.push_back(word);
  }
}

std::uint32_t WinExec(const std::string& commandLine, std::uint32_t showState) {
  (void)showState;
  std::vector<std::string> args = CommandLineToArgv(commandLine);
  if (args.empty() || args[0].empty()) return ERROR_FILE_NOT_FOUND;

  std::string path = NativePath(args[0]);
  // A bare name is the current directory's; execve never searches the PATH.
  if (path.find('/') == std::string::npos) path = "./" + path;
  if (!IsRegularFile(path)) {
    if (!EndsWithExe(path) && IsRegularFile(path + ".exe")) {
      path += ".exe";
    } else {
      std::size_t slash = path.rfind('/');
      bool folderThere = DirectoryExists(path.substr(0, slash == 0 ? 1 : slash));
      return folderThere ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
    }
  }

  Kind kind = Kind::kUnknown;
  std::uint32_t looked = KindOf(path, kind);
  if (looked < 32) return looked;
  switch (kind) {
    case Kind::kNative: {
      struct stat info {};
      if (stat(path.c_str(), &info) == 0 && (info.st_mode & S_IXUSR) == 0) {
        // Failing here leaves it to exec to say whether it may run.
        chmod(path.c_str(), (info.st_mode & 07777) | S_IXUSR);
      }
      return Spawn(path, args);
    }
    case Kind::kWindows: {
      std::string wine = FindWine();
      if (wine.empty()) return ERROR_BAD_FORMAT;
      args[0] = path;
      args.insert(args.begin(), "wine");
      return Spawn(wine, args);
    }
    case Kind::kUnknown:
      break;
  }
  return ERROR_BAD_FORMAT;
}

}  // namespace platform
