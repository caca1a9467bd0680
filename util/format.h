// Composes messages from format strings with numbered placeholders (%1%, %2%, ...).
#pragma once

#include <boost/format.hpp>
#include <string>

namespace krelta {

template <typename... Args>
std::string Format(const char* pattern, const Args&... args) {
  boost::format f(pattern);
  (void)std::initializer_list<int>{((void)(f % args), 0)...};
  return f.str();
}

}  // namespace krelta
