// The Winsock dispatcher, the device socket that routes the notifications
// of its sockets, and the module's start-up and shut-down.
#include "socket/AwWnsock.h"

#include "dispatch/AdExcept.h"
#include "socket/AdWUtil.h"

using platform::SOCKET;
using Lock = std::lock_guard<std::recursive_mutex>;

namespace {

TApdDeviceSocket* g_deviceSocket = nullptr;

// The first Winsock dispatcher that passes the test, found under the list
// lock and run after it is released, so that its handlers run without it.
template <class Pred>
TApdWinsockDispatcher* FirstWinsockDispatcher(Pred pred) {
  Lock list(ListLock());
  for (TApdBaseDispatcher* d : DispatcherList())
    if (auto* w = dynamic_cast<TApdWinsockDispatcher*>(d); w && pred(*w)) return w;
  return nullptr;
}

platform::LRESULT DispatcherWindowProc(platform::HWND, platform::UINT msg, platform::WPARAM wParam,
                                       platform::LPARAM) {
  if (msg == SocketNotifyMessage) {
    const auto id = static_cast<std::int32_t>(wParam);
    if (TApdWinsockDispatcher* d = FirstWinsockDispatcher(
            [id](const TApdWinsockDispatcher& w) { return w.DeviceId == id; }))
      d->ProcessCommunications(false);
  }
  return 0;
}

void DispatchTimerProc(platform::HWND, platform::UINT, platform::UINT id, std::uint32_t) {
  if (TApdWinsockDispatcher* d = FirstWinsockDispatcher(
          [id](const TApdWinsockDispatcher& w) { return w.Started && w.TimerId == id; }))
    d->ProcessCommunications(false);
}

// Marks the device socket busy while a notification or a device call uses
// its connections: a connection closed meanwhile (by a port handler) is
// freed only when the outermost use ends.
class TConnectionUse {
 public:
  explicit TConnectionUse(TApdDeviceSocket& s) : s_(s) { s_.EnterUse(); }
  ~TConnectionUse() { s_.LeaveUse(); }
  TConnectionUse(const TConnectionUse&) = delete;
  TConnectionUse& operator=(const TConnectionUse&) = delete;

 private:
  TApdDeviceSocket& s_;
};

}  // namespace

// ---------------------------------------------------------------------------
// Module

void WinsockDispatcherStartup() {
  if (g_deviceSocket) return;
  // A class of the name that is already registered is the one of an earlier
  // start-up; it is kept.
  platform::RegisterClass(DispatcherClassName, DispatcherWindowProc);
  g_deviceSocket = new TApdDeviceSocket(nullptr);
}

void WinsockDispatcherShutdown() {
  if (g_deviceSocket) {
    TApdDeviceSocket* s = g_deviceSocket;
    g_deviceSocket = nullptr;
    s->Free();
  }
  platform::UnregisterClass(DispatcherClassName);
  UnloadWinsock();
}

TApdDeviceSocket& DeviceSocket() {
  WinsockDispatcherStartup();
  return *g_deviceSocket;
}

// ---------------------------------------------------------------------------
// The device socket

TApdDeviceSocket::TApdDeviceSocket(TComponent* owner) : TApdSocket(owner) {}

void TApdDeviceSocket::EnterUse() {
  ++useDepth_;
}

void TApdDeviceSocket::LeaveUse() {
  if (--useDepth_ > 0) return;
  std::vector<TWsConnection*> retired;
  retired.swap(retired_);
  for (TWsConnection* c : retired)
    c->Free();
}

void TApdDeviceSocket::Retire(TWsConnection* c) {
  c->Closed = true;
  c->Dispatcher = nullptr;
  c->PeerSocket = platform::INVALID_SOCKET;
  c->MainSocket = platform::INVALID_SOCKET;
  if (ioConnection_ == c) ioConnection_ = nullptr;
  ForgetCachedConnection();
  if (useDepth_ > 0)
    retired_.push_back(c);
  else
    c->Free();
}

TWsConnection* TApdDeviceSocket::FindConnection(SOCKET Socket) {
  Lock lock(ConnectionLock);
  if (Socket == platform::INVALID_SOCKET) return nullptr;
  // The cached connection answers only while it still holds the socket: a
  // closed socket's number may come back for another connection.
  if (Socket == cachedSocket_ && cachedConnection_ && !cachedConnection_->Closed &&
      (cachedConnection_->MainSocket == Socket || cachedConnection_->PeerSocket == Socket))
    return cachedConnection_;
  for (int i = 0; i < ComponentCount(); ++i) {
    auto* c = dynamic_cast<TWsConnection*>(Components(i));
    if (c && !c->Closed && (c->PeerSocket == Socket || c->MainSocket == Socket)) {
      cachedSocket_ = Socket;
      cachedConnection_ = c;
      return c;
    }
  }
  return nullptr;
}

void TApdDeviceSocket::ForgetCachedConnection() {
  Lock lock(ConnectionLock);
  cachedSocket_ = platform::INVALID_SOCKET;
  cachedConnection_ = nullptr;
}

void TApdDeviceSocket::NotifyDispatcher(SOCKET MainSocket) {
  auto* d = FindDispatcherByDevice<TApdWinsockDispatcher>(static_cast<std::int32_t>(MainSocket));
  if (d && d->DispatcherWindow != 0)
    platform::SendMessage(d->DispatcherWindow, SocketNotifyMessage, MainSocket, 0);
}

platform::LRESULT TApdDeviceSocket::NotifyOwner(SOCKET MainSocket, std::int32_t Event,
                                                platform::LPARAM Value) {
  if (MainSocket == platform::INVALID_SOCKET) return 0;
  auto* d = FindDispatcherByDevice<TApdWinsockDispatcher>(static_cast<std::int32_t>(MainSocket));
  if (!d || !d->Port) return 0;
  // The port's trigger window is the first window handler it registered.
  platform::HWND window = 0;
  {
    Lock data(d->DataLock);
    for (const TWindowHandler& h : d->WindowHandlers)
      if (!h.Deleted) {
        window = h.Window;
        break;
      }
  }
  if (window == 0) return 0;
  const bool wasInCall = d->InHandlerCall;
  d->InHandlerCall = true;
  platform::LRESULT answer = 0;
  try {
    answer = platform::SendMessage(window, SocketNotifyMessage,
                                   static_cast<platform::WPARAM>(Event), Value);
  } catch (...) {
    d->InHandlerCall = wasInCall;
    throw;
  }
  d->InHandlerCall = wasInCall;
  return answer;
}

void TApdDeviceSocket::DoAccept(SOCKET s) {
  TConnectionUse use(*this);
  TWsConnection* c = FindConnection(s);
  TApdWinsockDispatcher* d = c ? c->Dispatcher : nullptr;
  if (c && d) {
    if (c->PeerSocket != platform::INVALID_SOCKET) {
      // One caller at a time: a second one is taken and sent away.
      platform::sockaddr_in address{};
      const SOCKET extra = AcceptSocket(s, address);
      if (extra != platform::INVALID_SOCKET) CloseSocket(extra);
      return;
    }
    const SOCKET peer = AcceptSocket(s, d->RemoteAddress);
    if (c->Closed) return;
    if (peer == platform::INVALID_SOCKET) {
      d->RemoteAddress = platform::sockaddr_in{};
      return;
    }
    c->PeerSocket = peer;
    const platform::LRESULT answer =
        NotifyOwner(s, wsnAccept, static_cast<platform::LPARAM>(d->RemoteAddress.sin_addr.s_addr));
    if (c->Closed) {
      // The port closed while it was asked; the caller goes too.
      CloseSocket(peer);
      return;
    }
    if (answer == 1) {
      c->SetConnected(1);
    } else {
      CloseSocket(peer);
      d->RemoteAddress = platform::sockaddr_in{};
      c->PeerSocket = platform::INVALID_SOCKET;
    }
  }
  TApdSocket::DoAccept(s);
}

void TApdDeviceSocket::DoConnect(SOCKET s) {
  TConnectionUse use(*this);
  TWsConnection* c = FindConnection(s);
  if (!c) return;
  c->SetConnected(1);
  if (c->IsClient) c->PeerSocket = s;
  NotifyOwner(s, wsnConnect, 0);
  TApdSocket::DoConnect(s);
}

void TApdDeviceSocket::DoDisconnect(SOCKET s) {
  TConnectionUse use(*this);
  if (TWsConnection* c = FindConnection(s)) {
    // What the peer sent before it closed may wait in the ring, read there
    // outside a pass (a write refreshes the status): it reaches the readers
    // before the close is reported, since the port closes on the notice.
    if (c->Dispatcher && c->InQueueCount() > 0) {
      c->Dispatcher->ProcessCommunications(false);
      if (c->Closed) {
        TApdSocket::DoDisconnect(s);
        return;
      }
    }
    const SOCKET main = c->MainSocket;
    if (auto* d = FindDispatcherByDevice<TApdWinsockDispatcher>(static_cast<std::int32_t>(main))) {
      d->RemoteAddress = platform::sockaddr_in{};
      c->PeerSocket = platform::INVALID_SOCKET;
      c->SetConnected(0);
    }
    if (s == main) {
      NotifyOwner(s, wsnMainClosed, 0);
    } else {
      NotifyOwner(main, wsnPeerClosed, 0);
      CloseSocket(s);
    }
  }
  TApdSocket::DoDisconnect(s);
}

void TApdDeviceSocket::DoError(SOCKET s, int errorCode) {
  TConnectionUse use(*this);
  // A send or receive on a connection without its peer socket yet names no
  // socket; it is the connection whose call failed.
  TWsConnection* c = s == platform::INVALID_SOCKET ? ioConnection_ : FindConnection(s);
  if (c && !c->Closed) NotifyOwner(c->MainSocket, errorCode, 0);
  if (OnWsError) OnWsError(this, s, errorCode);
}

void TApdDeviceSocket::DoRead(SOCKET s) {
  TConnectionUse use(*this);
  if (TWsConnection* c = FindConnection(s)) NotifyDispatcher(c->MainSocket);
  TApdSocket::DoRead(s);
}

void TApdDeviceSocket::DoWrite(SOCKET s) {
  TApdSocket::DoWrite(s);
}

// ---------------------------------------------------------------------------
// The dispatcher

TApdWinsockDispatcher::TApdWinsockDispatcher(TApdBaseComponent* Owner)
    : TApdBaseDispatcher(Owner) {}

TApdWinsockDispatcher::~TApdWinsockDispatcher() {
  CloseForDestruction();
}

void TApdWinsockDispatcher::SetupAddress(platform::u_long Address, platform::u_short Port,
                                         bool Telnet_, bool IsClient_) {
  IsClient = IsClient_;
  Telnet = Telnet_;
  RemoteAddress = platform::sockaddr_in{};
  RemoteAddress.sin_family = platform::AF_INET;
  RemoteAddress.sin_port = Port;
  RemoteAddress.sin_addr.s_addr = Address;
  LocalAddress = platform::sockaddr_in{};
  LocalAddress.sin_family = platform::AF_INET;
  if (!IsClient) LocalAddress.sin_port = Port;
}

void TApdWinsockDispatcher::ProcessCommunications(bool ReadOnly) {
  if (Busy) return;
  Busy = true;
  struct TClearBusy {
    TApdWinsockDispatcher& d;
    ~TClearBusy() {
      d.Busy = false;
      if (d.ClosePending) d.ReleaseDispatcher();
    }
  } clearBusy{*this};
  if (ClosePending) return;
  WakePosted = false;
  TConnectionUse use(DeviceSocket());
  const TDeviceStatus status = PollDeviceStatus();
  // A socket has no line errors; the socket library's error number that the
  // refresh folds in would only read as false ones.
  ClearLineErrors();
  if (ReadOnly || InHandlerCall) {
    if (status.InQue > 0) FillDispatchBuffer();
    LogEvent(dtError, dstNone, 0);
    return;
  }
  // The pass fills the dispatch ring, runs the checks until nothing more
  // fires and resets the status triggers that were hit.
  DispatchPass();
}

std::int32_t TApdWinsockDispatcher::DeviceEscape(std::int32_t) {
  return 0;
}

std::int32_t TApdWinsockDispatcher::DeviceFlush(std::int32_t Queue) {
  TWsConnection* c = DeviceSocket().FindConnection(static_cast<SOCKET>(DeviceId));
  if (!c) return 0;
  if (Queue == 0) c->FlushSendRing();
  if (Queue == 1) c->FlushReceiveRing();
  return 0;
}

std::int32_t TApdWinsockDispatcher::DeviceGetError(TDeviceStatus& Status) {
  TApdDeviceSocket& sock = DeviceSocket();
  TConnectionUse use(sock);
  TWsConnection* c = sock.FindConnection(static_cast<SOCKET>(DeviceId));
  if (!c) return 0;
  Status.InQue = c->InQueueCount();
  Status.OutQue = c->Closed ? 0 : c->OutQueueCount();
  if (sock.InitError() != 0) return sock.InitError();
  return sock.LastSocketError();
}

std::int32_t TApdWinsockDispatcher::DeviceReadFailed(std::int32_t) {
  return 0;
}

std::int32_t TApdWinsockDispatcher::DeviceGetState(TLineSettings& Settings) {
  Settings.BaudRate = 19200;
  Settings.ByteSize = 8;
  Settings.Parity = 0;
  Settings.StopBits = 1;
  return 0;
}

std::int32_t TApdWinsockDispatcher::DeviceRead(std::uint8_t* Buf, std::int32_t Size) {
  TConnectionUse use(DeviceSocket());
  TWsConnection* c = DeviceSocket().FindConnection(static_cast<SOCKET>(DeviceId));
  // Bytes already in the ring are delivered after the peer closed, too.
  if (!c) return 0;
  return c->ReadData(Buf, Size);
}

void TApdWinsockDispatcher::PostWake() {
  if (WakePosted || Busy || DispatcherWindow == 0) return;
  WakePosted = platform::PostMessage(DispatcherWindow, SocketNotifyMessage,
                                     static_cast<platform::WPARAM>(DeviceId), 0);
}

std::int32_t TApdWinsockDispatcher::DeviceSetState(TLineSettings&) {
  return 0;
}

std::int32_t TApdWinsockDispatcher::DeviceWrite(const std::uint8_t* Buf, std::int32_t Size) {
  TConnectionUse use(DeviceSocket());
  TWsConnection* c = DeviceSocket().FindConnection(static_cast<SOCKET>(DeviceId));
  if (!c) return 0;
  return c->WriteData(Buf, Size);
}

bool TApdWinsockDispatcher::DeviceWaitEvent(std::uint32_t&, TApdEvent*) {
  return true;
}

bool TApdWinsockDispatcher::DeviceSetup(std::uint32_t, std::uint32_t) {
  TApdDeviceSocket& sock = DeviceSocket();
  TConnectionUse use(sock);
  TWsConnection* c = sock.FindConnection(static_cast<SOCKET>(DeviceId));
  if (!c) return false;
  const SOCKET s = c->MainSocket;
  auto failed = [&sock](int result) {
    return result == platform::SOCKET_ERROR && sock.LastSocketError() != platform::WSAEWOULDBLOCK;
  };
  const std::int32_t reuse = -1;
  if (failed(sock.SetSocketOptions(s, platform::SOL_SOCKET, platform::SO_REUSEADDR, &reuse,
                                   sizeof reuse)))
    return false;
  if (failed(sock.BindSocket(s, LocalAddress))) return false;
  if (failed(sock.AsyncSelect(s, WsDeviceEvents))) return false;
  if (IsClient ? failed(sock.ConnectSocket(s, RemoteAddress)) : failed(sock.ListenSocket(s, 5)))
    return false;
  if (c->Closed) return false;
  c->IsClient = IsClient;
  c->Telnet = Telnet;
  c->Dispatcher = this;
  return true;
}

void TApdWinsockDispatcher::BeginDispatching() {
  if (Started) throw EGeneral(std::string("Dispatcher already started"));
  Started = true;
  TimerId = platform::SetTimer(0, 1, WsDispatchTimerMs, DispatchTimerProc);
  if (TimerId == 0) throw EGeneral(std::string("Resource not available"));
  DeviceSocket();  // the class "awDispatch" is registered with the module
  CreateHiddenWindow();
}

void TApdWinsockDispatcher::EndDispatching() {
  if (!Started) return;
  if (TimerId != 0) platform::KillTimer(0, TimerId);
  TimerId = 0;
  if (DispatcherWindow != 0) platform::DestroyWindow(DispatcherWindow);
  DispatcherWindow = 0;
  Started = false;
}

std::int32_t TApdWinsockDispatcher::DeviceOpen(const std::string&, std::uint32_t InSize,
                                               std::uint32_t OutSize) {
  TApdDeviceSocket& sock = DeviceSocket();
  Lock lock(sock.ConnectionLock);
  SOCKET s;
  try {
    s = sock.CreateSocket();
  } catch (const EApdSocketException& e) {
    // The code the library gave (9002 when it was never started).
    return -e.ErrorCode();
  }
  new TWsConnection(&sock, s, InSize, OutSize);
  return static_cast<std::int32_t>(s);
}

std::int32_t TApdWinsockDispatcher::DeviceClose() {
  TApdDeviceSocket& sock = DeviceSocket();
  Lock lock(sock.ConnectionLock);
  TWsConnection* c = sock.FindConnection(static_cast<SOCKET>(DeviceId));
  if (!c) return -1;
  const SOCKET peer = c->PeerSocket;
  const SOCKET main = c->MainSocket;
  const bool server = !c->IsClient;
  // Retired first, so that a report of the closes below finds no connection.
  sock.Retire(c);
  if (server && peer != platform::INVALID_SOCKET) sock.CloseSocket(peer);
  sock.CloseSocket(main);
  return 0;
}

std::int32_t TApdWinsockDispatcher::ServiceDevice() {
  ProcessCommunications(true);
  return 0;
}
