#include "discovery/guid.h"

#include <cstdio>
#include <cstring>

namespace krelta {
namespace {

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads `digits` hex digits at text[at]; false on any other character.
bool readHex(const std::string& text, std::size_t at, int digits, std::uint32_t& value) {
  value = 0;
  for (int i = 0; i < digits; ++i) {
    const int v = hexValue(text[at + i]);
    if (v < 0) return false;
    value = (value << 4) | static_cast<std::uint32_t>(v);
  }
  return true;
}

}  // namespace

bool Guid::IsNil() const { return *this == Guid(); }

bool Guid::operator==(const Guid& o) const {
  return data1 == o.data1 && data2 == o.data2 && data3 == o.data3 &&
         std::memcmp(data4, o.data4, sizeof(data4)) == 0;
}

std::optional<Guid> ParseGuid(const std::string& text) {
  if (text.size() != 36 || text[8] != '-' || text[13] != '-' || text[18] != '-' ||
      text[23] != '-') {
    return std::nullopt;
  }
  Guid g;
  std::uint32_t v = 0;
  if (!readHex(text, 0, 8, v)) return std::nullopt;
  g.data1 = v;
  if (!readHex(text, 9, 4, v)) return std::nullopt;
  g.data2 = static_cast<std::uint16_t>(v);
  if (!readHex(text, 14, 4, v)) return std::nullopt;
  g.data3 = static_cast<std::uint16_t>(v);
  static constexpr std::size_t kByteAt[8] = {19, 21, 24, 26, 28, 30, 32, 34};
  for (int i = 0; i < 8; ++i) {
    if (!readHex(text, kByteAt[i], 2, v)) return std::nullopt;
    g.data4[i] = static_cast<std::uint8_t>(v);
  }
  return g;
}

std::optional<Guid> ParseBracedGuid(const std::string& text) {
  if (text.size() != 38 || text.front() != '{' || text.back() != '}') return std::nullopt;
  return ParseGuid(text.substr(1, 36));
}

std::string ToBracedString(const Guid& g) {
  char buffer[40];
  std::snprintf(buffer, sizeof(buffer),
                "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                static_cast<unsigned>(g.data1), g.data2, g.data3, g.data4[0], g.data4[1],
                g.data4[2], g.data4[3], g.data4[4], g.data4[5], g.data4[6], g.data4[7]);
  return buffer;
}

}  // namespace krelta
