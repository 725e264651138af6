// TApdSocket: the socket calls the system needs, over the socket library
// bound at run time (socket/AdWUtil.h), with the library's asynchronous
// notifications turned into virtual calls and events.
//
// Creation loads the library (the first object loads it for the process)
// and makes this object's own "WSAStartup" call for version 1.1. It never
// raises: a missing library or entry point, a failed start-up or a wrong
// version is kept in InitError (9002, the start-up result, 9003), and every
// socket operation then raises EApdSocketException in its start-up form
// with that code. Events can still be assigned.
//
// Notifications: each object owns a hidden window, the target of its
// AsyncSelect calls. A notification (SocketNotifyMessage, wParam the
// socket, lParam the event in its low and the error in its high 16 bits)
// becomes DoError when it carries an error, else DoRead (1), DoWrite (2),
// DoAccept (8), DoConnect (16) or DoDisconnect (32); other events are
// ignored. A notification for a handle that is no longer a socket (it was
// closed while the notification waited in the queue) is dropped: the
// library never hands a closed handle out again, so it is stale. An exception escaping a handler is
// shown by the application's exception display (Application->HandleException) and does not leave
// the window procedure.
//
// Errors of the operations: CreateSocket raises; the others listed with
// "report" below call DoError(socket, LastSocketError()) when the library
// returns -1 (for connect, listen, recv, send and shutdown not when the
// error is WSAEWOULDBLOCK), then return -1. DoError raises the plain
// EApdSocketException when no OnWsError handler is assigned, so without a
// handler socket errors become exceptions in the caller.
//
// Destruction makes the clean-up matching a successful start-up
// ("WSACancelBlockingCall", then "WSACleanup"), then destroys the window;
// notifications still queued for it are dropped. An object may be freed
// from inside one of its own event handlers.
//
// Threads: the thread that runs the message loop (the main thread), for
// every call and every event. The object holds no lock.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/Exception.h"
#include "platform/Messages.h"
#include "platform/toolkit/Classes.h"
#include "platform/winsock/Winsock.h"

// The message of socket notifications; the Winsock dispatcher and port
// reuse the number for their own notices.
constexpr platform::UINT SocketNotifyMessage = 0x0B11;

// Inside a catch block of a window procedure or handler: hands the exception
// being handled to the application's display (Application->HandleException),
// or writes its message to standard error while no application exists.
void ShowHandlerException(TObject* sender);

// The error of the socket layer. Not one of the EAPDException family.
class EApdSocketException : public platform::Exception {
 public:
  // The plain form: the message is the text of the code itself.
  explicit EApdSocketException(int code);
  // The start-up form: "Winsock not initialized - %s" with the text of the
  // code in place of %s.
  static EApdSocketException NotInitialized(int code);

  int ErrorCode() const { return errorCode_; }

 private:
  EApdSocketException(const std::string& message, int code)
      : platform::Exception(message), errorCode_(code) {}

  int errorCode_;
};

using TWsNotifyEvent = std::function<void(TObject* Sender, platform::SOCKET Socket)>;
using TWsSocketErrorEvent =
    std::function<void(TObject* Sender, platform::SOCKET Socket, int ErrorCode)>;

class TApdSocket : public TComponent {
  TKV_CLASS(TApdSocket, TComponent)
 public:
  explicit TApdSocket(TComponent* owner);
  ~TApdSocket() override;

  // The window that receives this object's notifications; 0 when start-up
  // failed before it was made.
  platform::HWND Handle() const { return handle_; }
  // What LoadWinsock answered at creation.
  bool WinsockLoaded() const { return winsockLoaded_; }
  // 0 when ready, else 9002, 9003 or the non-zero result of "WSAStartup".
  int InitError() const { return initError_; }
  // The record "WSAStartup" filled in.
  const platform::WSADATA& StartupData() const { return startupData_; }

  TWsNotifyEvent OnWsAccept;
  TWsNotifyEvent OnWsConnect;
  TWsNotifyEvent OnWsDisconnect;
  TWsSocketErrorEvent OnWsError;
  TWsNotifyEvent OnWsRead;
  TWsNotifyEvent OnWsWrite;

  // Raises the start-up form of EApdSocketException with InitError when it
  // is not 0. Every operation below calls it first.
  void CheckLoaded() const;

  // No error report.
  int LastSocketError();
  platform::u_short HostToNetPort(platform::u_short port);
  platform::u_short NetToHostPort(platform::u_short port);
  // Address in network order.
  std::string NetAddressToString(platform::u_long address);
  // Only the first 15 characters of the text are read; INADDR_NONE (all
  // bits set) when they are not a dotted address.
  platform::u_long StringToNetAddress(const std::string& text);
  // The first address of the host (network order), 0 when the lookup fails.
  // Names are cut to 255 characters.
  platform::u_long LookupHostName(const std::string& name);
  // The "tcp" port of the service in host order, 0 when the table lacks it.
  // Names are cut to 255 characters.
  platform::u_short LookupService(const std::string& name);

  // A stream socket of the internet family; raises the plain form with
  // LastSocketError when the library refuses.
  platform::SOCKET CreateSocket();

  // Report on -1 (INVALID_SOCKET for AcceptSocket), with would-block an
  // error too.
  platform::SOCKET AcceptSocket(platform::SOCKET listening, platform::sockaddr_in& address);
  int BindSocket(platform::SOCKET s, const platform::sockaddr_in& address);
  int CloseSocket(platform::SOCKET s);
  int AsyncSelect(platform::SOCKET s, std::int32_t events);
  int SetSocketOptions(platform::SOCKET s, int level, int option, const void* value, int length);

  // Report on -1 unless the error is WSAEWOULDBLOCK.
  int ConnectSocket(platform::SOCKET s, const platform::sockaddr_in& address);
  int ListenSocket(platform::SOCKET s, int backlog);
  int ReadSocket(platform::SOCKET s, void* buffer, int size, int flags);
  int WriteSocket(platform::SOCKET s, const void* buffer, int size, int flags);
  int ShutdownSocket(platform::SOCKET s, int how);

 protected:
  // Each calls its event when one is assigned. DoError without OnWsError
  // raises the plain EApdSocketException with the code.
  virtual void DoAccept(platform::SOCKET s);
  virtual void DoConnect(platform::SOCKET s);
  virtual void DoDisconnect(platform::SOCKET s);
  virtual void DoError(platform::SOCKET s, int errorCode);
  virtual void DoRead(platform::SOCKET s);
  virtual void DoWrite(platform::SOCKET s);

 private:
  // The bound entry, after CheckLoaded; raises the start-up form with 9002
  // when the table lost the entry since this object was made (the library
  // was bound anew and came up short).
  template <class Fn>
  Fn Entry(Fn entry) const;
  // Reports a failed call (result -1) through DoError and returns result.
  int Checked(platform::SOCKET s, int result, bool wouldBlockIsError);
  platform::LRESULT WindowProc(platform::UINT msg, platform::WPARAM wParam,
                               platform::LPARAM lParam);
  void Notify(platform::SOCKET s, int event, int error);
  // False when the library says the handle is no socket (any more).
  bool IsOpenSocket(platform::SOCKET s) const;

  platform::HWND handle_ = 0;
  bool winsockLoaded_ = false;
  bool started_ = false;  // "WSAStartup" returned 0
  int initError_ = 0;
  platform::WSADATA startupData_{};
};
