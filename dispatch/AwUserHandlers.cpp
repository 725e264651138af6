// The dispatcher list, the life of a dispatcher, its handlers and the
// delivery of trigger events.
#include <algorithm>
#include <type_traits>

#include "dispatch/AwUser.h"
#include "dispatch/AwUserInternal.h"

using Lock = std::lock_guard<std::recursive_mutex>;

// ---------------------------------------------------------------------------
// The process-wide list

namespace {

struct LookupCache {
  std::int32_t DeviceId = -1;
  TApdBaseDispatcher* Dispatcher = nullptr;
};

// The list, its lock and the cache live as long as the process, so that a
// dispatcher destroyed late at exit still finds them.
LookupCache& Cache() {
  static auto* cache = new LookupCache;
  return *cache;
}

void ForgetCached(TApdBaseDispatcher* d) {
  if (Cache().Dispatcher == d) Cache() = LookupCache{};
}

}  // namespace

std::recursive_mutex& ListLock() {
  static auto* lock = new std::recursive_mutex;
  return *lock;
}

std::vector<TApdBaseDispatcher*>& DispatcherList() {
  static auto* list = new std::vector<TApdBaseDispatcher*>;
  return *list;
}

TApdBaseDispatcher* FindDispatcherByDevice(std::int32_t DeviceId, TDispatcherClassTest IsOfClass) {
  Lock list(ListLock());
  LookupCache& cache = Cache();
  if (DeviceId == cache.DeviceId && cache.Dispatcher) return cache.Dispatcher;
  for (TApdBaseDispatcher* d : DispatcherList()) {
    if (d && d->DeviceId == DeviceId && (!IsOfClass || IsOfClass(d))) {
      cache = LookupCache{DeviceId, d};
      return d;
    }
  }
  return nullptr;
}

TApdBaseDispatcher* DispatcherByHandle(std::int32_t Handle) {
  Lock list(ListLock());
  const auto& l = DispatcherList();
  if (Handle < 0 || static_cast<std::size_t>(Handle) >= l.size()) return nullptr;
  return l[static_cast<std::size_t>(Handle)];
}

// ---------------------------------------------------------------------------
// Life

TApdBaseDispatcher::TApdBaseDispatcher(TApdBaseComponent* Owner) : Port(Owner) {
  Lock list(ListLock());
  auto& l = DispatcherList();
  auto slot = std::find(l.begin(), l.end(), nullptr);
  if (slot == l.end()) slot = l.insert(l.end(), nullptr);
  *slot = this;
  Handle = static_cast<std::int32_t>(slot - l.begin());
}

TApdBaseDispatcher::~TApdBaseDispatcher() {
  // The device layer has closed the device (CloseForDestruction). What can
  // still run here are worker threads that ended on their own; they are
  // joined before the dispatcher goes.
  for (TApdDispatcherThread* t : {static_cast<TApdDispatcherThread*>(comThreadObject_.get()),
                                  static_cast<TApdDispatcherThread*>(dispThreadObject_.get()),
                                  static_cast<TApdDispatcherThread*>(outThreadObject_.get())})
    if (t) t->Join();
  Lock list(ListLock());
  auto& l = DispatcherList();
  if (Handle >= 0 && static_cast<std::size_t>(Handle) < l.size() &&
      l[static_cast<std::size_t>(Handle)] == this)
    l[static_cast<std::size_t>(Handle)] = nullptr;
  while (!l.empty() && l.back() == nullptr)
    l.pop_back();
  ForgetCached(this);
}

void TApdBaseDispatcher::CloseForDestruction() {
  if (closedForDestruction_) return;
  closedForDestruction_ = true;
  if (!ClosePending) CloseDispatcher();
  // Nothing runs after the destructor, so a release that a running handler
  // call would have done later happens now.
  ReleaseDispatcher();
}

void TApdBaseDispatcher::NewDispatchBuffer() {
  Lock buffer(BufferLock);
  DispBuffer = std::make_unique<std::uint8_t[]>(DispatchBufferSize);
  DispHead = 0;
  DispTail = 0;
  BufferFull = false;
  DataScanPos = 0;
  LastAvailPos = -1;
}

std::int32_t TApdBaseDispatcher::OpenSocketDevice(std::uint32_t InSize, std::uint32_t OutSize) {
  DeviceId = DeviceOpen(std::string(), InSize, OutSize);
  if (DeviceId < 0) {
    const std::int32_t code = DeviceId;
    CloseDispatcher();
    return code;
  }
  if (!DeviceSetup(0, 0)) {
    const std::int32_t error = DeviceError();
    CloseDispatcher();
    // A failed set-up never reads as success, whatever the device reports.
    if (error > 0) return -error;
    return error < 0 ? error : ecCommNotOpen;
  }
  NewDispatchBuffer();
  InQueueSize = InSize;
  OutQueueSize = OutSize;
  ModemBits = 0;
  PollDeviceStatus();
  TimeBase = MsClock();
  BeginDispatching();
  return 0;
}

std::int32_t TApdBaseDispatcher::OpenSerialDevice(const std::string& Name, std::int32_t Baud,
                                                  std::uint8_t Parity, std::uint16_t DataBits,
                                                  std::uint16_t StopBits, std::uint32_t InSize,
                                                  std::uint32_t OutSize, std::uint32_t Options) {
  InHandlerCall = false;
  RemovalPending = false;
  ClosePending = false;
  InDataEvent = false;
  EventReadCount = 0;
  EventMaxRead = 0;
  CreateEvents();
  DeviceId = DeviceOpen(Name, InSize, OutSize);
  if (DeviceId < 0) {
    // The device's own code (-8 when it ran out of memory) is the result.
    const std::int32_t code = DeviceId;
    CloseDispatcher();
    CloseEvents();
    return code;
  }
  auto fail = [this](std::int32_t code) {
    CloseDispatcher();
    CloseEvents();
    return code;
  };
  if (!DeviceSetup(InSize, OutSize)) {
    const std::int32_t error = DeviceError();
    if (error > 0) return fail(-error);
    return fail(error < 0 ? error : ecMemory);
  }
  NewDispatchBuffer();
  {
    Lock output(OutputLock);
    OutRing.assign(OutSize, 0);
    OutHead = 0;
    OutTail = 0;
    OutRingFull = false;
  }
  InQueueSize = InSize;
  OutQueueSize = OutSize;
  ClearLineErrors();
  OutputSent = false;
  Rs485 = false;
  UartBase = 0;
  if (std::int32_t r = DeviceGetState(LineSettings); r < 0) return fail(r);
  DtrAuto = (Options & doDtrAuto) != 0;
  DtrOn = !DtrAuto && (Options & doDtrOn) != 0;
  RtsAuto = (Options & doRtsAuto) != 0;
  RtsOn = !RtsAuto && (Options & doRtsOn) != 0;
  DeleteAllTriggers();
  ModemBits = DeviceModemStatus() & 0xF0;
  CurrentBaud = 115200;
  if (std::int32_t r = SetLine(Baud, Parity, DataBits, StopBits); r < 0) return fail(r);
  DiscardTrace();
  DiscardLog();
  TimeBase = MsClock();
  BeginDispatching();
  return 0;
}

void TApdBaseDispatcher::CloseDispatcher() {
  if (DeviceId >= 0) {
    DiscardOutput();
    DiscardInput();
    DeviceClose();
    DeviceId = -1;
  }
  {
    // A closed device's id may be reused at once by a new device; the cache
    // must not route it here.
    Lock list(ListLock());
    ForgetCached(this);
  }
  if (InHandlerCall)
    ClosePending = true;
  else
    ReleaseDispatcher();
}

void TApdBaseDispatcher::ReleaseDispatcher() {
  std::lock_guard<std::recursive_mutex> release(releaseLock_);
  if (Started) EndDispatching();
  {
    Lock output(OutputLock);
    OutRing.clear();
    OutRing.shrink_to_fit();
    OutHead = 0;
    OutTail = 0;
    OutRingFull = false;
  }
  Lock buffer(BufferLock);
  DispBuffer.reset();
  DispHead = 0;
  DispTail = 0;
  BufferFull = false;
}

void TApdBaseDispatcher::CreateHiddenWindow() {
  DispatcherWindow = platform::CreateWindow("awDispatch");
}

void TApdBaseDispatcher::DispatchPass() {
  if (ClosePending) {
    ReleaseDispatcher();
    return;
  }
  FillDispatchBuffer();
  if (!InHandlerCall) {
    {
      Lock data(DataLock);
      StatusFired = false;
    }
    while (!ClosePending && RunTriggerChecks()) {
    }
    bool fired;
    {
      Lock data(DataLock);
      fired = StatusFired;
    }
    if (fired) ClearStatusFired();
  }
  if (ClosePending) ReleaseDispatcher();
}

// ---------------------------------------------------------------------------
// Handlers

namespace {

// Removes the first live record that matches: at once, or, during a handler
// call, by marking it for the end of that call.
template <class List, class Match>
void RemoveHandler(TApdBaseDispatcher& d, List& list, Match match, std::uint8_t subType,
                   std::uint32_t data) {
  std::lock_guard<std::recursive_mutex> lock(d.DataLock);
  auto it =
      std::find_if(list.begin(), list.end(), [&](const auto& h) { return !h.Deleted && match(h); });
  if (it == list.end()) {
    d.RecomputeHandlerFlags(huKeepPort);
    return;
  }
  d.LogEvent(dtTriggerHandlerDispose, subType, data);
  if (d.InHandlerCall) {
    it->Deleted = true;
    d.RemovalPending = true;
  } else {
    list.erase(it);
  }
}

template <class List, class Record>
void AddHandler(TApdBaseDispatcher& d, List& list, Record record, std::uint8_t subType,
                std::uint32_t data) {
  std::lock_guard<std::recursive_mutex> lock(d.DataLock);
  list.push_back(record);
  d.HandlersPresent = true;
  d.LogEvent(dtTriggerHandlerAlloc, subType, data);
}

}  // namespace

void TApdBaseDispatcher::AddWindowTriggerHandler(platform::HWND Window) {
  AddHandler(*this, WindowHandlers, TWindowHandler{Window, false}, dstWndHandler, Window);
}

void TApdBaseDispatcher::RemoveWindowTriggerHandler(platform::HWND Window) {
  RemoveHandler(
      *this, WindowHandlers, [&](const TWindowHandler& h) { return h.Window == Window; },
      dstWndHandler, Window);
}

void TApdBaseDispatcher::AddMethodTriggerHandler(const TTriggerMethod& Method) {
  AddHandler(*this, MethodHandlers, TMethodHandler{Method, false, false}, dstMethodHandler, 0);
}

void TApdBaseDispatcher::InternalAddSyncMethodTriggerHandler(const TTriggerMethod& Method) {
  AddHandler(*this, MethodHandlers, TMethodHandler{Method, false, true}, dstMethodHandler, 0);
}

void TApdBaseDispatcher::RemoveMethodTriggerHandler(const TTriggerMethod& Method) {
  // Found by the code address alone; the object is not compared.
  RemoveHandler(
      *this, MethodHandlers, [&](const TMethodHandler& h) { return h.Method.Code == Method.Code; },
      dstMethodHandler, 0);
}

void TApdBaseDispatcher::InternalAddProcTriggerHandler(TTriggerProc Proc) {
  AddHandler(*this, ProcHandlers, TProcHandler{Proc, false}, dstProcHandler, 0);
}

void TApdBaseDispatcher::InternalRemoveProcTriggerHandler(TTriggerProc Proc) {
  RemoveHandler(
      *this, ProcHandlers, [&](const TProcHandler& h) { return h.Proc == Proc; }, dstProcHandler,
      0);
}

void TApdBaseDispatcher::RecomputeHandlerFlags(THandlerUpdate Update) {
  Lock data(DataLock);
  const bool any = WindowHandlers.size() > 1 || !ProcHandlers.empty() || !MethodHandlers.empty();
  switch (Update) {
    case huKeepPort:
      HandlersPresent = any || PortHandlerEnabled;
      break;
    case huEnablePort:
      PortHandlerEnabled = true;
      HandlersPresent = true;
      break;
    case huDisablePort:
      PortHandlerEnabled = false;
      HandlersPresent = any;
      break;
  }
}

void TApdBaseDispatcher::FreeDeletedHandlers() {
  auto sweep = [](auto& list) {
    for (auto i = list.size(); i-- > 0;)
      if (list[i].Deleted) list.erase(list.begin() + static_cast<std::ptrdiff_t>(i));
  };
  sweep(WindowHandlers);
  sweep(ProcHandlers);
  sweep(MethodHandlers);
}

bool TApdBaseDispatcher::NotifyTriggerHandlers(std::uint32_t Msg, std::uint32_t wParam,
                                               std::uint32_t Value) {
  if (!HandlersPresent) return true;
  bool result = true;
  {
    Lock data(DataLock);
    InHandlerCall = true;
  }
  const bool dataEvent = Msg == TriggerAvailMsg || Msg == TriggerDataMsg;
  {
    Lock buffer(BufferLock);
    EventMaxRead = 0;
    InDataEvent = dataEvent;
  }
  const auto lParam = static_cast<std::int32_t>((static_cast<std::uint32_t>(Handle) << 16) + Value);
  bool closed = false;

  // Each handler starts reading at the tail; the event consumes what the
  // most eager handler took.
  auto startHandler = [this] {
    Lock buffer(BufferLock);
    EventReadCount = 0;
  };
  auto endHandler = [this, &closed] {
    if (ClosePending) {
      closed = true;
      return false;
    }
    Lock buffer(BufferLock);
    EventMaxRead = std::max(EventMaxRead, EventReadCount);
    return true;
  };
  // Restores the call state, also when a handler raised.
  auto finish = [this, &closed](bool raised) {
    if (raised || closed) {
      Lock buffer(BufferLock);
      if (InDataEvent && raised && DispBuffer) {
        // The bytes handed out before the exception are consumed, and the
        // reads after it are plain reads again.
        EventMaxRead = std::max(EventMaxRead, EventReadCount);
        DispTail = DispNext(DispTail, std::min(EventMaxRead, BytesInUse()));
        if (EventMaxRead > 0) BufferFull = false;
      }
      InDataEvent = false;
      EventReadCount = 0;
    }
    Lock data(DataLock);
    InHandlerCall = false;
    if (RemovalPending) {
      FreeDeletedHandlers();
      RemovalPending = false;
      RecomputeHandlerFlags(huKeepPort);
    }
  };

  // Calls each live record of a list in order; the list may grow meanwhile.
  auto deliverTo = [&](auto& list, auto call) {
    for (std::size_t i = 0; !closed; ++i) {
      typename std::decay_t<decltype(list)>::value_type h;
      {
        Lock data(DataLock);
        if (i >= list.size()) return;
        h = list[i];
      }
      startHandler();
      if (!h.Deleted) call(h);
      if (!endHandler()) return;
    }
  };

  try {
    deliverTo(MethodHandlers, [&](const TMethodHandler& h) {
      if (h.Synchronized)
        SyncEvent(Msg, wParam, lParam, h.Method);
      else
        h.Method(Msg, wParam, lParam);
    });
    deliverTo(ProcHandlers, [&](const TProcHandler& h) {
      if (h.Proc) h.Proc(Msg, wParam, lParam);
    });
    bool toWindows;
    {
      Lock data(DataLock);
      toWindows = WindowHandlers.size() > 1 || PortHandlerEnabled;
    }
    if (toWindows) {
      deliverTo(WindowHandlers, [&](const TWindowHandler& h) {
        // A window that does not answer in time is skipped.
        platform::LRESULT reply = 0;
        platform::SendMessageTimeout(h.Window, Msg, wParam, lParam, HandlerWindowTimeoutMs, &reply);
      });
    }
    if (closed) {
      result = false;
    } else if (dataEvent) {
      Lock buffer(BufferLock);
      InDataEvent = false;
      if (DispBuffer) DispTail = DispNext(DispTail, std::min(EventMaxRead, BytesInUse()));
      if (EventMaxRead > 0) BufferFull = false;
      if (Msg == TriggerAvailMsg && EventMaxRead != wParam) result = false;
    }
  } catch (...) {
    finish(true);
    throw;
  }
  finish(false);
  {
    Lock buffer(BufferLock);
    EventReadCount = 0;
  }
  return result;
}
