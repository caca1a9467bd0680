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

// A listing the server left unanswered past the call bound while a connection was being opened:
// the tree would miss the node's tags, so the open fails instead of reporting success.
class UnansweredListing : public Exception {
 public:
  using Exception::Exception;
};

}  // namespace krelta
