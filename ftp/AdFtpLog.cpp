// The FTP history log: one line per event, appended to its file.
#include <cerrno>
#include <chrono>
#include <cstdio>

#include "dispatch/AdExcept.h"
#include "ftp/AdFtp.h"
#include "platform/Files.h"
#include "platform/SysUtils.h"

TApdFtpLog::TApdFtpLog(TComponent* owner) : TApdBaseComponent(owner) {
  PublishBoolean(
      "Enabled", [this] { return enabled_; }, [this](bool v) { enabled_ = v; });
  PublishString(
      "FtpHistoryName", [this] { return ftpHistoryName_; },
      [this](const std::string& v) { ftpHistoryName_ = v; });
  PublishComponent("FtpClient", ftpClient_);
}

TApdFtpLog::~TApdFtpLog() {
  if (ftpClient_ != nullptr && ftpClient_->FtpLog() == this) ftpClient_->SetFtpLog(nullptr);
}

void TApdFtpLog::BeforeDestruction() {
  if (ftpClient_ != nullptr && ftpClient_->FtpLog() == this) ftpClient_->SetFtpLog(nullptr);
  ftpClient_ = nullptr;
}

void TApdFtpLog::ComponentNotify(TComponent* component, TOperation operation) {
  TApdBaseComponent::ComponentNotify(component, operation);
  if (operation == TOperation::opRemove && component == ftpClient_) ftpClient_ = nullptr;
}

std::string TApdFtpLog::EventText(TFtpLogCode LogCode) const {
  // Without a client the line still tells what happened.
  const TApdCustomFtpClient* c = ftpClient_;
  auto value = [c](auto get) { return c != nullptr ? get(*c) : std::string(); };
  switch (LogCode) {
    case lcClose:
      return "Disconnected";
    case lcOpen:
      return "Connected to " + value([](const auto& x) { return x.ServerAddress(); });
    case lcLogout:
      return value([](const auto& x) { return x.UserName(); }) + " logged out";
    case lcLogin:
      return value([](const auto& x) { return x.UserName(); }) + " logged in";
    case lcDelete:
      return "Deleting " + value([](const auto& x) { return x.RemoteFile(); });
    case lcRename:
      return "Renaming " + value([](const auto& x) { return x.RemoteFile(); });
    case lcReceive:
      return "Downloading " + value([](const auto& x) { return x.RemoteFile(); });
    case lcStore:
      return "Uploading " + value([](const auto& x) { return x.LocalFile(); });
    case lcComplete:
      return "Transfer complete. " +
             value([](const auto& x) { return std::to_string(x.BytesTransferred()); }) +
             " bytes Transferred";
    case lcRestart:
      return "Attempting re-transfer at " +
             value([](const auto& x) { return std::to_string(x.RestartAt()); }) + " bytes";
    case lcTimeout:
      return "Transfer timed out";
    case lcUserAbort:
      return "Transfer aborted by user";
  }
  return {};
}

void TApdFtpLog::UpdateLog(TFtpLogCode LogCode) {
  if (!enabled_ || ftpHistoryName_.empty()) return;
  // Appending never empties an existing history, and creates a missing one.
  const std::string path = platform::NativePath(ftpHistoryName_);
  std::FILE* file = std::fopen(path.c_str(), "ab");
  if (file == nullptr) CheckResultCode(false, -platform::RunTimeError(errno));
  const std::string line = platform::DateTimeToStr(std::chrono::system_clock::now()) + " : " +
                           EventText(LogCode) + "\r\n";
  errno = 0;
  const bool written = std::fwrite(line.data(), 1, line.size(), file) == line.size();
  const int writeError = errno;
  const bool closed = std::fclose(file) == 0;
  if (!written || !closed)
    CheckResultCode(false, -platform::RunTimeError(writeError != 0 ? writeError : errno));
}
