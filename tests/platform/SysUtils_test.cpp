// The runtime's date-and-time text.
#include "platform/SysUtils.h"

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>

namespace {

TEST(DateTimeText, MidnightLeavesTheTimeOut) {
  platform::SetShortDateFormat("yyyy/mm/dd");
  std::tm local{};
  local.tm_year = 2026 - 1900;
  local.tm_mon = 11;
  local.tm_mday = 1;
  local.tm_isdst = -1;
  const auto midnight = std::chrono::system_clock::from_time_t(std::mktime(&local));
  EXPECT_EQ(platform::DateTimeToStr(midnight), "2026/12/01");
  EXPECT_EQ(platform::DateTimeToStr(midnight + std::chrono::milliseconds(1)),
            "2026/12/01 00:00:00");
  EXPECT_EQ(platform::DateTimeToStr(midnight + std::chrono::hours(13) + std::chrono::seconds(5)),
            "2026/12/01 13:00:05");
  platform::SetShortDateFormat("d/m/yy");
  EXPECT_EQ(platform::DateTimeToStr(midnight), "1/12/26");
  platform::SetShortDateFormat("m/d/yyyy");
}

}  // namespace
