// Time, the worker threads of thread-driven device layers and their events.
#include <algorithm>
#include <chrono>
#include <cstdio>

#include "dispatch/AwUser.h"
#include "dispatch/AwUserInternal.h"
#include "platform/Clock.h"

using Lock = std::lock_guard<std::recursive_mutex>;

// ---------------------------------------------------------------------------
// Time

namespace {

// Counter ticks per millisecond, computed once: frequency div 1000, rounded
// up when the remainder exceeds 500; 0 (use the millisecond timer) when the
// frequency is 0 or does not fit in 32 bits.
std::uint32_t CounterPerMs() {
  static const std::uint32_t perMs = [] {
    const std::int64_t frequency = platform::QueryPerformanceFrequency();
    if (frequency <= 0 || frequency > 0xFFFFFFFFll) return 0u;
    return static_cast<std::uint32_t>(frequency / 1000 + (frequency % 1000 > 500 ? 1 : 0));
  }();
  return perMs;
}

// The counter at start-up, so that the 32-bit milliseconds start near 0 and
// wrap only after 49.7 days of running.
struct ClockOrigin {
  std::int64_t counter = platform::QueryPerformanceCounter();
  std::uint32_t ms = platform::timeGetTime();
};
const ClockOrigin& Origin() {
  static const ClockOrigin origin;
  return origin;
}
const bool originTaken = (Origin(), true);

std::atomic<std::uint32_t (*)()> clockSource{nullptr};

}  // namespace

std::uint32_t MsClock() {
  if (auto source = clockSource.load()) return source();
  if (const std::uint32_t perMs = CounterPerMs(); perMs != 0) {
    const std::int64_t elapsed = platform::QueryPerformanceCounter() - Origin().counter;
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(elapsed / perMs));
  }
  return platform::timeGetTime() - Origin().ms;
}

void SetMsClockSourceForTesting(std::uint32_t (*source)()) {
  (void)originTaken;
  clockSource = source;
}

std::int32_t CurrentTick() {
  return static_cast<std::int32_t>(MsClock() / MsPerTick);
}

void StartEventTimer(TEventTimer& Timer, std::int32_t Ticks) {
  Ticks = std::min(Ticks, MaxTicks);
  Timer.StartTicks = CurrentTick();
  Timer.ExpireTicks = Timer.StartTicks + Ticks;
}

bool EventTimerExpired(const TEventTimer& Timer) {
  const std::int32_t now = CurrentTick();
  if (now > Timer.ExpireTicks) return true;
  if (now >= Timer.StartTicks) return false;
  // The millisecond count has wrapped since the timer started.
  return now + MaxTicks > Timer.ExpireTicks;
}

std::int32_t PumpOneMessage() {
  platform::MSG msg;
  if (!platform::PeekMessage(msg, true)) return 0;
  if (msg.message == platform::WM_QUIT) {
    // Posted again, so that the main loop still ends.
    platform::PostQuitMessage(static_cast<int>(msg.wParam));
  } else {
    platform::DispatchMessage(msg);
  }
  return static_cast<std::int32_t>(((msg.hwnd & 0xFFFFu) << 16) | (msg.message & 0xFFFFu));
}

std::int32_t WaitTicks(std::int32_t Ticks, bool Pump) {
  if (Ticks <= 0) return 0;
  TEventTimer timer;
  StartEventTimer(timer, std::min(Ticks, MaxTicks));
  std::int32_t last = 0;
  while (!EventTimerExpired(timer)) {
    if (Pump) {
      last = PumpOneMessage();
      if ((last & 0xFFFF) == static_cast<std::int32_t>(platform::WM_QUIT)) break;
      // Nothing pending: sleep until something arrives or the next tick is
      // near, instead of spinning.
      if (last == 0) platform::WaitForWork(static_cast<int>(MsPerTick) / 5);
    } else {
      platform::Sleep(1);
    }
  }
  return last;
}

// ---------------------------------------------------------------------------
// Events

namespace {

// One lock and condition for all events: a waiter for two events needs one
// condition that both of them signal, and the worker threads are few.
std::mutex& EventMutex() {
  static auto* m = new std::mutex;
  return *m;
}
std::condition_variable& EventCondition() {
  static auto* c = new std::condition_variable;
  return *c;
}

template <class Pred>
bool WaitFor(std::unique_lock<std::mutex>& lock, int timeoutMs, Pred pred) {
  if (timeoutMs < 0) {
    EventCondition().wait(lock, pred);
    return true;
  }
  return EventCondition().wait_for(lock, std::chrono::milliseconds(timeoutMs), pred);
}

}  // namespace

void TApdEvent::Set() {
  std::lock_guard<std::mutex> lock(EventMutex());
  signalled_ = true;
  EventCondition().notify_all();
}

void TApdEvent::Reset() {
  std::lock_guard<std::mutex> lock(EventMutex());
  signalled_ = false;
}

bool TApdEvent::TakeLocked() {
  if (!signalled_) return false;
  if (!manualReset_) signalled_ = false;
  return true;
}

bool TApdEvent::Wait(int timeoutMs) {
  std::unique_lock<std::mutex> lock(EventMutex());
  if (!WaitFor(lock, timeoutMs, [this] { return signalled_; })) return false;
  return TakeLocked();
}

int TApdEvent::WaitAny(TApdEvent& a, TApdEvent& b, int timeoutMs) {
  std::unique_lock<std::mutex> lock(EventMutex());
  if (!WaitFor(lock, timeoutMs, [&] { return a.signalled_ || b.signalled_; })) return -1;
  if (a.TakeLocked()) return 0;
  return b.TakeLocked() ? 1 : -1;
}

void TApdBaseDispatcher::CreateEvents() {
  if (!ComEvent) ComEvent = std::make_unique<TApdEvent>(false);
  if (!ReadyEvent) ReadyEvent = std::make_unique<TApdEvent>(false);
  if (!AckEvent) AckEvent = std::make_unique<TApdEvent>(false);
  if (!OutputEvent) OutputEvent = std::make_unique<TApdEvent>(false);
  if (!WriteDoneEvent) WriteDoneEvent = std::make_unique<TApdEvent>(true);
  if (!FlushEvent) FlushEvent = std::make_unique<TApdEvent>(false);
}

void TApdBaseDispatcher::CloseEvents() {
  ComEvent.reset();
  ReadyEvent.reset();
  AckEvent.reset();
  OutputEvent.reset();
  WriteDoneEvent.reset();
  FlushEvent.reset();
}

// ---------------------------------------------------------------------------
// Threads

TApdDispatcherThread::~TApdDispatcherThread() {
  Join();
}

void TApdDispatcherThread::Start() {
  thread_ = std::thread([this] { Run(); });
}

void TApdDispatcherThread::Join() {
  if (!thread_.joinable()) return;
  if (thread_.get_id() == std::this_thread::get_id())
    thread_.detach();  // a thread cannot wait for itself; it is ending
  else
    thread_.join();
}

void TApdDispatcherThread::Run() {
  id_ = std::this_thread::get_id();
  ++H->RunningThreads;
  H->AckEvent->Set();
  try {
    Execute();
  } catch (const std::exception& e) {
    // Shown to the user, and the thread ends.
    std::fprintf(stderr, "Dispatcher thread: %s\n", e.what());
  } catch (...) {
    std::fprintf(stderr, "Dispatcher thread: unknown exception\n");
  }
  H->ReleaseThread(this);
}

void TComThread::Execute() {
  TApdBaseDispatcher& d = *H;
  TApdEvent pending(true);
  d.DeviceSetEventMask(evRxChar | evCts | evDsr | evRlsd | evBreak | evErr | evRing);
  for (;;) {
    std::uint32_t mask = 0;
    if (!d.DeviceWaitEvent(mask, &pending)) {
      d.AckEvent->Set();
      return;
    }
    d.EventMask = mask;
    if (mask & evRing) d.RingSeen = true;
    if (d.StopThreads) {
      d.AckEvent->Set();
      return;
    }
    d.ComEvent->Set();
    d.ReadyEvent->Wait(-1);
  }
}

void TDispThread::Execute() {
  TApdBaseDispatcher& d = *H;
  do {
    const bool event = d.ComEvent->Wait(50);
    if (d.StopThreads) {
      // The owner that stops the threads releases the dispatcher itself.
      d.ReleaseAfterThreads = false;
      return;
    }
    if (event) d.DispatchComEvent();
    d.DispatchTimers();
  } while (!d.StopThreads && !d.ClosePending);
  // A close from inside a handler of this thread: the release is due now
  // that the handler call has ended.
  d.ReleaseAfterThreads = d.ClosePending && !d.StopThreads;
}

void TOutThread::Execute() {
  TApdBaseDispatcher& d = *H;
  do {
    if (TApdEvent::WaitAny(*d.OutputEvent, *d.FlushEvent, -1) == 0) {
      if (d.StopThreads) return;
      d.WriteOutRing();
    } else {
      d.AckEvent->Set();
    }
  } while (!d.StopThreads && !d.ClosePending);
}

void TApdBaseDispatcher::ReleaseThread(TApdDispatcherThread* Thread) {
  auto clear = [Thread](auto& ref) {
    auto* expected = ref.load();
    if (static_cast<TApdDispatcherThread*>(expected) != Thread) return false;
    return ref.compare_exchange_strong(expected, nullptr);
  };
  clear(ComThread);
  clear(OutThread);
  if (clear(DispThread) && ReleaseAfterThreads) {
    ReleaseAfterThreads = false;
    // Skipped when the owner is releasing already: it stops these threads.
    std::unique_lock<std::recursive_mutex> release(releaseLock_, std::try_to_lock);
    if (release.owns_lock()) ReleaseDispatcher();
  }
  if (--RunningThreads == 0) Started = false;
}

void TApdBaseDispatcher::StartWorkerThreads() {
  if (Started) throw EGeneral(std::string("Dispatcher already started"));
  Started = true;
  StopThreads = false;
  CreateEvents();
  for (TApdDispatcherThread* t : {static_cast<TApdDispatcherThread*>(comThreadObject_.get()),
                                  static_cast<TApdDispatcherThread*>(dispThreadObject_.get()),
                                  static_cast<TApdDispatcherThread*>(outThreadObject_.get())})
    if (t) t->Join();
  comThreadObject_ = std::make_unique<TComThread>(this);
  ComThread = comThreadObject_.get();
  comThreadObject_->Start();
  AckEvent->Wait(static_cast<int>(WorkerStartTimeoutMs));
  dispThreadObject_ = std::make_unique<TDispThread>(this);
  DispThread = dispThreadObject_.get();
  dispThreadObject_->Start();
  AckEvent->Wait(static_cast<int>(WorkerStartTimeoutMs));
  outThreadObject_ = std::make_unique<TOutThread>(this);
  OutThread = outThreadObject_.get();
  outThreadObject_->Start();
  AckEvent->Wait(static_cast<int>(WorkerStartTimeoutMs));
  const std::uint8_t boost = ThreadBoost;
  ThreadBoost = static_cast<std::uint8_t>(~boost);
  SetWorkerPriority(boost);
}

void TApdBaseDispatcher::WaitForThreadEnd(const std::function<bool()>& ended) {
  const bool onWorker = (comThreadObject_ && comThreadObject_->IsCurrent()) ||
                        (dispThreadObject_ && dispThreadObject_->IsCurrent()) ||
                        (outThreadObject_ && outThreadObject_->IsCurrent());
  while (!ended()) {
    if (onWorker) {
      platform::Sleep(1);
      continue;
    }
    // The owner's thread keeps its messages moving, so that a synchronized
    // call of the dispatch thread can finish.
    const std::int32_t got = PumpOneMessage();
    if (got == 0)
      platform::WaitForWork(5);
    else if ((got & 0xFFFF) == static_cast<std::int32_t>(platform::WM_QUIT))
      platform::Sleep(1);
  }
}

void TApdBaseDispatcher::StopWorkerThreads() {
  if (!Started) return;
  StopThreads = true;
  if (FlushEvent) FlushEvent->Set();
  WaitForThreadEnd([this] { return OutThread.load() == nullptr; });
  DeviceSetEventMask(0);
  if (ReadyEvent) ReadyEvent->Set();
  if (AckEvent) AckEvent->Reset();
  WaitForThreadEnd([this] { return ComThread.load() == nullptr; });
  WaitForThreadEnd([this] { return DispThread.load() == nullptr; });
  for (TApdDispatcherThread* t : {static_cast<TApdDispatcherThread*>(comThreadObject_.get()),
                                  static_cast<TApdDispatcherThread*>(dispThreadObject_.get()),
                                  static_cast<TApdDispatcherThread*>(outThreadObject_.get())})
    if (t && !t->IsCurrent()) t->Join();
  CloseEvents();
}

void TApdBaseDispatcher::SetWorkerPriority(std::uint8_t Boost) {
  if (Boost == ThreadBoost) return;
  ThreadBoost = Boost;
  auto level = [](int l) {
    return static_cast<TThreadPriority>(std::clamp(l, int{tpIdle}, int{tpTimeCritical}));
  };
  if (TComThread* t = ComThread.load()) t->SetPriority(level(tpNormal + Boost));
  if (TDispThread* t = DispThread.load()) t->SetPriority(level(tpNormal + Boost));
  if (TOutThread* t = OutThread.load()) t->SetPriority(level(tpNormal + Boost + (Rs485 ? 1 : 0)));
}

void TApdBaseDispatcher::StatusLoop() {
  while (!ClosePending && CheckStatusConditions()) {
  }
}

void TApdBaseDispatcher::DispatchComEvent() {
  const std::uint32_t mask = EventMask;
  if (mask & (evCts | evDsr | evRlsd | evRing)) {
    {
      Lock data(DataLock);
      const std::uint32_t lines = DeviceModemStatus() & 0xF0;
      const std::uint32_t changed = ModemBits ^ lines;
      std::uint32_t deltas = 0;
      if (changed & msCTS) deltas |= msDCTS;
      if (changed & msDSR) deltas |= msDDSR;
      if (changed & msDCD) deltas |= msDDCD;
      if (RingSeen.exchange(false)) deltas |= msTERI;
      ModemBits = lines | deltas;
    }
    if (!InHandlerCall) StatusLoop();
  }
  if (mask & (evErr | evBreak)) {
    PollDeviceStatus();
    if (mask & evBreak) {
      Lock output(OutputLock);
      LineErrors |= leBreak;
    }
    if (!InHandlerCall) StatusLoop();
  }
  FillDispatchBuffer();
  if (!InHandlerCall) {
    StatusLoop();
    while (!ClosePending && ScanNewData()) {
    }
  }
  bool fired;
  {
    Lock data(DataLock);
    fired = StatusFired;
  }
  if (fired) ClearStatusFired();
  if (ReadyEvent) ReadyEvent->Set();
}

void TApdBaseDispatcher::DispatchTimers() {
  if (ClosePending || InHandlerCall) return;
  {
    Lock data(DataLock);
    StatusFired = false;
  }
  while (!ClosePending && (CheckStatusConditions() || CheckTimers())) {
  }
  bool fired;
  {
    Lock data(DataLock);
    fired = StatusFired;
  }
  if (fired) ClearStatusFired();
}

// ---------------------------------------------------------------------------
// The output ring of thread-driven layers

std::uint32_t TApdBaseDispatcher::OutRingCount() {
  Lock output(OutputLock);
  if (OutRingFull) return static_cast<std::uint32_t>(OutRing.size());
  const auto size = static_cast<std::uint32_t>(OutRing.size());
  return OutHead >= OutTail ? OutHead - OutTail : OutHead + size - OutTail;
}

std::int32_t TApdBaseDispatcher::QueueOutput(const std::uint8_t* Buf, std::int32_t Size) {
  std::int32_t queued = 0;
  {
    Lock output(OutputLock);
    const auto size = static_cast<std::uint32_t>(OutRing.size());
    if (size == 0 || Size <= 0) return 0;
    const std::uint32_t room = size - OutRingCount();
    const auto n = std::min(room, static_cast<std::uint32_t>(Size));
    const std::uint32_t first = std::min(n, size - OutHead);
    std::copy(Buf, Buf + first, OutRing.begin() + OutHead);
    std::copy(Buf + first, Buf + n, OutRing.begin());
    OutHead = (OutHead + n) % size;
    if (n > 0 && OutHead == OutTail) OutRingFull = true;
    queued = static_cast<std::int32_t>(n);
  }
  if (queued > 0 && OutputEvent) OutputEvent->Set();
  return queued;
}

void TApdBaseDispatcher::AdvanceOutTail(std::uint32_t N) {
  Lock output(OutputLock);
  const auto size = static_cast<std::uint32_t>(OutRing.size());
  if (size == 0) return;
  OutTail += N;
  if (OutTail >= size) OutTail -= size;
  if (OutTail == OutHead) {
    OutTail = 0;
    OutHead = 0;
  }
  OutRingFull = false;
}

void TApdBaseDispatcher::WriteOutRing() {
  for (;;) {
    const std::uint8_t* run;
    std::uint32_t length;
    {
      Lock output(OutputLock);
      if (!OutRingFull && OutHead == OutTail) return;
      const auto size = static_cast<std::uint32_t>(OutRing.size());
      const std::uint32_t count = OutRingCount();
      if ((OutRingFull || OutTail > OutHead) && OutHead > 0) {
        // The data wraps: make it contiguous from 0.
        std::rotate(OutRing.begin(), OutRing.begin() + OutTail, OutRing.end());
        OutTail = 0;
        OutHead = count % size;
      }
      run = OutRing.data() + OutTail;
      length = (OutRingFull || OutTail >= OutHead) ? size - OutTail : OutHead - OutTail;
    }
    for (;;) {
      const std::int32_t written = DeviceTransmit(run, static_cast<std::int32_t>(length));
      if (written != 0) {
        // A failed write drops the run.
        AdvanceOutTail(written > 0 ? static_cast<std::uint32_t>(written) : length);
        break;
      }
      // The device takes nothing now; a flush ends the writing.
      const int woke = TApdEvent::WaitAny(*WriteDoneEvent, *FlushEvent, 10);
      if (woke == 1) {
        AckEvent->Set();
        return;
      }
      if (StopThreads) return;
    }
  }
}

// ---------------------------------------------------------------------------
// Synchronized calls and device defaults

void TApdBaseDispatcher::SyncEvent(std::uint32_t Msg, std::uint32_t wParam, std::int32_t lParam,
                                   const TTriggerMethod& Method) {
  if (TDispThread* t = DispThread.load(); t && t->IsCurrent()) {
    t->SyncMsg = Msg;
    t->SyncWParam = wParam;
    t->SyncLParam = lParam;
    t->SyncMethod = Method;
    platform::RunOnMainThread([t] { t->SyncMethod(t->SyncMsg, t->SyncWParam, t->SyncLParam); });
    return;
  }
  platform::RunOnMainThread([&] { Method(Msg, wParam, lParam); });
}

void TApdBaseDispatcher::SyncCall(const std::function<void()>& Method) {
  platform::RunOnMainThread(Method);
}

void TApdBaseDispatcher::DeviceSetEventMask(std::uint32_t /*Mask*/) {}

std::int32_t TApdBaseDispatcher::DeviceTransmit(const std::uint8_t* /*Buf*/,
                                                std::int32_t /*Size*/) {
  return -1;
}

std::uint32_t TApdBaseDispatcher::DeviceModemStatus() {
  return ModemBits & 0xF0;
}
