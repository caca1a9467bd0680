#include "host/values.h"

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace krelta::host {
namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Skips a run of digits; true when there was at least one.
bool skipDigits(const char*& p) {
  const char* start = p;
  while (isDigit(*p)) ++p;
  return p != start;
}

bool startsWithWord(const std::string& text, const char* word) {
  std::size_t i = 0;
  for (; word[i] != '\0'; ++i) {
    if (i >= text.size() || (text[i] | 0x20) != word[i]) return false;
  }
  return true;
}

// What a user would take for a number, or a slip of one: "1,5", " 2", "-", ".", "nan", "Inf".
bool looksNumeric(const std::string& text) {
  if (text.empty()) return true;
  const char first = text[0];
  if (isDigit(first) || first == '+' || first == '-' || first == '.' || first == ' ' || first == '\t') return true;
  return startsWithWord(text, "nan") || startsWithWord(text, "inf");
}

}  // namespace

std::optional<double> ParseDecimal(const std::string& text) {
  const char* p = text.c_str();
  if (*p == '+' || *p == '-') ++p;
  const bool whole = skipDigits(p);
  bool fraction = false;
  if (*p == '.') {
    ++p;
    fraction = skipDigits(p);
  }
  if (!whole && !fraction) return std::nullopt;
  if (*p == 'e' || *p == 'E') {
    ++p;
    if (*p == '+' || *p == '-') ++p;
    if (!skipDigits(p)) return std::nullopt;
  }
  if (*p != '\0') return std::nullopt;
  return std::strtod(text.c_str(), nullptr);
}

WriteValue ParseWriteValue(const std::string& text, bool asText) {
  if (asText) return {WriteValue::kText};
  if (text == "null") return {WriteValue::kNull};
  if (const std::optional<double> number = ParseDecimal(text)) {
    const double magnitude = std::fabs(*number);
    // Out of a float's range the server would get infinity, or zero for a tiny non-zero value.
    if (magnitude > FLT_MAX || (magnitude != 0 && static_cast<float>(magnitude) == 0)) {
      return {WriteValue::kRefused, 0, "\"" + text + "\" is out of the range of a 32-bit float"};
    }
    return {WriteValue::kNumber, static_cast<float>(*number)};
  }
  if (!looksNumeric(text)) return {WriteValue::kText};
  return {WriteValue::kRefused, 0,
          "\"" + text + "\" is neither a number nor plainly a text: write numbers in full with a decimal "
          "point (1.5, -2, 1e3), or give --text to write it as a text"};
}

std::string NumberText(float value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.9g", static_cast<double>(value));
  return text;
}

}  // namespace krelta::host
