// The Winsock device layer: one TCP connection driven by the dispatcher as
// if it were a serial line.
//
// TApdWinsockDispatcher fills the dispatcher's device slots for a socket.
// Its dispatch pass (ProcessCommunications) runs from a 50 ms thread timer
// and from the data-arrived wake-up (SocketNotifyMessage sent to its window
// of class "awDispatch"), all on the main thread; no worker threads.
//
// TApdDeviceSocket is the one process-wide socket object (DeviceSocket())
// whose window receives the notifications of every socket of every Winsock
// dispatcher. It owns one TWsConnection per open dispatcher and routes each
// notification to that dispatcher and to the owning port.
//
// TWsConnection holds a connection's sockets, its receive ring (the port's
// in-size) and send ring (out-size + 4096) and the telnet state. With telnet
// on, received bytes pass a decoder (option replies, IAC IAC, CR NUL, and
// subnegotiations, taken as they arrive up to WsSubnegotiationLimit bytes)
// before the dispatcher sees them and sent bytes pass the matching encoder.
// The connected state shows as the carrier-detect bit (msDCD) of the
// dispatcher's ModemBits.
//
// The port's notices (NotifyOwner) are sent to the port's trigger window:
// the first live window handler of the dispatcher, which the port registers
// when it opens. Events: 8 incoming caller (lParam its IPv4 address, the
// answer 1 accepts), 16 connected, 32 the main socket closed, 48 an accepted
// caller closed, any other value a socket error with that code. The
// dispatcher's InHandlerCall is set while a notice is sent, so a close asked
// for by the port's handler is deferred.
//
// Threads: the main thread only. The device socket's lock guards the set of
// connections and the lookup cache.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "dispatch/AwUser.h"
#include "socket/AdSocket.h"

class TApdWinsockDispatcher;
class TApdDeviceSocket;

// Telnet codes of the protocol (RFC 854, 856, 857, 858, 1091).
namespace telnet {
constexpr std::uint8_t IAC = 255;
constexpr std::uint8_t DONT = 254;
constexpr std::uint8_t DO = 253;
constexpr std::uint8_t WONT = 252;
constexpr std::uint8_t WILL = 251;
constexpr std::uint8_t SB = 250;
constexpr std::uint8_t SE = 240;
constexpr std::uint8_t OptBinary = 0;
constexpr std::uint8_t OptEcho = 1;
constexpr std::uint8_t OptSuppressGoAhead = 3;
constexpr std::uint8_t OptTerminalType = 24;
constexpr std::uint8_t TermTypeIs = 0;
}  // namespace telnet

// Notice codes of NotifyOwner (wParam of SocketNotifyMessage to the port).
constexpr std::int32_t wsnAccept = 8;
constexpr std::int32_t wsnConnect = 16;
constexpr std::int32_t wsnMainClosed = 32;
constexpr std::int32_t wsnPeerClosed = 48;

// The events every device socket is selected for: read, write, accept,
// connect and close.
constexpr std::int32_t WsDeviceEvents = 59;
// Extra room of the send ring beyond the port's out-size.
constexpr std::uint32_t WsSendRingExtra = 4096;
// The longest telnet subnegotiation taken (bytes after IAC SB and its
// option); a longer one is given up and the bytes after it are data.
constexpr std::uint32_t WsSubnegotiationLimit = 512;

class TWsConnection : public TComponent {
  TKV_CLASS(TWsConnection, TComponent)
 public:
  // Owned by the device socket. Rings of InSize and OutSize + 4096 bytes.
  TWsConnection(TApdDeviceSocket* owner, platform::SOCKET mainSocket, std::uint32_t inSize,
                std::uint32_t outSize);

  // Fills the receive ring while connected, then delivers at most Count
  // decoded bytes into Dest; the number placed. Count 0 only fills. Bytes
  // that a fill outside a dispatch pass brings wake the dispatcher.
  std::int32_t ReadData(std::uint8_t* Dest, std::int32_t Count);
  // Queues what fits of Src (encoded) and sends what the ring holds; the
  // number of Src bytes taken. Count 0 only sends.
  std::int32_t WriteData(const std::uint8_t* Src, std::int32_t Count);
  // Raw bytes in the receive ring after a fill (telnet bytes included).
  std::uint32_t InQueueCount();
  // Bytes handed to WriteData since the send ring was last found empty.
  std::uint32_t OutQueueCount();
  void FlushSendRing();
  void FlushReceiveRing();
  // Sets Connected and the carrier-detect bit of the dispatcher.
  void SetConnected(std::uint8_t State);

  std::int32_t SentCount = 0;
  platform::SOCKET PeerSocket = platform::INVALID_SOCKET;
  TApdWinsockDispatcher* Dispatcher = nullptr;
  std::uint8_t Connected = 0;
  bool IsClient = true;
  bool Telnet = true;
  platform::SOCKET MainSocket = platform::INVALID_SOCKET;
  bool BinaryMode = false;
  // A subnegotiation under way: its option and the bytes taken of it.
  bool InSubnegotiation = false;
  std::uint8_t SubnegotiationOption = 0;
  std::uint32_t SubnegotiationLength = 0;
  // Set when the device closed it; it is freed once no call uses it.
  bool Closed = false;

  // The rings: Head the oldest byte, Tail the next to write; Head == Tail is
  // empty unless Full. Receive: Head..Scan has been examined.
  std::vector<std::uint8_t> RxRing;
  std::uint32_t RxHead = 0, RxScan = 0, RxTail = 0;
  bool RxFull = false;
  std::vector<std::uint8_t> TxRing;
  std::uint32_t TxHead = 0, TxTail = 0;
  bool TxFull = false;

 private:
  TApdDeviceSocket& Sock() const;
  std::uint32_t RxCount() const;
  std::uint32_t TxCount() const;
  std::uint8_t RxAt(std::uint32_t offset) const;
  void FillReceiveRing();
  void SendTxRing();
  void QueueTx(std::uint8_t c);
  // Sends a telnet reply at once on PeerSocket, outside the send ring.
  void SendNow(const std::uint8_t* bytes, int length);
  void Negotiate(std::uint8_t command, std::uint8_t option);
  // IAC SE ended the subnegotiation: a terminal-type request is answered.
  void EndSubnegotiation();
  void Log(std::uint8_t subType, std::uint32_t data, const void* payload = nullptr,
           std::uint32_t length = 0);
};

class TApdDeviceSocket : public TApdSocket {
  TKV_CLASS(TApdDeviceSocket, TApdSocket)
 public:
  explicit TApdDeviceSocket(TComponent* owner);

  std::string TermType = "vt100";
  // Guards the set of connections and the lookup cache.
  std::recursive_mutex ConnectionLock;

  // The connection whose MainSocket or PeerSocket is Socket; the last one
  // found is cached. INVALID_SOCKET names no connection.
  TWsConnection* FindConnection(platform::SOCKET Socket);
  void ForgetCachedConnection();
  // Takes a closed connection out of every lookup and frees it, at once or,
  // while a notification or device call is using the connections, when the
  // outermost one ends.
  void Retire(TWsConnection* c);
  void EnterUse();
  void LeaveUse();

  // Sends the data-arrived wake-up to the dispatcher of MainSocket.
  void NotifyDispatcher(platform::SOCKET MainSocket);
  // Sends a notice to the port of MainSocket's dispatcher; its answer, 0
  // without a dispatcher or port.
  platform::LRESULT NotifyOwner(platform::SOCKET MainSocket, std::int32_t Event,
                                platform::LPARAM Value);

 protected:
  void DoAccept(platform::SOCKET s) override;
  void DoConnect(platform::SOCKET s) override;
  void DoDisconnect(platform::SOCKET s) override;
  // Never raises: the code goes to the port, then to OnWsError if assigned.
  void DoError(platform::SOCKET s, int errorCode) override;
  void DoRead(platform::SOCKET s) override;
  void DoWrite(platform::SOCKET s) override;

 private:
  friend class TWsConnection;
  platform::SOCKET cachedSocket_ = platform::INVALID_SOCKET;
  TWsConnection* cachedConnection_ = nullptr;
  // The connection whose send or receive is running; a failure on its
  // missing peer socket (INVALID_SOCKET) is reported to it.
  TWsConnection* ioConnection_ = nullptr;
  int useDepth_ = 0;
  std::vector<TWsConnection*> retired_;
};

class TApdWinsockDispatcher : public TApdBaseDispatcher {
 public:
  explicit TApdWinsockDispatcher(TApdBaseComponent* Owner);
  ~TApdWinsockDispatcher() override;

  // Before OpenSocketDevice: the peer (client) or the service port
  // (server); Address and Port in network order.
  void SetupAddress(platform::u_long Address, platform::u_short Port, bool Telnet, bool IsClient);

  // One dispatch pass; ReadOnly only moves data into the dispatch ring.
  void ProcessCommunications(bool ReadOnly);
  // Posts the data-arrived wake-up once, unless a pass is running or one is
  // already posted: bytes read into the ring outside a pass are then
  // dispatched right after the current call, not at the next timer pass.
  void PostWake();

  std::int32_t DeviceEscape(std::int32_t Func) override;
  std::int32_t DeviceFlush(std::int32_t Queue) override;
  std::int32_t DeviceGetError(TDeviceStatus& Status) override;
  std::int32_t DeviceReadFailed(std::int32_t Code) override;
  std::int32_t DeviceGetState(TLineSettings& Settings) override;
  std::int32_t DeviceRead(std::uint8_t* Buf, std::int32_t Size) override;
  std::int32_t DeviceSetState(TLineSettings& Settings) override;
  std::int32_t DeviceWrite(const std::uint8_t* Buf, std::int32_t Size) override;
  bool DeviceWaitEvent(std::uint32_t& Mask, TApdEvent* Overlapped) override;
  bool DeviceSetup(std::uint32_t InSize, std::uint32_t OutSize) override;
  // Raise EGeneral "Dispatcher already started" when started and "Resource
  // not available" when no timer can be had.
  void BeginDispatching() override;
  void EndDispatching() override;
  std::int32_t DeviceOpen(const std::string& Name, std::uint32_t InSize,
                          std::uint32_t OutSize) override;
  std::int32_t DeviceClose() override;
  std::int32_t ServiceDevice() override;

  bool Busy = false;
  bool WakePosted = false;
  platform::sockaddr_in RemoteAddress{};
  platform::sockaddr_in LocalAddress{};
  bool IsClient = true;
  bool Telnet = true;
};

// The window class of the dispatcher windows.
inline constexpr const char* DispatcherClassName = "awDispatch";
// The period of the dispatch timer.
constexpr platform::UINT WsDispatchTimerMs = 50;

// The device socket; the module starts (WinsockDispatcherStartup) on the
// first call when it has not been started yet.
TApdDeviceSocket& DeviceSocket();
// Registers "awDispatch" and creates the device socket, once.
void WinsockDispatcherStartup();
// Frees the device socket (its clean-up calls "WSACleanup"), unregisters
// the class and frees the socket library. Program end, after every Winsock
// dispatcher is gone; a later DeviceSocket() starts the module again.
void WinsockDispatcherShutdown();
