// Runs the message loop until a condition holds, for tests.
#pragma once

#include <cstdint>
#include <functional>

#include "platform/Clock.h"
#include "platform/Messages.h"

// Dispatches messages and waits for work until done() holds; false when a
// generous deadline passes first.
inline bool PumpUntil(const std::function<bool()>& done, int deadlineMs = 20000) {
  const std::uint32_t start = platform::timeGetTime();
  while (!done()) {
    if (platform::timeGetTime() - start > static_cast<std::uint32_t>(deadlineMs)) return false;
    platform::MSG msg;
    while (platform::PeekMessage(msg, true))
      platform::DispatchMessage(msg);
    if (!done()) platform::WaitForWork(50);
  }
  return true;
}
