#include "socket/AdSocket.h"

#include <cstdio>
#include <cstring>
#include <exception>

#include "dispatch/AdExcept.h"
#include "platform/toolkit/Forms.h"
#include "socket/AdWUtil.h"

namespace {

constexpr platform::WORD kWinsockVersion = platform::MAKEWORD(1, 1);
constexpr std::size_t kAddressTextLength = 15;  // "255.255.255.255"
constexpr std::size_t kNameLength = 255;

}  // namespace

void ShowHandlerException(TObject* sender) {
  if (Application != nullptr) {
    Application->HandleException(sender);
    return;
  }
  try {
    throw;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
  } catch (...) {
    std::fprintf(stderr, "An unknown error occurred\n");
  }
}

// ---------------------------------------------------------------------------

EApdSocketException::EApdSocketException(int code) : EApdSocketException(ErrorText(code), code) {}

EApdSocketException EApdSocketException::NotInitialized(int code) {
  std::string text = ErrorText(-ecWsNotInit);
  if (const auto at = text.find("%s"); at != std::string::npos)
    text.replace(at, 2, ErrorText(code));
  return EApdSocketException(text, code);
}

// ---------------------------------------------------------------------------

TApdSocket::TApdSocket(TComponent* owner) : TComponent(owner) {
  winsockLoaded_ = LoadWinsock();
  if (!winsockLoaded_) {
    initError_ = -ecWsLoadError;
    return;
  }
  const int started = WinsockFunctions.WSAStartup(kWinsockVersion, &startupData_);
  if (started != 0) {
    initError_ = started;
    return;
  }
  started_ = true;
  if (startupData_.wVersion != kWinsockVersion) initError_ = -ecWsVersionError;
  handle_ = platform::AllocateHWnd(
      [this](platform::HWND, platform::UINT msg, platform::WPARAM wParam, platform::LPARAM lParam) {
        return WindowProc(msg, wParam, lParam);
      });
}

TApdSocket::~TApdSocket() {
  // Only a successful start-up is matched: a clean-up without one would end
  // the start-up of another object and close that object's sockets. The
  // table may have been emptied by an unload since this object was made.
  if (winsockLoaded_ && started_) {
    if (WinsockFunctions.WSACancelBlockingCall != nullptr) WinsockFunctions.WSACancelBlockingCall();
    if (WinsockFunctions.WSACleanup != nullptr) WinsockFunctions.WSACleanup();
  }
  if (handle_ != 0) platform::DestroyWindow(handle_);
}

void TApdSocket::CheckLoaded() const {
  if (initError_ != 0) throw EApdSocketException::NotInitialized(initError_);
}

template <class Fn>
Fn TApdSocket::Entry(Fn entry) const {
  CheckLoaded();
  if (entry == nullptr) throw EApdSocketException::NotInitialized(-ecWsLoadError);
  return entry;
}

int TApdSocket::Checked(platform::SOCKET s, int result, bool wouldBlockIsError) {
  if (result != platform::SOCKET_ERROR) return result;
  const int error = LastSocketError();
  if (wouldBlockIsError || error != platform::WSAEWOULDBLOCK) DoError(s, error);
  return result;
}

// ---------------------------------------------------------------------------
// Conversions and lookups

int TApdSocket::LastSocketError() {
  return Entry(WinsockFunctions.WSAGetLastError)();
}

platform::u_short TApdSocket::HostToNetPort(platform::u_short port) {
  return Entry(WinsockFunctions.htons)(port);
}

platform::u_short TApdSocket::NetToHostPort(platform::u_short port) {
  return Entry(WinsockFunctions.ntohs)(port);
}

std::string TApdSocket::NetAddressToString(platform::u_long address) {
  const char* text = Entry(WinsockFunctions.inet_ntoa)(platform::in_addr{address});
  return text != nullptr ? std::string(text) : std::string();
}

platform::u_long TApdSocket::StringToNetAddress(const std::string& text) {
  return Entry(WinsockFunctions.inet_addr)(text.substr(0, kAddressTextLength).c_str());
}

platform::u_long TApdSocket::LookupHostName(const std::string& name) {
  const platform::hostent* host =
      Entry(WinsockFunctions.gethostbyname)(name.substr(0, kNameLength).c_str());
  if (host == nullptr || host->h_addr_list == nullptr || host->h_addr_list[0] == nullptr ||
      host->h_length != static_cast<short>(sizeof(platform::u_long)))
    return 0;
  platform::u_long address = 0;
  std::memcpy(&address, host->h_addr_list[0], sizeof address);
  return address;
}

platform::u_short TApdSocket::LookupService(const std::string& name) {
  const platform::servent* service =
      Entry(WinsockFunctions.getservbyname)(name.substr(0, kNameLength).c_str(), "tcp");
  if (service == nullptr) return 0;
  return NetToHostPort(static_cast<platform::u_short>(service->s_port));
}

// ---------------------------------------------------------------------------
// Socket calls

platform::SOCKET TApdSocket::CreateSocket() {
  const platform::SOCKET s =
      Entry(WinsockFunctions.socket)(platform::AF_INET, platform::SOCK_STREAM, 0);
  if (s == platform::INVALID_SOCKET) throw EApdSocketException(LastSocketError());
  return s;
}

platform::SOCKET TApdSocket::AcceptSocket(platform::SOCKET listening,
                                          platform::sockaddr_in& address) {
  int length = sizeof address;
  const platform::SOCKET s = Entry(WinsockFunctions.accept)(
      listening, reinterpret_cast<platform::sockaddr*>(&address), &length);
  if (s == platform::INVALID_SOCKET) Checked(listening, platform::SOCKET_ERROR, true);
  return s;
}

int TApdSocket::BindSocket(platform::SOCKET s, const platform::sockaddr_in& address) {
  const platform::sockaddr_in copy = address;
  return Checked(s,
                 Entry(WinsockFunctions.bind)(s, reinterpret_cast<const platform::sockaddr*>(&copy),
                                              sizeof copy),
                 true);
}

int TApdSocket::CloseSocket(platform::SOCKET s) {
  return Checked(s, Entry(WinsockFunctions.closesocket)(s), true);
}

int TApdSocket::AsyncSelect(platform::SOCKET s, std::int32_t events) {
  return Checked(s, Entry(WinsockFunctions.WSAAsyncSelect)(s, handle_, SocketNotifyMessage, events),
                 true);
}

int TApdSocket::SetSocketOptions(platform::SOCKET s, int level, int option, const void* value,
                                 int length) {
  return Checked(
      s,
      Entry(WinsockFunctions.setsockopt)(s, level, option, static_cast<const char*>(value), length),
      true);
}

int TApdSocket::ConnectSocket(platform::SOCKET s, const platform::sockaddr_in& address) {
  const platform::sockaddr_in copy = address;
  return Checked(s,
                 Entry(WinsockFunctions.connect)(
                     s, reinterpret_cast<const platform::sockaddr*>(&copy), sizeof copy),
                 false);
}

int TApdSocket::ListenSocket(platform::SOCKET s, int backlog) {
  return Checked(s, Entry(WinsockFunctions.listen)(s, backlog), false);
}

int TApdSocket::ReadSocket(platform::SOCKET s, void* buffer, int size, int flags) {
  return Checked(s, Entry(WinsockFunctions.recv)(s, static_cast<char*>(buffer), size, flags),
                 false);
}

int TApdSocket::WriteSocket(platform::SOCKET s, const void* buffer, int size, int flags) {
  return Checked(s, Entry(WinsockFunctions.send)(s, static_cast<const char*>(buffer), size, flags),
                 false);
}

int TApdSocket::ShutdownSocket(platform::SOCKET s, int how) {
  return Checked(s, Entry(WinsockFunctions.shutdown)(s, how), false);
}

// ---------------------------------------------------------------------------
// Notifications

void TApdSocket::DoAccept(platform::SOCKET s) {
  if (OnWsAccept) OnWsAccept(this, s);
}

void TApdSocket::DoConnect(platform::SOCKET s) {
  if (OnWsConnect) OnWsConnect(this, s);
}

void TApdSocket::DoDisconnect(platform::SOCKET s) {
  if (OnWsDisconnect) OnWsDisconnect(this, s);
}

void TApdSocket::DoError(platform::SOCKET s, int errorCode) {
  if (!OnWsError) throw EApdSocketException(errorCode);
  OnWsError(this, s, errorCode);
}

void TApdSocket::DoRead(platform::SOCKET s) {
  if (OnWsRead) OnWsRead(this, s);
}

void TApdSocket::DoWrite(platform::SOCKET s) {
  if (OnWsWrite) OnWsWrite(this, s);
}

void TApdSocket::Notify(platform::SOCKET s, int event, int error) {
  if (error != 0) {
    DoError(s, error);
    return;
  }
  switch (event) {
    case platform::FD_READ:
      DoRead(s);
      break;
    case platform::FD_WRITE:
      DoWrite(s);
      break;
    case platform::FD_ACCEPT:
      DoAccept(s);
      break;
    case platform::FD_CONNECT:
      DoConnect(s);
      break;
    case platform::FD_CLOSE:
      DoDisconnect(s);
      break;
    default:
      break;  // out-of-band data and anything else
  }
}

bool TApdSocket::IsOpenSocket(platform::SOCKET s) const {
  // Without the entry nothing can be told; the notice is passed on.
  const auto getsockopt = WinsockFunctions.getsockopt;
  if (initError_ != 0 || getsockopt == nullptr || WinsockFunctions.WSAGetLastError == nullptr ||
      WinsockFunctions.WSASetLastError == nullptr)
    return true;
  // The question must not change the error a handler may still read.
  const int lastError = WinsockFunctions.WSAGetLastError();
  std::int32_t type = 0;
  int length = sizeof type;
  const bool open = getsockopt(s, platform::SOL_SOCKET, platform::SO_TYPE,
                               reinterpret_cast<char*>(&type), &length) == 0 ||
                    WinsockFunctions.WSAGetLastError() != platform::WSAENOTSOCK;
  WinsockFunctions.WSASetLastError(lastError);
  return open;
}

platform::LRESULT TApdSocket::WindowProc(platform::UINT msg, platform::WPARAM wParam,
                                         platform::LPARAM lParam) {
  // A handler may free this object; nothing of it is touched after the
  // handler returns, and the sender handed on is only a pointer.
  TObject* const sender = this;
  try {
    if (msg == SocketNotifyMessage) {
      // A notice still queued when its socket was closed names a handle
      // that the library never hands out again; nothing is left to report.
      if (!IsOpenSocket(wParam)) return 0;
      Notify(wParam, platform::WSAGETSELECTEVENT(lParam), platform::WSAGETSELECTERROR(lParam));
    } else if (msg == platform::WM_QUERYENDSESSION) {
      return 1;
    }
  } catch (...) {
    ShowHandlerException(sender);
  }
  return 0;
}
