// The dispatcher's buffers, triggers and line settings.
#include "dispatch/AwUser.h"

#include <algorithm>
#include <cstring>

#include "dispatch/AwUserInternal.h"
#include "platform/Clock.h"

using Lock = std::lock_guard<std::recursive_mutex>;

// ---------------------------------------------------------------------------
// The dispatch ring

std::uint32_t TApdBaseDispatcher::BytesInUse() const {
  if (!DispBuffer) return 0;
  const std::uint32_t head = DispHead;
  if (head == DispTail) return BufferFull ? DispatchBufferSize : 0;
  if (DispTail < head) return head - DispTail;
  return head + DispatchBufferSize - DispTail;
}

std::int32_t TApdBaseDispatcher::DeviceError() {
  Lock output(OutputLock);
  return DeviceGetError(DeviceStatus);
}

void TApdBaseDispatcher::ClearLineErrors() {
  Lock output(OutputLock);
  LineErrors = 0;
}

TDeviceStatus TApdBaseDispatcher::PollDeviceStatus() {
  Lock output(OutputLock);
  LineErrors |= static_cast<std::uint32_t>(DeviceGetError(DeviceStatus)) & 0x1F;
  return DeviceStatus;
}

bool TApdBaseDispatcher::FillDispatchBuffer() {
  Lock buffer(BufferLock);
  if (!DispBuffer) return false;
  if (BufferFull) return true;
  const std::uint32_t waiting = PollDeviceStatus().InQue;
  if (waiting == 0) return false;

  std::uint32_t head = DispHead;
  std::uint32_t freeRoom, room;
  if (head == DispTail) {
    freeRoom = DispatchBufferSize;
    room = DispatchBufferSize - head;
  } else if (DispTail < head) {
    freeRoom = DispTail + DispatchBufferSize - head;
    room = DispatchBufferSize - head;
  } else {
    freeRoom = room = DispTail - head;
  }
  const std::uint32_t n = std::min(freeRoom, waiting);
  std::uint32_t second = room < n ? n - room : 0;

  auto readInto = [this](std::uint32_t at, std::uint32_t size) -> std::uint32_t {
    std::int32_t got = DeviceRead(DispBuffer.get() + at, static_cast<std::int32_t>(size));
    if (got < 0) {
      got = 0;
      DeviceReadFailed(-1);
    }
    got = std::min<std::int32_t>(got, static_cast<std::int32_t>(size));
    LogEvent(dtDispatch, dstReadCom, static_cast<std::uint32_t>(got),
             got > 0 ? DispBuffer.get() + at : nullptr, static_cast<std::uint32_t>(got));
    return static_cast<std::uint32_t>(got);
  };

  std::uint32_t got = 0;
  if (room > 0) {
    // The request is the whole contiguous room, not only what waits.
    got = readInto(head, room);
    head += got;
    if (got < room) second = 0;
  }
  if (head >= DispatchBufferSize) head = 0;
  DispHead = head;
  if (got > 0) BufferFull = (head == DispTail);
  if (second > 0) {
    const std::uint32_t got2 = readInto(head, second);
    head += got2;
    if (head >= DispatchBufferSize) head = 0;
    DispHead = head;
    BufferFull = (head == DispTail);
    got += got2;
  }
  // Bytes that bring the head all the way round to where the last avail
  // event was offered are new bytes all the same: a reader that drained the
  // ring and had it refilled in one read must be offered them again.
  if (got > 0) {
    Lock data(DataLock);
    if (LastAvailPos == static_cast<std::int32_t>(head)) LastAvailPos = -1;
  }
  return true;
}

std::int32_t TApdBaseDispatcher::ReadBlock(std::uint8_t* Buf, std::uint32_t Len) {
  {
    Lock buffer(BufferLock);
    const std::uint32_t offset = InDataEvent ? EventReadCount : 0;
    const std::uint32_t inUse = BytesInUse();
    if (!DispBuffer || Len > inUse - std::min(inUse, offset)) return ecBufferIsEmpty;
    const std::uint32_t start = DispNext(DispTail, offset);
    const std::uint32_t first = std::min(Len, DispatchBufferSize - start);
    std::memcpy(Buf, DispBuffer.get() + start, first);
    std::memcpy(Buf + first, DispBuffer.get(), Len - first);
    if (InDataEvent) {
      EventReadCount += Len;
    } else {
      DispTail = DispNext(DispTail, Len);
      BufferFull = false;
    }
  }
  Lock data(DataLock);
  if (TraceOn)
    for (std::uint32_t i = 0; i < Len; ++i)
      RecordTraceByte('R', Buf[i]);
  return static_cast<std::int32_t>(Len);
}

std::int32_t TApdBaseDispatcher::InputCount() {
  Lock buffer(BufferLock);
  const std::uint32_t inUse = BytesInUse();
  if (InDataEvent) return static_cast<std::int32_t>(inUse - std::min(inUse, EventReadCount));
  return static_cast<std::int32_t>(inUse);
}

std::int32_t TApdBaseDispatcher::DiscardInput() {
  Lock buffer(BufferLock);
  const std::int32_t result = DeviceFlush(1);
  if (InDataEvent) {
    // The end of the event consumes everything that is in use now.
    EventMaxRead = BytesInUse();
  } else {
    DispTail = DispHead;
    EventReadCount = 0;
  }
  BufferFull = false;
  ClearDataMatches();
  return result;
}

std::int32_t TApdBaseDispatcher::WriteBlock(const std::uint8_t* Buf, std::uint32_t Len) {
  if (Len == 0) return 0;
  std::int32_t result = 0;
  std::int32_t written = 0;
  {
    // The output lock also guards the status and the line errors.
    Lock output(OutputLock);
    // Replaces the error bits; PollDeviceStatus adds to them.
    LineErrors = static_cast<std::uint32_t>(DeviceGetError(DeviceStatus));
    const std::uint32_t outQue = DeviceStatus.OutQue;
    const std::int64_t room =
        static_cast<std::int64_t>(OutQueueSize) - static_cast<std::int64_t>(outQue);
    if (static_cast<std::int64_t>(Len) > room) return ecOutputBufferTooSmall;
    if (static_cast<std::int64_t>(Len) == room) OutRingFull = true;
    // This platform is of the NT family: the device raises RTS around each
    // transmission itself in RS-485 mode, so the base address is not needed.
    written = DeviceWrite(Buf, static_cast<std::int32_t>(Len));
    if (written <= 0) {
      result = ecPutBlockFail;
      LineErrors = static_cast<std::uint32_t>(DeviceGetError(DeviceStatus));
      written = std::max(written, 0);
    }
    written = std::min<std::int32_t>(written, static_cast<std::int32_t>(Len));
    OutputSent = true;
  }
  Lock data(DataLock);
  if (LogOn)
    RecordLogEntry(dtDispatch, dstWriteCom, static_cast<std::uint32_t>(written),
                   written > 0 ? Buf : nullptr, static_cast<std::uint32_t>(written));
  if (TraceOn)
    for (std::int32_t i = 0; i < written; ++i)
      RecordTraceByte('T', Buf[i]);
  return result;
}

std::int32_t TApdBaseDispatcher::OutputCount() {
  Lock output(OutputLock);
  return static_cast<std::int32_t>(PollDeviceStatus().OutQue);
}

std::int32_t TApdBaseDispatcher::OutputRoom() {
  Lock output(OutputLock);
  return static_cast<std::int32_t>(OutQueueSize) -
         static_cast<std::int32_t>(PollDeviceStatus().OutQue);
}

std::int32_t TApdBaseDispatcher::DiscardOutput() {
  return DeviceFlush(0);
}

std::int32_t TApdBaseDispatcher::TakeLineError() {
  Lock output(OutputLock);
  static constexpr struct {
    std::uint32_t bit;
    std::int32_t result;
  } errors[] = {{leOverflow, 1}, {leOverrun, 2}, {leParity, 3}, {leFraming, 4}};
  for (const auto& e : errors) {
    if (LineErrors & e.bit) {
      LineErrors &= ~0x0Fu;
      return e.result;
    }
  }
  if (LineErrors & leBreak) {
    LineErrors &= ~0x0Fu;
    return 9;
  }
  return 0;
}

bool TApdBaseDispatcher::TakeBreakFlag() {
  Lock output(OutputLock);
  const bool set = (LineErrors & leBreak) != 0;
  LineErrors &= ~leBreak;
  return set;
}

// ---------------------------------------------------------------------------
// Triggers

void TApdBaseDispatcher::SetAvailThreshold(std::int32_t Length) {
  Lock data(DataLock);
  AvailThreshold = Length;
  LogEvent(dtTriggerDataChange, dstAvailTrigger, static_cast<std::uint32_t>(Length));
}

std::int32_t TApdBaseDispatcher::NewTriggerHandle() {
  Lock data(DataLock);
  if (NextHandleCounter < 4096) return NextHandleCounter++ * 8;
  auto used = [this](std::int32_t h) {
    for (const auto& t : TimerTriggerList)
      if (t->Handle == h) return true;
    for (const auto& t : StatusTriggerList)
      if (t->Handle == h) return true;
    for (const auto& t : DataTriggerList)
      if (t->Handle == h) return true;
    return false;
  };
  std::int32_t h = 8;
  while (used(h))
    h += 8;
  return h;
}

std::int32_t TApdBaseDispatcher::NewTimerTrigger() {
  Lock data(DataLock);
  auto trigger = std::make_unique<TTimerTrigger>();
  trigger->Handle = NewTriggerHandle();
  const std::int32_t handle = trigger->Handle;
  TimerTriggerList.push_back(std::move(trigger));
  LogEvent(dtTriggerAlloc, dstTimerTrigger, static_cast<std::uint32_t>(handle));
  return handle;
}

std::int32_t TApdBaseDispatcher::ArmTimerTrigger(std::int32_t Handle, std::int32_t Ticks,
                                                 bool Activate) {
  Lock data(DataLock);
  if (Activate) {
    LogEvent(dtTriggerDataChange, dstTimerTrigger, static_cast<std::uint32_t>(Handle), &Ticks,
             sizeof Ticks);
  } else {
    LogEvent(dtTriggerDataChange, dstTimerTrigger, static_cast<std::uint32_t>(Handle),
             "Deactivated", 11);
  }
  for (auto& t : TimerTriggerList) {
    if (t->Handle != Handle) continue;
    if (Activate) {
      if (Ticks != 0) t->Ticks = Ticks;
      StartEventTimer(t->Timer, t->Ticks);
    }
    t->Active = Activate;
    return 0;
  }
  return ecBadTriggerHandle;
}

std::int32_t TApdBaseDispatcher::LookupTrigger(std::int32_t Handle, bool Delete,
                                               TTriggerRef& Trigger) {
  Lock data(DataLock);
  Trigger = TTriggerRef{};
  if (Handle < 2) return ecBadTriggerHandle;
  auto search = [&](auto& list, std::int32_t kind, std::uint8_t subType, auto TTriggerRef::*field,
                    bool statusPayload) -> bool {
    for (auto it = list.begin(); it != list.end(); ++it) {
      if ((*it)->Handle != Handle) continue;
      Trigger.Kind = kind;
      if (Delete) {
        const std::uint8_t kindByte = static_cast<std::uint8_t>(Handle & 7);
        LogEvent(dtTriggerDispose, subType, static_cast<std::uint32_t>(Handle),
                 statusPayload ? &kindByte : nullptr, statusPayload ? 1 : 0);
        list.erase(it);
      } else {
        Trigger.*field = it->get();
      }
      return true;
    }
    return false;
  };
  if (search(TimerTriggerList, TriggerKindTimer, dstTimer, &TTriggerRef::Timer, false) ||
      search(StatusTriggerList, TriggerKindStatus, dstStatusTrigger, &TTriggerRef::Status, true) ||
      search(DataTriggerList, TriggerKindData, dstData, &TTriggerRef::Data, false))
    return 0;
  return ecBadTriggerHandle;
}

std::int32_t TApdBaseDispatcher::DeleteTrigger(std::int32_t Handle) {
  Lock data(DataLock);
  if (Handle == AvailTriggerHandle) {
    AvailThreshold = 0;
    return 0;
  }
  TTriggerRef found;
  return LookupTrigger(Handle, true, found);
}

void TApdBaseDispatcher::DeleteAllTriggers() {
  Lock data(DataLock);
  AvailThreshold = 0;
  TimerTriggerList.clear();
  DataTriggerList.clear();
  StatusTriggerList.clear();
  NextHandleCounter = 1;
}

namespace {

template <class T>
std::vector<T> CopyRecords(const std::vector<std::unique_ptr<T>>& list) {
  std::vector<T> copy;
  copy.reserve(list.size());
  for (const auto& record : list)
    copy.push_back(*record);
  return copy;
}

template <class T>
void AppendRecords(std::vector<std::unique_ptr<T>>& list,
                   const std::optional<std::vector<T>>& saved) {
  if (!saved) return;
  for (const auto& record : *saved)
    list.push_back(std::make_unique<T>(record));
}

}  // namespace

void TApdBaseDispatcher::CopyTriggersOut(TTriggerSave& Saved) {
  Lock data(DataLock);
  FreeTriggerCopy(Saved);
  Saved.AvailThreshold = AvailThreshold;
  Saved.TimerTriggers = CopyRecords(TimerTriggerList);
  Saved.DataTriggers = CopyRecords(DataTriggerList);
  Saved.StatusTriggers = CopyRecords(StatusTriggerList);
}

void TApdBaseDispatcher::CopyTriggersIn(TTriggerSave& Saved) {
  Lock data(DataLock);
  AvailThreshold = Saved.AvailThreshold;
  TimerTriggerList.clear();
  DataTriggerList.clear();
  StatusTriggerList.clear();
  AppendRecords(TimerTriggerList, Saved.TimerTriggers);
  AppendRecords(DataTriggerList, Saved.DataTriggers);
  AppendRecords(StatusTriggerList, Saved.StatusTriggers);
}

void TApdBaseDispatcher::FreeTriggerCopy(TTriggerSave& Saved) {
  Saved.TimerTriggers.reset();
  Saved.DataTriggers.reset();
  Saved.StatusTriggers.reset();
}

void TApdBaseDispatcher::ClearStatusFired() {
  Lock data(DataLock);
  for (auto& t : StatusTriggerList)
    t->Fired = false;
  StatusFired = false;
}

void TApdBaseDispatcher::ClearDataMatches() {
  Lock data(DataLock);
  for (auto& t : DataTriggerList)
    std::fill(std::begin(t->MatchState), std::end(t->MatchState), 0);
}

bool TApdBaseDispatcher::RunTriggerChecks() {
  // Each check fires at most one event; the first that fires ends the
  // round. A close from inside a handler ends it as well, before the next
  // check touches the closed device.
  if (CheckTimers()) return true;
  if (ClosePending) return false;
  if (CheckStatusConditions()) return true;
  if (ClosePending) return false;
  return ScanNewData();
}

bool TApdBaseDispatcher::CheckTimers() {
  std::int32_t handle = 0;
  {
    Lock data(DataLock);
    for (auto& t : TimerTriggerList) {
      if (t->Active && EventTimerExpired(t->Timer)) {
        t->Active = false;
        handle = t->Handle;
        LogEvent(dtTrigger, dstTimer, static_cast<std::uint32_t>(handle));
        break;
      }
    }
  }
  if (handle == 0) return false;
  return NotifyTriggerHandlers(TriggerTimerMsg, static_cast<std::uint32_t>(handle), 0);
}

bool TApdBaseDispatcher::CheckStatusConditions() {
  // The output counts are taken before the general lock, since the output
  // lock is never taken inside it.
  bool wantOutput = false;
  {
    Lock data(DataLock);
    for (const auto& t : StatusTriggerList)
      if (t->Active && !t->Fired && (t->Kind == stOutBuffFree || t->Kind == stOutBuffUsed))
        wantOutput = true;
  }
  std::int32_t used = 0;
  if (wantOutput) used = OutputCount();
  const std::int32_t room = static_cast<std::int32_t>(OutQueueSize) - used;
  // And the line errors, under the output lock too.
  std::uint32_t lineErrors;
  {
    Lock output(OutputLock);
    lineErrors = LineErrors;
  }

  std::int32_t handle = 0;
  std::uint32_t value = 0;
  {
    Lock data(DataLock);
    // The list's length is read afresh after every record.
    for (std::size_t i = 0; i < StatusTriggerList.size() && handle == 0; ++i) {
      TStatusTrigger& t = *StatusTriggerList[i];
      if (!t.Active || t.Fired) continue;
      bool fires = false;
      switch (t.Kind) {
        case stModem:
          fires = (((t.Value & 0xFF) ^ (ModemBits & 0xFF)) & (t.Value >> 8)) != 0;
          break;
        case stLine:
          fires = (t.Value & lineErrors) != 0;
          if (fires) t.Value = static_cast<std::uint16_t>(lineErrors);
          break;
        case stOutBuffFree:
          fires = room >= static_cast<std::int32_t>(t.Value);
          if (fires) value = static_cast<std::uint32_t>(room);
          break;
        case stOutBuffUsed:
          fires = used <= static_cast<std::int32_t>(t.Value);
          if (fires) value = static_cast<std::uint32_t>(used);
          break;
        case stOutSent:
          fires = OutputSent;
          if (fires) OutputSent = false;
          break;
        default:
          break;
      }
      if (!fires) continue;
      t.Active = false;
      t.Fired = true;
      StatusFired = true;
      handle = t.Handle;
      LogEvent(dtTrigger, dstStatus, static_cast<std::uint32_t>(handle));
    }
  }
  if (handle == 0) return false;
  return NotifyTriggerHandlers(TriggerStatusMsg, static_cast<std::uint32_t>(handle), value);
}

bool TApdBaseDispatcher::DeliverAvail(std::uint32_t Count, std::uint32_t ScanPos) {
  {
    Lock data(DataLock);
    LogEvent(dtTrigger, dstAvail, Count);
  }
  const bool result = NotifyTriggerHandlers(TriggerAvailMsg, Count, 0);
  Lock data(DataLock);
  LastAvailPos = static_cast<std::int32_t>(ScanPos);
  return result;
}

bool TApdBaseDispatcher::ScanNewData() {
  if (!DispBuffer) return false;
  std::uint32_t p;
  {
    // A scan position that points at bytes a reader has already taken (or
    // that were discarded) restarts at the oldest byte still in the ring, so
    // consumed bytes are never matched.
    Lock buffer(BufferLock);
    p = DataScanPos;
    const std::uint32_t behind = (p + DispatchBufferSize - DispTail) % DispatchBufferSize;
    if (p != DispHead && behind >= BytesInUse()) p = DispTail;
  }
  bool matched = false;
  std::int32_t longest = 0;
  {
    Lock data(DataLock);
    while (p != DispHead) {
      const std::uint8_t c = DispBuffer[p];
      for (auto& t : DataTriggerList) {
        if (t->Length <= 0) continue;
        const bool m =
            t->Matched || MatchDataTrigger(t->MatchState, c, t->Length, t->IgnoreCase, t->Pattern);
        t->Matched = m;
        if (m) {
          matched = true;
          longest = std::max(longest, t->Length);
        }
      }
      if (matched) break;
      p = DispNext(p);
    }
    if (!matched) DataScanPos = p;
  }

  if (matched) {
    bool result = true;
    std::int32_t threshold;
    std::int32_t lastAvail;
    {
      Lock data(DataLock);
      threshold = AvailThreshold;
      lastAvail = LastAvailPos;
    }
    if (threshold > 0 && static_cast<std::int32_t>(p) != lastAvail) {
      std::int64_t before;
      {
        Lock buffer(BufferLock);
        const std::uint32_t throughP = (p + DispatchBufferSize - DispTail) % DispatchBufferSize + 1;
        before = static_cast<std::int64_t>(throughP) - longest;
        if (InDataEvent) before -= EventReadCount;
      }
      if (before >= threshold) result = DeliverAvail(static_cast<std::uint32_t>(before), p);
    }
    // The data events go out from the last trigger to the first.
    for (std::size_t i =
             [&] {
               Lock data(DataLock);
               return DataTriggerList.size();
             }();
         i-- > 0;) {
      std::int32_t handle = 0;
      std::int32_t length = 0;
      {
        Lock data(DataLock);
        if (i >= DataTriggerList.size()) break;
        TDataTrigger& t = *DataTriggerList[i];
        if (!t.Matched) continue;
        t.Matched = false;
        handle = t.Handle;
        length = t.Length;
        LogEvent(dtTrigger, dstData, static_cast<std::uint32_t>(handle));
      }
      result = NotifyTriggerHandlers(TriggerDataMsg, static_cast<std::uint32_t>(handle),
                                     static_cast<std::uint32_t>(length));
    }
    Lock data(DataLock);
    DataScanPos = DispNext(p);
    return result;
  }

  std::int32_t threshold;
  std::int32_t lastAvail;
  {
    Lock data(DataLock);
    threshold = AvailThreshold;
    lastAvail = LastAvailPos;
  }
  if (threshold == 0 || static_cast<std::int32_t>(p) == lastAvail) return false;
  const std::int32_t count = InputCount();
  if (count < threshold) return false;
  return DeliverAvail(static_cast<std::uint32_t>(count), p);
}

bool MatchDataTrigger(std::int32_t* State, std::uint8_t C, std::int32_t Length, bool IgnoreCase,
                      const char* Pattern) {
  if (IgnoreCase) C = ApdUpCase(C);
  const auto pat = [Pattern](std::int32_t i) { return static_cast<std::uint8_t>(Pattern[i]); };
  bool started = false;
  bool result = false;
  bool active = true;
  for (std::int32_t i = 0; i < Length; ++i) {
    if (active) {
      const std::int32_t p = State[i];
      if (pat(p) == C) {
        if (p == Length - 1) {
          result = true;
          std::fill(State, State + MaxTrigData, 0);
        } else {
          State[i] = p + 1;
        }
      } else if (pat(0) == C) {
        State[i] = 1;
        started = true;
      } else {
        State[i] = 0;
      }
    }
    if (State[i] == 1) started = true;
    if (i == Length - 1)
      active = false;
    else if (started)
      active = State[i + 1] != 0;
    else
      active = State[i + 1] != 0 || pat(0) == C;
  }
  return result;
}

// ---------------------------------------------------------------------------
// The internal seam: data and status triggers, procedure handlers

std::int32_t TApdBaseDispatcher::InternalAddDataTrigger(std::string_view Pattern, bool IgnoreCase) {
  if (Pattern.size() > static_cast<std::size_t>(MaxTrigData)) return ecTriggerTooLong;
  if (Pattern.empty()) return ecBadArgument;
  Lock data(DataLock);
  auto trigger = std::make_unique<TDataTrigger>();
  trigger->Handle = NewTriggerHandle();
  trigger->Length = static_cast<std::int32_t>(Pattern.size());
  trigger->IgnoreCase = IgnoreCase;
  for (std::size_t i = 0; i < Pattern.size(); ++i) {
    const auto c = static_cast<std::uint8_t>(Pattern[i]);
    trigger->Pattern[i] = static_cast<char>(IgnoreCase ? ApdUpCase(c) : c);
  }
  const std::int32_t handle = trigger->Handle;
  DataTriggerList.push_back(std::move(trigger));
  LogEvent(dtTriggerAlloc, dstDataTrigger, static_cast<std::uint32_t>(handle));
  return handle;
}

std::int32_t TApdBaseDispatcher::InternalAddStatusTrigger(std::int32_t Kind, std::uint16_t Value) {
  if (Kind < stModem || Kind > stOutSent) return ecBadArgument;
  Lock data(DataLock);
  auto trigger = std::make_unique<TStatusTrigger>();
  trigger->Handle = NewTriggerHandle() + Kind;
  trigger->Kind = Kind;
  trigger->Value = Value;
  trigger->Active = true;
  const std::int32_t handle = trigger->Handle;
  StatusTriggerList.push_back(std::move(trigger));
  const auto kindByte = static_cast<std::uint8_t>(Kind);
  LogEvent(dtTriggerAlloc, dstStatusTrigger, static_cast<std::uint32_t>(handle), &kindByte, 1);
  return handle;
}

// ---------------------------------------------------------------------------
// Line settings

std::int32_t TApdBaseDispatcher::ApplySettings(bool WaitForOutput) {
  if (WaitForOutput) {
    // Let the output drain (every 2 ms, at most 5000 times), then give the
    // last characters time to leave at the old settings: 18 characters of
    // start bit, data bits, parity and stop bits.
    for (int polls = 0; polls < 5000 && OutputCount() > 0; ++polls)
      platform::Sleep(2);
    if (CurrentBaud > 0) {
      const std::uint32_t bits = 1u + LineSettings.ByteSize + (LineSettings.Parity ? 1u : 0u) +
                                 (LineSettings.StopBits ? 2u : 1u);
      platform::Sleep(18u * bits * 1000u / CurrentBaud + 1u);
    }
  }
  return 0;
}

std::int32_t TApdBaseDispatcher::SetLine(std::int32_t Baud, std::uint8_t Parity,
                                         std::uint16_t DataBits, std::uint16_t StopBits) {
  TLineSettings settings;
  {
    Lock data(DataLock);
    if (std::int32_t r = DeviceGetState(settings); r < 0) return r;
  }
  const std::uint8_t stopField = StopBits == 2 ? 2 : 0;
  const bool changed = settings.BaudRate != static_cast<std::uint32_t>(Baud) ||
                       settings.Parity != Parity || settings.ByteSize != DataBits ||
                       settings.StopBits != stopField;
  if (changed) ApplySettings(true);
  Lock data(DataLock);
  settings.BaudRate = static_cast<std::uint32_t>(Baud);
  settings.Parity = Parity;
  settings.ByteSize = static_cast<std::uint8_t>(DataBits);
  settings.StopBits = stopField;
  settings.DtrOn = DtrOn;
  settings.DtrAuto = DtrAuto;
  settings.RtsOn = RtsOn && !Rs485;
  settings.RtsAuto = RtsAuto;
  if (std::int32_t r = DeviceSetState(settings); r < 0) return r;
  LineSettings = settings;
  CurrentBaud = static_cast<std::uint32_t>(Baud);
  return 0;
}

namespace {

// Reads the settings, lets change() edit them, applies them again and
// re-asserts DTR and (unless in RS-485 mode) RTS.
template <class Change>
std::int32_t EditSettings(TApdBaseDispatcher& d, Change change) {
  std::lock_guard<std::recursive_mutex> data(d.DataLock);
  TLineSettings settings;
  if (std::int32_t r = d.DeviceGetState(settings); r < 0) return r;
  change(settings);
  if (std::int32_t r = d.DeviceSetState(settings); r < 0) return r;
  d.LineSettings = settings;
  if (!d.DtrAuto) d.DeviceEscape(d.DtrOn ? escSetDtr : escClrDtr);
  if (!d.RtsAuto && !d.Rs485) d.DeviceEscape(d.RtsOn ? escSetRts : escClrRts);
  if (settings.BaudRate != 0) d.CurrentBaud = settings.BaudRate;
  return 0;
}

}  // namespace

std::int32_t TApdBaseDispatcher::SetDtr(bool On) {
  return EditSettings(*this, [&](TLineSettings& s) {
    DtrOn = On;
    DtrAuto = false;
    s.DtrOn = On;
    s.DtrAuto = false;
  });
}

std::int32_t TApdBaseDispatcher::SetRts(bool On) {
  return EditSettings(*this, [&](TLineSettings& s) {
    RtsOn = On;
    RtsAuto = false;
    s.RtsOn = On;
    s.RtsAuto = false;
  });
}

std::int32_t TApdBaseDispatcher::SetHardwareFlow(std::uint16_t BufferFull_,
                                                 std::uint16_t BufferResume,
                                                 std::uint32_t Options) {
  return EditSettings(*this, [&](TLineSettings& s) {
    DtrAuto = (Options & hfUseDTR) != 0;
    RtsAuto = (Options & hfUseRTS) != 0;
    s.DtrAuto = DtrAuto;
    s.RtsAuto = RtsAuto;
    s.OutxDsrFlow = (Options & hfRequireDSR) != 0;
    s.OutxCtsFlow = (Options & hfRequireCTS) != 0;
    s.XoffLim =
        static_cast<std::uint16_t>(InQueueSize > BufferFull_ ? InQueueSize - BufferFull_ : 0);
    s.XonLim = BufferResume;
  });
}

std::int32_t TApdBaseDispatcher::SetSoftwareFlow(std::uint16_t BufferFull_,
                                                 std::uint16_t BufferResume,
                                                 std::uint32_t Options) {
  return EditSettings(*this, [&](TLineSettings& s) {
    s.OutX = (Options & sfTransmitFlow) != 0;
    s.InX = (Options & sfReceiveFlow) != 0;
    s.XoffLim =
        static_cast<std::uint16_t>(InQueueSize > BufferFull_ ? InQueueSize - BufferFull_ : 0);
    s.XonLim = BufferResume;
  });
}

std::int32_t TApdBaseDispatcher::SoftwareFlowDisable() {
  return EditSettings(*this, [](TLineSettings& s) {
    s.OutX = false;
    s.InX = false;
  });
}

std::int32_t TApdBaseDispatcher::SetFlowChars(char XOn, char XOff) {
  return EditSettings(*this, [&](TLineSettings& s) {
    s.XonChar = XOn;
    s.XoffChar = XOff;
  });
}

std::int32_t TApdBaseDispatcher::SetRs485Mode(bool On) {
  return EditSettings(*this, [&](TLineSettings& s) {
    Rs485 = On;
    s.RtsToggle = On;
    if (On) {
      RtsAuto = false;
      s.RtsAuto = false;
    }
  });
}
