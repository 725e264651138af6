// The FTP client: construction, the hidden window and its reports, the
// state machine, the command stack, the reply parser and the two time-outs.
// The data connection is in AdFtpData.cpp, the history log in AdFtpLog.cpp.
#include "ftp/AdFtp.h"

#include <algorithm>
#include <cstring>

#include "dispatch/AdExcept.h"

namespace {

[[maybe_unused]] const bool kRegistered =
    (RegisterComponentClass<TApdFtpClient>(), RegisterComponentClass<TApdFtpLog>(), true);

// The first three characters as a decimal reply code; 0 when they are not
// one.
std::int32_t ReplyCode(const std::string& line) {
  if (line.size() < 3) return 0;
  std::int32_t code = 0;
  for (int i = 0; i < 3; ++i) {
    const char c = line[static_cast<std::size_t>(i)];
    if (c < '0' || c > '9') return 0;
    code = code * 10 + (c - '0');
  }
  return code;
}

}  // namespace

// ---------------------------------------------------------------------------
// Construction and destruction

TApdCustomFtpClient::TApdCustomFtpClient(TComponent* owner) : TApdCustomWinsockPort(owner) {
  passiveMode_ = false;
  SetDeviceLayer(dlWinsock);
  SetWsMode(wsClient);
  SetWsPort("ftp");
  // Reading the dispatcher must never open the port behind the client's
  // back.
  SetAutoOpen(false);

  windowHandle_ = platform::AllocateHWnd(
      [this](platform::HWND, platform::UINT msg, platform::WPARAM wParam, platform::LPARAM lParam) {
        return WindowProc(msg, wParam, lParam);
      });

  SocketObject = new TApdSocket(this);
  SocketObject->OnWsAccept = [this](TObject*, platform::SOCKET s) { DataAccept(s); };
  SocketObject->OnWsDisconnect = [this](TObject*, platform::SOCKET s) { DataClosed(s); };
  SocketObject->OnWsError = [this](TObject*, platform::SOCKET s, int code) { DataError(s, code); };
  SocketObject->OnWsRead = [this](TObject*, platform::SOCKET s) { DataRead(s); };

  ListenerSocket = platform::INVALID_SOCKET;
  DataSocket = platform::INVALID_SOCKET;
  FtpState = psClosed;
  transferTimeout_ = 1092;
  connectTimeout_ = 0;
  fileType_ = ftBinary;
  MultiLine = false;

  replyPacket_ = new TApdDataPacket(this);
  replyPacket_->SetComPort(this);
  replyPacket_->SetStartCond(scAnyData);
  replyPacket_->SetEndString("\r\n");
  replyPacket_->SetEndCond({ecString});
  replyPacket_->SetTimeOut(0);
  replyPacket_->SetMaxPacketSize(MaxReplyLine);
  // The overflow is noticed inside the packet's matching; the connection
  // is closed after it, from the window.
  replyPacket_->OnOverflow = [this](TObject*) {
    platform::PostMessage(windowHandle_, FtpOverflowMsg, 0, 0);
  };
  replyPacket_->OnStringPacket = [this](TObject*, const std::string& line) { ReplyLine(line); };
  replyPacket_->SetEnabled(false);

  PublishString(
      "ServerAddress", [this] { return ServerAddress(); },
      [this](const std::string& v) { SetServerAddress(v); });
  PublishString(
      "UserName", [this] { return userName_; }, [this](const std::string& v) { userName_ = v; });
  PublishString(
      "Password", [this] { return password_; }, [this](const std::string& v) { password_ = v; });
  PublishString(
      "Account", [this] { return account_; }, [this](const std::string& v) { account_ = v; });
  PublishBoolean(
      "PassiveMode", [this] { return passiveMode_; }, [this](bool v) { passiveMode_ = v; });
  PublishEnumeration(
      "FileType", {"ftAscii", "ftBinary"}, [this] { return static_cast<int>(fileType_); },
      [this](int v) { fileType_ = v == ftAscii ? ftAscii : ftBinary; });
  PublishInteger(
      "ConnectTimeout", [this] { return connectTimeout_; }, [this](int v) { connectTimeout_ = v; });
  PublishInteger(
      "TransferTimeout", [this] { return transferTimeout_; },
      [this](int v) { transferTimeout_ = v; });
  PublishComponent("FtpLog", ftpLog_);
  PublishEvent("OnFtpStatus", OnFtpStatus);
  PublishEvent("OnFtpError", OnFtpError);
  PublishEvent("OnFtpReply", OnFtpReply);
  PublishEvent("OnFtpLog", OnFtpLog);
}

void TApdCustomFtpClient::CloseForDestruction() {
  Destroying = true;
  ResetDataSockets();
  // The disconnect notification runs here, while the reply packet and the
  // window still exist.
  try {
    if (Open()) SetOpen(false);
  } catch (...) {
    ShowHandlerException(this);
  }
}

void TApdCustomFtpClient::BeforeDestruction() {
  CloseForDestruction();
  TApdCustomWinsockPort::BeforeDestruction();
}

TApdCustomFtpClient::~TApdCustomFtpClient() {
  // A plain delete skipped BeforeDestruction.
  CloseForDestruction();
  if (replyPacket_ != nullptr) {
    replyPacket_->Free();
    replyPacket_ = nullptr;
  }
  if (windowHandle_ != 0) platform::DestroyWindow(windowHandle_);
  windowHandle_ = 0;
  texts_.clear();
  if (SocketObject != nullptr) {
    SocketObject->Free();
    SocketObject = nullptr;
  }
  if (ftpLog_ != nullptr && ftpLog_->FtpClient() == this) ftpLog_->SetFtpClient(nullptr);
}

TApdFtpClient::TApdFtpClient(TComponent* owner) : TApdCustomFtpClient(owner) {}

// ---------------------------------------------------------------------------
// Properties and linking

void TApdCustomFtpClient::SetServerAddress(const std::string& value) {
  SetWsAddress(value);
}

void TApdCustomFtpClient::SetFtpLog(TApdFtpLog* value) {
  if (value == ftpLog_) return;
  ftpLog_ = value;
  if (ftpLog_ != nullptr) ftpLog_->SetFtpClient(this);
}

void TApdCustomFtpClient::AfterLoad() {
  TApdCustomWinsockPort::AfterLoad();
  // A stored reference to the log links it as the setter would.
  if (ftpLog_ != nullptr && ftpLog_->FtpClient() == nullptr) ftpLog_->SetFtpClient(this);
}

void TApdCustomFtpClient::ComponentNotify(TComponent* component, TOperation operation) {
  TApdCustomWinsockPort::ComponentNotify(component, operation);
  if (operation == TOperation::opRemove) {
    if (component == ftpLog_) ftpLog_ = nullptr;
    if (component == replyPacket_) replyPacket_ = nullptr;
    if (component == SocketObject) SocketObject = nullptr;
  } else if (ftpLog_ == nullptr && component != nullptr && component->InheritsFrom("TApdFtpLog")) {
    auto* log = static_cast<TApdFtpLog*>(component);
    if (log->FtpClient() == nullptr) SetFtpLog(log);
  }
}

// ---------------------------------------------------------------------------
// The hidden window and the reports

platform::LPARAM TApdCustomFtpClient::KeepText(const char* text) {
  if (text == nullptr) return 0;
  if (++lastText_ <= 0) lastText_ = 1;
  texts_[lastText_] = text;
  return lastText_;
}

std::string TApdCustomFtpClient::TakeText(platform::LPARAM id, bool& present) {
  present = false;
  auto it = texts_.find(id);
  if (it == texts_.end()) return {};
  present = true;
  std::string text = std::move(it->second);
  texts_.erase(it);
  return text;
}

void TApdCustomFtpClient::Post(platform::UINT msg, platform::WPARAM wParam, const char* text) {
  const platform::LPARAM id = KeepText(text);
  if (!platform::PostMessage(windowHandle_, msg, wParam, id) && id != 0) texts_.erase(id);
}

platform::LRESULT TApdCustomFtpClient::WindowProc(platform::UINT msg, platform::WPARAM wParam,
                                                  platform::LPARAM lParam) {
  bool present = false;
  switch (msg) {
    case platform::WM_TIMER:
      // The connection did not come up in time.
      ChangeState(psClosed);
      platform::KillTimer(windowHandle_, 1);
      if (OnFtpError) OnFtpError(this, -1, nullptr);
      return 0;
    case FtpErrorMsg: {
      const std::string text = TakeText(lParam, present);
      if (OnFtpError)
        OnFtpError(this, static_cast<std::int32_t>(wParam), present ? text.c_str() : nullptr);
      return 0;
    }
    case FtpLogMsg: {
      const auto code = static_cast<TFtpLogCode>(wParam & 0x7F);
      if (ftpLog_ != nullptr)
        ftpLog_->UpdateLog(code);
      else if (OnFtpLog)
        OnFtpLog(this, code);
      return 0;
    }
    case FtpReplyMsg: {
      const std::string line = TakeText(lParam, present);
      ProcessReply(static_cast<std::int32_t>(wParam), line);
      if (OnFtpReply && !Destroying)
        OnFtpReply(this, static_cast<std::int32_t>(wParam), line.c_str());
      return 0;
    }
    case FtpStatusMsg: {
      const std::string text = TakeText(lParam, present);
      if (OnFtpStatus)
        OnFtpStatus(this, static_cast<TFtpStatusCode>(wParam), present ? text.c_str() : nullptr);
      return 0;
    }
    case FtpOverflowMsg:
      ReplyOverflow();
      return 0;
    case FtpTimeoutMsg:
      AbortFlag = true;
      ChangeState(FtpState > psLogin ? psIdle : psClosed);
      if (OnFtpStatus) OnFtpStatus(this, scTimeout, nullptr);
      return 0;
    default:
      return 0;
  }
}

void TApdCustomFtpClient::PostStatus(TFtpStatusCode Code, const char* Text) {
  if (Code > scLogin && Code != scProgress) ChangeState(psIdle);
  if (!Destroying) Post(FtpStatusMsg, Code, Text);
}

void TApdCustomFtpClient::PostError(std::int32_t Code, const char* Text) {
  if (FtpState > psIdle) ChangeState(psIdle);
  if (!Destroying) Post(FtpErrorMsg, static_cast<platform::WPARAM>(Code), Text);
}

void TApdCustomFtpClient::PostLog(TFtpLogCode Code) {
  Post(FtpLogMsg, Code & 0x7F, nullptr);
}

// ---------------------------------------------------------------------------
// The state machine

void TApdCustomFtpClient::ChangeState(TFtpProcessState NewState) {
  if (NewState == psClosed) {
    StopTransferTimer();
    ResetDataSockets();
    // Closing the port runs the disconnect notification, which comes here
    // again and reports the state before the close first.
    if (Open()) SetOpen(false);
    CommandCount = 0;
    EndTransfer();
    absorbFinal_ = false;
    if (FtpState >= psIdle) {
      PostStatus(scLogout, nullptr);
      PostLog(lcLogout);
    } else {
      PostStatus(scClose, nullptr);
    }
  } else if (NewState == psIdle) {
    CloseDataConnection();
    EndTransfer();
  }
  FtpState = NewState;
}

// ---------------------------------------------------------------------------
// The command stack and sending

void TApdCustomFtpClient::PushCommand(const std::string& S) {
  if (CommandCount == FtpCommandStackSize) {
    CommandCount = 0;
    throw platform::Exception("FTP Command stack full");
  }
  CommandStack[CommandCount++] = S;
}

void TApdCustomFtpClient::PopCommand() {
  if (CommandCount == 0) return;
  --CommandCount;
  SendCommand(CommandStack[CommandCount]);
}

void TApdCustomFtpClient::SendCommand(const std::string& S) {
  StartTransferTimer();
  if (FtpState == psListing || FtpState == psRetrieving) {
    if (S.starts_with("RETR ") || S.starts_with("NLST") || S.starts_with("LIST"))
      transferSent_ = true;
  }
  PutString(S + "\r\n");
}

// ---------------------------------------------------------------------------
// Operations of the control connection

bool TApdCustomFtpClient::Login() {
  if (FtpState > psLogin) return false;
  if (connectTimeout_ > 0)
    platform::SetTimer(windowHandle_, 1, static_cast<platform::UINT>(connectTimeout_) * 55);
  bool result = true;
  if (FtpState == psClosed) {
    SetOpen(true);
    result = Open();
  } else {
    SendCommand("USER " + userName_);
  }
  if (result) ChangeState(psLogin);
  return result;
}

bool TApdCustomFtpClient::Logout() {
  const bool wasOpen = Open();
  if (wasOpen) {
    try {
      SendCommand("QUIT");
    } catch (...) {
      // A connection that cannot take the command is closed below anyway.
    }
  }
  WaitTicks(5, true);
  if (Open()) SetOpen(false);
  return wasOpen;
}

bool TApdCustomFtpClient::ChangeDir(const std::string& RemotePathName) {
  if (FtpState != psIdle) return false;
  ChangeState(psCommand);
  SendCommand(RemotePathName.empty() ? std::string("PWD") : "CWD " + RemotePathName);
  return true;
}

bool TApdCustomFtpClient::CurrentDir() {
  if (FtpState != psIdle) return false;
  ChangeState(psCommand);
  SendCommand("PWD");
  return true;
}

bool TApdCustomFtpClient::Abort() {
  if (FtpState <= psIdle) return false;
  AbortFlag = true;
  SendCommand("ABOR");
  PostLog(lcUserAbort);
  return true;
}

// ---------------------------------------------------------------------------
// Port notifications

void TApdCustomFtpClient::DoWsConnect() {
  platform::KillTimer(windowHandle_, 1);
  if (replyPacket_ != nullptr) replyPacket_->SetEnabled(true);
  if (TApdBaseDispatcher* d = Dispatcher()) {
    d->AddMethodTriggerHandler(MakeTriggerMethod<&TApdCustomFtpClient::TriggerHandler>(this));
    handlerRegistered_ = true;
  }
  ChangeState(psLogin);
  // Waiting for the greeting is waiting for a reply: a server that accepts
  // and never speaks ends in the transfer time-out, not in a silent wait.
  StartTransferTimer();
}

void TApdCustomFtpClient::DoWsDisconnect() {
  platform::KillTimer(windowHandle_, 1);
  if (handlerRegistered_) {
    if (TApdBaseDispatcher* d = Dispatcher())
      d->RemoveMethodTriggerHandler(MakeTriggerMethod<&TApdCustomFtpClient::TriggerHandler>(this));
    handlerRegistered_ = false;
  }
  if (replyPacket_ != nullptr) replyPacket_->SetEnabled(false);
  ChangeState(psClosed);
}

// ---------------------------------------------------------------------------
// Replies

void TApdCustomFtpClient::ReplyLine(const std::string& line) {
  Post(FtpReplyMsg, static_cast<platform::WPARAM>(ReplyCode(line)), line.c_str());
}

void TApdCustomFtpClient::ReplyOverflow() {
  // A server that sends a line without end cannot be followed any more.
  if (FtpState == psClosed) return;
  CommandCount = 0;
  PostError(0, "Reply line too long: the server sent more than 65536 bytes without CR LF");
  ChangeState(psClosed);
}

bool TApdCustomFtpClient::IsFinalTransferReply(std::int32_t code) const {
  return code == 226 || code == 250 || (code >= 400 && code < 600 && code != 421);
}

void TApdCustomFtpClient::ProcessReply(std::int32_t Code, const std::string& Line) {
  // Multi-line assembly. The text is kept to MaxReplyText characters.
  auto append = [this](const std::string& text, std::size_t at) {
    const std::size_t room = at < static_cast<std::size_t>(MaxReplyText) ? MaxReplyText - at : 0;
    const std::size_t n = std::min(room, text.size());
    std::memcpy(ReplyBuffer.data() + at, text.data(), n);
    ReplyBuffer[at + n] = '\0';
  };
  if (!MultiLine) {
    ReplyBuffer.fill('\0');
    append(Line, 0);
    if (Line.size() > 3 && Line[3] == '-') {
      MultiLine = true;
      MultiLineTerm = std::to_string(Code) + " ";
      return;
    }
  } else {
    if (!Line.starts_with(MultiLineTerm)) {
      append(Line, std::strlen(ReplyBuffer.data()));
      return;
    }
    MultiLine = false;
  }

  const char* text = ReplyBuffer.data();
  const char* afterCode = std::strlen(text) > 4 ? text + 4 : "";

  // The final reply of a transfer that already failed is not a new error.
  // The server answers in order, so the first reply of 200 or above is
  // either that reply or the answer to a later command.
  if (absorbFinal_ && Code >= 200) {
    absorbFinal_ = false;
    if (IsFinalTransferReply(Code)) return;
  }

  switch (FtpState) {
    case psLogin:
      switch (Code) {
        case 202:
          break;
        case 220:
          PostStatus(scOpen, afterCode);
          SendCommand("USER " + userName_);
          break;
        case 230:
          ChangeState(psIdle);
          PostStatus(scLogin, nullptr);
          break;
        case 331:
          SendCommand("PASS " + password_);
          break;
        case 332:
          SendCommand("ACCT " + account_);
          break;
        default:
          UnexpectedReply(Code, text);
      }
      break;
    case psClosed:
    case psIdle:
      if (Code == 125 || Code == 150) break;
      if (Code == 226) {
        CloseDataConnection();
        break;
      }
      UnexpectedReply(Code, text);
      break;
    case psListing:
    case psRetrieving:
      if (Code < 200) {
        if (transferSent_ && !startSeen_) {
          // The transfer starts: a data connection that already failed
          // fails it.
          startSeen_ = true;
          FailPendingDataError();
        }
        break;
      }
      switch (Code) {
        case 200:
        case 350:
          PopCommand();
          break;
        case 227: {
          const std::string reply = text;
          const std::size_t open = reply.find('(');
          std::string inside;
          if (open != std::string::npos) {
            const std::size_t close = reply.find(')', open + 1);
            inside = reply.substr(
                open + 1, close == std::string::npos ? std::string::npos : close - open - 1);
          }
          ConnectPassive(inside);
          PopCommand();
          break;
        }
        case 226:
        case 250:
          // The positive end of the transfer; it succeeds once the data
          // connection has been closed by the server as well.
          finalReply_ = true;
          replySeen_ = true;
          if (pendingDataError_ != 0) {
            // A success without a start reply, over a data connection that
            // failed: the data cannot be whole.
            FailPendingDataError();
            break;
          }
          FinishTransferIfComplete();
          break;
        default:
          if (transferSent_ && IsFinalTransferReply(Code)) replySeen_ = true;
          UnexpectedReply(Code, text);
      }
      break;
    case psCommand:
      if (Code >= 211 && Code <= 215) {
        PostStatus(scDataAvail, afterCode);
      } else if (Code == 225 || Code == 226) {
        ChangeState(psIdle);
      } else if (Code == 250) {
        PostStatus(scComplete, nullptr);
      } else if (Code == 257) {
        const std::string reply = text;
        std::string path;
        const std::size_t first = reply.find('"');
        if (first != std::string::npos) {
          const std::size_t second = reply.find('"', first + 1);
          if (second != std::string::npos) path = reply.substr(first + 1, second - first - 1);
        }
        ReplyBuffer.fill('\0');
        append(path, 0);
        PostStatus(scCurrentDir, ReplyBuffer.data());
      } else {
        UnexpectedReply(Code, text);
      }
      break;
  }
}

void TApdCustomFtpClient::UnexpectedReply(std::int32_t Code, const char* Text) {
  CommandCount = 0;
  if (Code == 221 || Code == 421) {
    ChangeState(psClosed);
    return;
  }
  if (FtpState == psListing || FtpState == psRetrieving)
    FailTransfer(Code, Text);
  else
    PostError(Code, Text);
}

// ---------------------------------------------------------------------------
// The transfer timer

void TApdCustomFtpClient::StartTransferTimer() {
  StopTransferTimer();
  if (transferTimeout_ <= 0) return;
  TApdBaseDispatcher* d = Dispatcher();
  if (d == nullptr) return;
  const std::int32_t handle = d->NewTimerTrigger();
  if (handle <= 0) return;
  TransferTimer = handle;
  d->ArmTimerTrigger(TransferTimer, transferTimeout_, true);
}

void TApdCustomFtpClient::RestartTransferTimer() {
  if (TransferTimer == 0 || transferTimeout_ <= 0) return;
  if (TApdBaseDispatcher* d = Dispatcher())
    d->ArmTimerTrigger(TransferTimer, transferTimeout_, true);
}

void TApdCustomFtpClient::StopTransferTimer() {
  if (TransferTimer == 0) return;
  if (TApdBaseDispatcher* d = Dispatcher()) {
    d->ArmTimerTrigger(TransferTimer, 0, false);
    d->DeleteTrigger(TransferTimer);
  }
  TransferTimer = 0;
}

void TApdCustomFtpClient::TriggerHandler(std::uint32_t msg, std::uint32_t wParam, std::int32_t) {
  if (msg != TriggerTimerMsg || TransferTimer == 0 ||
      wParam != static_cast<std::uint32_t>(TransferTimer))
    return;
  StopTransferTimer();
  if (FtpState != psIdle) Post(FtpTimeoutMsg, 0, nullptr);
}
