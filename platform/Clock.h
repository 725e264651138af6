// The clock: monotonic time for timers, time-outs and the communications
// clock, and pausing the calling thread.
//
// Every function here may be called from any thread. The clock is the
// system's monotonic clock (CLOCK_MONOTONIC): it starts at an arbitrary
// point, never goes backwards and does not follow changes of the wall clock.
#pragma once

#include <cstdint>

namespace platform {

// The performance counter: nanoseconds of the monotonic clock. The
// communications clock divides it by its counts per millisecond.
std::int64_t QueryPerformanceCounter();
// Counts per second of QueryPerformanceCounter (1000000000; it fits in 32
// bits, so the counts per millisecond are 1000000).
std::int64_t QueryPerformanceFrequency();
// Milliseconds of the same clock, the low 32 bits (they wrap after about
// 49.7 days): the fallback millisecond source and the time that timer
// callbacks are given.
std::uint32_t timeGetTime();

// Pauses the calling thread for about ms milliseconds (at least that long;
// a signal does not cut it short). The message loop does not run meanwhile.
// Sleep(0) gives up the rest of the thread's time slice.
void Sleep(std::uint32_t ms);

}  // namespace platform
