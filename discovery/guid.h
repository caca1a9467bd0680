// Class and category identifiers as plain values, with their text forms. The layout is that of
// the Windows GUID, so a Guid converts to and from one by copying bytes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace krelta {

struct Guid {
  std::uint32_t data1 = 0;
  std::uint16_t data2 = 0;
  std::uint16_t data3 = 0;
  std::uint8_t data4[8] = {};

  bool IsNil() const;
  // Byte-for-byte equality.
  bool operator==(const Guid& o) const;
  bool operator!=(const Guid& o) const { return !(*this == o); }
};
static_assert(sizeof(Guid) == 16, "Guid must have the layout of a Windows GUID");

// "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX" (hex digits of either case); nothing else, no blanks.
std::optional<Guid> ParseGuid(const std::string& text);
// The registry form: the same text inside braces, and nothing after the closing brace.
std::optional<Guid> ParseBracedGuid(const std::string& text);
// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" in upper case, as the system prints it.
std::string ToBracedString(const Guid& guid);

}  // namespace krelta
