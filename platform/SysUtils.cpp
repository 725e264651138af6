#include "platform/SysUtils.h"

#include <ctime>
#include <mutex>

namespace platform {
namespace {

std::mutex formatLock;
std::string& Format() {
  static std::string format = "m/d/yyyy";
  return format;
}

}  // namespace

std::string ShortDateFormat() {
  std::lock_guard<std::mutex> lock(formatLock);
  return Format();
}

void SetShortDateFormat(const std::string& format) {
  std::lock_guard<std::mutex> lock(formatLock);
  Format() = format;
}

std::string DateTimeToStr(std::chrono::system_clock::time_point moment) {
  using namespace std::chrono;
  const std::time_t seconds = system_clock::to_time_t(moment);
  std::tm local{};
  localtime_r(&seconds, &local);
  const auto millis = duration_cast<milliseconds>(moment.time_since_epoch()).count() % 1000;

  auto number = [](int value, std::size_t width) {
    std::string text = std::to_string(value);
    if (text.size() < width) text.insert(0, width - text.size(), '0');
    return text;
  };
  const std::string format = ShortDateFormat();
  std::string out;
  for (std::size_t i = 0; i < format.size();) {
    auto run = [&](char letter) {
      std::size_t n = 0;
      while (i + n < format.size() && (format[i + n] | 0x20) == letter)
        ++n;
      return n;
    };
    const char c = static_cast<char>(format[i] | 0x20);
    std::size_t n = 0;
    if (c == 'y' && (n = run('y')) > 0) {
      out += n >= 3 ? number(local.tm_year + 1900, 4) : number((local.tm_year + 1900) % 100, 2);
    } else if (c == 'm' && (n = run('m')) > 0) {
      out += number(local.tm_mon + 1, n >= 2 ? 2 : 1);
    } else if (c == 'd' && (n = run('d')) > 0) {
      out += number(local.tm_mday, n >= 2 ? 2 : 1);
    } else {
      out += format[i];
      n = 1;
    }
    i += n;
  }
  if (local.tm_hour == 0 && local.tm_min == 0 && local.tm_sec == 0 && millis == 0) return out;
  return out + " " + number(local.tm_hour, 2) + ":" + number(local.tm_min, 2) + ":" +
         number(local.tm_sec, 2);
}

}  // namespace platform
