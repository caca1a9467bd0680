// UTF-8 validity of 8-bit texts.
#pragma once

#include <string>

namespace krelta {

// True when text is well-formed UTF-8 (no overlong forms, surrogates or values past U+10FFFF).
inline bool IsValidUtf8(const std::string& text) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  for (std::size_t i = 0; i < n;) {
    const unsigned char c = s[i];
    std::size_t length;
    unsigned min;
    unsigned value;
    if (c < 0x80) { ++i; continue; }
    if (c >= 0xC2 && c <= 0xDF) { length = 2; min = 0x80; value = c & 0x1F; }
    else if (c >= 0xE0 && c <= 0xEF) { length = 3; min = 0x800; value = c & 0x0F; }
    else if (c >= 0xF0 && c <= 0xF4) { length = 4; min = 0x10000; value = c & 0x07; }
    else return false;
    if (i + length > n) return false;
    for (std::size_t k = 1; k < length; ++k) {
      if ((s[i + k] & 0xC0) != 0x80) return false;
      value = (value << 6) | (s[i + k] & 0x3F);
    }
    if (value < min || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return false;
    i += length;
  }
  return true;
}

}  // namespace krelta
