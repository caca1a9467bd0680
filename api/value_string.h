// The string object handed to the host: exactly the bytes given at creation, no terminator,
// no character-set conversion. Never changes after creation.
#pragma once

#include <string>

namespace krelta {

class ValueString {
 public:
  explicit ValueString(std::string bytes) : bytes_(std::move(bytes)) {}
  const std::string& Bytes() const { return bytes_; }

 private:
  const std::string bytes_;
};

}  // namespace krelta
