// Device layers of the dispatcher tests: an in-memory device whose reads and
// writes the test controls, and a handler that records the events it gets.
#pragma once

#include <algorithm>
#include <deque>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "dispatch/AwUser.h"

// The device holds the bytes "waiting in the device" in Incoming; DeviceRead
// takes at most MaxPerRead of them at a time. Written bytes collect in Sent.
class MemoryDispatcher : public TApdBaseDispatcher {
 public:
  explicit MemoryDispatcher(TApdBaseComponent* owner = nullptr) : TApdBaseDispatcher(owner) {}
  ~MemoryDispatcher() override { CloseForDestruction(); }

  std::int32_t Open() { return OpenSocketDevice(4096, 4096); }
  void Feed(std::string_view bytes) { Incoming.insert(Incoming.end(), bytes.begin(), bytes.end()); }
  std::string Take(std::uint32_t n) {
    std::string out(n, '\0');
    const std::int32_t r = ReadBlock(reinterpret_cast<std::uint8_t*>(out.data()), n);
    return r == static_cast<std::int32_t>(n) ? out : std::string("<") + std::to_string(r) + ">";
  }
  std::int32_t Put(std::string_view bytes) {
    return WriteBlock(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                      static_cast<std::uint32_t>(bytes.size()));
  }
  std::string SentText() const { return std::string(Sent.begin(), Sent.end()); }

  std::int32_t DeviceEscape(std::int32_t Func) override {
    Escapes.push_back(Func);
    return 0;
  }
  std::int32_t DeviceFlush(std::int32_t Queue) override {
    if (Queue == 1) Incoming.clear();
    if (Queue == 0) OutWaiting = 0;
    ++Flushes[Queue == 1 ? 1 : 0];
    return 0;
  }
  std::int32_t DeviceGetError(TDeviceStatus& Status) override {
    Status.InQue = static_cast<std::uint32_t>(Incoming.size());
    Status.OutQue = OutWaiting;
    return DeviceError;
  }
  std::int32_t DeviceReadFailed(std::int32_t Code) override {
    ReadFailures.push_back(Code);
    return 0;
  }
  std::int32_t DeviceGetState(TLineSettings& Settings) override {
    Settings = Device;
    return 0;
  }
  std::int32_t DeviceRead(std::uint8_t* Buf, std::int32_t Size) override {
    ReadRequests.push_back(Size);
    if (FailReads > 0) {
      --FailReads;
      return -1;
    }
    const auto n =
        std::min<std::size_t>({static_cast<std::size_t>(Size), Incoming.size(), MaxPerRead});
    std::copy_n(Incoming.begin(), n, Buf);
    Incoming.erase(Incoming.begin(), Incoming.begin() + static_cast<std::ptrdiff_t>(n));
    return static_cast<std::int32_t>(n);
  }
  std::int32_t DeviceSetState(TLineSettings& Settings) override {
    Device = Settings;
    ++SetStates;
    return 0;
  }
  std::int32_t DeviceWrite(const std::uint8_t* Buf, std::int32_t Size) override {
    const std::int32_t n = AcceptLimit < 0 ? Size : std::min(Size, AcceptLimit);
    Sent.insert(Sent.end(), Buf, Buf + n);
    return n;
  }
  bool DeviceWaitEvent(std::uint32_t&, TApdEvent*) override { return true; }
  bool DeviceSetup(std::uint32_t, std::uint32_t) override { return SetupOk; }
  void BeginDispatching() override {
    Started = true;
    ++Begins;
  }
  void EndDispatching() override {
    Started = false;
    ++Ends;
  }
  std::int32_t DeviceOpen(const std::string&, std::uint32_t, std::uint32_t) override {
    return OpenResult;
  }
  std::int32_t DeviceClose() override {
    ++Closes;
    return 0;
  }
  std::int32_t ServiceDevice() override { return 0; }

  std::deque<std::uint8_t> Incoming;
  std::size_t MaxPerRead = 1u << 20;
  int FailReads = 0;
  std::vector<std::int32_t> ReadRequests;
  std::vector<std::int32_t> ReadFailures;
  std::vector<std::uint8_t> Sent;
  std::int32_t AcceptLimit = -1;  // -1: every byte
  std::uint32_t OutWaiting = 0;
  std::int32_t DeviceError = 0;
  std::int32_t OpenResult = 7;
  bool SetupOk = true;
  int Flushes[2] = {0, 0};
  int Closes = 0;
  int Begins = 0;
  int Ends = 0;
  int SetStates = 0;
  std::vector<std::int32_t> Escapes;
  TLineSettings Device;
};

// One event as a handler saw it, with the bytes it read.
struct SeenEvent {
  std::uint32_t Msg;
  std::uint32_t wParam;
  std::int32_t lParam;
  std::string Read;
  bool operator==(const SeenEvent&) const = default;
};

// A method handler; Action runs inside each call and may read with Read().
struct Recorder {
  explicit Recorder(TApdBaseDispatcher& d) : D(d) {}
  void OnTrigger(std::uint32_t msg, std::uint32_t wParam, std::int32_t lParam) {
    Seen.push_back(SeenEvent{msg, wParam, lParam, {}});
    if (Action) Action(msg, wParam, lParam);
  }
  // Reads n bytes during the current event and notes them.
  std::int32_t Read(std::uint32_t n) {
    std::string bytes(n, '\0');
    const std::int32_t r = D.ReadBlock(reinterpret_cast<std::uint8_t*>(bytes.data()), n);
    if (r > 0) Seen.back().Read += bytes;
    return r;
  }
  TTriggerMethod Method() { return MakeTriggerMethod<&Recorder::OnTrigger>(this); }

  TApdBaseDispatcher& D;
  std::vector<SeenEvent> Seen;
  std::function<void(std::uint32_t, std::uint32_t, std::int32_t)> Action;
};
