// WSAAsyncSelect: socket events as posted window messages.
//
// The loop watches a selected socket's descriptor only for what may be
// notified next. The loop's watch is level-triggered: a descriptor stays
// ready until it is read, so an event that has been posted and not yet
// re-enabled must not stay watched. Each readiness therefore either posts
// and disarms its event or finds the state changed; nothing is watched
// that would report the same readiness again.
#include "platform/winsock/WinsockPosix.h"

#include <array>

namespace platform {
namespace wsock {
namespace {

constexpr std::int32_t kAllEvents = FD_READ | FD_WRITE | FD_OOB | FD_ACCEPT | FD_CONNECT | FD_CLOSE;

struct Notice {
  HWND window;
  UINT message;
  SOCKET s;
  LPARAM lParam;
};

// A change of the loop's watch, made after the table's lock is released.
struct WatchChange {
  bool needed = false;
  SOCKET s = INVALID_SOCKET;
  int fd = -1;
  short events = 0;
};

void OnReady(SOCKET s, short revents);

short WantedEvents(const Socket& k) {
  if (k.window == 0 || k.events == 0) return 0;
  if (k.listening) return k.acceptArmed && (k.events & FD_ACCEPT) ? POLLIN : 0;
  if (k.type == SOCK_STREAM && k.link == Socket::Link::Connecting) return POLLOUT;
  const bool open = k.type == SOCK_DGRAM || k.link == Socket::Link::Connected;
  short wanted = 0;
  if (open && k.readArmed && !k.closeReported && !k.recvShut && (k.events & (FD_READ | FD_CLOSE)))
    wanted |= k.type == SOCK_STREAM ? POLLIN | POLLRDHUP : POLLIN;
  if (open && k.writeArmed && (k.events & FD_WRITE)) wanted |= POLLOUT;
  return wanted;
}

WatchChange PlanWatch(SOCKET s, Socket& k) {
  const short wanted = WantedEvents(k);
  if (wanted == k.watching) return {};
  k.watching = wanted;
  if (wanted != 0) k.registered = true;
  return WatchChange{true, s, k.fd, wanted};
}

// The loop's watch, once made, stays registered until the socket is closed
// and is only paused while nothing may be notified: a read notice disarms
// and re-enables it once a block, and pausing allocates nothing.
void Apply(const WatchChange& change) {
  if (!change.needed || SetFdEvents(change.fd, change.events) || change.events == 0) return;
  WatchFd(change.fd, change.events, [s = change.s](int, short revents) { OnReady(s, revents); });
}

// The notices of one readiness: at most two (FD_CONNECT and FD_WRITE, or a
// read or close notice and FD_WRITE), kept without allocating.
struct Notices {
  std::array<Notice, 2> items;
  std::size_t count = 0;
  void Add(const Notice& n) { items[count++] = n; }
};

void Deliver(const Notices& notices) {
  for (std::size_t i = 0; i < notices.count; ++i) {
    const Notice& n = notices.items[i];
    PostMessage(n.window, n.message, static_cast<WPARAM>(n.s), n.lParam);
  }
}

enum class Input { None, Data, End, Failed };

// What waits on a connected socket, without taking it.
Input PeekInput(const Socket& k, int& error) {
  if (k.hardError != 0) {
    error = k.hardError;
    return Input::Failed;
  }
  char c;
  const ssize_t n = ::recv(k.fd, &c, 1, sys::kMsgPeek | MSG_DONTWAIT);
  if (n > 0 || (n == 0 && k.type == SOCK_DGRAM)) return Input::Data;
  if (n == 0) return Input::End;
  if (errno == EAGAIN || errno == EINTR) return Input::None;
  error = WinsockError(errno);
  return Input::Failed;
}

void OnReady(SOCKET s, short revents) {
  Notices notices;
  WatchChange change;
  {
    std::lock_guard<std::mutex> guard(Sockets().lock);
    Socket* found = FindSocket(s);
    if (found == nullptr) return;  // closed meanwhile
    Socket& k = *found;
    const auto notify = [&](std::int32_t event, int error) {
      if (k.events & event) notices.Add({k.window, k.message, s, WSAMAKESELECTREPLY(event, error)});
    };
    const bool trouble = (revents & (POLLERR | POLLHUP | POLLNVAL)) != 0;
    if (k.listening) {
      k.acceptArmed = false;
      notify(FD_ACCEPT, 0);
    } else if (k.type == SOCK_STREAM && k.link == Socket::Link::Connecting) {
      const int error = PendingSystemError(k.fd);
      if (error == 0 && (revents & POLLOUT) != 0) {
        k.link = Socket::Link::Connected;
        k.readArmed = true;
        k.writeArmed = false;
        k.closeReported = false;
        notify(FD_CONNECT, 0);
        notify(FD_WRITE, 0);
      } else if (error != 0 || trouble) {
        k.link = Socket::Link::Idle;
        notify(FD_CONNECT, error != 0 ? WinsockError(error) : WSAECONNREFUSED);
      }
    } else {
      if ((k.watching & POLLIN) && (revents & (POLLIN | POLLERR | POLLHUP | POLLRDHUP))) {
        int error = 0;
        // Readable without the peer's end and without trouble is data: the
        // answer is the wait's own, just taken, and only this thread reads.
        // Only when the end may be next does a peek tell whether data still
        // comes before it, so FD_CLOSE follows the last FD_READ. This saves
        // a system call on every block of a transfer.
        const bool plainData = k.hardError == 0 && !trouble && (revents & POLLIN) != 0 &&
                               (k.type == SOCK_DGRAM || (revents & POLLRDHUP) == 0);
        Input input = plainData ? Input::Data : PeekInput(k, error);
        // Trouble without anything to read: the connection is over.
        if (input == Input::None && trouble) {
          const int pending = PendingSystemError(k.fd);
          input = pending != 0 ? Input::Failed : Input::End;
          error = pending != 0 ? WinsockError(pending) : 0;
        }
        switch (input) {
          case Input::None:
            break;
          case Input::Data:
            k.readArmed = false;
            notify(FD_READ, 0);
            break;
          case Input::End:
            k.closeReported = true;
            notify(FD_CLOSE, 0);
            break;
          case Input::Failed:
            if (k.hardError == 0) k.hardError = error;
            k.closeReported = true;
            notify(FD_CLOSE, error);
            break;
        }
      }
      if ((k.watching & POLLOUT) && (revents & (POLLOUT | POLLERR | POLLHUP))) {
        k.writeArmed = false;
        notify(FD_WRITE, 0);
      }
    }
    change = PlanWatch(s, k);
  }
  Deliver(notices);
  Apply(change);
}

}  // namespace

void Reenable(SOCKET s, std::int32_t events) {
  WatchChange change;
  {
    std::lock_guard<std::mutex> guard(Sockets().lock);
    Socket* k = FindSocket(s);
    if (k == nullptr || k->window == 0) return;
    if (events & FD_READ) k->readArmed = true;
    if (events & FD_WRITE) k->writeArmed = true;
    if (events & FD_ACCEPT) k->acceptArmed = true;
    change = PlanWatch(s, *k);
  }
  Apply(change);
}

void UpdateWatch(SOCKET s) {
  Reenable(s, 0);
}

void InheritSelection(SOCKET listener, SOCKET accepted) {
  {
    std::lock_guard<std::mutex> guard(Sockets().lock);
    const Socket* from = FindSocket(listener);
    Socket* to = FindSocket(accepted);
    if (from == nullptr || to == nullptr || from->window == 0) return;
    to->window = from->window;
    to->message = from->message;
    to->events = from->events;
    to->nonBlocking = true;
  }
  // Connected from the start: data may wait already, and sending is possible.
  Reenable(accepted, FD_READ | FD_WRITE);
}

}  // namespace wsock

int WSAAsyncSelect(SOCKET s, HWND hWnd, u_int wMsg, std::int32_t lEvent) {
  if (!wsock::Enter()) return SOCKET_ERROR;
  if ((lEvent & ~wsock::kAllEvents) != 0 || (lEvent != 0 && !IsWindow(hWnd))) {
    wsock::SetLastError(WSAEINVAL);
    return SOCKET_ERROR;
  }
  wsock::WatchChange change;
  {
    std::lock_guard<std::mutex> guard(wsock::Sockets().lock);
    wsock::Socket* k = wsock::FindSocket(s);
    if (k == nullptr) {
      wsock::SetLastError(WSAENOTSOCK);
      return SOCKET_ERROR;
    }
    // Selecting makes the socket non-blocking, also with no events.
    k->nonBlocking = true;
    k->window = lEvent != 0 ? hWnd : 0;
    k->message = wMsg;
    k->events = lEvent;
    // Whatever already holds is reported again under the new selection.
    k->readArmed = true;
    k->writeArmed = true;
    k->acceptArmed = true;
    k->closeReported = false;
    change = wsock::PlanWatch(s, *k);
  }
  wsock::Apply(change);
  return 0;
}

}  // namespace platform
