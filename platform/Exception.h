// The base of every exception the system raises: a message text and a help
// context, as the component framework's own exceptions carry them.
#pragma once

#include <stdexcept>
#include <string>

namespace platform {

class Exception : public std::runtime_error {
 public:
  explicit Exception(const std::string& message, int helpContext = 0)
      : std::runtime_error(message), helpContext_(helpContext) {}

  std::string Message() const { return what(); }
  int HelpContext() const { return helpContext_; }

 private:
  int helpContext_;
};

}  // namespace platform
