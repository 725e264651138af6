// Process-wide settings of the runtime that texts are formatted with.
//
// The short date format is one value for the whole process: the window sets
// it at creation, and date texts written later (history lines) follow it.
// Its letters are the runtime's: d, dd, m, mm, yy, yyyy; other characters
// stand for themselves.
//
// Threads: any thread may read or set it.
#pragma once

#include <chrono>
#include <string>

namespace platform {

// "m/d/yyyy" until it is set.
std::string ShortDateFormat();
void SetShortDateFormat(const std::string& format);

// The runtime's text of a moment in local time: the short date format, a
// blank and the long time format "hh:nn:ss" (24 hours). At exactly
// midnight (to the millisecond) the time is left out.
std::string DateTimeToStr(std::chrono::system_clock::time_point moment);

}  // namespace platform
