#include "platform/SysUtils.h"

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

}  // namespace platform
