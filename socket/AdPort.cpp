#include "socket/AdPort.h"

#include <algorithm>
#include <cstdio>
#include <mutex>

#include "dispatch/AdExcept.h"
#include "socket/AdSocket.h"

namespace {

// Whether the state means a trace (or log) is held by the dispatcher.
bool Active(TTraceLogState state) {
  return state == tlOn || state == tlPause;
}

// The names the stored form uses for the two trace states.
const std::vector<std::string>& TraceLogStateNames() {
  static const std::vector<std::string> names{"tlOff",    "tlOn",    "tlDump",
                                              "tlAppend", "tlClear", "tlPause"};
  return names;
}

std::string ShortString(const std::string& value) {
  return value.substr(0, 255);
}

}  // namespace

TApdCustomComPort::TApdCustomComPort(TComponent* owner) : TApdBaseComponent(owner) {
  PublishProperties();
}

TApdCustomComPort::~TApdCustomComPort() {
  // A plain delete: the owner's components hear of the removal while this
  // is still a port (the component model would tell them only once it is
  // none any more).
  LeaveOwner();
  // BeforeDestruction closed the port when the component was freed through
  // Free; a plain delete closes it here, with this class's operations.
  if (dispatcher_ != nullptr) {
    try {
      if (portState_ == psOpen) ClosePort();
    } catch (...) {
      ShowHandlerException(this);
    }
    if (dispatcher_ != nullptr) FinishClose();
  }
  userRegistrations_.clear();
  TApdBaseDispatcher::FreeTriggerCopy(savedTriggers_);
}

void TApdCustomComPort::BeforeDestruction() {
  // The whole object is still alive here, so a descendant's close
  // notifications run.
  reopenPending_ = false;
  if (portState_ == psOpen) {
    try {
      ClosePort();
    } catch (...) {
      ShowHandlerException(this);
    }
  }
  LeaveOwner();
}

void TApdCustomComPort::LeaveOwner() {
  // Components that keep a port (packets and their managers) detach on the
  // removal notice and deregister from it, which needs the port whole.
  if (Owner() != nullptr) Owner()->RemoveComponent(this);
}

std::int32_t TApdCustomComPort::Check(std::int32_t code) const {
  return CheckResultCode(this, code);
}

// ---------------------------------------------------------------------------
// Open and close

void TApdCustomComPort::SetOpen(bool value) {
  if (value == open_) return;
  if (IsLoading()) {
    open_ = value;
    if (value) openAfterLoad_ = true;
    return;
  }
  if (!value) {
    ClosePort();
  } else if (portState_ == psClosed) {
    OpenPort();
  } else {
    reopenPending_ = true;
  }
}

TApdBaseDispatcher* TApdCustomComPort::Dispatcher() {
  if (dispatcher_ == nullptr && !IsLoading() && !open_ && autoOpen_ && portState_ == psClosed)
    SetOpen(true);
  return dispatcher_.get();
}

TApdBaseDispatcher* TApdCustomComPort::ValidDispatcher() {
  TApdBaseDispatcher* d = Dispatcher();
  if (d == nullptr) CheckResultCode(false, ecCommNotOpen);
  return d;
}

std::unique_ptr<TApdBaseDispatcher> TApdCustomComPort::CreateDispatcher() {
  // No serial device layer is built in; every layer this class does not
  // know is "No device layer specified".
  CheckResultCode(false, ecNullApi);
  return nullptr;
}

void TApdCustomComPort::ValidateComNumber() {
  if (comNumber_ == 0) CheckResultCode(false, ecNoPortSelected);
}

std::int32_t TApdCustomComPort::OpenDevice() {
  std::uint32_t options = 0;
  if (dtr_) options |= doDtrOn;
  if (rts_) options |= doRtsOn;
  if (hwFlowOptions_ & hwfUseDTR) options |= doDtrAuto;
  if (hwFlowOptions_ & hwfUseRTS) options |= doRtsAuto;
  const std::string name =
      tapiMode_ == 2 ? std::string() : "\\\\.\\COM" + std::to_string(comNumber_);
  return dispatcher_->OpenSerialDevice(name, baud_, parity_, dataBits_, stopBits_, inSize_,
                                       outSize_, options);
}

void TApdCustomComPort::OpenPort() {
  if (tapiMode_ != 2) ValidateComNumber();
  dispatcher_ = CreateDispatcher();
  if (dispatcher_ == nullptr) CheckResultCode(false, ecNullApi);
  try {
    if (deviceLayer_ == dlSerial && tapiMode_ == 2 && dispatcher_->DeviceId < 0)
      CheckResultCode(false, ecNotOpenedByTapi);
    std::int32_t code = OpenDevice();
    if (code == -5) code = ecAlreadyOpen;
    if (code == -2 || code == -3) code = ecBadId;
    // An open failure always raises, also from AfterLoad, where the form is
    // still loading: the port must not go on without its device.
    if (code < 0) CheckResultCode(false, code);

    portState_ = psOpen;
    UpdatePortHandler();
    force_ = true;
    SetTracing(tracing_);
    SetLogging(logging_);
    SetHWFlowOptions(hwFlowOptions_);
    SetSWFlowOptions(swFlowOptions_);
    SetXOnChar(xOnChar_);
    SetXOffChar(xOffChar_);
    SetTriggerLength(triggerLength_);
    SetDTR(dtr_);
    if (deviceLayer_ != 1) SetRTS(rts_);
    ApplyDeviceOption(true);
    SetRS485Mode(rs485Mode_);
    SetThreadBoost(threadBoost_);
    force_ = false;
    open_ = true;

    SetupTriggerWindow(true);
    if (triggersSaved_) {
      triggersSaved_ = false;
      dispatcher_->CopyTriggersIn(savedTriggers_);
    }
    NotifyPortOpen();
  } catch (...) {
    force_ = false;
    open_ = false;
    portState_ = psClosed;
    if (triggerWindow_ != 0) {
      platform::DestroyWindow(triggerWindow_);
      triggerWindow_ = 0;
    }
    dispatcher_.reset();
    throw;
  }
}

void TApdCustomComPort::ClosePort() {
  open_ = false;
  if (portState_ != psOpen) return;
  // An active trace or log is written to its file.
  SetTracing(tlDump);
  SetLogging(tlDump);
  portState_ = psClosing;
  NotifyPortClose();
  TApdBaseDispatcher::FreeTriggerCopy(savedTriggers_);
  dispatcher_->CopyTriggersOut(savedTriggers_);
  triggersSaved_ = true;
  dispatcher_->CloseDispatcher();
  if (dispatcher_->InHandlerCall) {
    platform::PostMessage(triggerWindow_, ClosePendingMsg, 0,
                          static_cast<platform::LPARAM>(dispatcher_->Handle << 16));
    PumpOneMessage();
    return;
  }
  FinishClose();
}

void TApdCustomComPort::FinishClose() {
  if (dispatcher_ != nullptr) SetupTriggerWindow(false);
  dispatcher_.reset();
  portState_ = psClosed;
}

void TApdCustomComPort::SetupTriggerWindow(bool Opening) {
  if (Opening) {
    // Registering again fails harmlessly once the class exists.
    platform::RegisterClass(ComWindowClassName, &TApdCustomComPort::TriggerWindowProc);
    triggerWindow_ = platform::CreateWindow(ComWindowClassName);
    dispatcher_->AddWindowTriggerHandler(triggerWindow_);
  } else {
    if (dispatcher_ != nullptr) dispatcher_->RemoveWindowTriggerHandler(triggerWindow_);
    if (triggerWindow_ != 0) platform::DestroyWindow(triggerWindow_);
    triggerWindow_ = 0;
  }
}

void TApdCustomComPort::NotifyPortOpen() {
  // A callback may deregister itself; the copy keeps the walk valid.
  const std::vector<TPortCallback> callbacks = userRegistrations_;
  for (auto it = callbacks.rbegin(); it != callbacks.rend(); ++it)
    (*it)(this, true);
  if (OnPortOpen) OnPortOpen(this);
}

void TApdCustomComPort::NotifyPortClose() {
  const std::vector<TPortCallback> callbacks = userRegistrations_;
  for (auto it = callbacks.rbegin(); it != callbacks.rend(); ++it)
    (*it)(this, false);
  if (OnPortClose) OnPortClose(this);
}

void TApdCustomComPort::ServicePort() {
  if (portState_ == psClosing) return;
  Check(ValidDispatcher()->ServiceDevice());
}

void TApdCustomComPort::AfterLoad() {
  TApdBaseComponent::AfterLoad();
  if (openAfterLoad_) open_ = true;
  if (!open_) return;
  openAfterLoad_ = false;
  try {
    OpenPort();
  } catch (...) {
    open_ = false;
    ShowHandlerException(this);
  }
}

// ---------------------------------------------------------------------------
// The trigger window

platform::LRESULT TApdCustomComPort::TriggerWindowProc(platform::HWND, platform::UINT msg,
                                                       platform::WPARAM wParam,
                                                       platform::LPARAM lParam) {
  if ((msg < TriggerAvailMsg || msg > TriggerStatusMsg) && msg != ClosePendingMsg) return 0;
  TApdCustomComPort* port = nullptr;
  {
    std::lock_guard<std::recursive_mutex> lock(ListLock());
    const auto handle = static_cast<std::int32_t>(static_cast<std::uint32_t>(lParam) >> 16);
    TApdBaseDispatcher* d = DispatcherByHandle(handle);
    if (d != nullptr) port = dynamic_cast<TApdCustomComPort*>(d->Port);
    // A message of a dispatcher that is not (or no longer) this port's own
    // is not acted on.
    if (port != nullptr && port->dispatcher_.get() != d) port = nullptr;
  }
  if (port == nullptr) return 0;
  try {
    port->HandleTriggerMessage(msg, wParam, lParam);
  } catch (...) {
    ShowHandlerException(port);
  }
  return 0;
}

void TApdCustomComPort::HandleTriggerMessage(std::uint32_t msg, std::uint32_t wParam,
                                             std::int32_t lParam) {
  const auto handle = static_cast<std::uint16_t>(wParam);
  if (msg == ClosePendingMsg) {
    // A dispatcher still inside its handler call is not freed either, even
    // when its layer has already stopped dispatching.
    if (dispatcher_->Started || dispatcher_->InHandlerCall) {
      platform::PostMessage(triggerWindow_, ClosePendingMsg, wParam, lParam);
      return;
    }
    FinishClose();
    if (reopenPending_) {
      reopenPending_ = false;
      OpenPort();
    }
    return;
  }
  const auto data = static_cast<std::uint16_t>(
      msg == TriggerAvailMsg ? wParam : static_cast<std::uint32_t>(lParam));
  DoTrigger(msg, handle, data);
  switch (msg) {
    case TriggerAvailMsg:
      DoTriggerAvail(handle);
      break;
    case TriggerDataMsg:
      DoTriggerData(handle);
      break;
    case TriggerTimerMsg:
      DoTriggerTimer(handle);
      break;
    case TriggerStatusMsg:
      DoTriggerStatus(handle);
      if (dispatcher_ == nullptr) break;
      switch (TApdBaseDispatcher::StatusTriggerKind(handle)) {
        case stModem:
          DoTriggerModemStatus();
          break;
        case stLine: {
          const auto error = static_cast<std::uint16_t>(Check(dispatcher_->TakeLineError()));
          DoTriggerLineError(error, dispatcher_->TakeBreakFlag());
          break;
        }
        case stOutBuffFree:
          DoTriggerOutbuffFree();
          break;
        case stOutBuffUsed:
          DoTriggerOutbuffUsed();
          break;
        case stOutSent:
          DoTriggerOutSent();
          break;
        default:
          break;
      }
      break;
    default:
      break;
  }
}

void TApdCustomComPort::UpdatePortHandler() {
  if (portState_ != psOpen || dispatcher_ == nullptr) return;
  const bool any = onTrigger_ || onTriggerAvail_ || onTriggerData_ || onTriggerStatus_ ||
                   onTriggerTimer_ || OnTriggerLineError || OnTriggerModemStatus ||
                   OnTriggerOutbuffFree || OnTriggerOutbuffUsed || OnTriggerOutSent;
  dispatcher_->RecomputeHandlerFlags(any ? huEnablePort : huDisablePort);
}

void TApdCustomComPort::DoTrigger(std::uint32_t Msg, std::uint16_t TriggerHandle,
                                  std::uint16_t Data) {
  if (onTrigger_) onTrigger_(this, Msg, TriggerHandle, Data);
}
void TApdCustomComPort::DoTriggerAvail(std::uint16_t Count) {
  if (onTriggerAvail_) onTriggerAvail_(this, Count);
}
void TApdCustomComPort::DoTriggerData(std::uint16_t TriggerHandle) {
  if (onTriggerData_) onTriggerData_(this, TriggerHandle);
}
void TApdCustomComPort::DoTriggerStatus(std::uint16_t TriggerHandle) {
  if (onTriggerStatus_) onTriggerStatus_(this, TriggerHandle);
}
void TApdCustomComPort::DoTriggerTimer(std::uint16_t TriggerHandle) {
  if (onTriggerTimer_) onTriggerTimer_(this, TriggerHandle);
}
void TApdCustomComPort::DoTriggerLineError(std::uint16_t Error, bool LineBreak) {
  if (OnTriggerLineError) OnTriggerLineError(this, Error, LineBreak);
}
void TApdCustomComPort::DoTriggerModemStatus() {
  if (OnTriggerModemStatus) OnTriggerModemStatus(this);
}
void TApdCustomComPort::DoTriggerOutbuffFree() {
  if (OnTriggerOutbuffFree) OnTriggerOutbuffFree(this);
}
void TApdCustomComPort::DoTriggerOutbuffUsed() {
  if (OnTriggerOutbuffUsed) OnTriggerOutbuffUsed(this);
}
void TApdCustomComPort::DoTriggerOutSent() {
  if (OnTriggerOutSent) OnTriggerOutSent(this);
}

void TApdCustomComPort::SetOnTrigger(TTriggerEvent value) {
  onTrigger_ = std::move(value);
  UpdatePortHandler();
}
void TApdCustomComPort::SetOnTriggerAvail(TTriggerAvailEvent value) {
  onTriggerAvail_ = std::move(value);
  UpdatePortHandler();
}
void TApdCustomComPort::SetOnTriggerData(TTriggerHandleEvent value) {
  onTriggerData_ = std::move(value);
  UpdatePortHandler();
}
void TApdCustomComPort::SetOnTriggerStatus(TTriggerHandleEvent value) {
  onTriggerStatus_ = std::move(value);
  UpdatePortHandler();
}
void TApdCustomComPort::SetOnTriggerTimer(TTriggerHandleEvent value) {
  onTriggerTimer_ = std::move(value);
  UpdatePortHandler();
}

// ---------------------------------------------------------------------------
// Output and registrations

void TApdCustomComPort::PutString(const std::string& S) {
  PutBlock(S.data(), static_cast<std::uint32_t>(S.size()));
}

void TApdCustomComPort::PutBlock(const void* Buf, std::uint32_t Len) {
  if (portState_ == psClosing) return;
  Check(ValidDispatcher()->WriteBlock(static_cast<const std::uint8_t*>(Buf), Len));
}

int TApdCustomComPort::RegisterUserCallback(const TPortCallback& Callback) {
  userRegistrations_.push_back(Callback);
  return static_cast<int>(userRegistrations_.size()) - 1;
}

void TApdCustomComPort::DeregisterUserCallback(const TPortCallback& Callback) {
  std::erase_if(userRegistrations_,
                [&](const TPortCallback& r) { return r.Code == Callback.Code; });
}

// ---------------------------------------------------------------------------
// Trace and dispatch log

void TApdCustomComPort::InitTracing(std::uint32_t Entries) {
  if (portState_ == psClosing) return;
  if (Entries != 0) traceSize_ = std::min(Entries, MaxTraceSize);
  Check(ValidDispatcher()->BeginTrace(traceSize_));
  tracing_ = tlOn;
}
void TApdCustomComPort::DumpTrace(const std::string& Name, bool Hex) {
  if (portState_ == psClosing) return;
  Check(ValidDispatcher()->WriteTraceFile(Name, Hex, traceAllHex_));
  tracing_ = tlOff;
}
void TApdCustomComPort::AppendTrace(const std::string& Name, bool Hex) {
  if (portState_ == psClosing) return;
  Check(ValidDispatcher()->AppendTraceFile(Name, Hex, traceAllHex_));
  tracing_ = tlOff;
}
void TApdCustomComPort::ClearTracing() {
  if (portState_ == psClosing) return;
  Check(ValidDispatcher()->EmptyTrace());
}
void TApdCustomComPort::AbortTracing() {
  if (portState_ == psClosing) return;
  ValidDispatcher()->DiscardTrace();
  tracing_ = tlOff;
}
void TApdCustomComPort::StartTracing() {
  if (portState_ == psClosing) return;
  ValidDispatcher()->ResumeTrace();
  tracing_ = tlOn;
}
void TApdCustomComPort::StopTracing() {
  if (portState_ == psClosing) return;
  ValidDispatcher()->PauseTrace();
  tracing_ = tlPause;
}

void TApdCustomComPort::InitLogging(std::uint32_t Size) {
  if (portState_ == psClosing) return;
  if (Size != 0) logSize_ = std::min(Size, MaxLogSize);
  ValidDispatcher()->BeginLog(logSize_);
  logging_ = tlOn;
}
void TApdCustomComPort::DumpLog(const std::string& Name, bool Hex) {
  if (portState_ == psClosing) return;
  Check(ValidDispatcher()->WriteLogFile(Name, Hex, logAllHex_));
  logging_ = tlOff;
}
void TApdCustomComPort::AppendLog(const std::string& Name, bool Hex) {
  if (portState_ == psClosing) return;
  Check(ValidDispatcher()->AppendLogFile(Name, Hex, logAllHex_));
  logging_ = tlOff;
}
void TApdCustomComPort::ClearLogging() {
  if (portState_ == psClosing) return;
  ValidDispatcher()->EmptyLog();
}
void TApdCustomComPort::AbortLogging() {
  if (portState_ == psClosing) return;
  ValidDispatcher()->DiscardLog();
  logging_ = tlOff;
}
void TApdCustomComPort::StartLogging() {
  if (portState_ == psClosing) return;
  ValidDispatcher()->ResumeLog();
  logging_ = tlOn;
}
void TApdCustomComPort::StopLogging() {
  if (portState_ == psClosing) return;
  ValidDispatcher()->PauseLog();
  logging_ = tlPause;
}

// The trace and the dispatch log are controlled the same way; each names
// its own state, size, file settings and operations here.
struct TApdCustomComPort::TraceLogControl {
  TTraceLogState TApdCustomComPort::*State;
  std::uint32_t TApdCustomComPort::*Size;
  std::uint32_t Limit;
  std::string TApdCustomComPort::*Name;
  bool TApdCustomComPort::*Hex;
  void (TApdCustomComPort::*Init)(std::uint32_t);
  void (TApdCustomComPort::*Dump)(const std::string&, bool);
  void (TApdCustomComPort::*Append)(const std::string&, bool);
  void (TApdCustomComPort::*Clear)();
  void (TApdCustomComPort::*Abort)();
  void (TApdCustomComPort::*Start)();
  void (TApdCustomComPort::*Stop)();
};

const TApdCustomComPort::TraceLogControl TApdCustomComPort::TraceControl{
    &TApdCustomComPort::tracing_,
    &TApdCustomComPort::traceSize_,
    MaxTraceSize,
    &TApdCustomComPort::traceName_,
    &TApdCustomComPort::traceHex_,
    &TApdCustomComPort::InitTracing,
    &TApdCustomComPort::DumpTrace,
    &TApdCustomComPort::AppendTrace,
    &TApdCustomComPort::ClearTracing,
    &TApdCustomComPort::AbortTracing,
    &TApdCustomComPort::StartTracing,
    &TApdCustomComPort::StopTracing};

const TApdCustomComPort::TraceLogControl TApdCustomComPort::LogControl{
    &TApdCustomComPort::logging_,
    &TApdCustomComPort::logSize_,
    MaxLogSize,
    &TApdCustomComPort::logName_,
    &TApdCustomComPort::logHex_,
    &TApdCustomComPort::InitLogging,
    &TApdCustomComPort::DumpLog,
    &TApdCustomComPort::AppendLog,
    &TApdCustomComPort::ClearLogging,
    &TApdCustomComPort::AbortLogging,
    &TApdCustomComPort::StartLogging,
    &TApdCustomComPort::StopLogging};

void TApdCustomComPort::ApplyState(const TraceLogControl& c, TTraceLogState value) {
  TTraceLogState& state = this->*c.State;
  if (value == state && !force_) return;
  if (portState_ != psOpen) {
    state = (value == tlOn) ? tlOn : tlOff;
    return;
  }
  const bool active = Active(state);
  switch (value) {
    case tlOff:
      if (active) (this->*c.Abort)();
      break;
    case tlOn:
      if (state == tlPause)
        (this->*c.Start)();
      else
        (this->*c.Init)(this->*c.Size);
      break;
    case tlDump:
    case tlAppend:
      if (active) {
        (this->*c.Start)();
        (this->*(value == tlDump ? c.Dump : c.Append))(this->*c.Name, this->*c.Hex);
      }
      break;
    case tlClear:
      if (active) (this->*c.Clear)();
      break;
    case tlPause:
      if (state == tlOn) (this->*c.Stop)();
      break;
  }
}

void TApdCustomComPort::ApplySize(const TraceLogControl& c, std::uint32_t value) {
  value = std::min(value, c.Limit);
  if (value == this->*c.Size) return;
  this->*c.Size = value;
  const TTraceLogState former = this->*c.State;
  if (portState_ == psOpen && Active(former)) {
    (this->*c.Abort)();
    ApplyState(c, former);
  }
}

void TApdCustomComPort::SetTracing(TTraceLogState value) {
  ApplyState(TraceControl, value);
}
void TApdCustomComPort::SetLogging(TTraceLogState value) {
  ApplyState(LogControl, value);
}
void TApdCustomComPort::SetTraceSize(std::uint32_t value) {
  ApplySize(TraceControl, value);
}
void TApdCustomComPort::SetLogSize(std::uint32_t value) {
  ApplySize(LogControl, value);
}

void TApdCustomComPort::SetTraceName(const std::string& value) {
  traceName_ = ShortString(value);
}
void TApdCustomComPort::SetLogName(const std::string& value) {
  logName_ = ShortString(value);
}

// ---------------------------------------------------------------------------
// Serial and flow-control settings

void TApdCustomComPort::SetComNumber(std::uint16_t value) {
  if (value == comNumber_) return;
  if (portState_ != psOpen) {
    comNumber_ = value;
    return;
  }
  // The port is reopened on the new number; the close keeps the triggers
  // and the open restores them.
  const TTraceLogState tracing = tracing_;
  const TTraceLogState logging = logging_;
  SetOpen(false);
  comNumber_ = value;
  SetTracing(tracing);
  SetLogging(logging);
  SetOpen(true);
}

void TApdCustomComPort::SetBaud(std::int32_t value) {
  if (value == baud_ && !force_) return;
  if (Forwarding()) Check(dispatcher_->SetLine(value, parity_, dataBits_, stopBits_));
  baud_ = value;
}
void TApdCustomComPort::SetParity(std::uint8_t value) {
  if (value == parity_ && !force_) return;
  if (Forwarding()) Check(dispatcher_->SetLine(baud_, value, dataBits_, stopBits_));
  parity_ = value;
}
void TApdCustomComPort::SetDataBits(std::uint16_t value) {
  if (value == dataBits_ && !force_) return;
  if (Forwarding()) Check(dispatcher_->SetLine(baud_, parity_, value, stopBits_));
  dataBits_ = value;
}
void TApdCustomComPort::SetStopBits(std::uint16_t value) {
  if (value == stopBits_ && !force_) return;
  if (Forwarding()) Check(dispatcher_->SetLine(baud_, parity_, dataBits_, value));
  stopBits_ = value;
}

void TApdCustomComPort::SetHWFlowOptions(std::uint32_t value) {
  value &= hwfUseDTR | hwfUseRTS | hwfRequireDSR | hwfRequireCTS;
  if (value == hwFlowOptions_ && !force_) return;
  if (value != 0) {
    if (bufferFull_ == 0 || bufferFull_ > inSize_)
      bufferFull_ = static_cast<std::uint16_t>(inSize_ * 9 / 10);
    if (bufferResume_ == 0 || bufferResume_ > bufferFull_)
      bufferResume_ = static_cast<std::uint16_t>(inSize_ / 10);
  }
  if (Forwarding()) Check(dispatcher_->SetHardwareFlow(bufferFull_, bufferResume_, value));
  hwFlowOptions_ = value;
  if (value & (hwfUseRTS | hwfRequireCTS)) SetRS485Mode(false);
}

void TApdCustomComPort::SetSWFlowOptions(TSWFlowOptions value) {
  if (value == swFlowOptions_ && !force_) return;
  static constexpr std::uint32_t kDispatcherOption[4] = {0, sfReceiveFlow, sfTransmitFlow,
                                                         sfReceiveFlow | sfTransmitFlow};
  const std::uint32_t option = kDispatcherOption[value & 3];
  if (option != 0) {
    if (bufferFull_ == 0 || bufferFull_ > inSize_)
      bufferFull_ = static_cast<std::uint16_t>(inSize_ * 3 / 4);
    if (bufferResume_ == 0 || bufferResume_ > bufferFull_)
      bufferResume_ = static_cast<std::uint16_t>(inSize_ / 4);
  }
  if (Forwarding()) {
    if (option != 0)
      Check(dispatcher_->SetSoftwareFlow(bufferFull_, bufferResume_, option));
    else
      Check(dispatcher_->SoftwareFlowDisable());
  }
  swFlowOptions_ = static_cast<TSWFlowOptions>(value & 3);
}

void TApdCustomComPort::SetXOnChar(char value) {
  if (value == xOnChar_ && !force_) return;
  xOnChar_ = value;
  if (Forwarding()) Check(dispatcher_->SetFlowChars(xOnChar_, xOffChar_));
}

void TApdCustomComPort::SetXOffChar(char value) {
  if (value == xOffChar_ && !force_) return;
  xOffChar_ = value;
  if (Forwarding()) Check(dispatcher_->SetFlowChars(xOnChar_, xOffChar_));
}

void TApdCustomComPort::SetDTR(bool value) {
  if (value == dtr_ && !force_) return;
  if (!Forwarding() || Check(dispatcher_->SetDtr(value)) == 0) dtr_ = value;
}

void TApdCustomComPort::SetRTS(bool value) {
  if (value == rts_ && !force_) return;
  if (!Forwarding() || Check(dispatcher_->SetRts(value)) == 0) rts_ = value;
}

void TApdCustomComPort::SetTriggerLength(std::uint16_t value) {
  if (value == triggerLength_ && !force_) return;
  triggerLength_ = value;
  if (Forwarding()) dispatcher_->SetAvailThreshold(value);
}

void TApdCustomComPort::SetRS485Mode(bool value) {
  if (value == rs485Mode_ && !force_) return;
  rs485Mode_ = value;
  if (Forwarding()) Check(dispatcher_->SetRs485Mode(value));
  if (value) {
    SetHWFlowOptions(hwFlowOptions_ & ~(hwfUseRTS | hwfRequireCTS));
    SetRTS(false);
  }
}

void TApdCustomComPort::SetThreadBoost(std::uint8_t value) {
  if (value == threadBoost_ && !force_) return;
  threadBoost_ = value;
  if (Forwarding()) dispatcher_->SetWorkerPriority(value);
}

// ---------------------------------------------------------------------------
// Assign

void TApdCustomComPort::Assign(const TApdCustomComPort& source) {
  if (&source == this) return;
  userRegistrations_ = source.userRegistrations_;
  if (source.portState_ == psOpen && source.dispatcher_ != nullptr) {
    TApdBaseDispatcher::FreeTriggerCopy(savedTriggers_);
    source.dispatcher_->CopyTriggersOut(savedTriggers_);
    triggersSaved_ = true;
  }
  force_ = source.force_;
  deviceLayer_ = source.deviceLayer_;
  comNumber_ = source.comNumber_;
  baud_ = source.baud_;
  parity_ = source.parity_;
  dataBits_ = source.dataBits_;
  stopBits_ = source.stopBits_;
  inSize_ = source.inSize_;
  outSize_ = source.outSize_;
  autoOpen_ = source.autoOpen_;
  promptForPort_ = source.promptForPort_;
  rs485Mode_ = source.rs485Mode_;
  threadBoost_ = source.threadBoost_;
  dtr_ = source.dtr_;
  rts_ = source.rts_;
  bufferFull_ = source.bufferFull_;
  bufferResume_ = source.bufferResume_;
  hwFlowOptions_ = source.hwFlowOptions_;
  swFlowOptions_ = source.swFlowOptions_;
  xOnChar_ = source.xOnChar_;
  xOffChar_ = source.xOffChar_;
  // The trace and log states are settings here: an active one of the
  // source starts at this port's next open.
  tracing_ = Active(source.tracing_) ? tlOn : tlOff;
  traceSize_ = source.traceSize_;
  traceName_ = source.traceName_;
  traceHex_ = source.traceHex_;
  traceAllHex_ = source.traceAllHex_;
  logging_ = Active(source.logging_) ? tlOn : tlOff;
  logSize_ = source.logSize_;
  logName_ = source.logName_;
  logHex_ = source.logHex_;
  logAllHex_ = source.logAllHex_;
  triggerLength_ = source.triggerLength_;
  SetOnTrigger(source.onTrigger_);
  SetOnTriggerAvail(source.onTriggerAvail_);
  SetOnTriggerData(source.onTriggerData_);
  SetOnTriggerStatus(source.onTriggerStatus_);
  SetOnTriggerTimer(source.onTriggerTimer_);
  OnPortOpen = source.OnPortOpen;
  OnPortClose = source.OnPortClose;
  tapiMode_ = source.tapiMode_;
  SetOpen(false);
}

// ---------------------------------------------------------------------------
// Published properties

void TApdCustomComPort::PublishProperties() {
  PublishInteger(
      "DeviceLayer", [this] { return deviceLayer_; },
      [this](int v) { SetDeviceLayer(static_cast<std::uint8_t>(v)); },
      {{"dlSerial", dlSerial}, {"dlWinsock", dlWinsock}});
  PublishInteger(
      "ComNumber", [this] { return comNumber_; },
      [this](int v) { SetComNumber(static_cast<std::uint16_t>(v)); });
  PublishInteger(
      "Baud", [this] { return baud_; }, [this](int v) { SetBaud(v); });
  PublishInteger(
      "Parity", [this] { return parity_; },
      [this](int v) { SetParity(static_cast<std::uint8_t>(v)); });
  PublishInteger(
      "DataBits", [this] { return dataBits_; },
      [this](int v) { SetDataBits(static_cast<std::uint16_t>(v)); });
  PublishInteger(
      "StopBits", [this] { return stopBits_; },
      [this](int v) { SetStopBits(static_cast<std::uint16_t>(v)); });
  PublishInteger(
      "InSize", [this] { return inSize_; },
      [this](int v) { SetInSize(static_cast<std::uint16_t>(v)); });
  PublishInteger(
      "OutSize", [this] { return outSize_; },
      [this](int v) { SetOutSize(static_cast<std::uint16_t>(v)); });
  PublishBoolean(
      "Open", [this] { return open_; }, [this](bool v) { SetOpen(v); });
  PublishBoolean(
      "PromptForPort", [this] { return promptForPort_; }, [this](bool v) { promptForPort_ = v; });
  PublishBoolean(
      "AutoOpen", [this] { return autoOpen_; }, [this](bool v) { autoOpen_ = v; });
  PublishInteger(
      "TapiMode", [this] { return tapiMode_; },
      [this](int v) { tapiMode_ = static_cast<std::uint8_t>(v); });
  PublishBoolean(
      "RS485Mode", [this] { return rs485Mode_; }, [this](bool v) { SetRS485Mode(v); });
  PublishInteger(
      "ThreadBoost", [this] { return threadBoost_; },
      [this](int v) { SetThreadBoost(static_cast<std::uint8_t>(v)); });
  PublishBoolean(
      "DTR", [this] { return dtr_; }, [this](bool v) { SetDTR(v); });
  PublishBoolean(
      "RTS", [this] { return rts_; }, [this](bool v) { SetRTS(v); });
  PublishInteger(
      "BufferFull", [this] { return bufferFull_; },
      [this](int v) { bufferFull_ = static_cast<std::uint16_t>(v); });
  PublishInteger(
      "BufferResume", [this] { return bufferResume_; },
      [this](int v) { bufferResume_ = static_cast<std::uint16_t>(v); });
  PublishSet(
      "HWFlowOptions", {"hwfUseDTR", "hwfUseRTS", "hwfRequireDSR", "hwfRequireCTS"},
      [this] { return hwFlowOptions_; }, [this](unsigned v) { SetHWFlowOptions(v); });
  PublishEnumeration(
      "SWFlowOptions", {"swfNone", "swfReceive", "swfTransmit", "swfBoth"},
      [this] { return static_cast<int>(swFlowOptions_); },
      [this](int v) { SetSWFlowOptions(static_cast<TSWFlowOptions>(v)); });
  PublishInteger(
      "XOnChar", [this] { return static_cast<std::uint8_t>(xOnChar_); },
      [this](int v) { SetXOnChar(static_cast<char>(v)); });
  PublishInteger(
      "XOffChar", [this] { return static_cast<std::uint8_t>(xOffChar_); },
      [this](int v) { SetXOffChar(static_cast<char>(v)); });
  PublishEnumeration(
      "Tracing", TraceLogStateNames(), [this] { return static_cast<int>(tracing_); },
      [this](int v) { SetTracing(static_cast<TTraceLogState>(v)); });
  PublishInteger(
      "TraceSize", [this] { return static_cast<int>(traceSize_); },
      [this](int v) { SetTraceSize(static_cast<std::uint32_t>(std::max(v, 0))); });
  PublishString(
      "TraceName", [this] { return traceName_; },
      [this](const std::string& v) { SetTraceName(v); });
  PublishBoolean(
      "TraceHex", [this] { return traceHex_; }, [this](bool v) { traceHex_ = v; });
  PublishBoolean(
      "TraceAllHex", [this] { return traceAllHex_; }, [this](bool v) { traceAllHex_ = v; });
  PublishEnumeration(
      "Logging", TraceLogStateNames(), [this] { return static_cast<int>(logging_); },
      [this](int v) { SetLogging(static_cast<TTraceLogState>(v)); });
  PublishInteger(
      "LogSize", [this] { return static_cast<int>(logSize_); },
      [this](int v) { SetLogSize(static_cast<std::uint32_t>(std::max(v, 0))); });
  PublishString(
      "LogName", [this] { return logName_; }, [this](const std::string& v) { SetLogName(v); });
  PublishBoolean(
      "LogHex", [this] { return logHex_; }, [this](bool v) { logHex_ = v; });
  PublishBoolean(
      "LogAllHex", [this] { return logAllHex_; }, [this](bool v) { logAllHex_ = v; });
  PublishInteger(
      "TriggerLength", [this] { return triggerLength_; },
      [this](int v) { SetTriggerLength(static_cast<std::uint16_t>(v)); });
  PublishEvent("OnTrigger", onTrigger_);
  PublishEvent("OnTriggerAvail", onTriggerAvail_);
  PublishEvent("OnTriggerData", onTriggerData_);
  PublishEvent("OnTriggerStatus", onTriggerStatus_);
  PublishEvent("OnTriggerTimer", onTriggerTimer_);
  PublishEvent("OnTriggerLineError", OnTriggerLineError);
  PublishEvent("OnTriggerModemStatus", OnTriggerModemStatus);
  PublishEvent("OnTriggerOutbuffFree", OnTriggerOutbuffFree);
  PublishEvent("OnTriggerOutbuffUsed", OnTriggerOutbuffUsed);
  PublishEvent("OnTriggerOutSent", OnTriggerOutSent);
  PublishEvent("OnPortOpen", OnPortOpen);
  PublishEvent("OnPortClose", OnPortClose);
}
