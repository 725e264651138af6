// The Winsock port: the com port over one TCP connection.
//
// TApdCustomWinsockPort names a host (WsAddress) and a TCP service
// (WsPort). With DeviceLayer dlWinsock, opening it resolves both through
// the device socket, opens a TApdWinsockDispatcher as a client (connect) or
// a server (listen) and subclasses the port's trigger window, so that the
// dispatcher's notices (SocketNotifyMessage) become the four events
// OnWsAccept, OnWsConnect, OnWsDisconnect and OnWsError. The constructor
// leaves DeviceLayer at dlSerial; a user of the Winsock layer sets it.
//
// Ownership: as the com port; the dispatcher is owned by the port from the
// open to the end of the close.
//
// Thread: the main thread. The events fire from the trigger window:
// OnWsConnect when a client's connection is made; OnWsAccept for each
// caller of a server; OnWsError for a socket error reported after the open
// (a refused connect among them; the port stays open). When the peer closes
// or resets a client's connection, the port closes itself through
// SocketCloseMessage posted to its trigger window, so the close runs after
// the current notice. OnWsDisconnect fires once per close, whoever started
// it (the close sequence ends in DoWsDisconnect), and on a server when an
// accepted caller goes away.
//
// Failures: an open raises EApdSocketException with 10039 (no address),
// 9007 (the address does not resolve), 9005 (no valid port) or the socket
// library's code, and leaves the port closed. Changing WsAddress or WsPort
// while the port is open raises 9006.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "socket/AdPort.h"

// Posted by the port to its own trigger window to close itself after the
// current call.
constexpr platform::UINT SocketCloseMessage = 0x0B12;

// The port's role (WsMode).
constexpr std::uint8_t wsClient = 0;
constexpr std::uint8_t wsServer = 1;

class TApdCustomWinsockPort : public TApdCustomComPort {
  TKV_CLASS(TApdCustomWinsockPort, TApdCustomComPort)
 public:
  // Addr is the caller's IPv4 address in network order.
  using TWsAcceptEvent = std::function<void(TObject* Sender, std::uint32_t Addr, bool& Accept)>;
  using TWsErrorEvent = std::function<void(TObject* Sender, std::int32_t ErrorCode)>;

  explicit TApdCustomWinsockPort(TComponent* owner);
  ~TApdCustomWinsockPort() override;

  // The setters ignore the current value, raise 9006 while the port is
  // open and store the value without leading and trailing blanks and
  // control characters.
  const std::string& WsAddress() const { return wsAddress_; }
  void SetWsAddress(const std::string& value);
  const std::string& WsPort() const { return wsPort_; }
  void SetWsPort(const std::string& value);
  std::uint8_t WsMode() const { return wsMode_; }
  void SetWsMode(std::uint8_t value) { wsMode_ = value; }
  bool WsTelnet() const { return wsTelnet_; }
  void SetWsTelnet(bool value) { wsTelnet_ = value; }

  TWsAcceptEvent OnWsAccept;
  TNotifyEvent OnWsConnect;
  TNotifyEvent OnWsDisconnect;
  TWsErrorEvent OnWsError;

 protected:
  std::unique_ptr<TApdBaseDispatcher> CreateDispatcher() override;
  // Resolves the address and the port and opens the socket device.
  std::int32_t OpenDevice() override;
  void ValidateComNumber() override;
  // Subclasses the trigger window, then the com port's notifications.
  void NotifyPortOpen() override;
  // The com port's notifications, then DoWsDisconnect.
  void NotifyPortClose() override;

  // The answer to a caller: OnWsAccept may refuse it.
  virtual bool DoWsAccept(std::uint32_t Addr);
  virtual void DoWsConnect();
  virtual void DoWsDisconnect();
  // A reset or aborted connection closes a client (posted) and ends the
  // caller of a server; then OnWsError.
  virtual void DoWsError(std::int32_t ErrorCode);

 private:
  // The trigger window's procedure while the port is open.
  platform::LRESULT HookProc(platform::HWND hwnd, platform::UINT msg, platform::WPARAM wParam,
                             platform::LPARAM lParam);
  platform::LRESULT HandleSocketNotice(std::int32_t event, platform::LPARAM lParam);
  void PostClose();
  // Raises 9006 while the port is open.
  void CheckNotConnected() const;

  std::string wsAddress_;
  std::uint8_t wsMode_ = wsClient;
  std::string wsPort_ = "telnet";
  bool wsTelnet_ = true;
  platform::WNDPROC previousProc_;
};
