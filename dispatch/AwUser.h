// The dispatcher: the device-independent engine behind every open port.
//
// A port component creates one TApdBaseDispatcher descendant (a device layer)
// when it opens and frees it when it closes. The dispatcher moves incoming
// bytes from the device into its 8192-byte dispatch ring, hands them to
// readers, writes outgoing blocks to the device, watches its triggers (the
// avail threshold, timer, data and status triggers) and delivers one trigger
// event at a time to its handlers: method handlers are called directly,
// handler windows get the event sent with a 3000 ms time-out. It also keeps
// the trace of the bytes it moves and the dispatch log of its events.
//
// Ownership: the port owns the dispatcher; the dispatcher owns its rings,
// trigger and handler records, its three locks, six events and, for a
// thread-driven device layer, its three worker threads (it joins them
// before it goes away). Dispatchers are listed in the process-wide
// DispatcherList; a dispatcher's Handle is its index there.
//
// Threads: a socket-style layer runs everything on the main thread, out of
// its timer and window messages. A thread-driven layer (StartWorkerThreads)
// runs the checks and the deliveries in its dispatch thread; method handlers
// marked Synchronized then run on the main thread through SyncEvent. Handlers
// are always called with no dispatcher lock held, so a handler may call any
// operation here, CloseDispatcher included.
//
// Locks: the general lock (DataLock) guards triggers, handlers, call state,
// trace, log and line settings; the output lock guards the output counters
// and ring, and also DeviceStatus and LineErrors, which the output path, the
// dispatch ring's fill and the event thread all refresh (a device's status
// call reads the output ring, so its lock is the one that fits); the buffer
// lock guards the dispatch ring. All three are re-entrant. The nesting is
// the output lock inside the buffer lock and the general lock inside either:
// no path takes the buffer or output lock while it holds the general lock,
// nor the buffer lock while it holds the output lock (on another thread).
// ListLock may be held while dispatcher locks are taken, never the reverse.
//
// Destruction: a device layer's destructor must call CloseForDestruction()
// first, while its own device operations still exist.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "dispatch/OoMisc.h"
#include "platform/Messages.h"

// ---------------------------------------------------------------------------
// Trigger events, as delivered to handlers. lParam is always
// (Handle of the dispatcher shl 16) + the value named below.

constexpr std::uint32_t TriggerAvailMsg = 0x7E01;   // wParam bytes offered; value 0
constexpr std::uint32_t TriggerDataMsg = 0x7E02;    // wParam trigger; value its Length
constexpr std::uint32_t TriggerTimerMsg = 0x7E03;   // wParam trigger; value 0
constexpr std::uint32_t TriggerStatusMsg = 0x7E04;  // wParam trigger; value see kinds

// The size of the dispatch ring.
constexpr std::uint32_t DispatchBufferSize = 8192;
// The handle that names the avail trigger.
constexpr std::int32_t AvailTriggerHandle = 1;
// Patterns of data triggers hold 1 to this many characters.
constexpr std::int32_t MaxTrigData = 22;
// The largest tick count whose milliseconds fit a signed 32-bit integer.
constexpr std::int32_t MaxTicks = 39045157;
// Milliseconds per tick.
constexpr std::uint32_t MsPerTick = 55;
// Entries of a trace at most.
constexpr std::uint32_t MaxTraceEntries = 4000000;
// Time-out of a delivery to a handler window.
constexpr unsigned HandlerWindowTimeoutMs = 3000;
// Waits for a starting worker thread.
constexpr unsigned WorkerStartTimeoutMs = 3000;

// LookupTrigger's kinds.
constexpr std::int32_t TriggerKindTimer = 2;
constexpr std::int32_t TriggerKindData = 3;
constexpr std::int32_t TriggerKindStatus = 4;

// Kinds of status triggers, carried in the low three bits of their handles.
constexpr std::int32_t stModem = 1;        // value: low byte expected bits, high byte mask
constexpr std::int32_t stLine = 2;         // value: mask of line-error bits
constexpr std::int32_t stOutBuffFree = 3;  // value: free bytes wanted
constexpr std::int32_t stOutBuffUsed = 4;  // value: used bytes at most
constexpr std::int32_t stOutSent = 5;

// Line-error bits of LineErrors.
constexpr std::uint32_t leOverflow = 0x01;  // receive queue overflow
constexpr std::uint32_t leOverrun = 0x02;
constexpr std::uint32_t leParity = 0x04;
constexpr std::uint32_t leFraming = 0x08;
constexpr std::uint32_t leBreak = 0x10;

// Modem-status bits of ModemBits: the lines, and their change flags.
constexpr std::uint32_t msDCTS = 0x01;
constexpr std::uint32_t msDDSR = 0x02;
constexpr std::uint32_t msTERI = 0x04;  // trailing edge of ring indication
constexpr std::uint32_t msDDCD = 0x08;
constexpr std::uint32_t msCTS = 0x10;
constexpr std::uint32_t msDSR = 0x20;
constexpr std::uint32_t msRI = 0x40;
constexpr std::uint32_t msDCD = 0x80;

// Device event bits (EventMask) of thread-driven layers.
constexpr std::uint32_t evRxChar = 0x0001;
constexpr std::uint32_t evTxEmpty = 0x0004;
constexpr std::uint32_t evCts = 0x0008;
constexpr std::uint32_t evDsr = 0x0010;
constexpr std::uint32_t evRlsd = 0x0020;
constexpr std::uint32_t evBreak = 0x0040;
constexpr std::uint32_t evErr = 0x0080;
constexpr std::uint32_t evRing = 0x0100;

// DeviceEscape functions.
constexpr std::int32_t escSetRts = 3;
constexpr std::int32_t escClrRts = 4;
constexpr std::int32_t escSetDtr = 5;
constexpr std::int32_t escClrDtr = 6;

// OpenSerialDevice options.
constexpr std::uint32_t doDtrOn = 0x01;
constexpr std::uint32_t doRtsOn = 0x02;
constexpr std::uint32_t doDtrAuto = 0x10;
constexpr std::uint32_t doRtsAuto = 0x20;

// Dispatch-log entry types (names: entries 15001 + type of the error-text
// resource) and subtypes (names: entries 15100 + subtype).
enum TDispatchType : std::uint8_t {
  dtNone,
  dtDispatch,
  dtTrigger,
  dtError,
  dtThread,
  dtTriggerAlloc,
  dtTriggerDispose,
  dtTriggerHandlerAlloc,
  dtTriggerHandlerDispose,
  dtTriggerDataChange,
  dtTelnet,
  dtFax,
  dtXModem,
  dtYModem,
  dtZModem,
  dtKermit,
  dtAscii,
  dtBPlus,
  dtPacket,
  dtUser
};
enum TDispatchSubType : std::uint8_t {
  dstNone,
  dstReadCom,
  dstWriteCom,
  dstLineStatus,
  dstModemStatus,
  dstAvail,
  dstTimer,
  dstData,
  dstStatus,
  dstThreadStart,
  dstThreadExit,
  dstThreadSleep,
  dstThreadWake,
  dstDataTrigger,
  dstTimerTrigger,
  dstStatusTrigger,
  dstAvailTrigger,
  dstWndHandler,
  dstProcHandler,
  dstMethodHandler,
  dstWsockSentWill,
  dstWsockSentWont,
  dstWsockSentDo,
  dstWsockSentDont,
  dstWsockRecvWill,
  dstWsockRecvWont,
  dstWsockRecvDo,
  dstWsockRecvDont,
  dstWsockCommand,
  dstWsockTermType,
  dstPacketEnable = 242,
  dstPacketDisable,
  dstPacketStringPacket,
  dstPacketSizePacket,
  dstPacketTimeout,
  dstPacketStartStr,
  dstPacketEndStr,
  dstPacketIdle,
  dstPacketWaiting,
  dstPacketCollecting
};

// RecomputeHandlerFlags updates.
enum THandlerUpdate : std::uint8_t { huKeepPort = 0, huEnablePort = 1, huDisablePort = 2 };

// Worker-thread priority levels, in order.
enum TThreadPriority : std::int8_t {
  tpIdle,
  tpLowest,
  tpLower,
  tpNormal,
  tpHigher,
  tpHighest,
  tpTimeCritical
};

// ---------------------------------------------------------------------------
// Handlers

// A plain trigger procedure.
using TTriggerProc = void (*)(std::uint32_t Msg, std::uint32_t wParam, std::int32_t lParam);

// A method of an object that takes a trigger event: a code address and the
// object. Two methods are the same method when their Code is the same,
// whatever their objects; MakeTriggerMethod gives each member function its
// own Code.
struct TTriggerMethod {
  using TCode = void (*)(void* Data, std::uint32_t Msg, std::uint32_t wParam, std::int32_t lParam);
  TCode Code = nullptr;
  void* Data = nullptr;

  explicit operator bool() const { return Code != nullptr; }
  void operator()(std::uint32_t Msg, std::uint32_t wParam, std::int32_t lParam) const {
    Code(Data, Msg, wParam, lParam);
  }
};

template <auto Method, class T>
TTriggerMethod MakeTriggerMethod(T* object) {
  return TTriggerMethod{
      [](void* data, std::uint32_t msg, std::uint32_t wParam, std::int32_t lParam) {
        (static_cast<T*>(data)->*Method)(msg, wParam, lParam);
      },
      object};
}

struct TWindowHandler {
  platform::HWND Window = 0;
  bool Deleted = false;
};

struct TProcHandler {
  TTriggerProc Proc = nullptr;
  bool Deleted = false;
};

struct TMethodHandler {
  TTriggerMethod Method;
  bool Deleted = false;
  bool Synchronized = false;  // deliver on the main thread, through SyncEvent
};

// ---------------------------------------------------------------------------
// Time: 32-bit milliseconds and ticks of 55 ms

struct TEventTimer {
  std::int32_t StartTicks = 0;
  std::int32_t ExpireTicks = 0;
};

// Milliseconds of the monotonic performance counter, low 32 bits. The count
// starts near 0 when the process starts, so it wraps only after 49.7 days of
// running. Any thread.
std::uint32_t MsClock();
// The current tick: MsClock div 55.
std::int32_t CurrentTick();
// Starts a timer for Ticks ticks (at most MaxTicks).
void StartEventTimer(TEventTimer& Timer, std::int32_t Ticks);
// Whether the timer has run out; see AwUserThreads.cpp for the wrap rule.
bool EventTimerExpired(const TEventTimer& Timer);
// Waits Ticks ticks; with Pump the main thread's messages are handled
// meanwhile and a quit message ends the wait early. Returns the last value
// PumpOneMessage returned (0 when none). Main thread when pumping.
std::int32_t WaitTicks(std::int32_t Ticks, bool Pump);
// Handles one pending message of the main thread; returns 0 when none was
// pending, else the message number with the low word of its window in the
// high 16 bits. A quit message is posted again. Main thread.
std::int32_t PumpOneMessage();

// Replaces the millisecond source (nullptr restores the counter), so that
// tests can place the clock anywhere, the wrap included.
void SetMsClockSourceForTesting(std::uint32_t (*source)());

// ---------------------------------------------------------------------------
// Trigger records

struct TTimerTrigger {
  std::int32_t Handle = 0;
  TEventTimer Timer;
  std::int32_t Ticks = 0;
  bool Active = false;
};

struct TDataTrigger {
  std::int32_t Handle = 0;
  std::int32_t Length = 0;  // 0 disables the trigger
  std::int32_t MatchState[MaxTrigData] = {};
  bool Matched = false;
  bool IgnoreCase = false;
  char Pattern[MaxTrigData + 2] = {};
};

struct TStatusTrigger {
  std::int32_t Handle = 0;
  std::int32_t Kind = 0;
  std::uint16_t Value = 0;
  bool Active = false;
  bool Fired = false;
};

// Copies of a dispatcher's triggers, kept by a port across a close and
// reopen. An absent list is skipped when the copies are restored.
struct TTriggerSave {
  std::int32_t AvailThreshold = 0;
  std::optional<std::vector<TTimerTrigger>> TimerTriggers;
  std::optional<std::vector<TDataTrigger>> DataTriggers;
  std::optional<std::vector<TStatusTrigger>> StatusTriggers;
};

// What LookupTrigger found: the kind and the record (none after a delete).
struct TTriggerRef {
  std::int32_t Kind = 0;
  TTimerTrigger* Timer = nullptr;
  TDataTrigger* Data = nullptr;
  TStatusTrigger* Status = nullptr;
};

// Partial-match step of a data trigger: advances every running partial
// match by C and starts at most one new one; true when the pattern is
// complete (all partial matches are then forgotten).
bool MatchDataTrigger(std::int32_t* State, std::uint8_t C, std::int32_t Length, bool IgnoreCase,
                      const char* Pattern);

// ---------------------------------------------------------------------------
// Records of the dispatcher

// What DeviceGetError fills.
struct TDeviceStatus {
  std::uint32_t Flags = 0;
  std::uint32_t InQue = 0;   // bytes waiting in the device's input
  std::uint32_t OutQue = 0;  // bytes waiting in its output
};

// The serial line settings, as a serial device reads and applies them.
struct TLineSettings {
  std::uint32_t BaudRate = 0;
  std::uint8_t ByteSize = 8;
  std::uint8_t Parity = 0;    // 0 none, 1 odd, 2 even, 3 mark, 4 space
  std::uint8_t StopBits = 0;  // 0 one, 1 one and a half, 2 two
  bool DtrAuto = false;       // DTR under handshake control
  bool DtrOn = false;
  bool RtsAuto = false;  // RTS under handshake control
  bool RtsOn = false;
  bool RtsToggle = false;  // RTS raised around each transmission (RS-485)
  bool OutxCtsFlow = false;
  bool OutxDsrFlow = false;
  bool DsrSensitivity = false;
  bool OutX = false;  // software flow control of output
  bool InX = false;   // software flow control of input
  std::uint16_t XonLim = 0;
  std::uint16_t XoffLim = 0;
  char XonChar = 17;
  char XoffChar = 19;
};

// Hardware-flow options of SetHardwareFlow.
constexpr std::uint32_t hfUseDTR = 0x01;
constexpr std::uint32_t hfUseRTS = 0x02;
constexpr std::uint32_t hfRequireDSR = 0x04;
constexpr std::uint32_t hfRequireCTS = 0x08;
// Software-flow options of SetSoftwareFlow.
constexpr std::uint32_t sfTransmitFlow = 0x01;
constexpr std::uint32_t sfReceiveFlow = 0x02;

// A trace entry: the kind letter ('R' received, 'T' transmitted) and a byte.
struct TTraceEntry {
  char Kind = 0;
  std::uint8_t Data = 0;
};

// A dispatch-log entry as it sits in the log ring, followed by its payload.
struct DispatchLogEntry {
  std::uint8_t Type = 0;
  std::uint8_t SubType = 0;
  std::uint16_t Reserved = 0;
  std::uint32_t Time = 0;  // milliseconds since TimeBase
  std::uint32_t Data = 0;
  std::uint32_t PayloadLength = 0;
};
static_assert(sizeof(DispatchLogEntry) == 16);

// An event with automatic or manual reset, for the worker threads.
class TApdEvent {
 public:
  explicit TApdEvent(bool manualReset) : manualReset_(manualReset) {}
  void Set();
  void Reset();
  // Waits at most timeoutMs (-1: forever); true when signalled.
  bool Wait(int timeoutMs);
  // Waits for either event; returns 0 or 1 for the one taken (the first
  // when both are signalled), -1 on time-out.
  static int WaitAny(TApdEvent& a, TApdEvent& b, int timeoutMs);

 private:
  bool TakeLocked();
  const bool manualReset_;
  bool signalled_ = false;
};

class TApdBaseDispatcher;

// The base of the three worker threads. The thread starts running at once;
// the dispatcher joins it when it stops.
class TApdDispatcherThread {
 public:
  explicit TApdDispatcherThread(TApdBaseDispatcher* dispatcher) : H(dispatcher) {}
  virtual ~TApdDispatcherThread();
  void Start();
  void Join();
  bool IsCurrent() const { return std::this_thread::get_id() == id_.load(); }
  void SetPriority(TThreadPriority p) { Priority = p; }

  TApdBaseDispatcher* H;
  // A synchronized call waiting to run on the main thread.
  std::uint32_t SyncMsg = 0;
  std::uint32_t SyncWParam = 0;
  std::int32_t SyncLParam = 0;
  TTriggerMethod SyncMethod;
  // The level asked for; Linux gives unprivileged threads of the normal
  // policy no priority levels, so it is kept and shown, not applied.
  std::atomic<TThreadPriority> Priority{tpNormal};

 protected:
  virtual void Execute() = 0;

 private:
  void Run();
  std::thread thread_;
  std::atomic<std::thread::id> id_{};
};

class TComThread : public TApdDispatcherThread {
 public:
  using TApdDispatcherThread::TApdDispatcherThread;

 protected:
  void Execute() override;
};

class TDispThread : public TApdDispatcherThread {
 public:
  using TApdDispatcherThread::TApdDispatcherThread;

 protected:
  void Execute() override;
};

class TOutThread : public TApdDispatcherThread {
 public:
  using TApdDispatcherThread::TApdDispatcherThread;

 protected:
  void Execute() override;
};

// ---------------------------------------------------------------------------
// The dispatcher

class TApdBaseDispatcher {
 public:
  // Takes the first free slot of DispatcherList. Owner is the port (may be
  // none).
  explicit TApdBaseDispatcher(TApdBaseComponent* Owner);
  virtual ~TApdBaseDispatcher();
  TApdBaseDispatcher(const TApdBaseDispatcher&) = delete;
  TApdBaseDispatcher& operator=(const TApdBaseDispatcher&) = delete;

  // --- Device operations, in slot order. --------------------------------
  virtual std::int32_t DeviceEscape(std::int32_t Func) = 0;                          // 0
  virtual std::int32_t DeviceFlush(std::int32_t Queue) = 0;                          // 1
  virtual std::int32_t DeviceGetError(TDeviceStatus& Status) = 0;                    // 2
  virtual std::int32_t DeviceReadFailed(std::int32_t Code) = 0;                      // 3
  virtual std::int32_t DeviceGetState(TLineSettings& Settings) = 0;                  // 4
  virtual std::int32_t DeviceRead(std::uint8_t* Buf, std::int32_t Size) = 0;         // 5
  virtual std::int32_t DeviceSetState(TLineSettings& Settings) = 0;                  // 6
  virtual std::int32_t DeviceWrite(const std::uint8_t* Buf, std::int32_t Size) = 0;  // 7
  // Thread-driven layers: blocks until a device event (its bits in Mask) or
  // until the event mask is disarmed; false when waiting failed. Overlapped
  // is the com thread's own manual-reset event for a pending wait.
  virtual bool DeviceWaitEvent(std::uint32_t& Mask, TApdEvent* Overlapped) = 0;  // 8
  virtual bool DeviceSetup(std::uint32_t InSize, std::uint32_t OutSize) = 0;     // 9
  // Stops the dispatcher if Started, frees the output ring and the dispatch
  // ring. Safe to call again.
  virtual void ReleaseDispatcher();     // 10
  virtual void BeginDispatching() = 0;  // 11
  virtual void EndDispatching() = 0;    // 12
  virtual std::int32_t DeviceOpen(const std::string& Name, std::uint32_t InSize,
                                  std::uint32_t OutSize) = 0;  // 13
  virtual std::int32_t DeviceClose() = 0;                      // 14
  virtual std::int32_t ServiceDevice() = 0;                    // 15
  virtual void SetWorkerPriority(std::uint8_t Boost);          // 16
  virtual void RecomputeHandlerFlags(THandlerUpdate Update);   // 17

  // --- Device calls of thread-driven layers (not slots; the defaults do
  // nothing). DeviceSetEventMask arms the device's events (0 disarms them
  // and ends a pending DeviceWaitEvent). DeviceTransmit writes a run of the
  // output ring to the device: the count written, 0 while the device takes
  // nothing, negative on failure (the run is dropped). DeviceModemStatus
  // gives the modem lines in the bits msCTS..msDCD.
  virtual void DeviceSetEventMask(std::uint32_t Mask);
  virtual std::int32_t DeviceTransmit(const std::uint8_t* Buf, std::int32_t Size);
  virtual std::uint32_t DeviceModemStatus();

  // --- Life. -------------------------------------------------------------
  // 0 or the negative code of the open; a failed open leaves it closed.
  std::int32_t OpenSocketDevice(std::uint32_t InSize, std::uint32_t OutSize);
  std::int32_t OpenSerialDevice(const std::string& Name, std::int32_t Baud, std::uint8_t Parity,
                                std::uint16_t DataBits, std::uint16_t StopBits,
                                std::uint32_t InSize, std::uint32_t OutSize, std::uint32_t Options);
  // Closes the device; during a handler call the release waits for the end
  // of that call (ClosePending).
  void CloseDispatcher();
  // Creates the hidden window of class "awDispatch" (registered by the
  // device layer) as DispatcherWindow. Main thread.
  void CreateHiddenWindow();
  // One dispatch pass: fill, then run the trigger checks until nothing more
  // fires; releases the dispatcher when a close became pending.
  void DispatchPass();

  // --- Reading and writing. ---------------------------------------------
  bool FillDispatchBuffer();
  // Hands out Len bytes, or -3007 when fewer are available (nothing copied).
  // During an avail or data event the bytes are only counted.
  std::int32_t ReadBlock(std::uint8_t* Buf, std::uint32_t Len);
  std::int32_t InputCount();
  std::int32_t DiscardInput();
  // 0, -3006 (more than the free room), -3010 (RS-485 without a base
  // address) or -3004 (the device took nothing).
  std::int32_t WriteBlock(const std::uint8_t* Buf, std::uint32_t Len);
  std::int32_t OutputCount();
  std::int32_t OutputRoom();
  std::int32_t DiscardOutput();
  // Refreshes DeviceStatus (adding the device's error bits to LineErrors)
  // under the output lock, and returns a copy taken under it.
  TDeviceStatus PollDeviceStatus();
  // The device's error result, its status refreshed under the output lock.
  std::int32_t DeviceError();
  // Clears LineErrors under the output lock.
  void ClearLineErrors();
  std::int32_t TakeLineError();
  bool TakeBreakFlag();

  // --- Triggers. ---------------------------------------------------------
  void SetAvailThreshold(std::int32_t Length);
  std::int32_t NewTriggerHandle();
  std::int32_t NewTimerTrigger();
  std::int32_t ArmTimerTrigger(std::int32_t Handle, std::int32_t Ticks, bool Activate);
  std::int32_t DeleteTrigger(std::int32_t Handle);
  std::int32_t LookupTrigger(std::int32_t Handle, bool Delete, TTriggerRef& Trigger);
  static std::int32_t StatusTriggerKind(std::int32_t Handle) { return Handle & 7; }
  void DeleteAllTriggers();
  void CopyTriggersOut(TTriggerSave& Saved);
  void CopyTriggersIn(TTriggerSave& Saved);
  static void FreeTriggerCopy(TTriggerSave& Saved);
  bool RunTriggerChecks();
  bool CheckTimers();
  bool CheckStatusConditions();
  bool ScanNewData();
  void ClearStatusFired();
  void ClearDataMatches();

  // --- Line settings (serial layers; the socket layer ignores them). Each
  // returns 0 or the negative result of the device. ---------------------
  std::int32_t SetLine(std::int32_t Baud, std::uint8_t Parity, std::uint16_t DataBits,
                       std::uint16_t StopBits);
  std::int32_t SetDtr(bool On);
  std::int32_t SetRts(bool On);
  std::int32_t SetHardwareFlow(std::uint16_t BufferFull, std::uint16_t BufferResume,
                               std::uint32_t Options);
  std::int32_t SetSoftwareFlow(std::uint16_t BufferFull, std::uint16_t BufferResume,
                               std::uint32_t Options);
  std::int32_t SoftwareFlowDisable();
  std::int32_t SetFlowChars(char XOn, char XOff);
  std::int32_t SetRs485Mode(bool On);

  // --- Handlers. ---------------------------------------------------------
  void AddWindowTriggerHandler(platform::HWND Window);
  void RemoveWindowTriggerHandler(platform::HWND Window);
  void AddMethodTriggerHandler(const TTriggerMethod& Method);
  void RemoveMethodTriggerHandler(const TTriggerMethod& Method);
  // Delivers one event to every handler; false when the delivery was cut
  // short by a close or an avail event was not fully consumed.
  bool NotifyTriggerHandlers(std::uint32_t Msg, std::uint32_t wParam, std::uint32_t Value);

  // --- Worker threads. ---------------------------------------------------
  // Runs Method(Msg, wParam, lParam) on the main thread and waits for it.
  void SyncEvent(std::uint32_t Msg, std::uint32_t wParam, std::int32_t lParam,
                 const TTriggerMethod& Method);
  // Runs any call on the main thread and waits for it.
  void SyncCall(const std::function<void()>& Method);

  // --- Trace. ------------------------------------------------------------
  std::int32_t BeginTrace(std::uint32_t Count);
  void RecordTraceByte(char Kind, std::uint8_t Data);
  std::int32_t EmptyTrace();
  void DiscardTrace();
  void ResumeTrace();
  void PauseTrace();
  std::int32_t WriteTraceFile(const std::string& FileName, bool InHex, bool AllHex);
  std::int32_t AppendTraceFile(const std::string& FileName, bool InHex, bool AllHex);

  // --- Dispatch log. -----------------------------------------------------
  void BeginLog(std::uint32_t Size);
  void RecordLogEntry(std::uint8_t Type, std::uint8_t SubType, std::uint32_t Data,
                      const void* Payload = nullptr, std::uint32_t PayloadLength = 0);
  // RecordLogEntry when LogOn is set, under the general lock.
  void LogEvent(std::uint8_t Type, std::uint8_t SubType, std::uint32_t Data,
                const void* Payload = nullptr, std::uint32_t PayloadLength = 0);
  void EmptyLog();
  void DiscardLog();
  void ResumeLog();
  void PauseLog();
  std::int32_t WriteLogFile(const std::string& FileName, bool InHex, bool AllHex);
  std::int32_t AppendLogFile(const std::string& FileName, bool InHex, bool AllHex);

  // --- Internal: operations this system does not offer; tests reach the
  // data and status triggers and the procedure handlers through them. ----
  // A data trigger for Pattern (1 to 22 characters, held in upper case with
  // IgnoreCase): its handle, or -5002 for a longer pattern (-1002 empty).
  std::int32_t InternalAddDataTrigger(std::string_view Pattern, bool IgnoreCase);
  // An armed status trigger of Kind (1 to 5): its handle (the kind in the
  // low three bits), or -1002 for another kind.
  std::int32_t InternalAddStatusTrigger(std::int32_t Kind, std::uint16_t Value);
  void InternalAddProcTriggerHandler(TTriggerProc Proc);
  void InternalRemoveProcTriggerHandler(TTriggerProc Proc);
  void InternalAddSyncMethodTriggerHandler(const TTriggerMethod& Method);

  // --- Fields. -----------------------------------------------------------
  TApdBaseComponent* Port = nullptr;
  std::int32_t Handle = -1;
  std::int32_t DeviceId = -1;
  std::uint32_t LineErrors = 0;
  std::uint32_t InQueueSize = 0;
  std::uint32_t OutQueueSize = 0;
  std::uint32_t ModemBits = 0;
  TDeviceStatus DeviceStatus;
  TLineSettings LineSettings;
  std::uint32_t CurrentBaud = 0;
  bool DtrOn = false, DtrAuto = false, RtsOn = false, RtsAuto = false;
  platform::HWND DispatcherWindow = 0;
  bool Rs485 = false;
  std::uint16_t UartBase = 0;
  bool PortHandlerEnabled = false;
  std::atomic<bool> HandlersPresent{false};
  std::vector<TWindowHandler> WindowHandlers;
  std::vector<TProcHandler> ProcHandlers;
  std::vector<TMethodHandler> MethodHandlers;
  std::vector<std::unique_ptr<TTimerTrigger>> TimerTriggerList;
  std::vector<std::unique_ptr<TDataTrigger>> DataTriggerList;
  std::vector<std::unique_ptr<TStatusTrigger>> StatusTriggerList;
  std::uint32_t DataScanPos = 0;
  std::int32_t AvailThreshold = 0;
  bool StatusFired = false;
  std::atomic<bool> InDataEvent{false};
  std::uint32_t EventReadCount = 0;
  std::uint32_t EventMaxRead = 0;
  std::atomic<bool> BufferFull{false};
  std::int32_t LastAvailPos = -1;

  std::atomic<bool> StopThreads{false};
  std::atomic<TComThread*> ComThread{nullptr};
  std::atomic<TDispThread*> DispThread{nullptr};
  std::atomic<TOutThread*> OutThread{nullptr};
  std::uint8_t ThreadBoost = 0;

  std::recursive_mutex DataLock;
  std::recursive_mutex OutputLock;
  std::recursive_mutex BufferLock;

  // Worker-thread events; none while not created.
  std::unique_ptr<TApdEvent> ComEvent, ReadyEvent, AckEvent, OutputEvent, WriteDoneEvent,
      FlushEvent;
  std::atomic<std::uint32_t> EventMask{0};
  std::atomic<bool> RingSeen{false};

  std::vector<std::uint8_t> OutRing;  // OutQueueSize bytes (thread-driven layers)
  std::uint32_t OutHead = 0;
  std::uint32_t OutTail = 0;
  bool OutRingFull = false;

  std::unique_ptr<std::uint8_t[]> DispBuffer;  // DispatchBufferSize bytes while open
  std::atomic<std::uint32_t> DispHead{0};
  std::uint32_t DispTail = 0;

  std::atomic<bool> InHandlerCall{false};
  bool RemovalPending = false;
  std::atomic<bool> ClosePending{false};
  std::atomic<bool> OutputSent{false};

  bool TraceOn = false;
  std::vector<TTraceEntry> TraceBuffer;
  bool TraceAllocated = false;
  std::int32_t TracePos = 0;
  std::uint32_t TraceMax = 0;
  bool TraceWrapped = false;

  bool LogOn = false;
  std::vector<std::uint8_t> LogBuffer;
  bool LogAllocated = false;
  std::uint32_t LogHead = 0;
  std::uint32_t LogTail = 0;
  std::uint32_t LogFree = 0;
  std::uint32_t LogBufSize = 0;
  std::vector<std::uint8_t> LogScratch;

  std::uint32_t TimeBase = 0;
  std::uint32_t TimerId = 0;
  std::int32_t NextHandleCounter = 1;
  std::atomic<bool> Started{false};
  std::atomic<bool> ReleaseAfterThreads{false};
  std::atomic<std::int32_t> RunningThreads{0};

  // The number of bytes in use in the dispatch ring (buffer lock held).
  std::uint32_t BytesInUse() const;

 protected:
  // The close a destructor of a device layer must run first: releases a
  // dispatcher whose close is pending, else closes it.
  void CloseForDestruction();

  // For thread-driven layers: their BeginDispatching and EndDispatching.
  // StartWorkerThreads raises "Dispatcher already started" when Started.
  void StartWorkerThreads();
  void StopWorkerThreads();
  // One device event, and the timer work, as the dispatch thread does them.
  void DispatchComEvent();
  void DispatchTimers();
  void WriteOutRing();
  void AdvanceOutTail(std::uint32_t N);
  // For a thread-driven layer's DeviceWrite: queues what fits of Buf in the
  // output ring and wakes the output thread; the count queued.
  std::int32_t QueueOutput(const std::uint8_t* Buf, std::int32_t Size);
  // Bytes waiting in the output ring.
  std::uint32_t OutRingCount();
  // The end of a worker thread.
  void ReleaseThread(TApdDispatcherThread* Thread);

 private:
  friend class TApdDispatcherThread;
  friend class TComThread;
  friend class TDispThread;
  friend class TOutThread;

  void FreeDeletedHandlers();
  bool DeliverAvail(std::uint32_t Count, std::uint32_t ScanPos);
  void StatusLoop();
  void WaitForThreadEnd(const std::function<bool()>& ended);
  std::int32_t WriteTrace(const std::string& FileName, bool InHex, bool AllHex, bool Append);
  std::int32_t WriteLog(const std::string& FileName, bool InHex, bool AllHex, bool Append);
  bool TakeLogBytes(void* Dest, std::uint32_t N);
  bool AppendLogPiece(const void* Src, std::uint32_t N);
  void CreateEvents();
  void CloseEvents();
  // A fresh, empty dispatch ring for a device that has just been opened.
  void NewDispatchBuffer();
  std::int32_t ApplySettings(bool WaitForOutput);

  // The worker threads, owned and joined here.
  std::unique_ptr<TComThread> comThreadObject_;
  std::unique_ptr<TDispThread> dispThreadObject_;
  std::unique_ptr<TOutThread> outThreadObject_;
  bool closedForDestruction_ = false;
  // Held by a release, so that a release asked for by the dispatch thread
  // as it ends never runs beside one of the owner.
  std::recursive_mutex releaseLock_;
};

// ---------------------------------------------------------------------------
// The process-wide dispatcher list. A dispatcher's Handle is its index;
// slots of destroyed dispatchers are empty (nullptr) and reused. Take
// ListLock around every use.

std::recursive_mutex& ListLock();
std::vector<TApdBaseDispatcher*>& DispatcherList();

// A test of a dispatcher's class (its class or a descendant).
using TDispatcherClassTest = bool (*)(const TApdBaseDispatcher*);

// The first dispatcher with this device id that passes IsOfClass. The id of
// the last dispatcher found is cached and answered without the class test.
TApdBaseDispatcher* FindDispatcherByDevice(std::int32_t DeviceId, TDispatcherClassTest IsOfClass);

// The same for the class T; a cached dispatcher of another class gives none.
template <class T>
T* FindDispatcherByDevice(std::int32_t DeviceId) {
  return dynamic_cast<T*>(FindDispatcherByDevice(
      DeviceId, [](const TApdBaseDispatcher* d) { return dynamic_cast<const T*>(d) != nullptr; }));
}

// The dispatcher of Handle, or none (caller holds ListLock).
TApdBaseDispatcher* DispatcherByHandle(std::int32_t Handle);

// The text after "Compiler : " and after "Operating System : " in a log dump.
std::string CompilerDescription();
std::string SystemDescription();
