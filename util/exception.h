// The library's exception: expected failures inside operations carry a message text.
#pragma once

#include <stdexcept>
#include <string>

namespace krelta {

class Exception : public std::runtime_error {
 public:
  explicit Exception(const std::string& message) : std::runtime_error(message) {}
  const std::string& message() const noexcept { return message_; }

 private:
  std::string message_ = what();
};

}  // namespace krelta
