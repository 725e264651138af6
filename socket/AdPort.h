// The com port component: the port every communications client talks to.
//
// TApdCustomComPort holds the port's settings as properties. Opening it
// creates the dispatcher of the chosen device layer (CreateDispatcher, which
// a device layer overrides), opens the device (OpenDevice), re-applies the
// settings to the dispatcher and makes a hidden trigger window of class
// "awComWindow" through which the dispatcher's trigger events reach the
// port; the port turns them into its component events. Closing tears this
// down again; a close asked for while a dispatcher handler is running is
// finished later, through ClosePendingMsg posted to the trigger window, so
// that the dispatcher is never freed under its own handler.
//
// Ownership: the port owns its dispatcher (from the open to the end of the
// close), its trigger window and the triggers it keeps across a close. The
// user registrations are callbacks only; their objects are the caller's.
// A destroyed port leaves its owner before anything of it is taken apart,
// so the owner's other components get the removal notice while it is still
// a port (and may deregister from it).
//
// Thread: the thread that created it (the main thread). Trigger events
// arrive as window messages on that thread. Events fire: OnTrigger before
// each specific trigger event; OnPortOpen at the end of a successful open;
// OnPortClose at the start of a close. An exception raised by an event
// handler reached through the trigger window does not reach the dispatcher;
// it goes to the application's exception display.
//
// Failures: negative result codes of the dispatcher are raised through
// CheckResultCode; a failed open leaves the port closed, without a
// dispatcher, with Open() false.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "dispatch/AwUser.h"
#include "dispatch/OoMisc.h"
#include "platform/Messages.h"

// The state of a trace or dispatch log. The stored state is always tlOff,
// tlOn or tlPause; the other three are requests that end in one of them.
enum TTraceLogState : std::uint8_t { tlOff, tlOn, tlDump, tlAppend, tlClear, tlPause };

// The port's own state (PortState).
enum TPortState : std::uint8_t { psClosed = 0, psClosing = 1, psOpen = 2 };

// Device layers (DeviceLayer).
constexpr std::uint8_t dlSerial = 2;
constexpr std::uint8_t dlWinsock = 3;

// Hardware-flow options (HWFlowOptions), bit values.
constexpr std::uint32_t hwfUseDTR = 0x01;
constexpr std::uint32_t hwfUseRTS = 0x02;
constexpr std::uint32_t hwfRequireDSR = 0x04;
constexpr std::uint32_t hwfRequireCTS = 0x08;

// Software-flow options (SWFlowOptions).
enum TSWFlowOptions : std::uint8_t { swfNone, swfReceive, swfTransmit, swfBoth };

// Posted by a deferred close to the port's own trigger window; lParam is the
// dispatcher's handle shifted left 16 bits.
constexpr std::uint32_t ClosePendingMsg = 0x7E0A;

// The class name of the trigger window.
inline constexpr const char* ComWindowClassName = "awComWindow";

// Limits of the trace (entries) and of the dispatch log (bytes).
constexpr std::uint32_t MaxTraceSize = MaxTraceEntries;
constexpr std::uint32_t MaxLogSize = 16000000;

class TApdCustomComPort;

// A user registration: a code pointer and its object. Two registrations are
// the same callback when their Code is the same; MakePortCallback gives each
// member function its own Code.
struct TPortCallback {
  using TCode = void (*)(void* Data, TApdCustomComPort* Port, bool Opening);
  TCode Code = nullptr;
  void* Data = nullptr;

  explicit operator bool() const { return Code != nullptr; }
  void operator()(TApdCustomComPort* port, bool opening) const { Code(Data, port, opening); }
};

template <auto Method, class T>
TPortCallback MakePortCallback(T* object) {
  return TPortCallback{[](void* data, TApdCustomComPort* port, bool opening) {
                         (static_cast<T*>(data)->*Method)(port, opening);
                       },
                       object};
}

class TApdCustomComPort : public TApdBaseComponent {
  TKV_CLASS(TApdCustomComPort, TApdBaseComponent)
 public:
  using TTriggerEvent = std::function<void(TObject* CP, std::uint32_t Msg,
                                           std::uint16_t TriggerHandle, std::uint16_t Data)>;
  using TTriggerAvailEvent = std::function<void(TObject* CP, std::uint16_t Count)>;
  using TTriggerHandleEvent = std::function<void(TObject* CP, std::uint16_t TriggerHandle)>;
  using TTriggerLineErrorEvent =
      std::function<void(TObject* CP, std::uint16_t Error, bool LineBreak)>;

  explicit TApdCustomComPort(TComponent* owner);
  ~TApdCustomComPort() override;

  // --- Open and close. --------------------------------------------------
  bool Open() const { return open_; }
  // False closes; true opens when closed, or once a pending close has
  // completed. While the component is being loaded only the value is kept;
  // AfterLoad opens it.
  void SetOpen(bool value);
  TPortState PortState() const { return portState_; }

  // The dispatcher, or none. With AutoOpen, reading it while the port is
  // closed (and not being loaded) opens the port first.
  TApdBaseDispatcher* Dispatcher();
  // Dispatcher(), or -2007 raised when there is none.
  TApdBaseDispatcher* ValidDispatcher();
  platform::HWND TriggerWindow() const { return triggerWindow_; }

  // --- Output. Nothing is sent while the port is closing. ---------------
  void PutString(const std::string& S);
  void PutBlock(const void* Buf, std::uint32_t Len);

  // --- User registrations (called at open, last made first, and at close).
  int RegisterUserCallback(const TPortCallback& Callback);
  // Removes every registration with the callback's code.
  void DeregisterUserCallback(const TPortCallback& Callback);

  // --- Trace and dispatch log. All do nothing while the port is closing.
  void InitTracing(std::uint32_t Entries);
  void DumpTrace(const std::string& Name, bool Hex);
  void AppendTrace(const std::string& Name, bool Hex);
  void ClearTracing();
  void AbortTracing();
  void StartTracing();
  void StopTracing();
  void InitLogging(std::uint32_t Size);
  void DumpLog(const std::string& Name, bool Hex);
  void AppendLog(const std::string& Name, bool Hex);
  void ClearLogging();
  void AbortLogging();
  void StartLogging();
  void StopLogging();

  // Copies the settings, registrations, five trigger events and the open
  // and close events of another port (and its triggers when it is open);
  // this port ends closed.
  void Assign(const TApdCustomComPort& source);
  void AfterLoad() override;

  // Unless closing: the dispatcher's ServiceDevice through CheckResultCode.
  virtual void ServicePort();

  // --- Properties. ------------------------------------------------------
  std::uint8_t DeviceLayer() const { return deviceLayer_; }
  void SetDeviceLayer(std::uint8_t value) { deviceLayer_ = value; }
  std::uint16_t ComNumber() const { return comNumber_; }
  void SetComNumber(std::uint16_t value);
  std::int32_t Baud() const { return baud_; }
  void SetBaud(std::int32_t value);
  std::uint8_t Parity() const { return parity_; }
  void SetParity(std::uint8_t value);
  std::uint16_t DataBits() const { return dataBits_; }
  void SetDataBits(std::uint16_t value);
  std::uint16_t StopBits() const { return stopBits_; }
  void SetStopBits(std::uint16_t value);
  std::uint16_t InSize() const { return inSize_; }
  void SetInSize(std::uint16_t value) { inSize_ = value; }
  std::uint16_t OutSize() const { return outSize_; }
  void SetOutSize(std::uint16_t value) { outSize_ = value; }
  bool PromptForPort() const { return promptForPort_; }
  void SetPromptForPort(bool value) { promptForPort_ = value; }
  bool AutoOpen() const { return autoOpen_; }
  void SetAutoOpen(bool value) { autoOpen_ = value; }
  std::uint8_t TapiMode() const { return tapiMode_; }
  void SetTapiMode(std::uint8_t value) { tapiMode_ = value; }
  bool RS485Mode() const { return rs485Mode_; }
  void SetRS485Mode(bool value);
  std::uint8_t ThreadBoost() const { return threadBoost_; }
  void SetThreadBoost(std::uint8_t value);
  bool DTR() const { return dtr_; }
  void SetDTR(bool value);
  bool RTS() const { return rts_; }
  void SetRTS(bool value);
  std::uint16_t BufferFull() const { return bufferFull_; }
  void SetBufferFull(std::uint16_t value) { bufferFull_ = value; }
  std::uint16_t BufferResume() const { return bufferResume_; }
  void SetBufferResume(std::uint16_t value) { bufferResume_ = value; }
  std::uint32_t HWFlowOptions() const { return hwFlowOptions_; }
  void SetHWFlowOptions(std::uint32_t value);
  TSWFlowOptions SWFlowOptions() const { return swFlowOptions_; }
  void SetSWFlowOptions(TSWFlowOptions value);
  char XOnChar() const { return xOnChar_; }
  void SetXOnChar(char value);
  char XOffChar() const { return xOffChar_; }
  void SetXOffChar(char value);
  std::uint16_t TriggerLength() const { return triggerLength_; }
  void SetTriggerLength(std::uint16_t value);

  TTraceLogState Tracing() const { return tracing_; }
  void SetTracing(TTraceLogState value);
  std::uint32_t TraceSize() const { return traceSize_; }
  void SetTraceSize(std::uint32_t value);
  const std::string& TraceName() const { return traceName_; }
  void SetTraceName(const std::string& value);
  bool TraceHex() const { return traceHex_; }
  void SetTraceHex(bool value) { traceHex_ = value; }
  bool TraceAllHex() const { return traceAllHex_; }
  void SetTraceAllHex(bool value) { traceAllHex_ = value; }
  TTraceLogState Logging() const { return logging_; }
  void SetLogging(TTraceLogState value);
  std::uint32_t LogSize() const { return logSize_; }
  void SetLogSize(std::uint32_t value);
  const std::string& LogName() const { return logName_; }
  void SetLogName(const std::string& value);
  bool LogHex() const { return logHex_; }
  void SetLogHex(bool value) { logHex_ = value; }
  bool LogAllHex() const { return logAllHex_; }
  void SetLogAllHex(bool value) { logAllHex_ = value; }

  // --- Events. The five trigger events are set through their setters, so
  // that the dispatcher delivers to the trigger window only while one of the
  // trigger events is assigned. ------------------------------------------
  const TTriggerEvent& OnTrigger() const { return onTrigger_; }
  void SetOnTrigger(TTriggerEvent value);
  const TTriggerAvailEvent& OnTriggerAvail() const { return onTriggerAvail_; }
  void SetOnTriggerAvail(TTriggerAvailEvent value);
  const TTriggerHandleEvent& OnTriggerData() const { return onTriggerData_; }
  void SetOnTriggerData(TTriggerHandleEvent value);
  const TTriggerHandleEvent& OnTriggerStatus() const { return onTriggerStatus_; }
  void SetOnTriggerStatus(TTriggerHandleEvent value);
  const TTriggerHandleEvent& OnTriggerTimer() const { return onTriggerTimer_; }
  void SetOnTriggerTimer(TTriggerHandleEvent value);

  TTriggerLineErrorEvent OnTriggerLineError;
  TNotifyEvent OnTriggerModemStatus;
  TNotifyEvent OnTriggerOutbuffFree;
  TNotifyEvent OnTriggerOutbuffUsed;
  TNotifyEvent OnTriggerOutSent;
  TNotifyEvent OnPortOpen;
  TNotifyEvent OnPortClose;

 protected:
  // Closes the port, then leaves the owner while the port is still whole,
  // so that the owner's components are told of its removal in time.
  void BeforeDestruction() override;

  // The dispatcher of DeviceLayer, owned by the port. The base knows no
  // device layer and raises -3001.
  virtual std::unique_ptr<TApdBaseDispatcher> CreateDispatcher();
  virtual void DeviceLayerChanged() {}
  // Opens the device through the dispatcher: 0 or a negative code. The base
  // opens the serial device "\\.\COM<n>".
  virtual std::int32_t OpenDevice();
  virtual void SetupTriggerWindow(bool Opening);
  // A port number of 0 raises -2011 (there is no port selection dialog).
  virtual void ValidateComNumber();
  virtual void ApplyDeviceOption(bool /*Flag*/) {}
  virtual void DoTrigger(std::uint32_t Msg, std::uint16_t TriggerHandle, std::uint16_t Data);
  virtual void DoTriggerAvail(std::uint16_t Count);
  virtual void DoTriggerData(std::uint16_t TriggerHandle);
  virtual void DoTriggerStatus(std::uint16_t TriggerHandle);
  virtual void DoTriggerTimer(std::uint16_t TriggerHandle);
  virtual void UpdatePortHandler();
  virtual void DoTriggerLineError(std::uint16_t Error, bool LineBreak);
  virtual void DoTriggerModemStatus();
  virtual void DoTriggerOutbuffFree();
  virtual void DoTriggerOutbuffUsed();
  virtual void DoTriggerOutSent();
  virtual void ClosePort();
  virtual void NotifyPortOpen();
  virtual void NotifyPortClose();
  virtual void OpenPort();

  // For device layers whose OpenDevice sets the state itself.
  void SetPortState(TPortState value) { portState_ = value; }

 private:
  // The trigger window's procedure, for one message already mapped to this
  // port.
  void HandleTriggerMessage(std::uint32_t msg, std::uint32_t wParam, std::int32_t lParam);
  // The last steps of a close: window, dispatcher, state; then a pending
  // reopen.
  void FinishClose();
  // Passes a result of the dispatcher through CheckResultCode.
  std::int32_t Check(std::int32_t code) const;
  // Whether a forwarded setting reaches the dispatcher now.
  bool Forwarding() const { return portState_ == psOpen && dispatcher_ != nullptr; }
  // Takes the port out of its owner, whose components get the removal
  // notice now.
  void LeaveOwner();
  static platform::LRESULT TriggerWindowProc(platform::HWND hwnd, platform::UINT msg,
                                             platform::WPARAM wParam, platform::LPARAM lParam);
  void PublishProperties();
  struct TraceLogControl;
  static const TraceLogControl TraceControl;
  static const TraceLogControl LogControl;
  // The setters of the state and of the size, for the trace or the log.
  void ApplyState(const TraceLogControl& control, TTraceLogState value);
  void ApplySize(const TraceLogControl& control, std::uint32_t value);

  bool force_ = false;
  TPortState portState_ = psClosed;
  bool reopenPending_ = false;
  bool openAfterLoad_ = false;
  std::vector<TPortCallback> userRegistrations_;
  bool triggersSaved_ = false;
  TTriggerSave savedTriggers_;
  platform::HWND triggerWindow_ = 0;
  std::uint8_t deviceLayer_ = dlSerial;
  std::unique_ptr<TApdBaseDispatcher> dispatcher_;
  std::uint16_t comNumber_ = 0;
  std::int32_t baud_ = 19200;
  std::uint8_t parity_ = 0;
  std::uint16_t dataBits_ = 8;
  std::uint16_t stopBits_ = 1;
  std::uint16_t inSize_ = 4096;
  std::uint16_t outSize_ = 4096;
  bool open_ = false;
  bool promptForPort_ = true;
  bool autoOpen_ = true;
  std::uint8_t tapiMode_ = 1;
  bool rs485Mode_ = false;
  std::uint8_t threadBoost_ = 0;
  bool dtr_ = true;
  bool rts_ = true;
  std::uint16_t bufferFull_ = 0;
  std::uint16_t bufferResume_ = 0;
  std::uint32_t hwFlowOptions_ = 0;
  TSWFlowOptions swFlowOptions_ = swfNone;
  char xOnChar_ = 17;
  char xOffChar_ = 19;
  TTraceLogState tracing_ = tlOff;
  std::uint32_t traceSize_ = 10000;
  std::string traceName_ = "VORN.TRC";
  bool traceHex_ = true;
  bool traceAllHex_ = false;
  TTraceLogState logging_ = tlOff;
  std::uint32_t logSize_ = 10000;
  std::string logName_ = "VORN.LOG";
  bool logHex_ = true;
  bool logAllHex_ = false;
  std::uint16_t triggerLength_ = 1;
  TTriggerEvent onTrigger_;
  TTriggerAvailEvent onTriggerAvail_;
  TTriggerHandleEvent onTriggerData_;
  TTriggerHandleEvent onTriggerStatus_;
  TTriggerHandleEvent onTriggerTimer_;
};
