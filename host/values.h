// How krelta-host reads the numbers a user types and prints the numbers the library gives. It
// never guesses: "1,5" is not 15 nor 1.5, and "nan" is not a number a server should get.
#pragma once

#include <optional>
#include <string>

namespace krelta::host {

// A decimal number, the whole text and nothing else: optional sign, digits with an optional
// decimal point, optional exponent. No blanks, commas, hexadecimal, "nan" or "inf"; infinite
// only when the exponent is too large for a double.
std::optional<double> ParseDecimal(const std::string& text);

// The value argument of `write`: a number, null, a text, or refused with the reason.
struct WriteValue {
  enum Kind { kNumber, kText, kNull, kRefused } kind;
  float number = 0;
  std::string refusal;
};
// "null" is null; a decimal within a 32-bit float's range is a number; other texts that look
// like numbers ("1,5", "0x20", "12abc", "-", "nan", "1e39", "") are refused unless `asText`
// says the user means a text; anything else is a text.
WriteValue ParseWriteValue(const std::string& text, bool asText);

// A 32-bit float in as many digits as tell it apart from every other float ("%.9g").
std::string NumberText(float value);

}  // namespace krelta::host
