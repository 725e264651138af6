#include "platform/Clock.h"

#include <sched.h>
#include <time.h>

#include <cerrno>

namespace platform {

namespace {
constexpr std::int64_t kNanosecondsPerSecond = 1000000000;
}

std::int64_t QueryPerformanceCounter() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * kNanosecondsPerSecond + now.tv_nsec;
}

std::int64_t QueryPerformanceFrequency() {
  return kNanosecondsPerSecond;
}

std::uint32_t timeGetTime() {
  return static_cast<std::uint32_t>(QueryPerformanceCounter() / 1000000);
}

void Sleep(std::uint32_t ms) {
  if (ms == 0) {
    sched_yield();
    return;
  }
  timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000};
  // nanosleep reports what remains when a signal interrupts it; sleep on.
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

}  // namespace platform
