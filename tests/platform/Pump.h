// Runs the message loop until a condition holds, for tests.
#pragma once

#include <cstdint>
#include <functional>

#include "platform/Clock.h"
#include "platform/Messages.h"

// Dispatches what is pending, then waits for work, until done() holds after
// a dispatch; false when a generous deadline passes first. What is pending
// when done() already holds is still dispatched once.
inline bool PumpUntil(const std::function<bool()>& done, int deadlineMs = 20000) {
  const std::uint32_t start = platform::timeGetTime();
  for (;;) {
    platform::MSG msg;
    while (platform::PeekMessage(msg, true))
      platform::DispatchMessage(msg);
    if (done()) return true;
    if (platform::timeGetTime() - start > static_cast<std::uint32_t>(deadlineMs)) return false;
    platform::WaitForWork(50);
  }
}
