// The data packet matcher: cuts packets out of the bytes a port receives.
//
// A TApdDataPacket begins with a start string (scString) or with whatever
// data comes (scAnyData) and ends with an end string (ecString), after a
// number of bytes (ecPacketSize), or both. Markers may hold "?" for any byte
// and "\" to make the next character literal. All packets of one port share
// one TApdDataPacketManager: its receive buffer, its trigger handler on the
// port's dispatcher and one timer trigger for the time-out of the packet that
// is collecting. The managers are listed in DataPacketManagerList().
//
// Ownership: a packet belongs to its owner component. A manager is created
// by the first packet that attaches to a port and frees itself when its last
// packet leaves; the list only refers to the managers. The port must outlive
// the packets attached to it, or be owned by the same owner (its removal then
// detaches them).
//
// Thread: the thread of the port's dispatcher deliveries, the main thread for
// the socket port. OnPacket and OnStringPacket fire when a packet is complete,
// in this order, with the bytes still in the manager's buffer; OnTimeout fires
// when the collecting packet stays longer than TimeOut ticks. While one of
// them runs, new data is kept and matched once the handler returns. An
// exception raised by a handler goes to the application's exception display.
//
// Memory: a packet that collects more than MaxPacketSize bytes without
// meeting its end condition is dropped, so the shared buffer stays bounded
// whatever a peer sends.
//
// Failures: arming with inconsistent properties raises EInvalidProperty with
// -5501 .. -5505; the packet keeps the mode it had.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "dispatch/AwUser.h"
#include "dispatch/OoMisc.h"
#include "socket/AdPort.h"

enum TPacketStartCond : std::uint8_t { scString, scAnyData };
enum TPacketEndCond : std::uint8_t { ecString, ecPacketSize };
enum TPacketMode : std::uint8_t { pmIdle = 0, pmWaiting = 1, pmCollecting = 2 };

// A set of end conditions: bit 1 << ecString, bit 1 << ecPacketSize.
class TPacketEndConds {
 public:
  constexpr TPacketEndConds() = default;
  constexpr TPacketEndConds(std::initializer_list<TPacketEndCond> items) {
    for (auto c : items)
      bits_ |= Bit(c);
  }
  constexpr bool Contains(TPacketEndCond c) const { return (bits_ & Bit(c)) != 0; }
  constexpr bool Empty() const { return bits_ == 0; }
  constexpr unsigned Bits() const { return bits_; }
  static constexpr TPacketEndConds FromBits(unsigned bits) {
    TPacketEndConds s;
    s.bits_ = bits & 3u;
    return s;
  }
  constexpr bool operator==(const TPacketEndConds&) const = default;

 private:
  static constexpr unsigned Bit(TPacketEndCond c) { return 1u << c; }
  unsigned bits_ = 0;
};

class TApdDataPacketManager;

// The bound of TApdDataPacket::MaxPacketSize: 1 MiB unless set, at most
// 1 GiB, so that the manager's 32-bit buffer sizes never overflow.
constexpr std::int32_t DefaultMaxPacketSize = 1 << 20;
constexpr std::int32_t MaxPacketSizeLimit = 1 << 30;

class TApdDataPacket : public TApdBaseComponent {
  TKV_CLASS(TApdDataPacket, TApdBaseComponent)
 public:
  using TPacketNotifyEvent = std::function<void(TObject* Sender, const void* Data, int Size)>;
  using TStringPacketNotifyEvent = std::function<void(TObject* Sender, const std::string& Data)>;

  explicit TApdDataPacket(TComponent* owner);
  ~TApdDataPacket() override;

  // --- Properties. ------------------------------------------------------
  bool Enabled() const { return enabled_; }
  // True arms the packet (it starts matching afresh), false disarms it.
  void SetEnabled(bool value);
  bool AutoEnable() const { return autoEnable_; }
  void SetAutoEnable(bool value) { autoEnable_ = value; }
  TPacketStartCond StartCond() const { return startCond_; }
  void SetStartCond(TPacketStartCond value) { startCond_ = value; }
  TPacketEndConds EndCond() const { return endCond_; }
  // Disarms, stores, then restores the previous Enabled.
  void SetEndCond(TPacketEndConds value);
  const std::string& StartString() const { return startString_; }
  void SetStartString(const std::string& value) { startString_ = value; }
  const std::string& EndString() const { return endString_; }
  // As SetEndCond.
  void SetEndString(const std::string& value);
  bool IgnoreCase() const { return ignoreCase_; }
  void SetIgnoreCase(bool value) { ignoreCase_ = value; }
  TApdCustomComPort* ComPort() const { return comPort_; }
  // Leaves the manager of the old port, joins (or creates) the one of the
  // new port.
  void SetComPort(TApdCustomComPort* value);
  int PacketSize() const { return packetSize_; }
  void SetPacketSize(int value) { packetSize_ = value; }
  bool IncludeStrings() const { return includeStrings_; }
  void SetIncludeStrings(bool value) { includeStrings_ = value; }
  // Ticks of 55 ms; 0 is no limit.
  int TimeOut() const { return timeOut_; }
  void SetTimeOut(int value) { timeOut_ = value; }
  // The most bytes (start string included) a packet may collect without
  // meeting its end condition, DefaultMaxPacketSize unless set. A packet
  // that collects more is dropped: its bytes are discarded up to and with
  // the end that finally comes, no event fires for it, and it then starts
  // afresh as after a delivery (AutoEnable or not). Values below 1 count as
  // 1, values above MaxPacketSizeLimit as that limit. Takes effect at once,
  // also while the packet is collecting.
  std::int32_t MaxPacketSize() const { return maxPacketSize_; }
  void SetMaxPacketSize(std::int32_t value);
  // True while the packet is discarding the rest of a dropped packet.
  bool Dropping() const { return droppedBytes_ > 0; }

  // --- Matching state (read only). --------------------------------------
  TPacketMode Mode() const { return mode_; }
  std::int32_t BeginMatch() const { return beginMatch_; }
  bool StartPending() const { return startPending_; }
  bool EnablePending() const { return enablePending_; }
  TApdDataPacketManager* Manager() const { return manager_; }
  // "Packet:" and the component's name, the label of its dispatch-log entries.
  std::string LogLabel() const { return "Packet:" + Name(); }

  // --- Events. ----------------------------------------------------------
  TPacketNotifyEvent OnPacket;
  TStringPacketNotifyEvent OnStringPacket;
  TNotifyEvent OnTimeout;
  // Fires once for a packet that grows past MaxPacketSize, when its
  // dropping begins, from inside the matching pass: the handler must not
  // close the port or change packets (post a message for that).
  TNotifyEvent OnOverflow;

  void AfterLoad() override;
  void ComponentNotify(TComponent* component, TOperation operation) override;

 protected:
  void BeforeDestruction() override;
  virtual void DoPacket(const void* Data, int Size);
  virtual void DoStringPacket(const std::string& Data);
  virtual void DoTimeout();

 private:
  friend class TApdDataPacketManager;

  // A marker as compared: its bytes (upper-cased with IgnoreCase) and, per
  // position, whether it matches any byte.
  struct TMarker {
    std::string Work;
    std::vector<bool> Wild;
    bool Matches(std::size_t pos, std::uint8_t c, bool ignoreCase) const;
  };
  TMarker ResolveMarker(const std::string& text) const;

  void Arm();
  void Disarm();
  void SetMode(TPacketMode value);
  // Matches from buffer index p while enabled; stops after a delivery.
  void Match(std::int32_t p);
  // The end string ends at index i after a mismatch or a match of byte i.
  bool StepEndString(std::int32_t i);
  // Index i was collected and the bytes held from BeginMatch exceed the
  // bound: drops what the end string cannot still need. Returns the index
  // of the byte that was at i, -1 when that one went too.
  std::int32_t DropCollected(std::int32_t i);
  // size bytes from BeginMatch end the packet: delivered, or only consumed
  // when the packet was dropped.
  void Deliver(std::int32_t size, bool endedOnString);
  void Timeout();
  void Log(std::uint8_t subType, const std::string& text = {});
  void PublishProperties();

  bool loaded_ = false;  // AfterLoad has run
  bool enabled_ = false;
  bool autoEnable_ = true;
  TPacketStartCond startCond_ = scString;
  TPacketEndConds endCond_;
  std::string startString_;
  std::string endString_;
  bool ignoreCase_ = true;
  TApdCustomComPort* comPort_ = nullptr;
  int packetSize_ = 0;
  bool includeStrings_ = true;
  int timeOut_ = 2184;
  std::int32_t maxPacketSize_ = DefaultMaxPacketSize;
  // Bytes of the collecting packet already discarded because it grew past
  // the bound; 0 while nothing was dropped.
  std::int64_t droppedBytes_ = 0;

  TPacketMode mode_ = pmIdle;
  std::int32_t beginMatch_ = -1;
  std::int32_t startIndex_ = 1;
  std::int32_t endIndex_ = 1;
  std::int32_t localPacketSize_ = 0;
  // The first buffer index examined while collecting (after the start string).
  std::int32_t collectStart_ = 0;
  TMarker startWork_;
  TMarker endWork_;
  bool enablePending_ = false;
  bool startPending_ = false;
  bool timerArmed_ = false;
  TApdDataPacketManager* manager_ = nullptr;
};

// The packets of one port, their shared buffer and dispatcher hook.
class TApdDataPacketManager {
 public:
  explicit TApdDataPacketManager(TApdCustomComPort* port);
  ~TApdDataPacketManager();
  TApdDataPacketManager(const TApdDataPacketManager&) = delete;
  TApdDataPacketManager& operator=(const TApdDataPacketManager&) = delete;

  TApdCustomComPort* Port() const { return port_; }
  const std::vector<TApdDataPacket*>& Packets() const { return packets_; }
  bool Enabled() const { return enabled_; }
  bool HandlerInstalled() const { return handlerInstalled_; }
  std::int32_t BufferLen() const { return bufferLen_; }
  std::int32_t BufferCapacity() const { return bufferCapacity_; }
  const std::uint8_t* Buffer() const { return buffer_.get(); }
  TApdDataPacket* CapturingPacket() const { return capturing_; }
  std::int32_t TimerHandle() const { return timerHandle_; }
  bool InEvent() const { return inEvent_; }
  bool EnableOnLoad() const { return enableOnLoad_; }

  void Insert(TApdDataPacket* packet);
  void Remove(TApdDataPacket* packet);
  void SetEnabled(bool value);
  void AfterLoad();

 private:
  friend class TApdDataPacket;

  void PortOpenClose(TApdCustomComPort* port, bool opening);
  void TriggerHandler(std::uint32_t msg, std::uint32_t wParam, std::int32_t lParam);
  void ProcessFrom(std::int32_t p);
  void ReleaseBuffer();
  // Removes the bytes before index n.
  void Consume(std::int32_t n);
  void BeginCapture(TApdDataPacket* packet);
  void EndCapture(TApdDataPacket* packet);
  // The end of a delivery or time-out: leave InEvent, re-arm the packets.
  void LeaveEvent();
  // Runs a handler call the way the port's dispatcher wants handlers run.
  void RaiseEvent(TApdDataPacket* packet, const std::function<void()>& call);

  std::vector<TApdDataPacket*> packets_;
  TApdCustomComPort* port_ = nullptr;
  TApdBaseDispatcher* dispatcher_ = nullptr;  // while enabled
  bool handlerInstalled_ = false;
  bool enabled_ = false;
  std::int32_t bufferLen_ = 0;
  std::unique_ptr<std::uint8_t[]> buffer_;
  std::int32_t bufferCapacity_ = 0;
  TApdDataPacket* capturing_ = nullptr;
  std::int32_t timerHandle_ = 0;
  bool inEvent_ = false;
  bool dataPending_ = false;
  std::int32_t pendingStart_ = 0;
  bool enableOnLoad_ = false;
  // Counts deliveries: a matching pass stops when it changes, because the
  // bytes have moved.
  std::uint32_t deliveries_ = 0;
  // A manager that lost its last packet inside its own handler frees itself
  // when the handler returns.
  int busy_ = 0;
  bool orphaned_ = false;
};

// The process-wide list of the packet managers.
class TApdDataPacketManagerList {
 public:
  void Add(TApdDataPacketManager* manager) { managers_.push_back(manager); }
  void Remove(TApdDataPacketManager* manager) { std::erase(managers_, manager); }
  // The manager of a port, or none.
  TApdDataPacketManager* GetPortManager(const TApdCustomComPort* port) const;
  std::size_t Count() const { return managers_.size(); }

 private:
  std::vector<TApdDataPacketManager*> managers_;
};

TApdDataPacketManagerList& DataPacketManagerList();
