// The monotonic clock and Sleep.
#include "platform/Clock.h"

#include <gtest/gtest.h>

using namespace platform;

namespace {

TEST(ClockTest, TheCounterRunsInNanosecondsThatFitTheMillisecondClock) {
  ASSERT_EQ(QueryPerformanceFrequency(), 1000000000);
  // The communications clock needs counts per millisecond that fit 32 bits.
  EXPECT_LE(QueryPerformanceFrequency(), 0xFFFFFFFFLL);
  std::int64_t before = QueryPerformanceCounter();
  std::uint32_t ms = timeGetTime();
  std::int64_t after = QueryPerformanceCounter();
  EXPECT_LE(before, after);
  // The millisecond clock is the same clock, cut to 32 bits.
  std::uint32_t low = static_cast<std::uint32_t>(before / 1000000);
  std::uint32_t high = static_cast<std::uint32_t>(after / 1000000);
  EXPECT_LE(static_cast<std::uint32_t>(ms - low), static_cast<std::uint32_t>(high - low));
}

TEST(ClockTest, SleepLastsAtLeastItsTime) {
  std::int64_t start = QueryPerformanceCounter();
  Sleep(30);
  EXPECT_GE(QueryPerformanceCounter() - start, 30 * 1000000);
  Sleep(0);  // gives up the time slice and returns
}

}  // namespace
