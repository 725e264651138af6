// The FTP client's data connection: listings, retrieves and their local
// file, passive and active connections, and the ends of a transfer.
#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstring>
#include <limits>

#include "dispatch/AdExcept.h"
#include "ftp/AdFtp.h"
#include "platform/Files.h"
#include "socket/AdWUtil.h"

// The local file of a retrieve. Writes are unbuffered, so a failing write
// (a full disk) is seen at the block that failed.
struct TApdCustomFtpClient::TLocalFile {
  std::FILE* File = nullptr;

  ~TLocalFile() {
    if (File != nullptr) std::fclose(File);
  }
  // Raises the file layer's exception for the errno of a failed call.
  [[noreturn]] static void Raise(int error) {
    CheckResultCode(false, -platform::RunTimeError(error));
    throw EInOutError(ErrorText(ecFileNotFound), 2);  // not reached
  }
  void Open(const std::string& name, TFtpRetrieveMode mode) {
    const std::string path = platform::NativePath(name);
    if (mode == rmReplace) {
      File = std::fopen(path.c_str(), "wb");
    } else {
      if (!platform::FileExists(name)) {
        std::FILE* created = std::fopen(path.c_str(), "ab");
        if (created == nullptr) Raise(errno);
        std::fclose(created);
      }
      File = std::fopen(path.c_str(), "r+b");
    }
    if (File == nullptr) Raise(errno);
    std::setvbuf(File, nullptr, _IONBF, 0);
  }
  long long Size() {
    if (std::fseek(File, 0, SEEK_END) != 0) Raise(errno);
    const long long size = std::ftell(File);
    if (size < 0) Raise(errno);
    return size;
  }
  void Seek(long long offset) {
    if (std::fseek(File, static_cast<long>(offset), SEEK_SET) != 0) Raise(errno);
  }
  // 0, or the negative run-time error of the write.
  std::int32_t Write(const char* bytes, std::size_t count) {
    errno = 0;
    if (std::fwrite(bytes, 1, count, File) == count) return 0;
    return -platform::RunTimeError(errno != 0 ? errno : EIO);
  }
};

void TApdCustomFtpClient::TLocalFileCloser::operator()(TLocalFile* file) const {
  delete file;
}

namespace {

bool IsTransferState(std::uint8_t state) {
  return state == TApdCustomFtpClient::psListing || state == TApdCustomFtpClient::psRetrieving;
}

// A decimal number of the 227 text, 0 when the part is not one.
int PortPart(const std::string& text) {
  std::size_t first = text.find_first_not_of(' ');
  std::size_t last = text.find_last_not_of(' ');
  if (first == std::string::npos) return 0;
  int value = 0;
  const char* begin = text.data() + first;
  const char* end = text.data() + last + 1;
  const auto [at, ec] = std::from_chars(begin, end, value);
  return ec == std::errc() && at == end ? value : 0;
}

}  // namespace

// ---------------------------------------------------------------------------
// Operations

bool TApdCustomFtpClient::ListDir(const std::string& RemotePathName, bool FullList) {
  if (FtpState != psIdle) return false;
  ChangeState(psListing);
  std::string command = FullList ? "LIST" : "NLST";
  if (!RemotePathName.empty()) command += " " + RemotePathName;
  PushCommand(command);
  DataBuffer.fill('\0');
  bytesTransferred_ = 0;
  // An error of an earlier transfer must not mute this listing's.
  AbortFlag = false;
  if (passiveMode_) PushCommand("PASV");
  PushCommand("TYPE A");
  return StartDataConnection();
}

bool TApdCustomFtpClient::Retrieve(const std::string& RemotePathName,
                                   const std::string& LocalPathName,
                                   TFtpRetrieveMode RetrieveMode) {
  if (FtpState != psIdle || RemotePathName.empty() || LocalPathName.empty()) return false;
  ChangeState(psRetrieving);
  PushCommand("RETR " + RemotePathName);
  remoteFile_ = RemotePathName;
  localFile_ = LocalPathName;
  const TFtpRetrieveMode mode = RetrieveMode > rmRestart ? rmRestart : RetrieveMode;
  try {
    std::unique_ptr<TLocalFile, TLocalFileCloser> file(new TLocalFile);
    file->Open(LocalPathName, mode);
    if (mode == rmReplace) {
      PostLog(lcReceive);
    } else if (mode == rmAppend) {
      file->Size();
      PostLog(lcReceive);
    } else {
      const long long size = file->Size();
      if (restartAt_ < 0 || size < restartAt_)
        restartAt_ = static_cast<std::int32_t>(size > INT_MAX ? INT_MAX : size);
      file->Seek(restartAt_);
      PushCommand("REST " + std::to_string(restartAt_));
      PostLog(lcRestart);
    }
    fileStream_ = std::move(file);
  } catch (...) {
    // Nothing was sent: the client is free for the next operation at once.
    CommandCount = 0;
    ChangeState(psIdle);
    throw;
  }
  bytesTransferred_ = 0;
  AbortFlag = false;
  if (passiveMode_) PushCommand("PASV");
  PushCommand(std::string("TYPE ") + (fileType_ == ftAscii ? "A" : "I"));
  return StartDataConnection();
}

bool TApdCustomFtpClient::StartDataConnection() {
  if (InitDataConnection()) return true;
  // Without a data connection the queued commands would wait for replies
  // that never come.
  CommandCount = 0;
  if (IsTransferState(FtpState)) ChangeState(psIdle);
  return false;
}

// ---------------------------------------------------------------------------
// Opening the data connection

platform::SOCKET TApdCustomFtpClient::ControlSocket() {
  TApdBaseDispatcher* d = Dispatcher();
  return d != nullptr ? static_cast<platform::SOCKET>(d->DeviceId) : platform::INVALID_SOCKET;
}

platform::u_long TApdCustomFtpClient::ControlPeerAddress() {
  platform::sockaddr_in peer{};
  int length = sizeof peer;
  const platform::SOCKET control = ControlSocket();
  if (control == platform::INVALID_SOCKET || WinsockFunctions.getpeername == nullptr ||
      WinsockFunctions.getpeername(control, reinterpret_cast<platform::sockaddr*>(&peer),
                                   &length) != 0)
    return 0;
  return peer.sin_addr.s_addr;
}

bool TApdCustomFtpClient::InitDataConnection() {
  try {
    if (passiveMode_) {
      DataSocket = SocketObject->CreateSocket();
      SocketObject->AsyncSelect(DataSocket, 1 + 2 + 32);
      PopCommand();
      return DataSocket != platform::INVALID_SOCKET;
    }
    auto name = [](platform::sockaddr_in& address) {
      return reinterpret_cast<platform::sockaddr*>(&address);
    };
    int length = sizeof ListenAddress;
    if (WinsockFunctions.getsockname == nullptr ||
        WinsockFunctions.getsockname(ControlSocket(), name(ListenAddress), &length) != 0)
      return false;
    if (ListenerSocket == platform::INVALID_SOCKET) ListenerSocket = SocketObject->CreateSocket();
    SocketObject->AsyncSelect(ListenerSocket, 1 + 2 + 8 + 32);
    ListenAddress.sin_family = platform::AF_INET;
    ListenAddress.sin_port = SocketObject->HostToNetPort(0);
    if (SocketObject->BindSocket(ListenerSocket, ListenAddress) != 0) return false;
    length = sizeof ListenAddress;
    if (WinsockFunctions.getsockname(ListenerSocket, name(ListenAddress), &length) != 0)
      return false;
    const auto* port = reinterpret_cast<const std::uint8_t*>(&ListenAddress.sin_port);
    std::string text = SocketObject->NetAddressToString(ListenAddress.sin_addr.s_addr) + "." +
                       std::to_string(port[0]) + "." + std::to_string(port[1]);
    std::replace(text.begin(), text.end(), '.', ',');
    // Listening comes before the announcement: a server may connect as soon
    // as it reads PORT.
    if (SocketObject->ListenSocket(ListenerSocket, 5) != 0) return false;
    SendCommand("PORT " + text);
    return true;
  } catch (...) {
    ResetDataSockets();
    CommandCount = 0;
    return false;
  }
}

void TApdCustomFtpClient::ConnectPassive(const std::string& Text) {
  if (SocketObject == nullptr) return;
  std::string text = Text;
  for (int i = 0; i < 3; ++i) {
    const std::size_t comma = text.find(',');
    if (comma == std::string::npos) break;
    text[comma] = '.';
  }
  std::string high;
  std::string low;
  const std::size_t comma = text.find(',');
  if (comma != std::string::npos) {
    const std::string rest = text.substr(comma + 1);
    const std::size_t next = rest.find(',');
    if (next != std::string::npos) {
      high = rest.substr(0, next);
      low = rest.substr(next + 1);
    } else {
      low = rest;
    }
  }
  const auto port = static_cast<platform::u_short>((PortPart(high) * 256 + PortPart(low)) & 0xFFFF);

  // The address in the reply is the server's to choose, but the client
  // only ever connects to the host it is talking to.
  platform::sockaddr_in address{};
  address.sin_family = platform::AF_INET;
  address.sin_addr.s_addr = ControlPeerAddress();
  address.sin_port = SocketObject->HostToNetPort(port);
  if (DataSocket != platform::INVALID_SOCKET) SocketObject->ConnectSocket(DataSocket, address);
}

// ---------------------------------------------------------------------------
// The data socket's notifications

void TApdCustomFtpClient::DataAccept(platform::SOCKET s) {
  if (s != ListenerSocket) return;
  platform::sockaddr_in peer{};
  const platform::SOCKET accepted = SocketObject->AcceptSocket(ListenerSocket, peer);
  if (accepted == platform::INVALID_SOCKET) return;
  // One data connection per transfer: a second caller is turned away.
  if (DataSocket != platform::INVALID_SOCKET) {
    SocketObject->CloseSocket(accepted);
    return;
  }
  DataSocket = accepted;
  PeerAddress = peer;
}

void TApdCustomFtpClient::DataRead(platform::SOCKET s) {
  if (s != DataSocket || !IsTransferState(FtpState)) return;
  ReceiveData();
  if (fileError_ != 0) FailTransfer(fileError_, ErrorText(fileError_).c_str());
}

void TApdCustomFtpClient::DataClosed(platform::SOCKET s) {
  if (s != DataSocket || DataSocket == platform::INVALID_SOCKET || !IsTransferState(FtpState))
    return;
  // Everything the server sent before its close is still in the socket.
  while (ReceiveData() > 0) {
  }
  if (fileError_ != 0) {
    FailTransfer(fileError_, ErrorText(fileError_).c_str());
    return;
  }
  // The file is complete and closed before anyone hears of it.
  ResetDataSockets();
  dataDone_ = true;
  FinishTransferIfComplete();
}

void TApdCustomFtpClient::DataError(platform::SOCKET, int errorCode) {
  // Only the first error of a transfer is reported; the flag is set first,
  // so that errors raised while the transfer is being closed stay quiet.
  if (AbortFlag) return;
  // A server that refuses the transfer may reset a passive connection it
  // never accepted just before its refusal; the refusal is the report.
  if (IsTransferState(FtpState) && transferSent_ && !startSeen_) {
    if (pendingDataError_ == 0) pendingDataError_ = errorCode;
    return;
  }
  AbortFlag = true;
  if (IsTransferState(FtpState))
    FailTransfer(errorCode, nullptr);
  else
    PostError(errorCode, nullptr);
}

// ---------------------------------------------------------------------------
// Receiving

void TApdCustomFtpClient::CountTransferred(int count) {
  // The count is 32 bits wide. Past 2 GiB it stays at its largest value:
  // a wrapped count would go negative and later pass small, true-looking
  // values, while the largest value reads as "at least this much".
  const std::int64_t sum = static_cast<std::int64_t>(bytesTransferred_) + count;
  bytesTransferred_ = static_cast<std::int32_t>(
      std::min<std::int64_t>(sum, std::numeric_limits<std::int32_t>::max()));
}

std::int32_t TApdCustomFtpClient::ReceiveData() {
  if (DataSocket == platform::INVALID_SOCKET) return 0;
  if (FtpState == psRetrieving) {
    if (fileStream_ == nullptr || AbortFlag) return 0;
    RestartTransferTimer();
    const int n = SocketObject->ReadSocket(DataSocket, DataBuffer.data(), FtpBufferSize, 0);
    if (n > 0) {
      CountTransferred(n);
      const std::int32_t error = fileStream_->Write(DataBuffer.data(), static_cast<std::size_t>(n));
      if (error != 0) {
        fileError_ = error;
        AbortFlag = true;
        return -1;
      }
      PostStatus(scProgress, nullptr);
    }
    return n;
  }
  if (FtpState != psListing) return 0;
  const int n = SocketObject->ReadSocket(DataSocket, DataBuffer.data(), FtpBufferSize - 1, 0);
  if (n > 0) {
    CountTransferred(n);
    AppendListing(DataBuffer.data(), n);
  }
  return n;
}

void TApdCustomFtpClient::AppendListing(const char* bytes, int count) {
  if (listingCut_) return;
  const std::size_t room = MaxListing - listing_.size();
  if (static_cast<std::size_t>(count) <= room) {
    listing_.append(bytes, static_cast<std::size_t>(count));
    return;
  }
  // Beyond the bound the listing ends at its last complete line, so no
  // half name is ever handed on.
  listing_.append(bytes, room);
  listingCut_ = true;
  const std::size_t lineEnd = listing_.find_last_of("\r\n");
  listing_.resize(lineEnd == std::string::npos ? 0 : lineEnd + 1);
}

std::string TApdCustomFtpClient::ListingText() const {
  // The listing is a text: it ends at its first NUL.
  return std::string(listing_.c_str());
}

// ---------------------------------------------------------------------------
// Ending a transfer

void TApdCustomFtpClient::FailPendingDataError() {
  const int code = pendingDataError_;
  pendingDataError_ = 0;
  if (code != 0 && !AbortFlag) FailTransfer(code, nullptr);
}

void TApdCustomFtpClient::FinishTransferIfComplete() {
  if (!dataDone_ || !finalReply_) return;
  if (FtpState == psListing) {
    const std::string text = ListingText();
    PostStatus(scDataAvail, text.c_str());
  } else if (AbortFlag) {
    // The reads stopped at the abort: the file is not the server's file.
    FailTransfer(0, "Transfer aborted");
  } else {
    PostStatus(scTransferOK, nullptr);
  }
}

void TApdCustomFtpClient::FailTransfer(std::int32_t code, const char* text) {
  AbortFlag = true;
  CommandCount = 0;
  PostError(code, text);
}

void TApdCustomFtpClient::EndTransfer() {
  if (IsTransferState(FtpState) && transferSent_ && !replySeen_) absorbFinal_ = true;
  transferSent_ = false;
  finalReply_ = false;
  replySeen_ = false;
  dataDone_ = false;
  startSeen_ = false;
  pendingDataError_ = 0;
  fileError_ = 0;
  listing_.clear();
  listing_.shrink_to_fit();
  listingCut_ = false;
}

void TApdCustomFtpClient::CloseDataConnection() {
  try {
    if (DataSocket != platform::INVALID_SOCKET) {
      SocketObject->AsyncSelect(DataSocket, 0);
      SocketObject->ShutdownSocket(DataSocket, 1);
      if (IsTransferState(FtpState)) {
        while (DataSocket != platform::INVALID_SOCKET && ReceiveData() > 0) {
        }
      }
      if (DataSocket != platform::INVALID_SOCKET) SocketObject->ShutdownSocket(DataSocket, 2);
    }
  } catch (...) {
    ResetDataSockets();
    throw;
  }
  ResetDataSockets();
}

void TApdCustomFtpClient::ResetDataSockets() {
  auto close = [this](platform::SOCKET& s) {
    if (s == platform::INVALID_SOCKET) return;
    const platform::SOCKET closing = s;
    s = platform::INVALID_SOCKET;
    if (SocketObject == nullptr) return;
    try {
      SocketObject->CloseSocket(closing);
    } catch (...) {
      // A socket that cannot be closed is gone for the client all the same.
    }
  };
  close(DataSocket);
  close(ListenerSocket);
  fileStream_.reset();
}
