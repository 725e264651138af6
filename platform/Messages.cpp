#include "platform/Messages.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <exception>
#include <map>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "platform/Clock.h"
#include "platform/Exception.h"

namespace platform {
namespace {

// Periods below this are raised to it, as the original platform does, so a
// period of 0 cannot turn the loop into a busy one.
constexpr UINT kMinTimerPeriodMs = 10;
// A loop that keeps finding posted messages still looks at its descriptors
// after this many messages, so a flood of posts cannot starve the sockets.
constexpr int kTakesBetweenPolls = 16;

// The default wait: poll(2) over the watched descriptors plus an eventfd
// that Wake makes readable.
class PollSeam final : public WaitSeam {
 public:
  PollSeam() : wakeFd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (wakeFd_ < 0) {
      std::perror("platform: eventfd for the message loop");
      std::abort();
    }
  }
  ~PollSeam() override { close(wakeFd_); }

  // A descriptor no longer watched keeps its entry with events 0, so that a
  // watch paused and resumed for every block allocates nothing; entries are
  // bounded by the descriptor numbers in use.
  void SetWatch(int fd, short events) override {
    if (events == 0) {
      auto it = watches_.find(fd);
      if (it != watches_.end()) it->second = 0;
    } else {
      watches_[fd] = events;
    }
  }

  // The poll list is kept between waits for the same reason. ready only
  // records what it is told (the loop's handling runs after the wait), so
  // the list is never used by two waits at once.
  void Wait(int timeoutMs, const std::function<void(int, short)>& ready) override {
    std::vector<pollfd>& fds = fds_;
    fds.clear();
    fds.push_back({wakeFd_, POLLIN, 0});
    for (const auto& [fd, events] : watches_)
      if (events != 0) fds.push_back({fd, events, 0});
    // A time-out or an interrupting signal both just end the wait; the
    // caller looks at its queue and timers again either way.
    if (poll(fds.data(), fds.size(), timeoutMs) <= 0) return;
    if (fds[0].revents != 0) {
      std::uint64_t count = 0;
      ssize_t got = read(wakeFd_, &count, sizeof count);
      (void)got;  // EAGAIN: another wait already took the wake-up
    }
    for (std::size_t i = 1; i < fds.size(); ++i) {
      if (fds[i].revents != 0) ready(fds[i].fd, fds[i].revents);
    }
  }

  void Wake() override {
    std::uint64_t one = 1;
    ssize_t put = write(wakeFd_, &one, sizeof one);
    (void)put;  // EAGAIN only when the counter is full, which is awake enough
  }

 private:
  int wakeFd_;
  std::map<int, short> watches_;
  std::vector<pollfd> fds_;
};

struct Window {
  std::shared_ptr<const WNDPROC> proc;
};

struct Timer {
  UINT periodMs = 0;
  std::int64_t dueNs = 0;
  std::shared_ptr<const TIMERPROC> callback;  // null: WM_TIMER goes to the window
  bool pending = false;                       // a tick of it waits in the queue
};

struct Watch {
  short events = 0;
  std::shared_ptr<const FdCallback> callback;
  std::uint64_t generation = 0;
};

// A descriptor the seam found ready, with the watch it was found under.
struct ReadyFd {
  int fd;
  short revents;
  std::uint64_t generation;
};

struct Posted {
  MSG msg;
  bool tick = false;  // made by a timer, not by PostMessage
};

// A send or RunOnMainThread from another thread. The caller and the main
// thread share it, so a caller that gives up leaves nothing dangling: the
// main thread writes its answer into this object, never into the caller.
struct CrossCall {
  enum class Stage { kQueued, kRunning, kDone, kAbandoned };
  HWND hwnd = 0;
  UINT msg = 0;
  WPARAM wParam = 0;
  LPARAM lParam = 0;
  std::function<void()> fn;  // set for RunOnMainThread
  LRESULT result = 0;
  bool found = false;  // the window still existed when the call ran
  std::exception_ptr error;
  Stage stage = Stage::kQueued;
  std::condition_variable finished;
};

struct State {
  const std::thread::id mainThread = std::this_thread::get_id();

  // Guards what other threads reach: windows, classes, the posted queue,
  // the cross-thread calls, the seam pointer (for Wake) and waitDepth.
  std::mutex mutex;
  std::map<HWND, Window> windows;
  std::map<std::string, std::shared_ptr<const WNDPROC>> classes;  // lower-case names
  HWND nextHwnd = 1;
  std::deque<Posted> posted;
  std::deque<std::shared_ptr<CrossCall>> calls;
  std::unique_ptr<WaitSeam> seam = std::make_unique<PollSeam>();
  int waitDepth = 0;
  // Waits in progress inside the seam itself. The descriptors' callbacks
  // run after the seam's wait has returned, so they are not counted.
  int seamDepth = 0;

  // Main thread only.
  std::map<std::pair<HWND, UINT>, Timer> timers;
  UINT nextThreadTimerId = 1;
  std::map<int, Watch> watches;
  std::uint64_t nextGeneration = 1;
  int takesSincePoll = 0;
  // The ready descriptors of the waits in progress, one list per depth of
  // nesting (a callback may pump); a deque, so a deeper wait adding a list
  // leaves the outer lists where they are.
  std::deque<std::vector<ReadyFd>> readyLists;
  // Seams replaced from inside one of their own waits, kept until the
  // outermost wait has returned.
  std::vector<std::unique_ptr<WaitSeam>> retired;
};

// The state lives as long as the process: objects destroyed at exit may
// still destroy their windows.
State& S() {
  static State* state = new State;
  return *state;
}

// Made during start-up, so the main thread is the process's first thread
// even when a worker is the first to post.
[[maybe_unused]] const bool kStateMade = (S(), true);

bool OnMainThread() {
  return std::this_thread::get_id() == S().mainThread;
}

void RequireMainThread(const char* function) {
  if (!OnMainThread()) {
    std::fprintf(stderr, "platform::%s called from a thread other than the main thread\n",
                 function);
    std::abort();
  }
}

std::string LowerAscii(std::string text) {
  for (char& c : text)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::shared_ptr<const WNDPROC> ProcOf(HWND hwnd) {
  State& s = S();
  std::lock_guard lock(s.mutex);
  auto it = s.windows.find(hwnd);
  return it == s.windows.end() ? nullptr : it->second.proc;
}

HWND AddWindow(WNDPROC proc) {
  State& s = S();
  std::lock_guard lock(s.mutex);
  // Handles are never reused, so a stale handle can never reach a newer
  // window.
  HWND hwnd = s.nextHwnd++;
  s.windows[hwnd] = Window{std::make_shared<const WNDPROC>(std::move(proc))};
  return hwnd;
}

bool Post(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  State& s = S();
  std::lock_guard lock(s.mutex);
  if (hwnd != 0 && s.windows.count(hwnd) == 0) return false;
  s.posted.push_back({{hwnd, msg, wParam, lParam}, false});
  // The main thread needs waking only from inside the seam's wait (a
  // toolkit seam may run handlers there); any other thread always wakes it.
  // A descriptor's callback posts after the seam's wait, and the loop looks
  // at its queue before it waits again: a socket's read notice for every
  // block costs no wake-up (two system calls on the eventfd).
  if (!OnMainThread() || s.seamDepth > 0) s.seam->Wake();
  return true;
}

// Queues the call for the main thread and waits for it: forever when
// timeoutMs is negative. False when the window is gone or time ran out;
// rethrows what the call threw.
bool CallOnMainThread(const std::shared_ptr<CrossCall>& call, long timeoutMs) {
  State& s = S();
  std::unique_lock lock(s.mutex);
  if (!call->fn && s.windows.count(call->hwnd) == 0) return false;
  s.calls.push_back(call);
  s.seam->Wake();
  auto done = [&] { return call->stage == CrossCall::Stage::kDone; };
  if (timeoutMs < 0) {
    call->finished.wait(lock, done);
  } else if (!call->finished.wait_for(lock, std::chrono::milliseconds(timeoutMs), done)) {
    // A call not yet started is taken back and never runs; one that is
    // running finishes into the shared object, which nobody reads.
    auto it = std::find(s.calls.begin(), s.calls.end(), call);
    if (it != s.calls.end()) s.calls.erase(it);
    call->stage = CrossCall::Stage::kAbandoned;
    return false;
  }
  // The exception is taken out, so this thread holds its last reference and
  // frees it: the reference count of an exception_ptr is invisible to the
  // thread sanitizer, which would otherwise see a free racing with our read.
  std::exception_ptr error = std::move(call->error);
  bool found = call->found;
  lock.unlock();
  if (error) std::rethrow_exception(error);
  return found;
}

// Runs the calls that other threads are waiting for. Main thread.
void RunCrossCalls() {
  State& s = S();
  for (;;) {
    std::shared_ptr<CrossCall> call;
    std::shared_ptr<const WNDPROC> proc;
    {
      std::lock_guard lock(s.mutex);
      if (s.calls.empty()) return;
      call = s.calls.front();
      s.calls.pop_front();
      call->stage = CrossCall::Stage::kRunning;
      if (!call->fn) {
        auto it = s.windows.find(call->hwnd);
        if (it != s.windows.end()) proc = it->second.proc;
      }
    }
    LRESULT result = 0;
    bool found = true;
    std::exception_ptr error;
    try {
      if (call->fn) {
        call->fn();
      } else if (proc && *proc) {
        result = (*proc)(call->hwnd, call->msg, call->wParam, call->lParam);
      } else {
        found = proc != nullptr;
      }
    } catch (...) {
      error = std::current_exception();
    }
    std::lock_guard lock(s.mutex);
    if (call->stage == CrossCall::Stage::kAbandoned) {
      if (error) std::fprintf(stderr, "platform: a send that timed out ended with an exception\n");
      continue;
    }
    call->result = result;
    call->found = found;
    call->error = std::move(error);
    call->stage = CrossCall::Stage::kDone;
    call->finished.notify_all();
  }
}

std::int64_t PeriodNs(UINT periodMs) {
  return static_cast<std::int64_t>(std::max(periodMs, kMinTimerPeriodMs)) * 1000000;
}

// Queues a WM_TIMER for every due timer that has none waiting. A timer that
// fell behind starts a fresh period instead of catching up in a burst.
void MakeDueTimersPending() {
  State& s = S();
  std::int64_t now = QueryPerformanceCounter();
  for (auto& [key, timer] : s.timers) {
    if (timer.dueNs > now) continue;
    if (!timer.pending) {
      timer.pending = true;
      std::lock_guard lock(s.mutex);
      s.posted.push_back({{key.first, WM_TIMER, key.second, 0}, true});
    }
    timer.dueNs += PeriodNs(timer.periodMs);
    if (timer.dueNs <= now) timer.dueNs = now + PeriodNs(timer.periodMs);
  }
}

// Milliseconds until the next timer is due, rounded up so the wait does not
// end just before it; -1 without timers.
int MsUntilNextTimer() {
  State& s = S();
  if (s.timers.empty()) return -1;
  std::int64_t due = s.timers.begin()->second.dueNs;
  for (const auto& entry : s.timers)
    due = std::min(due, entry.second.dueNs);
  std::int64_t left = due - QueryPerformanceCounter();
  if (left <= 0) return 0;
  std::int64_t ms = (left + 999999) / 1000000;
  return static_cast<int>(std::min<std::int64_t>(ms, 1 << 30));
}

// One wait of the seam, then the callbacks of the descriptors it found
// ready. Callbacks run after the seam has returned, so they may watch and
// unwatch freely.
void WaitSeamAndHandle(int timeoutMs) {
  State& s = S();
  int depth;
  {
    std::lock_guard lock(s.mutex);
    depth = ++s.waitDepth;
  }
  // Each depth of nested waits has its own list, kept between waits.
  while (s.readyLists.size() < static_cast<std::size_t>(depth))
    s.readyLists.emplace_back();
  std::vector<ReadyFd>& ready = s.readyLists[static_cast<std::size_t>(depth) - 1];
  ready.clear();
  struct Leave {
    State& s;
    ~Leave() {
      bool outermost;
      {
        std::lock_guard lock(s.mutex);
        outermost = --s.waitDepth == 0;
      }
      if (outermost) s.retired.clear();
    }
  } leave{s};
  {
    struct InSeam {
      State& s;
      explicit InSeam(State& state) : s(state) {
        std::lock_guard lock(s.mutex);
        ++s.seamDepth;
      }
      ~InSeam() {
        std::lock_guard lock(s.mutex);
        --s.seamDepth;
      }
    } inSeam{s};
    s.seam->Wait(timeoutMs, [&](int fd, short revents) {
      auto it = s.watches.find(fd);
      if (it != s.watches.end()) ready.push_back({fd, revents, it->second.generation});
    });
  }
  for (const ReadyFd& r : ready) {
    auto it = s.watches.find(r.fd);
    // A descriptor unwatched, paused or watched anew by an earlier callback
    // of this round is not told about readiness it may no longer have.
    if (it == s.watches.end() || it->second.generation != r.generation || it->second.events == 0)
      continue;
    auto callback = it->second.callback;
    short bits = r.revents & static_cast<short>(it->second.events | POLLERR | POLLHUP | POLLNVAL);
    if ((*callback)) (*callback)(r.fd, bits);
    // A descriptor closed without UnwatchFd would report POLLNVAL on every
    // wait and make the loop spin: it is told once and then forgotten.
    if (r.revents & POLLNVAL) {
      it = s.watches.find(r.fd);
      if (it != s.watches.end() && it->second.generation == r.generation) UnwatchFd(r.fd);
    }
  }
}

bool HasQueuedWork() {
  State& s = S();
  std::lock_guard lock(s.mutex);
  return !s.posted.empty() || !s.calls.empty();
}

}  // namespace

bool RegisterClass(const std::string& className, WNDPROC proc) {
  State& s = S();
  std::lock_guard lock(s.mutex);
  return s.classes.emplace(LowerAscii(className), std::make_shared<const WNDPROC>(std::move(proc)))
      .second;
}

bool UnregisterClass(const std::string& className) {
  State& s = S();
  std::lock_guard lock(s.mutex);
  return s.classes.erase(LowerAscii(className)) != 0;
}

HWND CreateWindow(const std::string& className) {
  RequireMainThread("CreateWindow");
  std::shared_ptr<const WNDPROC> proc;
  {
    State& s = S();
    std::lock_guard lock(s.mutex);
    auto it = s.classes.find(LowerAscii(className));
    if (it == s.classes.end()) return 0;
    proc = it->second;
  }
  return AddWindow(*proc);
}

HWND AllocateHWnd(WNDPROC proc) {
  RequireMainThread("AllocateHWnd");
  return AddWindow(std::move(proc));
}

bool DestroyWindow(HWND hwnd) {
  RequireMainThread("DestroyWindow");
  State& s = S();
  {
    std::lock_guard lock(s.mutex);
    // A procedure running right now keeps its own reference to itself.
    if (s.windows.erase(hwnd) == 0) return false;
    std::erase_if(s.posted, [hwnd](const Posted& p) { return p.msg.hwnd == hwnd; });
  }
  std::erase_if(s.timers, [hwnd](const auto& entry) { return entry.first.first == hwnd; });
  return true;
}

bool IsWindow(HWND hwnd) {
  State& s = S();
  std::lock_guard lock(s.mutex);
  return hwnd != 0 && s.windows.count(hwnd) != 0;
}

WNDPROC SetWindowProc(HWND hwnd, WNDPROC proc) {
  RequireMainThread("SetWindowProc");
  State& s = S();
  std::lock_guard lock(s.mutex);
  auto it = s.windows.find(hwnd);
  if (it == s.windows.end()) return {};
  WNDPROC previous = *it->second.proc;
  it->second.proc = std::make_shared<const WNDPROC>(std::move(proc));
  return previous;
}

LRESULT CallWindowProc(const WNDPROC& proc, HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  return proc ? proc(hwnd, msg, wParam, lParam) : 0;
}

bool PostMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (hwnd == 0) return false;
  return Post(hwnd, msg, wParam, lParam);
}

bool PostThreadMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
  return Post(0, msg, wParam, lParam);
}

LRESULT SendMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (OnMainThread()) {
    auto proc = ProcOf(hwnd);
    return proc ? CallWindowProc(*proc, hwnd, msg, wParam, lParam) : 0;
  }
  auto call = std::make_shared<CrossCall>();
  call->hwnd = hwnd;
  call->msg = msg;
  call->wParam = wParam;
  call->lParam = lParam;
  CallOnMainThread(call, -1);
  return call->result;
}

bool SendMessageTimeout(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, unsigned timeoutMs,
                        LRESULT* result) {
  if (OnMainThread()) {
    auto proc = ProcOf(hwnd);
    if (!proc) return false;
    LRESULT answer = CallWindowProc(*proc, hwnd, msg, wParam, lParam);
    if (result) *result = answer;
    return true;
  }
  auto call = std::make_shared<CrossCall>();
  call->hwnd = hwnd;
  call->msg = msg;
  call->wParam = wParam;
  call->lParam = lParam;
  if (!CallOnMainThread(call, static_cast<long>(timeoutMs))) return false;
  if (result) *result = call->result;
  return true;
}

void RunOnMainThread(const std::function<void()>& fn) {
  if (OnMainThread()) {
    fn();
    return;
  }
  auto call = std::make_shared<CrossCall>();
  call->fn = fn;
  CallOnMainThread(call, -1);
}

UINT SetTimer(HWND hwnd, UINT id, UINT periodMs, TIMERPROC callback) {
  RequireMainThread("SetTimer");
  State& s = S();
  if (hwnd != 0) {
    if (id == 0 || !IsWindow(hwnd)) return 0;
  } else if (id == 0 || s.timers.count({0, id}) == 0) {
    // A fresh thread timer id; an existing one given back restarts it.
    while (s.nextThreadTimerId == 0 || s.timers.count({0, s.nextThreadTimerId}) != 0) {
      ++s.nextThreadTimerId;
    }
    id = s.nextThreadTimerId++;
  }
  Timer& timer = s.timers[{hwnd, id}];
  timer.periodMs = periodMs;
  timer.dueNs = QueryPerformanceCounter() + PeriodNs(periodMs);
  timer.callback = callback ? std::make_shared<const TIMERPROC>(std::move(callback)) : nullptr;
  return id;
}

bool KillTimer(HWND hwnd, UINT id) {
  RequireMainThread("KillTimer");
  State& s = S();
  if (s.timers.erase({hwnd, id}) == 0) return false;
  std::lock_guard lock(s.mutex);
  std::erase_if(s.posted, [&](const Posted& p) {
    return p.tick && p.msg.hwnd == hwnd && p.msg.wParam == id;
  });
  return true;
}

bool PeekMessage(MSG& msg, bool remove) {
  RequireMainThread("PeekMessage");
  State& s = S();
  RunCrossCalls();
  bool empty;
  {
    std::lock_guard lock(s.mutex);
    empty = s.posted.empty();
  }
  if (empty || ++s.takesSincePoll >= kTakesBetweenPolls) {
    s.takesSincePoll = 0;
    WaitSeamAndHandle(0);
    RunCrossCalls();
  }
  MakeDueTimersPending();
  Posted taken;
  {
    std::lock_guard lock(s.mutex);
    if (s.posted.empty()) return false;
    taken = s.posted.front();
    if (remove) s.posted.pop_front();
  }
  if (remove && taken.tick) {
    auto it = s.timers.find({taken.msg.hwnd, taken.msg.wParam});
    if (it != s.timers.end()) it->second.pending = false;
  }
  msg = taken.msg;
  return true;
}

bool GetMessage(MSG& msg) {
  RequireMainThread("GetMessage");
  while (!PeekMessage(msg, true))
    WaitForWork(-1);
  return msg.message != WM_QUIT;
}

LRESULT DispatchMessage(const MSG& msg) {
  RequireMainThread("DispatchMessage");
  State& s = S();
  if (msg.message == WM_TIMER) {
    auto it = s.timers.find({msg.hwnd, msg.wParam});
    if (it != s.timers.end() && it->second.callback) {
      auto callback = it->second.callback;  // the tick may kill its own timer
      if (*callback) (*callback)(msg.hwnd, WM_TIMER, msg.wParam, timeGetTime());
      return 0;
    }
  }
  if (msg.hwnd == 0) return 0;
  auto proc = ProcOf(msg.hwnd);
  return proc ? CallWindowProc(*proc, msg.hwnd, msg.message, msg.wParam, msg.lParam) : 0;
}

void PostQuitMessage(int exitCode) {
  Post(0, WM_QUIT, static_cast<WPARAM>(exitCode), 0);
}

int RunMessageLoop() {
  RequireMainThread("RunMessageLoop");
  MSG msg;
  while (GetMessage(msg))
    DispatchMessage(msg);
  return static_cast<int>(msg.wParam);
}

void WaitForWork(int timeoutMs) {
  RequireMainThread("WaitForWork");
  RunCrossCalls();
  int wait = HasQueuedWork() ? 0 : timeoutMs;
  int untilTimer = MsUntilNextTimer();
  if (untilTimer >= 0 && (wait < 0 || untilTimer < wait)) wait = untilTimer;
  WaitSeamAndHandle(wait);
  MakeDueTimersPending();
  RunCrossCalls();
}

void WatchFd(int fd, short events, FdCallback callback) {
  RequireMainThread("WatchFd");
  if (events == 0) {
    UnwatchFd(fd);
    return;
  }
  State& s = S();
  Watch& watch = s.watches[fd];
  watch.events = events;
  watch.callback = std::make_shared<const FdCallback>(std::move(callback));
  watch.generation = s.nextGeneration++;
  s.seam->SetWatch(fd, events);
}

bool SetFdEvents(int fd, short events) {
  RequireMainThread("SetFdEvents");
  State& s = S();
  auto it = s.watches.find(fd);
  if (it == s.watches.end()) return false;
  if (it->second.events == events) return true;
  it->second.events = events;
  it->second.generation = s.nextGeneration++;
  s.seam->SetWatch(fd, events);
  return true;
}

void UnwatchFd(int fd) {
  RequireMainThread("UnwatchFd");
  State& s = S();
  if (s.watches.erase(fd) != 0) s.seam->SetWatch(fd, 0);
}

void SetWaitSeam(std::unique_ptr<WaitSeam> seam) {
  RequireMainThread("SetWaitSeam");
  State& s = S();
  if (!seam) seam = std::make_unique<PollSeam>();
  for (const auto& [fd, watch] : s.watches)
    seam->SetWatch(fd, watch.events);
  bool waiting;
  {
    std::lock_guard lock(s.mutex);
    std::swap(s.seam, seam);
    waiting = s.waitDepth > 0;
    // A wake-up meant for the old seam is not lost: queued work makes the
    // next wait return at once anyway.
  }
  if (waiting) s.retired.push_back(std::move(seam));
}

void ResetMessageLoopForTesting() {
  RequireMainThread("ResetMessageLoopForTesting");
  State& s = S();
  for (const auto& entry : s.watches)
    s.seam->SetWatch(entry.first, 0);
  s.watches.clear();
  s.timers.clear();
  s.takesSincePoll = 0;
  std::lock_guard lock(s.mutex);
  s.windows.clear();
  s.classes.clear();
  s.posted.clear();
  // Threads still waiting for a call are released; a RunOnMainThread
  // caller learns that its function never ran.
  for (auto& call : s.calls) {
    call->found = false;
    if (call->fn) call->error = std::make_exception_ptr(Exception("the message loop was reset"));
    call->stage = CrossCall::Stage::kDone;
    call->finished.notify_all();
  }
  s.calls.clear();
}

}  // namespace platform
