// Values between the server's VARIANTs and the host's cells: the read conversion by value class,
// the write conversion of a cell, and the texts of the read trace. Windows only.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <cstdint>
#include <ostream>
#include <string>

#include "api/value_vector.h"

namespace krelta {

enum class ValueClass { Integer, Floating, Text, Other };

// By the value's type with VT_ARRAY and VT_BYREF masked off; a VT_VARIANT by the variant it
// refers to or, for an array of variants, by its first element.
ValueClass ClassOf(const VARIANT& value);

// The elements an array value offers to array tags (all dimensions, in storage order); 1 for
// a scalar.
std::uint32_t ElementCount(const VARIANT& value);

// Element `index` of a value (element 0 of a scalar is the scalar) converted by the value's
// class: a number, a text in the thread's ANSI code page, or null. Integers convert by their
// value to the nearest float; NaN gives null with notANumber set.
struct CellValue {
  SlotKind kind = SlotKind::Null;
  float number = 0;
  std::string text;
  bool notANumber = false;
};
CellValue ConvertElement(const VARIANT& value, ValueClass valueClass, std::uint32_t index);

// Stores a converted element into slot `position` of row; a null value leaves the slot null.
void StoreCell(const CellValue& cell, ValueVector& row, std::uint32_t position);

// "BAD", "UNCERTAIN", "GOOD" or "UNKNOWN" by the two top bits of the quality.
const char* QualityName(WORD quality);
inline bool IsBadQuality(WORD quality) { return (quality & 0xC0) == 0x00 || (quality & 0xC0) == 0x40; }

// "2024-03-01 12:00:00.250 UTC"; every field 0 when the time cannot be converted.
std::string FormatFileTimeUtc(const FILETIME& time);

// Whole seconds since 1970-01-01 UTC, truncated toward zero.
std::int64_t FileTimeToUnixSeconds(const FILETIME& time);

// Appends "{ vt: <type>, value: "<text>" }" (invariant locale), or value: null when the value
// has no text form.
void DumpVariant(std::ostream& out, const VARIANT& value);

// A cell as a value for the server: VT_R4, VT_BSTR from UTF-8 (invalid sequences skipped), or
// VT_EMPTY for null. `out` must be empty.
void CellToVariant(const ValueVector& row, std::uint32_t position, VARIANT& out);

}  // namespace krelta
