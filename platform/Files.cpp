#include "platform/Files.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <vector>

namespace platform {

namespace {

std::string HomeFolder() {
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] != '\0') return home;
  // No HOME (a bare service environment): the account's home from passwd.
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
      found->pw_dir) {
    return found->pw_dir;
  }
  return "/";
}

bool IsFolder(const std::string& native) {
  struct stat info {};
  return stat(native.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace

std::string DataFolder() {
  const char* xdg = std::getenv("XDG_DATA_HOME");
  // Relative values are invalid and ignored, as the base-directory rules ask.
  std::string base = (xdg != nullptr && xdg[0] == '/') ? xdg : HomeFolder() + "/.local/share";
  while (base.size() > 1 && base.back() == '/')
    base.pop_back();
  return (base == "/" ? "" : base) + "/tkv-setup";
}

std::string NativePath(const std::string& name) {
  std::string path = name;
  for (char& c : path) {
    if (c == '\\') c = '/';
  }
  bool drive =
      path.size() >= 2 && path[1] == ':' && std::isalpha(static_cast<unsigned char>(path[0])) != 0;
  if (!drive) return path;
  char letter = static_cast<char>(std::tolower(static_cast<unsigned char>(path[0])));
  std::string rest = path.substr(2);
  std::string folder = DataFolder() + "/drive_" + letter;
  if (rest.empty()) return folder;
  return folder + (rest[0] == '/' ? "" : "/") + rest;
}

std::string GetModuleFileName() {
  std::vector<char> buffer(4096);
  for (;;) {
    ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (length < 0) return "";
    if (static_cast<std::size_t>(length) < buffer.size()) {
      return std::string(buffer.data(), static_cast<std::size_t>(length));
    }
    buffer.resize(buffer.size() * 2);
  }
}

std::string ProgramFolder() {
  std::string path = GetModuleFileName();
  std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) {
    std::string current = GetCurrentDirectory();
    return current == "/" ? current : current + "/";
  }
  return path.substr(0, slash + 1);
}

std::string GetCurrentDirectory() {
  std::vector<char> buffer(4096);
  while (getcwd(buffer.data(), buffer.size()) == nullptr) {
    if (errno != ERANGE) return "";
    buffer.resize(buffer.size() * 2);
  }
  return buffer.data();
}

bool SetCurrentDirectory(const std::string& folder) {
  std::string native = NativePath(folder);
  return !native.empty() && chdir(native.c_str()) == 0;
}

bool ForceDirectories(const std::string& folder) {
  std::string native = NativePath(folder);
  if (native.empty()) return false;
  // Each prefix that ends before a separator is a parent to make first.
  for (std::size_t at = native.find('/', 1); at != std::string::npos;
       at = native.find('/', at + 1)) {
    if (native[at - 1] == '/') continue;
    std::string parent = native.substr(0, at);
    if (mkdir(parent.c_str(), 0777) != 0 && errno != EEXIST) return false;
  }
  if (mkdir(native.c_str(), 0777) != 0 && errno != EEXIST) return false;
  return IsFolder(native);
}

bool DirectoryExists(const std::string& folder) {
  std::string native = NativePath(folder);
  return !native.empty() && IsFolder(native);
}

bool FileExists(const std::string& fileName) {
  std::string native = NativePath(fileName);
  struct stat info {};
  return !native.empty() && stat(native.c_str(), &info) == 0 && !S_ISDIR(info.st_mode);
}

bool DeleteFile(const std::string& fileName) {
  std::string native = NativePath(fileName);
  struct stat info {};
  if (native.empty() || lstat(native.c_str(), &info) != 0 || S_ISDIR(info.st_mode)) return false;
  return unlink(native.c_str()) == 0;
}

int RunTimeError(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR:
    case ENAMETOOLONG:
      return 3;
    case EMFILE:
    case ENFILE:
      return 4;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
      return 101;
    case EROFS:
      return 150;
    case EIO:
      return 160;
    default:
      return 5;
  }
}

}  // namespace platform
