#include "ftp/AdPacket.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "dispatch/AdExcept.h"
#include "platform/toolkit/Forms.h"

namespace {

// The manager's buffer starts at this many bytes and doubles as it must.
constexpr std::int32_t BufferGrowth = 8192;

std::int32_t Length(const std::string& s) {
  return static_cast<std::int32_t>(s.size());
}

}  // namespace

TApdDataPacketManagerList& DataPacketManagerList() {
  static TApdDataPacketManagerList list;
  return list;
}

TApdDataPacketManager* TApdDataPacketManagerList::GetPortManager(
    const TApdCustomComPort* port) const {
  for (auto* m : managers_)
    if (m->Port() == port) return m;
  return nullptr;
}

// ---------------------------------------------------------------------------
// The packet

TApdDataPacket::TApdDataPacket(TComponent* owner) : TApdBaseComponent(owner) {
  PublishProperties();
}

TApdDataPacket::~TApdDataPacket() {
  SetComPort(nullptr);
}

void TApdDataPacket::BeforeDestruction() {
  SetComPort(nullptr);
  TApdBaseComponent::BeforeDestruction();
}

void TApdDataPacket::PublishProperties() {
  PublishBoolean(
      "Enabled", [this] { return enabled_; }, [this](bool v) { SetEnabled(v); });
  PublishBoolean(
      "AutoEnable", [this] { return autoEnable_; }, [this](bool v) { autoEnable_ = v; });
  PublishEnumeration(
      "StartCond", {"scString", "scAnyData"}, [this] { return static_cast<int>(startCond_); },
      [this](int v) { startCond_ = v == scAnyData ? scAnyData : scString; });
  PublishSet(
      "EndCond", {"ecString", "ecPacketSize"}, [this] { return endCond_.Bits(); },
      [this](unsigned v) { SetEndCond(TPacketEndConds::FromBits(v)); });
  PublishString(
      "StartString", [this] { return startString_; },
      [this](const std::string& v) { startString_ = v; });
  PublishString(
      "EndString", [this] { return endString_; },
      [this](const std::string& v) { SetEndString(v); });
  PublishBoolean(
      "IgnoreCase", [this] { return ignoreCase_; }, [this](bool v) { ignoreCase_ = v; });
  PublishInteger(
      "PacketSize", [this] { return packetSize_; }, [this](int v) { packetSize_ = v; });
  PublishBoolean(
      "IncludeStrings", [this] { return includeStrings_; },
      [this](bool v) { includeStrings_ = v; });
  PublishInteger(
      "TimeOut", [this] { return timeOut_; }, [this](int v) { timeOut_ = v; });
  PublishInteger(
      "MaxPacketSize", [this] { return maxPacketSize_; }, [this](int v) { SetMaxPacketSize(v); });
  PublishEvent("OnPacket", OnPacket);
  PublishEvent("OnStringPacket", OnStringPacket);
  PublishEvent("OnTimeout", OnTimeout);
  PublishEvent("OnOverflow", OnOverflow);
}

void TApdDataPacket::SetEnabled(bool value) {
  enabled_ = value;
  if (value)
    Arm();
  else
    Disarm();
}

void TApdDataPacket::SetEndCond(TPacketEndConds value) {
  const bool was = enabled_;
  SetEnabled(false);
  endCond_ = value;
  if (was) SetEnabled(true);
}

void TApdDataPacket::SetEndString(const std::string& value) {
  const bool was = enabled_;
  SetEnabled(false);
  endString_ = value;
  if (was) SetEnabled(true);
}

void TApdDataPacket::SetMaxPacketSize(std::int32_t value) {
  maxPacketSize_ = std::clamp(value, std::int32_t{1}, MaxPacketSizeLimit);
}

void TApdDataPacket::SetComPort(TApdCustomComPort* value) {
  if (value == comPort_) return;
  if (manager_ != nullptr) {
    Disarm();
    TApdDataPacketManager* old = manager_;
    manager_ = nullptr;
    old->Remove(this);
  }
  comPort_ = value;
  if (value == nullptr) return;
  TApdDataPacketManager* m = DataPacketManagerList().GetPortManager(value);
  if (m == nullptr) m = new TApdDataPacketManager(value);
  m->Insert(this);
  manager_ = m;
  // A packet that is already enabled starts watching its new port at once.
  if (enabled_ && m->Enabled()) Arm();
}

void TApdDataPacket::AfterLoad() {
  TApdBaseComponent::AfterLoad();
  loaded_ = true;
  if (manager_ != nullptr) manager_->AfterLoad();
  if (enablePending_) Arm();
}

void TApdDataPacket::ComponentNotify(TComponent* component, TOperation operation) {
  TApdBaseComponent::ComponentNotify(component, operation);
  if (operation == TOperation::opRemove && component == comPort_) {
    SetComPort(nullptr);
  } else if (operation == TOperation::opInsert && comPort_ == nullptr) {
    if (auto* port = dynamic_cast<TApdCustomComPort*>(component)) SetComPort(port);
  }
}

bool TApdDataPacket::TMarker::Matches(std::size_t pos, std::uint8_t c, bool ignoreCase) const {
  if (Wild[pos]) return true;
  const auto want = static_cast<std::uint8_t>(Work[pos]);
  return ignoreCase ? ApdUpCase(c) == want : c == want;
}

TApdDataPacket::TMarker TApdDataPacket::ResolveMarker(const std::string& text) const {
  TMarker m;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    bool wild = false;
    if (c == '\\') {
      if (++i == text.size()) break;  // a lone backslash at the end is dropped
      c = text[i];
    } else if (c == '?') {
      wild = true;
    }
    if (ignoreCase_) c = static_cast<char>(ApdUpCase(static_cast<std::uint8_t>(c)));
    m.Work.push_back(c);
    m.Wild.push_back(wild);
  }
  return m;
}

void TApdDataPacket::Log(std::uint8_t subType, const std::string& text) {
  if (manager_ == nullptr || manager_->dispatcher_ == nullptr) return;
  const std::string payload = text.empty() ? LogLabel() : text;
  manager_->dispatcher_->LogEvent(dtPacket, subType, 0, payload.data(),
                                  static_cast<std::uint32_t>(payload.size()));
}

void TApdDataPacket::Arm() {
  if (IsLoading() && !loaded_) {
    enablePending_ = true;
    return;
  }
  if (manager_ == nullptr || !manager_->Enabled()) return;
  if (manager_->inEvent_) {
    enablePending_ = true;
    return;
  }
  enablePending_ = false;
  Log(dstPacketEnable);

  // Every property is checked before anything changes, so that a packet
  // with a bad property keeps the mode it had.
  TMarker start;
  TMarker end;
  if (startCond_ == scString) {
    Log(dstPacketStartStr, startString_);
    if (startString_.empty()) throw EInvalidProperty(ecStartStringEmpty);
    start = ResolveMarker(startString_);
    if (endCond_.Contains(ecPacketSize) && Length(start.Work) > packetSize_)
      throw EInvalidProperty(ecPacketTooSmall);
  } else if (endCond_.Empty()) {
    throw EInvalidProperty(ecNoEndCharCount);
  }
  if (endCond_.Contains(ecString)) {
    if (endString_.empty()) throw EInvalidProperty(ecEmptyEndString);
    Log(dstPacketEndStr, endString_);
    end = ResolveMarker(endString_);
  }
  if (endCond_.Contains(ecPacketSize) && packetSize_ <= 0) throw EInvalidProperty(ecZeroSizePacket);

  // Re-arming a collecting packet ends its capture first.
  if (mode_ == pmCollecting) SetMode(pmIdle);
  startPending_ = false;
  startWork_ = std::move(start);
  endWork_ = std::move(end);
  localPacketSize_ = packetSize_;
  if (startCond_ == scString && !includeStrings_) localPacketSize_ += Length(startWork_.Work);
  if (endCond_.Contains(ecString) && !includeStrings_) localPacketSize_ += Length(endWork_.Work);
  startIndex_ = 1;
  endIndex_ = 1;
  beginMatch_ = -1;
  collectStart_ = -1;
  if (startCond_ == scString) {
    SetMode(pmWaiting);
  } else if (manager_->capturing_ == nullptr) {
    SetMode(pmCollecting);
  } else {
    if (mode_ != pmIdle) SetMode(pmIdle);
    startPending_ = true;
  }
}

void TApdDataPacket::Disarm() {
  if (!enablePending_ && !startPending_ && mode_ == pmIdle) return;
  enablePending_ = false;
  startPending_ = false;
  if (manager_ == nullptr) return;
  SetMode(pmIdle);
  Log(dstPacketDisable);
}

void TApdDataPacket::SetMode(TPacketMode value) {
  if (value == mode_) return;
  const TPacketMode old = mode_;
  mode_ = value;
  if (old == pmCollecting) droppedBytes_ = 0;
  Log(value == pmIdle      ? dstPacketIdle
      : value == pmWaiting ? dstPacketWaiting
                           : dstPacketCollecting);
  if (manager_ == nullptr) return;
  if (old == pmCollecting) manager_->EndCapture(this);
  if (value == pmCollecting) manager_->BeginCapture(this);
}

void TApdDataPacket::Match(std::int32_t p) {
  if (!enabled_ || manager_ == nullptr) return;
  TApdDataPacketManager& m = *manager_;
  const std::uint32_t deliveries = m.deliveries_;
  std::int32_t i = p;
  while (m.buffer_ && i < m.bufferLen_ && m.deliveries_ == deliveries && manager_ == &m) {
    const std::uint8_t c = m.buffer_[static_cast<std::size_t>(i)];
    switch (mode_) {
      case pmIdle:
        if (!startPending_) return;
        startPending_ = false;
        SetMode(pmCollecting);
        break;  // the same byte is the first one collected
      case pmWaiting:
        if (startWork_.Matches(static_cast<std::size_t>(startIndex_ - 1), c, ignoreCase_)) {
          if (beginMatch_ == -1) beginMatch_ = i;
          if (startIndex_ == Length(startWork_.Work)) {
            if (endCond_.Empty()) {
              Deliver(i - beginMatch_ + 1, false);
              return;
            }
            collectStart_ = i + 1;
            SetMode(pmCollecting);
          } else {
            ++startIndex_;
          }
          ++i;
        } else if (beginMatch_ != -1) {
          // The first occurrence is wanted: try again one byte later.
          i = beginMatch_ + 1;
          startIndex_ = 1;
          beginMatch_ = -1;
        } else {
          ++i;
        }
        break;
      case pmCollecting: {
        if (beginMatch_ == -1) beginMatch_ = i;
        if (collectStart_ == -1) collectStart_ = i;
        const std::int64_t collected = droppedBytes_ + (i - beginMatch_ + 1);
        if (endCond_.Contains(ecPacketSize) && collected >= localPacketSize_) {
          Deliver(i - beginMatch_ + 1, false);
          return;
        }
        // Past the bound the packet is dropped, even when this byte ends it.
        if (i - beginMatch_ + 1 > maxPacketSize_) i = DropCollected(i);
        if (endCond_.Contains(ecString) && StepEndString(i)) {
          Deliver(i - beginMatch_ + 1, true);
          return;
        }
        ++i;
        break;
      }
    }
  }
}

bool TApdDataPacket::StepEndString(std::int32_t i) {
  const std::uint8_t* buf = manager_->buffer_.get();
  const std::int32_t n = Length(endWork_.Work);
  std::int32_t k = endIndex_ - 1;  // characters matched so far
  if (endWork_.Matches(static_cast<std::size_t>(k), buf[i], ignoreCase_)) {
    ++k;
  } else {
    // The longest shorter tail of the collected bytes, ending at i, that is
    // a beginning of the end string. Compared byte by byte again, because
    // wildcards and case folding make a precomputed table unreliable.
    std::int32_t j = std::min(k, i - collectStart_ + 1);
    for (; j > 0; --j) {
      bool all = true;
      for (std::int32_t t = 0; t < j && all; ++t)
        all = endWork_.Matches(static_cast<std::size_t>(t), buf[i - j + 1 + t], ignoreCase_);
      if (all) break;
    }
    k = j;
  }
  if (k == n) {
    endIndex_ = 1;
    return true;
  }
  endIndex_ = k + 1;
  return false;
}

std::int32_t TApdDataPacket::DropCollected(std::int32_t i) {
  TApdDataPacketManager& m = *manager_;
  // Byte i is still to be compared with the end string, and after a
  // mismatch the overlap of a partly matched end string is compared again
  // with the bytes before it: those stay, at least one byte goes.
  std::int32_t keep = 0;
  if (endCond_.Contains(ecString)) {
    keep = std::max(Length(endWork_.Work) - 1, 1);
    keep = std::min({keep, i - collectStart_ + 1, i - beginMatch_});
  }
  const std::int32_t cut = i + 1 - keep;
  if (droppedBytes_ == 0 && OnOverflow) {
    try {
      OnOverflow(this);
    } catch (...) {
      if (Application != nullptr) Application->HandleException(this);
    }
  }
  droppedBytes_ += cut - beginMatch_;
  m.Consume(cut);
  beginMatch_ = 0;
  collectStart_ = 0;
  return i - cut;
}

void TApdDataPacket::Deliver(std::int32_t size, bool endedOnString) {
  TApdDataPacketManager& m = *manager_;
  const std::int32_t begin = beginMatch_;
  // The end of a dropped packet: its last bytes go as those of a delivered
  // one, without events, and the packet starts afresh on what follows.
  const bool dropped = droppedBytes_ > 0;
  m.inEvent_ = true;
  ++m.busy_;
  for (auto* packet : std::vector<TApdDataPacket*>(m.packets_))
    if (packet->enabled_) packet->Disarm();
  enabled_ = false;

  std::int32_t offset = begin;
  std::int32_t dataSize = size;
  if (startCond_ == scString && !includeStrings_) {
    offset += Length(startWork_.Work);
    dataSize -= Length(startWork_.Work);
  }
  if (!includeStrings_ && endedOnString) dataSize -= Length(endWork_.Work);
  dataSize = std::max(dataSize, 0);
  // A copy: a handler may close the port, which frees the buffer.
  const std::string bytes =
      dropped ? std::string()
              : std::string(reinterpret_cast<const char*>(m.buffer_.get()) + offset,
                            static_cast<std::size_t>(dataSize));

  if (!dropped) {
    Log(dstPacketStringPacket);
    Log(endedOnString ? dstPacketStringPacket : dstPacketSizePacket, bytes);
    m.RaiseEvent(this, [&] { DoPacket(bytes.data(), dataSize); });
    m.RaiseEvent(this, [&] { DoStringPacket(bytes); });
  }

  if (m.buffer_) m.Consume(begin + size);
  if ((autoEnable_ || dropped) && manager_ == &m) SetEnabled(true);
  ++m.deliveries_;
  m.LeaveEvent();
  --m.busy_;
}

void TApdDataPacket::Timeout() {
  TApdDataPacketManager& m = *manager_;
  m.inEvent_ = true;
  ++m.busy_;
  Log(dstPacketTimeout);
  SetEnabled(false);
  m.RaiseEvent(this, [&] { DoTimeout(); });
  m.LeaveEvent();
  if (m.dataPending_ && m.buffer_) {
    m.dataPending_ = false;
    m.ProcessFrom(m.pendingStart_);
  }
  --m.busy_;
}

void TApdDataPacket::DoPacket(const void* Data, int Size) {
  if (OnPacket) OnPacket(this, Data, Size);
}

void TApdDataPacket::DoStringPacket(const std::string& Data) {
  if (OnStringPacket) OnStringPacket(this, Data);
}

void TApdDataPacket::DoTimeout() {
  if (OnTimeout) OnTimeout(this);
}

// ---------------------------------------------------------------------------
// The manager

TApdDataPacketManager::TApdDataPacketManager(TApdCustomComPort* port) : port_(port) {
  port_->RegisterUserCallback(MakePortCallback<&TApdDataPacketManager::PortOpenClose>(this));
  DataPacketManagerList().Add(this);
  if (port_->Open() && !port_->Loading())
    SetEnabled(true);
  else if (port_->Open() && !enabled_)
    enableOnLoad_ = true;
}

TApdDataPacketManager::~TApdDataPacketManager() {
  DataPacketManagerList().Remove(this);
  SetEnabled(false);
  port_->DeregisterUserCallback(MakePortCallback<&TApdDataPacketManager::PortOpenClose>(this));
}

void TApdDataPacketManager::Insert(TApdDataPacket* packet) {
  packets_.push_back(packet);
  orphaned_ = false;
}

void TApdDataPacketManager::Remove(TApdDataPacket* packet) {
  std::erase(packets_, packet);
  if (capturing_ == packet) capturing_ = nullptr;
  if (!packets_.empty()) return;
  if (busy_ > 0)
    orphaned_ = true;
  else
    delete this;
}

void TApdDataPacketManager::SetEnabled(bool value) {
  if (value == enabled_) return;
  if (value) {
    dispatcher_ = port_->Dispatcher();
    if (dispatcher_ == nullptr) return;
    dispatcher_->AddMethodTriggerHandler(
        MakeTriggerMethod<&TApdDataPacketManager::TriggerHandler>(this));
    handlerInstalled_ = true;
    timerHandle_ = CheckResultCode(port_, dispatcher_->NewTimerTrigger());
    enabled_ = true;
  } else {
    enabled_ = false;
    if (dispatcher_ != nullptr) {
      dispatcher_->DeleteTrigger(timerHandle_);
      dispatcher_->RemoveMethodTriggerHandler(
          MakeTriggerMethod<&TApdDataPacketManager::TriggerHandler>(this));
    }
    handlerInstalled_ = false;
    dispatcher_ = nullptr;
    timerHandle_ = 0;
    capturing_ = nullptr;
    ReleaseBuffer();
  }
}

void TApdDataPacketManager::AfterLoad() {
  if (!enableOnLoad_) return;
  SetEnabled(true);
  enableOnLoad_ = false;
}

void TApdDataPacketManager::PortOpenClose(TApdCustomComPort*, bool opening) {
  const std::vector<TApdDataPacket*> packets = packets_;
  if (opening) {
    SetEnabled(true);
    for (auto* packet : packets)
      if (packet->enabled_) packet->Arm();
  } else {
    for (auto* packet : packets)
      packet->Disarm();
    SetEnabled(false);
  }
}

void TApdDataPacketManager::TriggerHandler(std::uint32_t msg, std::uint32_t wParam, std::int32_t) {
  if (!enabled_ || dispatcher_ == nullptr) return;
  ++busy_;
  if (msg == TriggerAvailMsg && wParam > 0) {
    const auto n = static_cast<std::int32_t>(wParam);
    if (bufferLen_ + n >= bufferCapacity_) {
      // Doubling keeps the copies of a growing packet linear in its length;
      // the bytes past BufferLen are written before they are read, so they
      // are not cleared. The packets' bound keeps the sum far below 2 GiB.
      std::int64_t capacity = std::max(bufferCapacity_, BufferGrowth);
      while (bufferLen_ + static_cast<std::int64_t>(n) >= capacity)
        capacity *= 2;
      capacity = std::min<std::int64_t>(capacity, INT32_MAX);
      auto grown =
          std::make_unique_for_overwrite<std::uint8_t[]>(static_cast<std::size_t>(capacity));
      if (bufferLen_ > 0)
        std::memcpy(grown.get(), buffer_.get(), static_cast<std::size_t>(bufferLen_));
      buffer_ = std::move(grown);
      bufferCapacity_ = static_cast<std::int32_t>(capacity);
    }
    const std::int32_t got =
        dispatcher_->ReadBlock(buffer_.get() + bufferLen_, static_cast<std::uint32_t>(n));
    if (got > 0) {
      const std::int32_t old = bufferLen_;
      bufferLen_ += got;
      ProcessFrom(old);
    }
  } else if (msg == TriggerTimerMsg && static_cast<std::int32_t>(wParam) == timerHandle_ &&
             capturing_ != nullptr) {
    capturing_->Timeout();
  }
  if (--busy_ == 0 && orphaned_) delete this;
}

void TApdDataPacketManager::ProcessFrom(std::int32_t p) {
  if (inEvent_) {
    if (!dataPending_ || p < pendingStart_) pendingStart_ = p;
    dataPending_ = true;
    return;
  }
  for (;;) {
    if (!buffer_ || bufferLen_ == 0) return;
    const std::uint32_t before = deliveries_;
    if (capturing_ != nullptr) {
      capturing_->Match(p);
    } else {
      for (auto* packet : std::vector<TApdDataPacket*>(packets_)) {
        packet->Match(p);
        if (capturing_ != nullptr || !buffer_ || deliveries_ != before) break;
      }
    }
    if (deliveries_ == before) break;
    // A delivery moved the remaining bytes to the front: every packet starts
    // afresh on them.
    dataPending_ = false;
    p = 0;
  }
  if (capturing_ != nullptr || !buffer_) return;
  const bool inUse = std::any_of(packets_.begin(), packets_.end(), [](const TApdDataPacket* k) {
    return k->enabled_ && k->mode_ != pmIdle && k->beginMatch_ != -1;
  });
  if (!inUse) ReleaseBuffer();
}

void TApdDataPacketManager::ReleaseBuffer() {
  buffer_.reset();
  bufferLen_ = 0;
  bufferCapacity_ = 0;
}

void TApdDataPacketManager::Consume(std::int32_t n) {
  n = std::min(n, bufferLen_);
  if (n >= bufferLen_) {
    ReleaseBuffer();
    return;
  }
  std::memmove(buffer_.get(), buffer_.get() + n, static_cast<std::size_t>(bufferLen_ - n));
  bufferLen_ -= n;
}

void TApdDataPacketManager::BeginCapture(TApdDataPacket* packet) {
  capturing_ = packet;
  if (packet->timeOut_ != 0 && dispatcher_ != nullptr)
    CheckResultCode(port_, dispatcher_->ArmTimerTrigger(timerHandle_, packet->timeOut_, true));
  packet->timerArmed_ = true;
  for (auto* other : std::vector<TApdDataPacket*>(packets_)) {
    if (other == packet || !other->enabled_) continue;
    other->Disarm();
    try {
      other->Arm();
    } catch (const EInvalidProperty&) {
      // As at the end of a delivery: a packet whose properties no longer
      // fit stays disarmed.
    }
  }
}

void TApdDataPacketManager::EndCapture(TApdDataPacket* packet) {
  if (!packet->timerArmed_) return;
  if (dispatcher_ != nullptr)
    CheckResultCode(port_, dispatcher_->ArmTimerTrigger(timerHandle_, 0, false));
  if (capturing_ == packet) capturing_ = nullptr;
  packet->timerArmed_ = false;
  ProcessFrom(0);
}

void TApdDataPacketManager::LeaveEvent() {
  inEvent_ = false;
  for (auto* packet : std::vector<TApdDataPacket*>(packets_)) {
    if (!packet->enabled_) continue;
    // Properties changed since the packet was last armed may no longer
    // fit; such a packet stays disarmed rather than breaking the delivery.
    try {
      packet->Arm();
    } catch (const EInvalidProperty&) {
      packet->enablePending_ = false;
    }
  }
}

void TApdDataPacketManager::RaiseEvent(TApdDataPacket* packet, const std::function<void()>& call) {
  const auto guarded = [&] {
    try {
      call();
    } catch (...) {
      if (Application != nullptr) Application->HandleException(packet);
    }
  };
  if (dispatcher_ != nullptr && dispatcher_->DispThread.load() != nullptr)
    dispatcher_->SyncCall(guarded);
  else
    guarded();
}
