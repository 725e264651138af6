// Window messages and timers: the event loop that everything above the
// platform runs on.
//
// One loop runs on the main thread (the thread that first touches this
// unit: the process's first thread, since the unit is set up at start-up;
// a main-thread function called from another thread aborts with a message). It owns the hidden
// windows, the queue of posted messages, window and thread timers, and the file descriptors watched
// for the socket library. Windows are handles, never pointers: a message to a window that has been
// destroyed is dropped, and its pending messages and timers go with it.
//
// Threads: every function here belongs to the main thread, except
// PostMessage, PostThreadMessage, SendMessage/SendMessageTimeout and
// RunOnMainThread, which any thread may call. A post from another thread
// wakes a waiting loop. A send from another thread runs the window procedure
// on the main thread and waits for its answer (SendMessageTimeout at most
// its time-out; a plain send waits as long as it takes).
//
// Ordering: posted messages arrive one at a time, in posting order, after
// the current handler has returned (or inside it, when the handler pumps).
// A send on the main thread is a direct call of the window procedure. A send
// or RunOnMainThread from another thread runs when the main thread next
// pumps or waits (PeekMessage, GetMessage, WaitForWork); an exception thrown
// there is rethrown in the sending thread.
//
// Waiting is one seam (WaitSeam): "until a watched descriptor is ready, the
// next timer is due, or a post wakes us". The default seam uses poll(2); a
// toolkit backend may install its own. An idle loop uses no CPU.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace platform {

using HWND = std::uint32_t;  // 0 is "no window"
using UINT = std::uint32_t;
using WPARAM = std::uint32_t;
using LPARAM = std::int32_t;
using LRESULT = std::int32_t;

// A window procedure. Handlers are plain callables; the procedure of an
// object is usually a lambda capturing it.
using WNDPROC = std::function<LRESULT(HWND, UINT, WPARAM, LPARAM)>;
// A timer callback: (window or 0, WM_TIMER, timer id, time in ms).
using TIMERPROC = std::function<void(HWND, UINT, UINT, std::uint32_t)>;

constexpr UINT WM_NULL = 0x0000;
constexpr UINT WM_DESTROY = 0x0002;
constexpr UINT WM_CLOSE = 0x0010;
constexpr UINT WM_QUERYENDSESSION = 0x0011;
constexpr UINT WM_QUIT = 0x0012;
constexpr UINT WM_TIMER = 0x0113;
constexpr UINT WM_USER = 0x0400;

struct MSG {
  HWND hwnd = 0;
  UINT message = 0;
  WPARAM wParam = 0;
  LPARAM lParam = 0;
};

// Window classes and windows.
// RegisterClass binds a procedure to a class name (ASCII case ignored);
// false if the name is taken. Windows keep their procedure when their class
// is unregistered. Handles are never reused. CreateWindow makes a hidden window of a registered
// class (procedure taken from the class) and returns 0 for an unknown class. AllocateHWnd makes a
// hidden window bound directly to a procedure.
bool RegisterClass(const std::string& className, WNDPROC proc);
bool UnregisterClass(const std::string& className);
HWND CreateWindow(const std::string& className);
HWND AllocateHWnd(WNDPROC proc);
// Destroys the window: its procedure is not called again, queued messages to
// it are dropped and its timers are killed. Safe from inside its own
// procedure. False for a window that does not exist.
bool DestroyWindow(HWND hwnd);
bool IsWindow(HWND hwnd);

// Replaces the window's procedure and returns the previous one, which the
// new procedure may keep calling through CallWindowProc (subclassing).
WNDPROC SetWindowProc(HWND hwnd, WNDPROC proc);
LRESULT CallWindowProc(const WNDPROC& proc, HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

// Posting and sending. PostMessage returns false for a window that does not
// exist (and for 0). PostThreadMessage queues a message with no window (hwnd 0) for the
// main thread's loop, which hands it to GetMessage/PeekMessage callers.
bool PostMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
bool PostThreadMessage(UINT msg, WPARAM wParam, LPARAM lParam);
LRESULT SendMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
// As SendMessage, but gives up after timeoutMs when called from another
// thread. Returns false (and leaves *result alone) for a missing window or a
// time-out. A call that timed out before the main thread took it never runs;
// one already running finishes into the loop's own record of the call, so a
// late answer touches nothing of the caller's.
bool SendMessageTimeout(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, unsigned timeoutMs,
                        LRESULT* result);
// Runs fn on the main thread and waits for it; on the main thread it runs at
// once. An exception thrown by fn is rethrown in the caller.
void RunOnMainThread(const std::function<void()>& fn);

// Timers. With a window: a periodic WM_TIMER (wParam = id) posted to it, or
// the callback called, every periodMs; setting an existing (window, id)
// restarts it with the new period; returns id, 0 on failure. Without a
// window (hwnd 0) a thread timer is made with a fresh id, which is returned;
// the callback runs on the main thread; a thread timer's id given again
// restarts that timer. Window timers need an id other than 0. A timer may be
// killed from its own tick; killing it drops its pending tick. WM_TIMER is
// not queued twice: a tick that is still pending is not repeated, and a
// timer that fell behind starts a new period instead of catching up.
// Periods below 10 ms count as 10 ms.
UINT SetTimer(HWND hwnd, UINT id, UINT periodMs, TIMERPROC callback = {});
bool KillTimer(HWND hwnd, UINT id);

// The loop. PeekMessage takes (remove) or looks at one pending message,
// first running the sends of other threads, looking at the watched
// descriptors without waiting (when the queue is empty, and every 16th
// message otherwise) and making due timers pending; it does not wait. GetMessage waits for
// one and returns false when it is WM_QUIT. DispatchMessage calls the
// target's procedure (or the timer's callback). PostQuitMessage queues
// WM_QUIT with the exit code. RunMessageLoop dispatches until WM_QUIT and
// returns its exit code.
bool PeekMessage(MSG& msg, bool remove);
bool GetMessage(MSG& msg);
LRESULT DispatchMessage(const MSG& msg);
void PostQuitMessage(int exitCode);
int RunMessageLoop();
// Waits at most timeoutMs (-1: forever) for something to happen and handles
// what became ready: watched descriptors get their callbacks, due timers
// become pending, sends of other threads run. Returns at once when posted
// messages are already waiting. Does not dispatch posted messages. Used by modal loops of
// the toolkit and by RunMessageLoop itself.
void WaitForWork(int timeoutMs);

// Descriptors watched by the loop, for the socket library. events are
// poll(2) bits (POLLIN, POLLOUT, POLLRDHUP); the callback runs on the main thread with
// the returned bits while the descriptor stays ready (POLLERR and POLLHUP
// always count). Watching a descriptor again replaces its events and
// callback; events 0 unwatches it. A descriptor closed while watched is
// reported once with POLLNVAL and then forgotten.
using FdCallback = std::function<void(int fd, short revents)>;
void WatchFd(int fd, short events, FdCallback callback);
void UnwatchFd(int fd);
// Changes the events of a watched descriptor and keeps its callback; false
// (and nothing changed) when fd is not watched. events 0 pauses the watch:
// nothing is reported for it, POLLERR and POLLHUP neither, until events are
// set again, and a paused descriptor that is closed is not noticed, so its
// owner unwatches it before closing. Readiness found in the current round
// under the old events is not reported. Unlike WatchFd it allocates
// nothing, so it suits a watch toggled for every block of a transfer.
bool SetFdEvents(int fd, short events);

// The wait seam. The loop tells the seam which descriptors it watches and
// asks it to wait; Wake may be called from any thread and ends a wait early.
class WaitSeam {
 public:
  virtual ~WaitSeam() = default;
  virtual void SetWatch(int fd, short events) = 0;  // events 0: stop watching
  // Waits up to timeoutMs (-1: forever) and calls ready(fd, revents) for
  // each watched descriptor that became ready. revents are poll(2)'s own,
  // taken when the wait ends, and carry POLLRDHUP when it was asked for:
  // the socket library trusts a readable stream without it to hold data.
  virtual void Wait(int timeoutMs, const std::function<void(int, short)>& ready) = 0;
  virtual void Wake() = 0;
};
// Installs a seam (the loop re-announces its watched descriptors to it);
// nullptr restores the poll(2) seam. Safe from inside a wait of the old
// seam, which is kept until that wait has returned.
void SetWaitSeam(std::unique_ptr<WaitSeam> seam);

// Forgets every window, class, timer, queued message and watch (the seam
// stays); threads waiting for a call are released, a RunOnMainThread caller
// with an Exception. For tests, between cases; main thread only.
void ResetMessageLoopForTesting();

}  // namespace platform
