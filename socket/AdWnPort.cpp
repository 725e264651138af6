#include "socket/AdWnPort.h"

#include <charconv>

#include "dispatch/AdExcept.h"
#include "socket/AdSocket.h"
#include "socket/AwWnsock.h"

namespace {

// The value without leading and trailing blanks and control characters.
std::string TrimBlanks(const std::string& value) {
  auto isBlank = [](char c) { return static_cast<unsigned char>(c) <= ' '; };
  std::size_t first = 0;
  std::size_t last = value.size();
  while (first < last && isBlank(value[first]))
    ++first;
  while (last > first && isBlank(value[last - 1]))
    --last;
  return value.substr(first, last - first);
}

}  // namespace

TApdCustomWinsockPort::TApdCustomWinsockPort(TComponent* owner) : TApdCustomComPort(owner) {
  PublishString(
      "WsAddress", [this] { return wsAddress_; },
      [this](const std::string& v) { SetWsAddress(v); });
  PublishInteger(
      "WsMode", [this] { return wsMode_; },
      [this](int v) { SetWsMode(static_cast<std::uint8_t>(v)); },
      {{"wsClient", wsClient}, {"wsServer", wsServer}});
  PublishString(
      "WsPort", [this] { return wsPort_; }, [this](const std::string& v) { SetWsPort(v); });
  PublishBoolean(
      "WsTelnet", [this] { return wsTelnet_; }, [this](bool v) { SetWsTelnet(v); });
  PublishEvent("OnWsAccept", OnWsAccept);
  PublishEvent("OnWsConnect", OnWsConnect);
  PublishEvent("OnWsDisconnect", OnWsDisconnect);
  PublishEvent("OnWsError", OnWsError);
}

TApdCustomWinsockPort::~TApdCustomWinsockPort() {
  // Free closed the port already; a plain delete closes it here, while this
  // class's close notifications still run.
  if (PortState() == psOpen) {
    try {
      SetOpen(false);
    } catch (...) {
      ShowHandlerException(this);
    }
  }
}

void TApdCustomWinsockPort::CheckNotConnected() const {
  if (PortState() == psOpen) throw EApdSocketException(-ecWsConnected);
}

void TApdCustomWinsockPort::SetWsAddress(const std::string& value) {
  if (value == wsAddress_) return;
  CheckNotConnected();
  wsAddress_ = TrimBlanks(value);
}

void TApdCustomWinsockPort::SetWsPort(const std::string& value) {
  if (value == wsPort_) return;
  CheckNotConnected();
  wsPort_ = TrimBlanks(value);
}

std::unique_ptr<TApdBaseDispatcher> TApdCustomWinsockPort::CreateDispatcher() {
  if (DeviceLayer() == dlWinsock) return std::make_unique<TApdWinsockDispatcher>(this);
  return TApdCustomComPort::CreateDispatcher();
}

void TApdCustomWinsockPort::ValidateComNumber() {
  // A socket needs no port number.
  if (DeviceLayer() != dlWinsock) TApdCustomComPort::ValidateComNumber();
}

std::int32_t TApdCustomWinsockPort::OpenDevice() {
  if (DeviceLayer() != dlWinsock) return TApdCustomComPort::OpenDevice();
  TApdDeviceSocket& sock = DeviceSocket();
  const bool client = wsMode_ == wsClient;

  platform::u_long address = 0;
  if (client) {
    if (wsAddress_.empty()) throw EApdSocketException(platform::WSAEDESTADDRREQ);
    address = sock.StringToNetAddress(wsAddress_);
    if (address == platform::INADDR_NONE) address = sock.LookupHostName(wsAddress_);
    if (address == 0) throw EApdSocketException(-ecWsCantResolve);
  }

  // A number only counts when the whole text is one.
  std::int64_t number = 0;
  const char* begin = wsPort_.data();
  const char* end = begin + wsPort_.size();
  const auto [at, ec] = std::from_chars(begin, end, number);
  std::uint32_t port = 0;
  if (!wsPort_.empty() && ec == std::errc() && at == end)
    port = static_cast<std::uint32_t>(number);
  else
    port = sock.LookupService(wsPort_);
  const auto port16 = static_cast<platform::u_short>(port & 0xFFFF);
  if (port16 == 0) throw EApdSocketException(-ecWsInvalidPort);

  auto* dispatcher = static_cast<TApdWinsockDispatcher*>(Dispatcher());
  dispatcher->SetupAddress(address, sock.HostToNetPort(port16), wsTelnet_, client);
  const std::int32_t code = dispatcher->OpenSocketDevice(InSize(), OutSize());
  if (code < 0) throw EApdSocketException(-code);
  SetPortState(psOpen);
  return code;
}

void TApdCustomWinsockPort::NotifyPortOpen() {
  // The hook sees the socket notices before the com port's own procedure;
  // everything else still goes there.
  previousProc_ = platform::SetWindowProc(
      TriggerWindow(),
      [this](platform::HWND hwnd, platform::UINT msg, platform::WPARAM wParam,
             platform::LPARAM lParam) { return HookProc(hwnd, msg, wParam, lParam); });
  TApdCustomComPort::NotifyPortOpen();
}

void TApdCustomWinsockPort::NotifyPortClose() {
  TApdCustomComPort::NotifyPortClose();
  DoWsDisconnect();
}

platform::LRESULT TApdCustomWinsockPort::HookProc(platform::HWND hwnd, platform::UINT msg,
                                                  platform::WPARAM wParam,
                                                  platform::LPARAM lParam) {
  if (msg == SocketNotifyMessage || msg == SocketCloseMessage) {
    // A handler's exception must not reach the dispatcher that sent the
    // notice.
    try {
      if (msg == SocketCloseMessage) {
        if (Open()) SetOpen(false);
        return 0;
      }
      // Notices of a port that is closing have no one to go to.
      if (PortState() != psOpen) return 0;
      return HandleSocketNotice(static_cast<std::int32_t>(wParam), lParam);
    } catch (...) {
      ShowHandlerException(this);
      return 0;
    }
  }
  return previousProc_ ? platform::CallWindowProc(previousProc_, hwnd, msg, wParam, lParam) : 0;
}

platform::LRESULT TApdCustomWinsockPort::HandleSocketNotice(std::int32_t event,
                                                            platform::LPARAM lParam) {
  switch (event) {
    case wsnAccept:
      return DoWsAccept(static_cast<std::uint32_t>(lParam)) ? 1 : 0;
    case wsnConnect:
      DoWsConnect();
      break;
    case wsnMainClosed:
      PostClose();
      break;
    case wsnPeerClosed:
      DoWsDisconnect();
      break;
    default:
      DoWsError(event);
      break;
  }
  return 0;
}

void TApdCustomWinsockPort::PostClose() {
  platform::PostMessage(TriggerWindow(), SocketCloseMessage, 0, 0);
}

bool TApdCustomWinsockPort::DoWsAccept(std::uint32_t Addr) {
  bool accept = true;
  if (OnWsAccept) OnWsAccept(this, Addr, accept);
  return accept;
}

void TApdCustomWinsockPort::DoWsConnect() {
  if (OnWsConnect) OnWsConnect(this);
}

void TApdCustomWinsockPort::DoWsDisconnect() {
  if (OnWsDisconnect) OnWsDisconnect(this);
}

void TApdCustomWinsockPort::DoWsError(std::int32_t ErrorCode) {
  if (ErrorCode == platform::WSAENETRESET || ErrorCode == platform::WSAECONNABORTED ||
      ErrorCode == platform::WSAECONNRESET) {
    if (wsMode_ == wsClient)
      PostClose();
    else
      DoWsDisconnect();
  }
  if (OnWsError) OnWsError(this, ErrorCode);
}
