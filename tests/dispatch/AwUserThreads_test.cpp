// The worker threads of a thread-driven device layer, over a real device:
// two pipes stand for the line, one in each direction.
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>

#include "TestDevices.h"
#include "dispatch/AdExcept.h"
#include "dispatch/AwUser.h"
#include "platform/Messages.h"

namespace {

// The test writes into Line() and reads what the dispatcher sent from Peer().
class PipeDispatcher : public TApdBaseDispatcher {
 public:
  PipeDispatcher() : TApdBaseDispatcher(nullptr) {}
  ~PipeDispatcher() override {
    CloseForDestruction();
    // The threads have stopped: now the descriptors may go.
    for (int* p : {in_, out_, wake_}) {
      for (int i = 0; i < 2; ++i) {
        if (p[i] >= 0) close(p[i]);
        p[i] = -1;
      }
    }
  }

  std::int32_t Open() {
    return OpenSerialDevice("pipe", 9600, 0, 8, 1, 4096, 4096, doDtrOn | doRtsOn);
  }
  int Line() const { return in_[1]; }
  int Peer() const { return out_[0]; }

  // Two refreshes of the device status at the same time write the same
  // record from two threads; with SlowStatus each refresh takes a moment,
  // so that unguarded ones would meet.
  std::atomic<bool> SlowStatus{false};
  std::atomic<bool> StatusOverlapped{false};

  std::int32_t DeviceEscape(std::int32_t) override { return 0; }
  std::int32_t DeviceFlush(std::int32_t Queue) override {
    if (Queue == 0) {
      std::lock_guard<std::recursive_mutex> output(OutputLock);
      OutHead = OutTail = 0;
      OutRingFull = false;
    }
    return 0;
  }
  std::int32_t DeviceGetError(TDeviceStatus& Status) override {
    if (statusCalls_.fetch_add(1) > 0) StatusOverlapped = true;
    if (SlowStatus) std::this_thread::sleep_for(std::chrono::microseconds(200));
    int waiting = 0;
    if (in_[0] >= 0) ioctl(in_[0], FIONREAD, &waiting);
    Status.InQue = static_cast<std::uint32_t>(waiting);
    Status.OutQue = OutRingCount();
    statusCalls_.fetch_sub(1);
    return 0;
  }
  std::int32_t DeviceReadFailed(std::int32_t) override { return 0; }
  std::int32_t DeviceGetState(TLineSettings& Settings) override {
    Settings = settings_;
    return 0;
  }
  std::int32_t DeviceRead(std::uint8_t* Buf, std::int32_t Size) override {
    const ssize_t n = read(in_[0], Buf, static_cast<std::size_t>(Size));
    return n < 0 ? (errno == EAGAIN ? 0 : -1) : static_cast<std::int32_t>(n);
  }
  std::int32_t DeviceSetState(TLineSettings& Settings) override {
    settings_ = Settings;
    return 0;
  }
  std::int32_t DeviceWrite(const std::uint8_t* Buf, std::int32_t Size) override {
    return QueueOutput(Buf, Size);
  }
  bool DeviceWaitEvent(std::uint32_t& Mask, TApdEvent*) override {
    Mask = 0;
    if (closed_) return false;  // the wait fails on a closed device
    if (!armed_) return true;
    pollfd fds[2] = {{in_[0], POLLIN, 0}, {wake_[0], POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) return errno == EINTR;
    if (fds[1].revents & POLLIN) {
      char drain[16];
      (void)!read(wake_[0], drain, sizeof drain);
      return true;
    }
    if (fds[0].revents & POLLIN) Mask = evRxChar;
    return true;
  }
  bool DeviceSetup(std::uint32_t, std::uint32_t) override { return true; }
  void BeginDispatching() override { StartWorkerThreads(); }
  void EndDispatching() override { StopWorkerThreads(); }
  std::int32_t DeviceOpen(const std::string&, std::uint32_t, std::uint32_t) override {
    if (pipe(in_) != 0 || pipe(out_) != 0 || pipe(wake_) != 0) return -4;
    closed_ = false;
    fcntl(in_[0], F_SETFL, O_NONBLOCK);
    fcntl(out_[1], F_SETFL, O_NONBLOCK);
    return in_[0];
  }
  // Closing ends a pending wait; the descriptors stay until the threads
  // that may still use them have stopped.
  std::int32_t DeviceClose() override {
    closed_ = true;
    (void)!write(wake_[1], "c", 1);
    return 0;
  }
  std::int32_t ServiceDevice() override { return 0; }
  void DeviceSetEventMask(std::uint32_t Mask) override {
    armed_ = Mask != 0;
    if (!armed_) (void)!write(wake_[1], "w", 1);
  }
  std::int32_t DeviceTransmit(const std::uint8_t* Buf, std::int32_t Size) override {
    const ssize_t n = write(out_[1], Buf, static_cast<std::size_t>(Size));
    return n < 0 ? (errno == EAGAIN ? 0 : -1) : static_cast<std::int32_t>(n);
  }

 private:
  std::atomic<int> statusCalls_{0};
  int in_[2] = {-1, -1};
  int out_[2] = {-1, -1};
  int wake_[2] = {-1, -1};
  std::atomic<bool> armed_{false};
  std::atomic<bool> closed_{false};
  TLineSettings settings_;
};

// Waits for a condition, keeping the main thread's messages moving.
template <class Cond>
bool WaitUntil(Cond cond, int seconds = 20) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!cond()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    if (PumpOneMessage() == 0) platform::WaitForWork(2);
  }
  return true;
}

// A handler that collects what avail events offer; it runs in the dispatch
// thread (or on the main thread when synchronized).
struct Collector {
  explicit Collector(TApdBaseDispatcher& d) : D(d) {}
  void OnTrigger(std::uint32_t msg, std::uint32_t wParam, std::int32_t) {
    std::lock_guard<std::mutex> lock(m);
    threads.push_back(std::this_thread::get_id());
    if (msg == TriggerAvailMsg) {
      std::string bytes(wParam, '\0');
      if (D.ReadBlock(reinterpret_cast<std::uint8_t*>(bytes.data()), wParam) > 0) got += bytes;
    }
    if (msg == TriggerTimerMsg) ++timers;
    if (closeInHandler) D.CloseDispatcher();
  }
  std::string Got() {
    std::lock_guard<std::mutex> lock(m);
    return got;
  }
  TApdBaseDispatcher& D;
  std::mutex m;
  std::string got;
  std::vector<std::thread::id> threads;
  int timers = 0;
  std::atomic<bool> closeInHandler{false};
};

class WorkerThreads : public ::testing::Test {
 protected:
  void TearDown() override { platform::ResetMessageLoopForTesting(); }
  void Send(std::string_view bytes) {
    ASSERT_EQ(write(d.Line(), bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  std::string ReceiveFromPeer(std::size_t n) {
    std::string got;
    WaitUntil([&] {
      char buf[4096];
      pollfd p{d.Peer(), POLLIN, 0};
      if (poll(&p, 1, 0) > 0) {
        const ssize_t r = read(d.Peer(), buf, sizeof buf);
        if (r > 0) got.append(buf, static_cast<std::size_t>(r));
      }
      return got.size() >= n;
    });
    return got;
  }

  PipeDispatcher d;
  Collector c{d};
};

TEST_F(WorkerThreads, StartAndStop) {
  ASSERT_EQ(d.Open(), 0);
  EXPECT_TRUE(d.Started);
  EXPECT_EQ(d.RunningThreads.load(), 3);
  EXPECT_NE(d.ComThread.load(), nullptr);
  EXPECT_NE(d.DispThread.load(), nullptr);
  EXPECT_NE(d.OutThread.load(), nullptr);
  EXPECT_EQ(d.CurrentBaud, 9600u);
  d.CloseDispatcher();
  EXPECT_FALSE(d.Started);
  EXPECT_EQ(d.RunningThreads.load(), 0);
  EXPECT_EQ(d.ComThread.load(), nullptr);
  EXPECT_EQ(d.DispThread.load(), nullptr);
  EXPECT_EQ(d.OutThread.load(), nullptr);
  EXPECT_EQ(d.ComEvent, nullptr);
}

TEST_F(WorkerThreads, PriorityFollowsTheBoost) {
  ASSERT_EQ(d.Open(), 0);
  EXPECT_EQ(d.ComThread.load()->Priority.load(), tpNormal);
  d.Rs485 = true;
  d.SetWorkerPriority(1);
  EXPECT_EQ(d.ComThread.load()->Priority.load(), tpHigher);
  EXPECT_EQ(d.DispThread.load()->Priority.load(), tpHigher);
  EXPECT_EQ(d.OutThread.load()->Priority.load(), tpHighest);  // one more in RS-485 mode
  d.SetWorkerPriority(9);
  EXPECT_EQ(d.OutThread.load()->Priority.load(), tpTimeCritical);
}

TEST_F(WorkerThreads, StartingTwiceIsRefused) {
  ASSERT_EQ(d.Open(), 0);
  try {
    d.BeginDispatching();
    FAIL() << "started twice";
  } catch (const EAPDException& e) {
    EXPECT_EQ(e.Message(), "Dispatcher already started");
  }
  EXPECT_EQ(d.RunningThreads.load(), 3);
}

TEST_F(WorkerThreads, ReceivedBytesReachTheHandlerInTheDispatchThread) {
  d.AddMethodTriggerHandler(MakeTriggerMethod<&Collector::OnTrigger>(&c));
  ASSERT_EQ(d.Open(), 0);  // an open starts without triggers
  d.SetAvailThreshold(1);
  Send("hello ");
  Send("world");
  ASSERT_TRUE(WaitUntil([&] { return c.Got() == "hello world"; })) << c.Got();
  std::lock_guard<std::mutex> lock(c.m);
  EXPECT_NE(c.threads.front(), std::this_thread::get_id());
}

TEST_F(WorkerThreads, SynchronizedHandlersRunOnTheMainThread) {
  d.InternalAddSyncMethodTriggerHandler(MakeTriggerMethod<&Collector::OnTrigger>(&c));
  ASSERT_EQ(d.Open(), 0);  // an open starts without triggers
  d.SetAvailThreshold(1);
  Send("sync");
  ASSERT_TRUE(WaitUntil([&] { return c.Got() == "sync"; })) << c.Got();
  std::lock_guard<std::mutex> lock(c.m);
  EXPECT_EQ(c.threads.front(), std::this_thread::get_id());
}

TEST_F(WorkerThreads, HandlerWindowsGetTheirEventsOnTheMainThread) {
  std::string got;
  std::thread::id ran;
  const platform::HWND window = platform::AllocateHWnd(
      [&](platform::HWND, platform::UINT msg, platform::WPARAM w, platform::LPARAM) {
        ran = std::this_thread::get_id();
        if (msg == TriggerAvailMsg) {
          std::string bytes(w, '\0');
          if (d.ReadBlock(reinterpret_cast<std::uint8_t*>(bytes.data()), w) > 0) got += bytes;
        }
        return platform::LRESULT{0};
      });
  ASSERT_EQ(d.Open(), 0);
  d.AddWindowTriggerHandler(window);
  d.RecomputeHandlerFlags(huEnablePort);
  d.SetAvailThreshold(1);
  Send("window");
  ASSERT_TRUE(WaitUntil([&] { return got == "window"; })) << got;
  EXPECT_EQ(ran, std::this_thread::get_id());
  EXPECT_TRUE(WaitUntil([&] { return d.InputCount() == 0; }));
}

TEST_F(WorkerThreads, AWindowThatDoesNotAnswerIsSkipped) {
  std::atomic<int> windowCalls{0};
  const platform::HWND window = platform::AllocateHWnd(
      [&](platform::HWND, platform::UINT, platform::WPARAM, platform::LPARAM) {
        ++windowCalls;
        return platform::LRESULT{0};
      });
  d.AddMethodTriggerHandler(MakeTriggerMethod<&Collector::OnTrigger>(&c));
  ASSERT_EQ(d.Open(), 0);
  d.AddWindowTriggerHandler(window);
  d.RecomputeHandlerFlags(huEnablePort);
  const std::int32_t first = d.NewTimerTrigger();
  const std::int32_t second = d.NewTimerTrigger();
  d.ArmTimerTrigger(first, 1, true);
  d.ArmTimerTrigger(second, 2, true);
  // The main thread handles no messages meanwhile: the window cannot answer,
  // and the second timer's event is delivered after the time-out.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(c.m);
      if (c.timers == 2) break;
    }
    ASSERT_LT(std::chrono::steady_clock::now(), deadline);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(windowCalls.load(), 0);
  // A send that was given up does not run later.
  WaitUntil([&] { return windowCalls.load() > 0; }, 1);
  EXPECT_LE(windowCalls.load(), 1);  // only the second event's send may still be waiting
}

TEST_F(WorkerThreads, WrittenBytesReachThePeer) {
  ASSERT_EQ(d.Open(), 0);
  std::string block;
  for (int i = 0; i < 3000; ++i)
    block += static_cast<char>('a' + i % 26);
  ASSERT_EQ(d.WriteBlock(reinterpret_cast<const std::uint8_t*>(block.data()), 3000), 0);
  ASSERT_EQ(d.WriteBlock(reinterpret_cast<const std::uint8_t*>("!"), 1), 0);
  EXPECT_EQ(ReceiveFromPeer(3001), block + "!");
  EXPECT_TRUE(WaitUntil([&] { return d.OutputCount() == 0; }));
}

// The main thread writes while the dispatch thread receives: both refresh
// the device status and the line errors, one at a time.
TEST_F(WorkerThreads, WritesDuringReceptionRefreshTheStatusOneAtATime) {
  d.AddMethodTriggerHandler(MakeTriggerMethod<&Collector::OnTrigger>(&c));
  ASSERT_EQ(d.Open(), 0);
  d.SetAvailThreshold(1);
  d.SlowStatus = true;
  constexpr int kBytes = 150;
  std::thread line([this] {
    for (int i = 0; i < kBytes; ++i) {
      (void)!write(d.Line(), "r", 1);
      std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
  });
  for (int i = 0; i < kBytes; ++i) {
    EXPECT_EQ(d.WriteBlock(reinterpret_cast<const std::uint8_t*>("w"), 1), 0);
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
  line.join();
  EXPECT_EQ(ReceiveFromPeer(kBytes), std::string(kBytes, 'w'));
  EXPECT_TRUE(WaitUntil([&] { return c.Got().size() == kBytes; })) << c.Got().size();
  d.SlowStatus = false;
  EXPECT_FALSE(d.StatusOverlapped);
}

TEST_F(WorkerThreads, TheOutputRingWrapsWithoutLosingBytes) {
  ASSERT_EQ(d.Open(), 0);
  std::string sent, got;
  for (int round = 0; round < 6; ++round) {
    std::string block(1500, static_cast<char>('A' + round));
    ASSERT_TRUE(WaitUntil([&] { return d.OutputRoom() >= 1500; }));
    ASSERT_EQ(d.WriteBlock(reinterpret_cast<const std::uint8_t*>(block.data()), 1500), 0);
    sent += block;
    got += ReceiveFromPeer(1500);
  }
  EXPECT_EQ(got, sent);
}

TEST_F(WorkerThreads, TimersFireWithoutDeviceActivity) {
  d.AddMethodTriggerHandler(MakeTriggerMethod<&Collector::OnTrigger>(&c));
  ASSERT_EQ(d.Open(), 0);
  const std::int32_t h = d.NewTimerTrigger();
  d.ArmTimerTrigger(h, 1, true);
  EXPECT_TRUE(WaitUntil([&] {
    std::lock_guard<std::mutex> lock(c.m);
    return c.timers == 1;
  }));
}

TEST_F(WorkerThreads, ACloseFromAHandlerReleasesTheDispatcherFromItsThread) {
  d.AddMethodTriggerHandler(MakeTriggerMethod<&Collector::OnTrigger>(&c));
  c.closeInHandler = true;
  ASSERT_EQ(d.Open(), 0);
  d.SetAvailThreshold(1);
  Send("bye");
  ASSERT_TRUE(WaitUntil([&] { return !d.Started; }));
  EXPECT_TRUE(d.ClosePending);
  EXPECT_EQ(d.RunningThreads.load(), 0);
  EXPECT_EQ(d.DispBuffer, nullptr);
}

}  // namespace
