// The FTP client and its history log.
//
// TApdCustomFtpClient is the client side of FTP (RFC 959) built on the
// Winsock port: the port's own connection is the control connection; the
// client adds command sequencing, reply parsing, one data connection at a
// time and reports. TApdFtpClient is the published form and adds nothing.
//
// Every operation checks the client's state, sends or queues commands and
// returns at once; a false result means the state did not allow it. The
// outcome arrives later as events, all raised from the client's own hidden
// window in the order they were posted: within one handled message the
// client changes its state first and the report follows as a later message.
// Texts handed to the events live only for the call.
//
// Ownership: the client owns its reply packet, its socket object for the
// data connection, its hidden window and, while the port is open, the
// port's dispatcher. A linked TApdFtpLog is not owned.
//
// Thread: the main thread, for every call and every event. Nothing locks.
//
// Where this client is sounder than a plain reading of the protocol:
//   - a passive data connection goes to the control connection's peer
//     address with the port of the 227 reply; the address in the reply is
//     not trusted;
//   - a transfer succeeds only when both the server closed the data
//     connection (everything read) and a positive final reply (226 or 250)
//     arrived, in either order; a 4xx or 5xx reply instead is an error;
//   - one failed operation gives exactly one OnFtpError: the final reply
//     that still belongs to a transfer already reported as failed is
//     absorbed;
//   - a failed write to the local file ends the retrieve with OnFtpError
//     (ecDiskFull and the like, negative, with the file layer's text);
//   - a Retrieve whose local file cannot be opened returns the client to
//     psIdle with an empty command stack before the exception passes on;
//   - memory is bounded: a reply keeps its first MaxReplyText characters, a
//     reply line longer than MaxReplyLine without CR LF ends the connection
//     with OnFtpError (code 0), and a listing is kept up to MaxListing bytes,
//     cut at its last line break beyond that.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "ftp/AdPacket.h"
#include "platform/Messages.h"
#include "platform/winsock/Winsock.h"
#include "socket/AdSocket.h"
#include "socket/AdWnPort.h"

class TApdFtpLog;

enum TFtpStatusCode : std::uint8_t {
  scClose = 0,
  scOpen = 1,
  scLogout = 2,
  scLogin = 3,
  scComplete = 4,
  scCurrentDir = 5,
  scDataAvail = 6,
  scProgress = 7,
  scTransferOK = 8,
  scTimeout = 9
};

enum TFtpLogCode : std::uint8_t {
  lcClose = 0,
  lcOpen = 1,
  lcLogout = 2,
  lcLogin = 3,
  lcDelete = 4,
  lcRename = 5,
  lcReceive = 6,
  lcStore = 7,
  lcComplete = 8,
  lcRestart = 9,
  lcTimeout = 10,
  lcUserAbort = 11
};

// Values above rmRestart behave as rmRestart.
enum TFtpRetrieveMode : std::uint8_t { rmAppend = 0, rmReplace = 1, rmRestart = 2 };

enum TFtpFileType : std::uint8_t { ftAscii = 0, ftBinary = 1 };

// The private messages of the client's hidden window.
constexpr platform::UINT FtpErrorMsg = 2845;
constexpr platform::UINT FtpLogMsg = 2846;
constexpr platform::UINT FtpReplyMsg = 2847;
constexpr platform::UINT FtpStatusMsg = 2848;
constexpr platform::UINT FtpTimeoutMsg = 2849;
// The client's own note that the reply packet overflowed.
constexpr platform::UINT FtpOverflowMsg = 2850;

// Sizes of the two buffers inside the client, and the bounds of what a
// server can make it hold.
constexpr int FtpBufferSize = 32769;
constexpr int MaxReplyText = FtpBufferSize - 1;
constexpr int MaxReplyLine = 64 * 1024;
constexpr std::size_t MaxListing = 8 * 1024 * 1024;
constexpr int FtpCommandStackSize = 32;

class TApdCustomFtpClient : public TApdCustomWinsockPort {
  TKV_CLASS(TApdCustomFtpClient, TApdCustomWinsockPort)
 public:
  // The numbers order the states; "busy" is any state above psIdle.
  enum TFtpProcessState : std::uint8_t {
    psClosed = 0,
    psLogin = 1,
    psIdle = 2,
    psListing = 3,
    psRetrieving = 4,
    psCommand = 7
  };

  using TFtpStatusEvent =
      std::function<void(TObject* Sender, TFtpStatusCode StatusCode, const char* InfoText)>;
  using TFtpErrorEvent =
      std::function<void(TObject* Sender, std::int32_t ErrorCode, const char* ErrorText)>;
  using TFtpReplyEvent =
      std::function<void(TObject* Sender, std::int32_t ReplyCode, const char* ReplyText)>;
  using TFtpLogEvent = std::function<void(TObject* Sender, TFtpLogCode LogCode)>;

  explicit TApdCustomFtpClient(TComponent* owner);
  ~TApdCustomFtpClient() override;

  // --- Operations. -------------------------------------------------------
  // Opens the connection (psClosed) or sends USER again (psLogin); lets the
  // port's open exceptions pass.
  bool Login();
  // Sends QUIT when the port is open, handles messages for 5 ticks, closes.
  bool Logout();
  // CWD, or PWD for an empty name.
  bool ChangeDir(const std::string& RemotePathName);
  bool CurrentDir();
  bool ListDir(const std::string& RemotePathName, bool FullList);
  // Raises the file layer's exception when the local file cannot be opened;
  // the client is then idle again.
  bool Retrieve(const std::string& RemotePathName, const std::string& LocalPathName,
                TFtpRetrieveMode RetrieveMode);
  bool Abort();

  // --- Properties. -------------------------------------------------------
  const std::string& ServerAddress() const { return WsAddress(); }
  void SetServerAddress(const std::string& value);
  // WsPort and SetWsPort of the port: "ftp" by default.
  const std::string& UserName() const { return userName_; }
  void SetUserName(const std::string& value) { userName_ = value; }
  const std::string& Password() const { return password_; }
  void SetPassword(const std::string& value) { password_ = value; }
  const std::string& Account() const { return account_; }
  void SetAccount(const std::string& value) { account_ = value; }
  bool PassiveMode() const { return passiveMode_; }
  void SetPassiveMode(bool value) { passiveMode_ = value; }
  TFtpFileType FileType() const { return fileType_; }
  void SetFileType(TFtpFileType value) { fileType_ = value; }
  // Ticks of 55 ms; 0 is no limit.
  std::int32_t ConnectTimeout() const { return connectTimeout_; }
  void SetConnectTimeout(std::int32_t value) { connectTimeout_ = value; }
  std::int32_t TransferTimeout() const { return transferTimeout_; }
  void SetTransferTimeout(std::int32_t value) { transferTimeout_ = value; }
  TApdFtpLog* FtpLog() const { return ftpLog_; }
  void SetFtpLog(TApdFtpLog* value);

  bool Connected() const { return FtpState != psClosed; }
  // The bytes of the current or last transfer; a transfer past 2 GiB - 1
  // reads INT32_MAX from then on, never a negative or wrapped count.
  std::int32_t BytesTransferred() const { return bytesTransferred_; }
  std::int32_t RestartAt() const { return restartAt_; }
  void SetRestartAt(std::int32_t value) { restartAt_ = value; }
  const std::string& LocalFile() const { return localFile_; }
  const std::string& RemoteFile() const { return remoteFile_; }
  TFtpProcessState State() const { return FtpState; }
  platform::HWND WindowHandle() const { return windowHandle_; }
  TApdDataPacket* ReplyPacket() const { return replyPacket_; }

  TFtpStatusEvent OnFtpStatus;
  TFtpErrorEvent OnFtpError;
  TFtpReplyEvent OnFtpReply;
  TFtpLogEvent OnFtpLog;

  void AfterLoad() override;
  void ComponentNotify(TComponent* component, TOperation operation) override;

 protected:
  void BeforeDestruction() override;
  void DoWsConnect() override;
  void DoWsDisconnect() override;

  // --- The parts of the protocol machine. --------------------------------
  void ChangeState(TFtpProcessState NewState);
  // Raises "FTP Command stack full" (after emptying the stack) on the 33rd.
  void PushCommand(const std::string& S);
  void PopCommand();
  void SendCommand(const std::string& S);
  void ProcessReply(std::int32_t Code, const std::string& Line);
  void UnexpectedReply(std::int32_t Code, const char* Text);
  void PostStatus(TFtpStatusCode Code, const char* Text);
  void PostError(std::int32_t Code, const char* Text);
  void PostLog(TFtpLogCode Code);

  bool InitDataConnection();
  void ConnectPassive(const std::string& Text);
  std::int32_t ReceiveData();
  void CloseDataConnection();
  void ResetDataSockets();

  void StartTransferTimer();
  void RestartTransferTimer();
  void StopTransferTimer();

  // Fields that carry behaviour.
  bool AbortFlag = false;
  std::array<std::string, FtpCommandStackSize> CommandStack;
  std::uint8_t CommandCount = 0;
  platform::sockaddr_in PeerAddress{};
  platform::SOCKET DataSocket = platform::INVALID_SOCKET;
  std::array<char, FtpBufferSize> DataBuffer{};
  std::array<char, FtpBufferSize> ReplyBuffer{};
  platform::SOCKET ListenerSocket = platform::INVALID_SOCKET;
  platform::sockaddr_in ListenAddress{};
  bool MultiLine = false;
  std::string MultiLineTerm;
  bool Destroying = false;
  TFtpProcessState FtpState = psClosed;
  TApdSocket* SocketObject = nullptr;
  std::int32_t TransferTimer = 0;

 private:
  struct TLocalFile;
  struct TLocalFileCloser {
    void operator()(TLocalFile* file) const;
  };

  // The first steps of destruction: no more reports, the data connection
  // and the port closed while this class's notifications still run.
  void CloseForDestruction();
  platform::LRESULT WindowProc(platform::UINT msg, platform::WPARAM wParam,
                               platform::LPARAM lParam);
  void ReplyLine(const std::string& line);
  void ReplyOverflow();
  void TriggerHandler(std::uint32_t msg, std::uint32_t wParam, std::int32_t lParam);
  // Keeps a text for a posted message; its number goes in lParam (0: none).
  platform::LPARAM KeepText(const char* text);
  std::string TakeText(platform::LPARAM id, bool& present);
  void Post(platform::UINT msg, platform::WPARAM wParam, const char* text);

  // Data-connection handlers on SocketObject.
  void DataAccept(platform::SOCKET s);
  void DataRead(platform::SOCKET s);
  void DataClosed(platform::SOCKET s);
  void DataError(platform::SOCKET s, int errorCode);

  // Starts the data connection of a queued operation; when that fails the
  // client is idle again.
  bool StartDataConnection();
  // A transfer ends well once both of its halves are in.
  void FinishTransferIfComplete();
  // Reports the data connection's held-back error, if any, as the transfer's.
  void FailPendingDataError();
  // Forgets the transfer on the way back to psIdle or psClosed; a final
  // reply still due is absorbed when it comes.
  void EndTransfer();
  // Ends a busy transfer with one error report.
  void FailTransfer(std::int32_t code, const char* text);
  void AppendListing(const char* bytes, int count);
  std::string ListingText() const;
  // The control connection's peer address (network order), 0 when unknown.
  platform::u_long ControlPeerAddress();
  platform::SOCKET ControlSocket();
  bool IsFinalTransferReply(std::int32_t code) const;
  // Adds received bytes to BytesTransferred, which stops at INT32_MAX.
  void CountTransferred(int count);

  std::string account_;
  std::int32_t bytesTransferred_ = 0;
  std::int32_t connectTimeout_ = 0;
  TFtpFileType fileType_ = ftBinary;
  TApdFtpLog* ftpLog_ = nullptr;
  std::string localFile_;
  std::string password_;
  bool passiveMode_ = false;
  std::int32_t transferTimeout_ = 1092;
  std::string remoteFile_;
  std::int32_t restartAt_ = 0;
  std::string userName_;

  platform::HWND windowHandle_ = 0;
  TApdDataPacket* replyPacket_ = nullptr;
  std::unique_ptr<TLocalFile, TLocalFileCloser> fileStream_;
  bool handlerRegistered_ = false;

  // The state of the transfer in progress.
  std::string listing_;
  bool listingCut_ = false;
  bool transferSent_ = false;  // RETR, NLST or LIST is on its way
  bool finalReply_ = false;    // a positive final reply arrived
  bool replySeen_ = false;     // any final reply arrived
  bool dataDone_ = false;      // the server closed the data connection
  bool startSeen_ = false;     // the server said the transfer starts (1xx)
  // An error of the data connection before the server said whether the
  // transfer starts: the server's reply decides what is reported.
  int pendingDataError_ = 0;
  std::int32_t fileError_ = 0;
  // The final reply of a transfer already reported as failed is still due.
  bool absorbFinal_ = false;

  std::map<platform::LPARAM, std::string> texts_;
  platform::LPARAM lastText_ = 0;
};

class TApdFtpClient : public TApdCustomFtpClient {
  TKV_CLASS(TApdFtpClient, TApdCustomFtpClient)
 public:
  explicit TApdFtpClient(TComponent* owner);
};

// Writes one line per history event to a text file, opened, appended to and
// closed for each line. Lines read the linked client's values when they are
// written. An I/O failure raises EInOutError out of UpdateLog; an existing
// history file is never emptied.
class TApdFtpLog : public TApdBaseComponent {
  TKV_CLASS(TApdFtpLog, TApdBaseComponent)
 public:
  explicit TApdFtpLog(TComponent* owner);
  ~TApdFtpLog() override;

  bool Enabled() const { return enabled_; }
  void SetEnabled(bool value) { enabled_ = value; }
  const std::string& FtpHistoryName() const { return ftpHistoryName_; }
  void SetFtpHistoryName(const std::string& value) { ftpHistoryName_ = value; }
  // Stored directly: setting it does not link the client back.
  TApdCustomFtpClient* FtpClient() const { return ftpClient_; }
  void SetFtpClient(TApdCustomFtpClient* value) { ftpClient_ = value; }

  virtual void UpdateLog(TFtpLogCode LogCode);

  // The text after " : " of a history line.
  std::string EventText(TFtpLogCode LogCode) const;

  void ComponentNotify(TComponent* component, TOperation operation) override;

 protected:
  void BeforeDestruction() override;

 private:
  bool enabled_ = false;
  std::string ftpHistoryName_ = "VORNFTP.HIS";
  TApdCustomFtpClient* ftpClient_ = nullptr;
};
