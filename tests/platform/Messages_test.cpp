// The message loop: windows, ordering of posted and sent messages, quit,
// subclassing, timers, descriptors, other threads and the wait seam.
#include "platform/Messages.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/Clock.h"

using namespace platform;

namespace {

constexpr UINT kMsgA = WM_USER + 1;
constexpr UINT kMsgB = WM_USER + 2;
constexpr UINT kMsgC = WM_USER + 3;
constexpr UINT kMsgD = WM_USER + 4;
// Exit code of the safety timer that ends a loop that would otherwise hang.
constexpr int kGaveUp = 99;

class MessagesTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetMessageLoopForTesting(); }
  void TearDown() override { ResetMessageLoopForTesting(); }

  // Runs the loop until quit; a generous safety timer ends it with kGaveUp
  // when the quit never comes.
  int RunLoop(UINT safetyMs = 20000) {
    UINT safety =
        SetTimer(0, 0, safetyMs, [](HWND, UINT, UINT, std::uint32_t) { PostQuitMessage(kGaveUp); });
    int code = RunMessageLoop();
    KillTimer(0, safety);
    return code;
  }

  // Dispatches messages until done() holds or the deadline passes.
  static bool PumpUntil(const std::function<bool()>& done, int deadlineMs = 20000) {
    std::int64_t end = QueryPerformanceCounter() + std::int64_t{deadlineMs} * 1000000;
    while (!done()) {
      if (QueryPerformanceCounter() > end) return false;
      MSG msg;
      while (PeekMessage(msg, true))
        DispatchMessage(msg);
      if (!done()) WaitForWork(50);
    }
    return true;
  }

  // Dispatches whatever is pending or becomes pending during ms.
  static void PumpFor(int ms) {
    std::int64_t end = QueryPerformanceCounter() + std::int64_t{ms} * 1000000;
    PumpUntil([&] { return QueryPerformanceCounter() > end; }, ms + 20000);
  }

  std::vector<std::string> log_;
};

// --- windows and classes ---

TEST_F(MessagesTest, ClassesBindTheirProcedureAndNamesIgnoreCase) {
  int calls = 0;
  EXPECT_TRUE(RegisterClass("awDispatch", [&](HWND, UINT, WPARAM, LPARAM) { return ++calls; }));
  EXPECT_FALSE(RegisterClass("AWDISPATCH", [](HWND, UINT, WPARAM, LPARAM) { return 0; }));
  EXPECT_EQ(CreateWindow("noSuchClass"), 0u);

  HWND a = CreateWindow("awdispatch");
  HWND b = CreateWindow("awDispatch");
  ASSERT_NE(a, 0u);
  ASSERT_NE(b, 0u);
  EXPECT_NE(a, b);
  EXPECT_EQ(SendMessage(a, kMsgA, 0, 0), 1);
  EXPECT_EQ(SendMessage(b, kMsgA, 0, 0), 2);

  EXPECT_TRUE(UnregisterClass("AwDispatch"));
  EXPECT_FALSE(UnregisterClass("awDispatch"));
  EXPECT_EQ(CreateWindow("awDispatch"), 0u);
  EXPECT_TRUE(IsWindow(a));  // windows outlive their class
  EXPECT_FALSE(IsWindow(0));
}

TEST_F(MessagesTest, HandlesAreNotReusedAfterDestruction) {
  HWND first = AllocateHWnd([](HWND, UINT, WPARAM, LPARAM) { return 0; });
  ASSERT_TRUE(DestroyWindow(first));
  EXPECT_FALSE(DestroyWindow(first));
  HWND second = AllocateHWnd([](HWND, UINT, WPARAM, LPARAM) { return 0; });
  EXPECT_NE(first, second);
  EXPECT_FALSE(IsWindow(first));
  EXPECT_FALSE(PostMessage(first, kMsgA, 0, 0));
}

// --- ordering ---

TEST_F(MessagesTest, PostedMessagesFollowTheHandlerAndSentOnesRunAtOnce) {
  HWND hwnd = AllocateHWnd([&](HWND self, UINT msg, WPARAM wParam, LPARAM) -> LRESULT {
    switch (msg) {
      case kMsgA:
        log_.push_back("A begin");
        PostMessage(self, kMsgB, 0, 0);
        PostMessage(self, kMsgC, 0, 0);
        log_.push_back("D answered " + std::to_string(SendMessage(self, kMsgD, 41, 0)));
        log_.push_back("A end");
        return 0;
      case kMsgB:
        log_.push_back("B");
        return 0;
      case kMsgC:
        log_.push_back("C");
        PostQuitMessage(0);
        return 0;
      case kMsgD:
        log_.push_back("D");
        return static_cast<LRESULT>(wParam) + 1;
    }
    return 0;
  });
  ASSERT_TRUE(PostMessage(hwnd, kMsgA, 0, 0));
  EXPECT_EQ(RunLoop(), 0);
  EXPECT_EQ(log_, (std::vector<std::string>{"A begin", "D", "D answered 42", "A end", "B", "C"}));
}

TEST_F(MessagesTest, AHandlerThatPumpsOneMessageSeesALaterPost) {
  HWND hwnd = AllocateHWnd([&](HWND self, UINT msg, WPARAM, LPARAM) -> LRESULT {
    if (msg == kMsgA) {
      log_.push_back("A begin");
      PostMessage(self, kMsgB, 0, 0);
      MSG next;
      if (PeekMessage(next, true)) DispatchMessage(next);
      log_.push_back("A end");
    } else if (msg == kMsgB) {
      log_.push_back("B");
    }
    return 0;
  });
  PostMessage(hwnd, kMsgA, 0, 0);
  PostMessage(hwnd, kMsgC, 0, 0);  // queued before B: B waits behind it
  MSG msg;
  while (PeekMessage(msg, true))
    DispatchMessage(msg);
  // First in line is C, which the pump inside A takes (the procedure
  // ignores it): the queue stays in posting order, so B comes after A.
  EXPECT_EQ(log_, (std::vector<std::string>{"A begin", "A end", "B"}));

  log_.clear();
  PostMessage(hwnd, kMsgA, 0, 0);
  while (PeekMessage(msg, true))
    DispatchMessage(msg);
  EXPECT_EQ(log_, (std::vector<std::string>{"A begin", "B", "A end"}));
}

TEST_F(MessagesTest, PeekWithoutRemoveLeavesTheMessageFirstInLine) {
  HWND hwnd = AllocateHWnd([](HWND, UINT, WPARAM, LPARAM) { return 0; });
  PostMessage(hwnd, kMsgA, 1, -2);
  PostMessage(hwnd, kMsgB, 0, 0);
  MSG msg;
  ASSERT_TRUE(PeekMessage(msg, false));
  EXPECT_EQ(msg.message, kMsgA);
  ASSERT_TRUE(PeekMessage(msg, true));
  EXPECT_EQ(msg.hwnd, hwnd);
  EXPECT_EQ(msg.message, kMsgA);
  EXPECT_EQ(msg.wParam, 1u);
  EXPECT_EQ(msg.lParam, -2);
  ASSERT_TRUE(PeekMessage(msg, true));
  EXPECT_EQ(msg.message, kMsgB);
  EXPECT_FALSE(PeekMessage(msg, true));
}

TEST_F(MessagesTest, ThreadMessagesReachGetMessageWithoutAWindow) {
  EXPECT_FALSE(PostMessage(0, kMsgA, 0, 0));  // 0 is no window
  ASSERT_TRUE(PostThreadMessage(kMsgA, 7, 8));
  MSG msg;
  ASSERT_TRUE(GetMessage(msg));
  EXPECT_EQ(msg.hwnd, 0u);
  EXPECT_EQ(msg.message, kMsgA);
  EXPECT_EQ(msg.wParam, 7u);
  EXPECT_EQ(msg.lParam, 8);
  EXPECT_EQ(DispatchMessage(msg), 0);
}

// --- quit ---

TEST_F(MessagesTest, QuitEndsTheLoopWithItsExitCodeAfterEarlierPosts) {
  HWND hwnd = AllocateHWnd([&](HWND, UINT msg, WPARAM, LPARAM) -> LRESULT {
    log_.push_back(std::to_string(msg - WM_USER));
    return 0;
  });
  PostMessage(hwnd, kMsgA, 0, 0);
  PostQuitMessage(7);
  PostMessage(hwnd, kMsgB, 0, 0);  // after the quit: left in the queue
  EXPECT_EQ(RunLoop(), 7);
  EXPECT_EQ(log_, (std::vector<std::string>{"1"}));

  MSG msg;
  PostQuitMessage(-3);
  ASSERT_TRUE(PeekMessage(msg, true));  // B, still waiting
  EXPECT_EQ(msg.message, kMsgB);
  EXPECT_FALSE(GetMessage(msg));
  EXPECT_EQ(msg.message, WM_QUIT);
  EXPECT_EQ(static_cast<int>(msg.wParam), -3);
}

TEST_F(MessagesTest, AQuitTakenByAPumpAndPostedAgainStillEndsTheLoop) {
  // What a pump-one-message inside a handler does with a quit it meets.
  int sawQuit = 0;
  HWND hwnd = AllocateHWnd([&](HWND, UINT msg, WPARAM, LPARAM) -> LRESULT {
    if (msg != kMsgA) return 0;
    MSG next;
    while (PeekMessage(next, true)) {
      if (next.message == WM_QUIT) {
        ++sawQuit;
        PostQuitMessage(static_cast<int>(next.wParam));
        break;
      }
      DispatchMessage(next);
    }
    return 0;
  });
  PostMessage(hwnd, kMsgA, 0, 0);
  PostQuitMessage(5);
  EXPECT_EQ(RunLoop(), 5);
  EXPECT_EQ(sawQuit, 1);
}

// --- subclassing ---

TEST_F(MessagesTest, ASubclassSeesMessagesFirstAndPassesTheRestOn) {
  HWND hwnd = AllocateHWnd([&](HWND, UINT msg, WPARAM, LPARAM) -> LRESULT {
    log_.push_back("old " + std::to_string(msg - WM_USER));
    return 10;
  });
  WNDPROC previous;
  previous = SetWindowProc(hwnd, [&](HWND self, UINT msg, WPARAM w, LPARAM l) -> LRESULT {
    log_.push_back("new " + std::to_string(msg - WM_USER));
    if (msg == kMsgA) return 20;  // handled here
    return CallWindowProc(previous, self, msg, w, l);
  });
  ASSERT_TRUE(previous);
  EXPECT_EQ(SendMessage(hwnd, kMsgA, 0, 0), 20);
  EXPECT_EQ(SendMessage(hwnd, kMsgB, 0, 0), 10);
  PostMessage(hwnd, kMsgC, 0, 0);
  MSG msg;
  while (PeekMessage(msg, true))
    DispatchMessage(msg);
  EXPECT_EQ(log_, (std::vector<std::string>{"new 1", "new 2", "old 2", "new 3", "old 3"}));

  // Putting the old procedure back ends the subclass.
  SetWindowProc(hwnd, previous);
  log_.clear();
  SendMessage(hwnd, kMsgA, 0, 0);
  EXPECT_EQ(log_, (std::vector<std::string>{"old 1"}));
  EXPECT_FALSE(SetWindowProc(12345, previous));
  EXPECT_EQ(CallWindowProc(WNDPROC{}, hwnd, kMsgA, 0, 0), 0);
}

// --- destruction ---

TEST_F(MessagesTest, ADestroyedWindowGetsNothingMore) {
  int calls = 0;
  HWND hwnd = AllocateHWnd([&](HWND, UINT, WPARAM, LPARAM) -> LRESULT { return ++calls; });
  HWND other = AllocateHWnd([&](HWND, UINT msg, WPARAM, LPARAM) -> LRESULT {
    log_.push_back(std::to_string(msg - WM_USER));
    return 0;
  });
  PostMessage(hwnd, kMsgA, 0, 0);
  PostMessage(other, kMsgB, 0, 0);
  PostMessage(hwnd, kMsgA, 0, 0);
  ASSERT_EQ(SetTimer(hwnd, 1, 10), 1u);
  ASSERT_TRUE(DestroyWindow(hwnd));

  EXPECT_FALSE(PostMessage(hwnd, kMsgA, 0, 0));
  EXPECT_EQ(SendMessage(hwnd, kMsgA, 0, 0), 0);
  LRESULT answer = -1;
  EXPECT_FALSE(SendMessageTimeout(hwnd, kMsgA, 0, 0, 3000, &answer));
  EXPECT_EQ(answer, -1);
  EXPECT_EQ(SetTimer(hwnd, 2, 10), 0u);
  EXPECT_FALSE(KillTimer(hwnd, 1));  // killed with the window
  PumpFor(60);
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(log_, (std::vector<std::string>{"2"}));
}

TEST_F(MessagesTest, AWindowMayDestroyItselfInsideItsProcedure) {
  int calls = 0;
  HWND hwnd = 0;
  hwnd = AllocateHWnd([&](HWND self, UINT, WPARAM, LPARAM) -> LRESULT {
    ++calls;
    EXPECT_TRUE(DestroyWindow(self));
    // The procedure object stays alive until it returns.
    log_.push_back("still running");
    return 0;
  });
  PostMessage(hwnd, kMsgA, 0, 0);
  PostMessage(hwnd, kMsgB, 0, 0);
  MSG msg;
  while (PeekMessage(msg, true))
    DispatchMessage(msg);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(log_, (std::vector<std::string>{"still running"}));
}

// --- timers ---

TEST_F(MessagesTest, WindowTimerTicksNeverComeFasterThanThePeriod) {
  int ticks = 0;
  std::int64_t first = 0;
  std::int64_t last = 0;
  HWND hwnd = AllocateHWnd([&](HWND, UINT msg, WPARAM wParam, LPARAM) -> LRESULT {
    if (msg == WM_TIMER && wParam == 3) {
      last = QueryPerformanceCounter();
      if (ticks++ == 0) first = last;
    }
    return 0;
  });
  std::int64_t start = QueryPerformanceCounter();
  ASSERT_EQ(SetTimer(hwnd, 3, 20), 3u);
  ASSERT_TRUE(PumpUntil([&] { return ticks >= 10; }));
  // Tick k is made no sooner than k periods after setting the timer,
  // however late the loop takes it.
  EXPECT_GE(first - start, 20 * 1000000);
  EXPECT_GE(last - start, 10 * 20 * 1000000);
}

TEST_F(MessagesTest, TimerCountsFollowThePeriodsOverOneWindow) {
  int fast = 0;
  int slow = 0;
  std::int64_t start = QueryPerformanceCounter();
  UINT fastId = SetTimer(0, 0, 15, [&](HWND, UINT, UINT, std::uint32_t) { ++fast; });
  UINT slowId = SetTimer(0, 0, 150, [&](HWND, UINT, UINT, std::uint32_t) { ++slow; });
  ASSERT_NE(fastId, 0u);
  ASSERT_NE(slowId, 0u);
  EXPECT_NE(fastId, slowId);
  ASSERT_TRUE(PumpUntil([&] { return slow >= 3; }));
  double elapsedMs = static_cast<double>(QueryPerformanceCounter() - start) / 1e6;
  // Missed periods are not caught up in bursts, so a count can never exceed
  // the elapsed time over the period; the fast timer ticked in between.
  EXPECT_LE(fast, elapsedMs / 15 + 1);
  EXPECT_LE(slow, elapsedMs / 150 + 1);
  EXPECT_GT(fast, slow);
}

TEST_F(MessagesTest, SettingAnExistingTimerAgainRestartsItWithTheNewPeriod) {
  std::vector<UINT> ids;
  HWND hwnd = AllocateHWnd([&](HWND, UINT msg, WPARAM wParam, LPARAM) -> LRESULT {
    if (msg == WM_TIMER) ids.push_back(wParam);
    return 0;
  });
  ASSERT_EQ(SetTimer(hwnd, 1, 100000), 1u);
  ASSERT_EQ(SetTimer(hwnd, 1, 10), 1u);
  ASSERT_TRUE(PumpUntil([&] { return ids.size() >= 2; }));
  EXPECT_EQ(ids[0], 1u);

  // A thread timer's id given back restarts that timer, not a new one.
  int ticks = 0;
  UINT id = SetTimer(0, 0, 100000, [&](HWND, UINT, UINT, std::uint32_t) { ++ticks; });
  EXPECT_EQ(SetTimer(0, id, 10, [&](HWND, UINT, UINT, std::uint32_t) { ++ticks; }), id);
  ASSERT_TRUE(PumpUntil([&] { return ticks >= 2; }));
}

TEST_F(MessagesTest, AKilledTimerStopsAndATimerMayKillItselfFromItsTick) {
  int windowTicks = 0;
  HWND hwnd = AllocateHWnd([&](HWND, UINT msg, WPARAM, LPARAM) -> LRESULT {
    if (msg == WM_TIMER) ++windowTicks;
    return 0;
  });
  ASSERT_EQ(SetTimer(hwnd, 1, 10), 1u);
  ASSERT_TRUE(PumpUntil([&] { return windowTicks >= 1; }));
  EXPECT_TRUE(KillTimer(hwnd, 1));
  EXPECT_FALSE(KillTimer(hwnd, 1));

  int selfTicks = 0;
  UINT self = SetTimer(0, 0, 10, [&](HWND window, UINT msg, UINT id, std::uint32_t) {
    EXPECT_EQ(window, 0u);
    EXPECT_EQ(msg, WM_TIMER);
    if (++selfTicks == 3) {
      EXPECT_TRUE(KillTimer(0, id));
    }
  });
  ASSERT_TRUE(PumpUntil([&] { return selfTicks >= 3; }));
  int windowTicksAtKill = windowTicks;
  PumpFor(100);
  EXPECT_EQ(selfTicks, 3);
  EXPECT_EQ(windowTicks, windowTicksAtKill);
  EXPECT_FALSE(KillTimer(0, self));
}

TEST_F(MessagesTest, ATickStillWaitingIsNotQueuedTwice) {
  HWND hwnd = AllocateHWnd([](HWND, UINT, WPARAM, LPARAM) { return 0; });
  ASSERT_EQ(SetTimer(hwnd, 9, 10), 9u);
  // Several periods pass while nobody takes the tick: the loop looks twice,
  // the tick stays single.
  MSG msg;
  Sleep(40);
  ASSERT_TRUE(PeekMessage(msg, false));
  Sleep(40);
  ASSERT_TRUE(PeekMessage(msg, false));
  // Ticks made after the first is taken queue up behind this message.
  PostMessage(hwnd, kMsgA, 0, 0);
  int ticks = 0;
  while (PeekMessage(msg, true) && msg.message != kMsgA) {
    if (msg.message == WM_TIMER) ++ticks;
  }
  EXPECT_EQ(ticks, 1);
}

TEST_F(MessagesTest, TimerCallbacksAndTimerMessagesCarryTheirId) {
  std::vector<UINT> seen;
  HWND hwnd = AllocateHWnd([&](HWND, UINT msg, WPARAM wParam, LPARAM) -> LRESULT {
    if (msg == WM_TIMER) seen.push_back(100 + wParam);
    return 0;
  });
  // A window timer with a callback calls the callback, not the procedure.
  ASSERT_EQ(SetTimer(hwnd, 4, 10,
                     [&](HWND window, UINT, UINT id, std::uint32_t) {
                       EXPECT_EQ(window, hwnd);
                       seen.push_back(id);
                     }),
            4u);
  // A thread timer without a callback reaches the loop as a message.
  UINT bare = SetTimer(0, 0, 10);
  bool bareSeen = false;
  for (int i = 0; i < 1000 && !(bareSeen && !seen.empty()); ++i) {
    MSG msg;
    ASSERT_TRUE(GetMessage(msg));
    if (msg.hwnd == 0 && msg.message == WM_TIMER) {
      EXPECT_EQ(msg.wParam, bare);
      bareSeen = true;
    }
    DispatchMessage(msg);
  }
  ASSERT_TRUE(bareSeen);
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.front(), 4u);
}

// --- descriptors ---

class Pipe {
 public:
  Pipe() { EXPECT_EQ(pipe2(fds_, O_CLOEXEC | O_NONBLOCK), 0); }
  ~Pipe() {
    CloseRead();
    if (fds_[1] >= 0) close(fds_[1]);
  }
  int ReadEnd() const { return fds_[0]; }
  void Put(char c) const { EXPECT_EQ(write(fds_[1], &c, 1), 1); }
  char Take() const {
    char c = 0;
    EXPECT_EQ(read(fds_[0], &c, 1), 1);
    return c;
  }
  void CloseRead() {
    if (fds_[0] >= 0) close(fds_[0]);
    fds_[0] = -1;
  }
  void CloseWrite() {
    if (fds_[1] >= 0) close(fds_[1]);
    fds_[1] = -1;
  }

 private:
  int fds_[2] = {-1, -1};
};

TEST_F(MessagesTest, AWatchedDescriptorCallsBackOnTheMainThreadUntilUnwatched) {
  Pipe pipe;
  std::vector<char> got;
  WatchFd(pipe.ReadEnd(), POLLIN, [&](int fd, short revents) {
    EXPECT_EQ(fd, pipe.ReadEnd());
    EXPECT_TRUE(revents & POLLIN);
    got.push_back(pipe.Take());
  });
  std::thread writer([&] { pipe.Put('x'); });
  ASSERT_TRUE(PumpUntil([&] { return !got.empty(); }));
  writer.join();
  EXPECT_EQ(got, std::vector<char>{'x'});

  UnwatchFd(pipe.ReadEnd());
  pipe.Put('y');
  PumpFor(30);
  EXPECT_EQ(got.size(), 1u);
}

TEST_F(MessagesTest, APausedWatchReportsNothingUntilResumedWithItsCallback) {
  Pipe pipe;
  EXPECT_FALSE(SetFdEvents(pipe.ReadEnd(), POLLIN));  // not watched yet
  int calls = 0;
  WatchFd(pipe.ReadEnd(), POLLIN, [&](int, short revents) {
    ++calls;
    EXPECT_TRUE(revents & POLLIN);
    // Paused from its own callback, as the socket library does once a block.
    EXPECT_TRUE(SetFdEvents(pipe.ReadEnd(), 0));
  });
  pipe.Put('a');
  WaitForWork(0);
  EXPECT_EQ(calls, 1);
  // The byte is still there: a paused watch is quiet, hang-up included.
  pipe.CloseWrite();
  PumpFor(30);
  EXPECT_EQ(calls, 1);
  EXPECT_TRUE(SetFdEvents(pipe.ReadEnd(), POLLIN));
  WaitForWork(0);
  EXPECT_EQ(calls, 2);
  UnwatchFd(pipe.ReadEnd());
  EXPECT_FALSE(SetFdEvents(pipe.ReadEnd(), POLLIN));
}

TEST_F(MessagesTest, ADescriptorClosedWhileWatchedIsReportedOnceAndForgotten) {
  Pipe pipe;
  int calls = 0;
  short bits = 0;
  WatchFd(pipe.ReadEnd(), POLLIN, [&](int, short revents) {
    ++calls;
    bits = revents;
  });
  pipe.CloseRead();
  WaitForWork(0);
  WaitForWork(0);
  EXPECT_EQ(calls, 1);
  EXPECT_TRUE(bits & POLLNVAL);
}

TEST_F(MessagesTest, AFloodOfPostsDoesNotStarveTheDescriptors) {
  Pipe pipe;
  bool read = false;
  WatchFd(pipe.ReadEnd(), POLLIN, [&](int, short) {
    pipe.Take();
    read = true;
  });
  int reposts = 0;
  HWND hwnd = AllocateHWnd([&](HWND self, UINT, WPARAM, LPARAM) -> LRESULT {
    ++reposts;
    if (read) {
      PostQuitMessage(0);
    } else {
      PostMessage(self, kMsgA, 0, 0);  // the queue is never empty
    }
    return 0;
  });
  PostMessage(hwnd, kMsgA, 0, 0);
  pipe.Put('z');
  EXPECT_EQ(RunLoop(), 0);
  EXPECT_TRUE(read);
}

// --- other threads ---

TEST_F(MessagesTest, APostFromAnotherThreadWakesTheWaitingLoop) {
  std::thread::id handledOn;
  HWND hwnd = AllocateHWnd([&](HWND, UINT msg, WPARAM wParam, LPARAM) -> LRESULT {
    if (msg == kMsgA) {
      handledOn = std::this_thread::get_id();
      PostQuitMessage(static_cast<int>(wParam));
    }
    return 0;
  });
  // The worker starts from inside the loop, so the loop is (or soon will
  // be) blocked in its wait when the post arrives; no timer would wake it.
  std::thread worker;
  PostMessage(hwnd, kMsgB, 0, 0);
  UINT starter = SetTimer(0, 0, 10, [&](HWND, UINT, UINT id, std::uint32_t) {
    KillTimer(0, id);
    worker = std::thread([hwnd] {
      Sleep(100);
      EXPECT_TRUE(PostMessage(hwnd, kMsgA, 3, 0));
    });
  });
  ASSERT_NE(starter, 0u);
  EXPECT_EQ(RunLoop(), 3);
  worker.join();
  EXPECT_EQ(handledOn, std::this_thread::get_id());
}

TEST_F(MessagesTest, ManyThreadsPostingLoseNothingAndKeepEachThreadsOrder) {
  constexpr int kThreads = 4;
  constexpr int kEach = 500;
  std::vector<int> next(kThreads, 0);
  int total = 0;
  bool ordered = true;
  HWND hwnd = AllocateHWnd([&](HWND, UINT, WPARAM wParam, LPARAM lParam) -> LRESULT {
    if (next[wParam] != lParam) ordered = false;
    next[wParam] = lParam + 1;
    if (++total == kThreads * kEach) PostQuitMessage(0);
    return 0;
  });
  std::vector<std::thread> workers;
  for (int t = 0; t < kThreads; ++t) {
    workers.emplace_back([hwnd, t] {
      for (int i = 0; i < kEach; ++i)
        PostMessage(hwnd, kMsgA, t, i);
    });
  }
  EXPECT_EQ(RunLoop(), 0);
  for (auto& worker : workers)
    worker.join();
  EXPECT_TRUE(ordered);
  EXPECT_EQ(total, kThreads * kEach);
}

TEST_F(MessagesTest, ASendFromAnotherThreadRunsOnTheMainThreadAndReturnsTheAnswer) {
  std::thread::id ranOn;
  HWND hwnd = AllocateHWnd([&](HWND, UINT msg, WPARAM wParam, LPARAM lParam) -> LRESULT {
    if (msg == kMsgA) {
      ranOn = std::this_thread::get_id();
      return static_cast<LRESULT>(wParam) * lParam;
    }
    if (msg == kMsgB) throw std::runtime_error("refused");
    return 0;
  });
  std::atomic<LRESULT> plain{0};
  std::atomic<LRESULT> timed{0};
  std::atomic<bool> timedOk{false};
  std::atomic<bool> missingOk{true};
  std::atomic<bool> thrown{false};
  std::atomic<bool> done{false};
  std::thread worker([&] {
    plain = SendMessage(hwnd, kMsgA, 6, 7);
    LRESULT answer = 0;
    timedOk = SendMessageTimeout(hwnd, kMsgA, 3, 5, 3000, &answer);
    timed = answer;
    missingOk = SendMessageTimeout(hwnd + 1000, kMsgA, 3, 5, 3000, &answer);
    try {
      SendMessage(hwnd, kMsgB, 0, 0);
    } catch (const std::runtime_error&) {
      thrown = true;
    }
    done = true;
    PostThreadMessage(WM_NULL, 0, 0);  // wakes the pump below
  });
  ASSERT_TRUE(PumpUntil([&] { return done.load(); }));
  worker.join();
  EXPECT_EQ(plain, 42);
  EXPECT_TRUE(timedOk);
  EXPECT_EQ(timed, 15);
  EXPECT_FALSE(missingOk);
  EXPECT_TRUE(thrown);
  EXPECT_EQ(ranOn, std::this_thread::get_id());
}

TEST_F(MessagesTest, RunOnMainThreadRunsThereAndPassesExceptionsBack) {
  std::thread::id ranOn;
  RunOnMainThread([&] { ranOn = std::this_thread::get_id(); });  // at once here
  EXPECT_EQ(ranOn, std::this_thread::get_id());

  std::atomic<bool> done{false};
  std::string caught;
  std::thread::id workerRanOn;
  std::thread worker([&] {
    RunOnMainThread([&] { workerRanOn = std::this_thread::get_id(); });
    try {
      RunOnMainThread([] { throw std::runtime_error("from the main thread"); });
    } catch (const std::runtime_error& e) {
      caught = e.what();
    }
    done = true;
    PostThreadMessage(WM_NULL, 0, 0);
  });
  ASSERT_TRUE(PumpUntil([&] { return done.load(); }));
  worker.join();
  EXPECT_EQ(workerRanOn, std::this_thread::get_id());
  EXPECT_EQ(caught, "from the main thread");
}

TEST_F(MessagesTest, ASendToABusyMainThreadTimesOutAndNeverRunsLater) {
  int calls = 0;
  HWND hwnd = AllocateHWnd([&](HWND, UINT msg, WPARAM, LPARAM) -> LRESULT {
    if (msg == kMsgA) ++calls;
    return 1;
  });
  std::promise<bool> sendResult;
  LRESULT untouched = -5;
  std::thread worker([&] {
    LRESULT answer = -5;
    bool ok = SendMessageTimeout(hwnd, kMsgA, 0, 0, 100, &answer);
    untouched = answer;
    sendResult.set_value(ok);
  });
  // The main thread is busy (not pumping) until the send has given up.
  std::future<bool> outcome = sendResult.get_future();
  EXPECT_FALSE(outcome.get());
  worker.join();
  EXPECT_EQ(untouched, -5);
  PumpFor(30);
  EXPECT_EQ(calls, 0);
}

TEST_F(MessagesTest, AnAnswerThatComesAfterTheTimeOutGoesNowhere) {
  std::mutex mutex;
  std::condition_variable changed;
  bool gaveUp = false;
  bool handled = false;
  HWND hwnd = AllocateHWnd([&](HWND, UINT msg, WPARAM, LPARAM) -> LRESULT {
    if (msg != kMsgA) return 0;
    std::unique_lock lock(mutex);
    changed.wait(lock, [&] { return gaveUp; });  // answer only after the caller left
    handled = true;
    return 77;
  });
  bool ok = true;
  std::thread worker([&] {
    LRESULT answer = -5;
    ok = SendMessageTimeout(hwnd, kMsgA, 0, 0, 100, &answer);
    EXPECT_EQ(answer, -5);
    std::lock_guard lock(mutex);
    gaveUp = true;
    changed.notify_all();
  });
  // The worker's stack frame with `answer` is gone once it is joined; the
  // late answer must land in the loop's own record of the call.
  ASSERT_TRUE(PumpUntil([&] { return handled; }));
  worker.join();
  EXPECT_FALSE(ok);
}

// --- idle and the seam ---

TEST_F(MessagesTest, AnIdleLoopUsesNoCpu) {
  Pipe pipe;
  WatchFd(pipe.ReadEnd(), POLLIN, [](int, short) {});
  HWND hwnd = AllocateHWnd([](HWND, UINT, WPARAM, LPARAM) { return 0; });
  SetTimer(hwnd, 1, 400);  // a slow timer is part of being idle
  SetTimer(0, 0, 1000, [](HWND, UINT, UINT, std::uint32_t) { PostQuitMessage(0); });
  rusage before{};
  rusage after{};
  getrusage(RUSAGE_THREAD, &before);
  EXPECT_EQ(RunLoop(), 0);
  getrusage(RUSAGE_THREAD, &after);
  auto us = [](const rusage& r) {
    return (r.ru_utime.tv_sec + r.ru_stime.tv_sec) * 1000000L + r.ru_utime.tv_usec +
           r.ru_stime.tv_usec;
  };
  // A spinning loop would burn the whole second; a waiting one a few ms.
  EXPECT_LT(us(after) - us(before), 100000);
}

// A seam of the test's own: waits on a condition variable that Wake
// signals, and records what the loop tells it.
class RecordingSeam : public WaitSeam {
 public:
  struct Log {
    std::mutex mutex;
    std::vector<std::pair<int, short>> watches;
    int waits = 0;
    int wakes = 0;
    std::condition_variable woken;
    bool wake = false;
  };
  explicit RecordingSeam(Log& log) : log_(log) {}
  void SetWatch(int fd, short events) override {
    std::lock_guard lock(log_.mutex);
    log_.watches.emplace_back(fd, events);
  }
  void Wait(int timeoutMs, const std::function<void(int, short)>&) override {
    std::unique_lock lock(log_.mutex);
    ++log_.waits;
    auto woken = [&] { return log_.wake; };
    if (timeoutMs < 0) {
      log_.woken.wait(lock, woken);
    } else {
      log_.woken.wait_for(lock, std::chrono::milliseconds(timeoutMs), woken);
    }
    log_.wake = false;
  }
  void Wake() override {
    std::lock_guard lock(log_.mutex);
    ++log_.wakes;
    log_.wake = true;
    log_.woken.notify_all();
  }

 private:
  Log& log_;
};

TEST_F(MessagesTest, AnInstalledSeamLearnsTheWatchesAndIsWokenByPosts) {
  Pipe pipe;
  WatchFd(pipe.ReadEnd(), POLLIN, [](int, short) {});
  RecordingSeam::Log log;
  SetWaitSeam(std::make_unique<RecordingSeam>(log));
  {
    std::lock_guard lock(log.mutex);
    ASSERT_EQ(log.watches.size(), 1u);
    EXPECT_EQ(log.watches[0], std::make_pair(pipe.ReadEnd(), static_cast<short>(POLLIN)));
  }
  HWND hwnd = AllocateHWnd([](HWND, UINT msg, WPARAM, LPARAM) -> LRESULT {
    if (msg == kMsgA) PostQuitMessage(4);
    return 0;
  });
  std::thread worker([hwnd] {
    Sleep(50);
    PostMessage(hwnd, kMsgA, 0, 0);
  });
  EXPECT_EQ(RunLoop(), 4);
  worker.join();
  UnwatchFd(pipe.ReadEnd());
  {
    std::lock_guard lock(log.mutex);
    EXPECT_GE(log.wakes, 1);
    EXPECT_GE(log.waits, 1);
    EXPECT_EQ(log.watches.back(), std::make_pair(pipe.ReadEnd(), static_cast<short>(0)));
  }
  SetWaitSeam(nullptr);
}

// A seam that, inside its own wait, hands over to the poll seam, as a
// toolkit backend being shut down from one of its handlers would.
class SelfReplacingSeam : public WaitSeam {
 public:
  explicit SelfReplacingSeam(bool& destroyed) : destroyed_(destroyed) {}
  ~SelfReplacingSeam() override { destroyed_ = true; }
  void SetWatch(int, short) override {}
  void Wait(int, const std::function<void(int, short)>&) override {
    SetWaitSeam(nullptr);
    stillAlive_ = !destroyed_;  // touches this object after the swap
    EXPECT_TRUE(stillAlive_);
  }
  void Wake() override {}

 private:
  bool& destroyed_;
  bool stillAlive_ = false;
};

TEST_F(MessagesTest, ASeamReplacedInsideItsOwnWaitLivesUntilTheWaitEnds) {
  bool destroyed = false;
  SetWaitSeam(std::make_unique<SelfReplacingSeam>(destroyed));
  WaitForWork(0);
  EXPECT_TRUE(destroyed);  // gone once the wait returned
  // The poll seam is back: a post from another thread wakes it.
  HWND hwnd = AllocateHWnd([](HWND, UINT msg, WPARAM, LPARAM) -> LRESULT {
    if (msg == kMsgA) PostQuitMessage(6);
    return 0;
  });
  std::thread worker([hwnd] { PostMessage(hwnd, kMsgA, 0, 0); });
  EXPECT_EQ(RunLoop(), 6);
  worker.join();
}

}  // namespace
