#include "platform/toolkit/fltk/FltkWait.h"

#include <FL/Fl.H>
#include <fcntl.h>
#include <poll.h>
#include <sys/select.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <vector>

#include "platform/Exception.h"

namespace platform {

namespace {

class TFltkWaitSeam : public WaitSeam {
 public:
  TFltkWaitSeam() {
    if (::pipe2(pipe_, O_NONBLOCK | O_CLOEXEC) != 0)
      throw Exception(std::string("Cannot make the wake-up pipe: ") + std::strerror(errno));
    Fl::add_fd(pipe_[0], FL_READ, &TFltkWaitSeam::OnWake, this);
  }

  ~TFltkWaitSeam() override {
    for (const auto& [fd, events] : watched_)
      if (events != 0) Fl::remove_fd(fd);
    Fl::remove_fd(pipe_[0]);
    ::close(pipe_[0]);
    ::close(pipe_[1]);
  }

  // A descriptor no longer watched keeps its entry with events 0, so that a
  // socket's watch paused and resumed for every block allocates nothing
  // here; entries are bounded by the descriptor numbers in use.
  void SetWatch(int fd, short events) override {
    auto it = watched_.find(fd);
    if (it != watched_.end() && it->second != 0) {
      Fl::remove_fd(fd);
      it->second = 0;
    }
    if (events == 0) return;
    // FLTK waits with select(), which cannot take descriptors this high.
    if (fd < 0 || fd >= FD_SETSIZE)
      throw Exception("Descriptor " + std::to_string(fd) +
                      " is too high for the window system's wait");
    int when = FL_EXCEPT;
    if ((events & POLLIN) != 0) when |= FL_READ;
    if ((events & POLLOUT) != 0) when |= FL_WRITE;
    watched_[fd] = events;
    Fl::add_fd(fd, when, &TFltkWaitSeam::OnFd, this);
  }

  void Wait(int timeoutMs, const std::function<void(int, short)>& ready) override {
    ready_.clear();
    Fl::wait(timeoutMs < 0 ? 1e20 : timeoutMs / 1000.0);
    // FLTK does not say which condition made a descriptor ready: ask poll.
    // The list is kept between waits; ready only records what it is told.
    std::vector<pollfd>& fds = fds_;
    fds.clear();
    for (int fd : ready_) {
      auto it = watched_.find(fd);
      if (it != watched_.end() && it->second != 0) fds.push_back({fd, it->second, 0});
    }
    if (!fds.empty()) ::poll(fds.data(), fds.size(), 0);
    for (const pollfd& p : fds)
      if (p.revents != 0) ready(p.fd, p.revents);
  }

  void Wake() override {
    const char byte = 1;
    // A full pipe already holds a wake-up.
    [[maybe_unused]] ssize_t n = ::write(pipe_[1], &byte, 1);
  }

 private:
  static void OnWake(int fd, void*) {
    char buffer[64];
    while (::read(fd, buffer, sizeof buffer) > 0) {
    }
  }

  static void OnFd(int fd, void* data) {
    auto* self = static_cast<TFltkWaitSeam*>(data);
    for (int seen : self->ready_)
      if (seen == fd) return;
    self->ready_.push_back(fd);
  }

  int pipe_[2] = {-1, -1};
  std::map<int, short> watched_;
  std::vector<int> ready_;
  std::vector<pollfd> fds_;
};

}  // namespace

std::unique_ptr<WaitSeam> MakeFltkWaitSeam() {
  return std::make_unique<TFltkWaitSeam>();
}

}  // namespace platform
