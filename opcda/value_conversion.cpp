#include "opcda/value_conversion.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "platform/com/com_owners.h"
#include "platform/com/wide_text.h"

namespace krelta {
namespace {

constexpr VARTYPE kTypeMask = VT_TYPEMASK;

// The array behind a value, by reference or not; null for scalars.
SAFEARRAY* ArrayOf(const VARIANT& value) {
  if ((value.vt & VT_ARRAY) == 0) return nullptr;
  if ((value.vt & VT_BYREF) != 0) return value.pparray != nullptr ? *value.pparray : nullptr;
  return value.parray;
}

std::uint64_t TotalElements(const SAFEARRAY* array) {
  if (array == nullptr || array->cDims == 0) return 0;
  std::uint64_t total = 1;
  for (USHORT d = 0; d < array->cDims; ++d) total *= array->rgsabound[d].cElements;
  return total;
}

// Copies `size` bytes of a typed datum into the union of `out` and sets its type. Types whose
// datum is no plain value (records, interfaces) keep only their type: they convert to nothing.
bool ViewDatum(VARTYPE type, const void* datum, std::size_t size, VARIANT& out) {
  if (datum == nullptr) return false;
  switch (type) {
    case VT_DECIMAL:
      if (size < sizeof(DECIMAL)) return false;
      std::memcpy(&out.decVal, datum, sizeof(DECIMAL));
      break;
    case VT_VARIANT:
      return false;  // handled by the caller
    case VT_RECORD: case VT_UNKNOWN: case VT_DISPATCH:
      break;
    default:
      std::memcpy(&out.llVal, datum, size < sizeof(out.llVal) ? size : sizeof(out.llVal));
  }
  out.vt = type;
  return true;
}

std::size_t DatumSize(VARTYPE type) {
  switch (type) {
    case VT_I1: case VT_UI1: return 1;
    case VT_I2: case VT_UI2: case VT_BOOL: return 2;
    case VT_I4: case VT_UI4: case VT_INT: case VT_UINT: case VT_R4: case VT_ERROR: return 4;
    case VT_DECIMAL: return sizeof(DECIMAL);
    default: return 8;  // I8, UI8, R8, CY, DATE, pointers
  }
}

// A borrowed view of element `index` of a value (nothing is copied that needs freeing: BSTRs
// stay the value's). A VT_VARIANT element or reference is viewed as the variant it holds.
bool ElementView(const VARIANT& value, std::uint32_t index, VARIANT& out, int depth = 0) {
  std::memset(&out, 0, sizeof out);  // VT_EMPTY, and no stale bytes beside a short datum
  if (depth > 4) return false;
  const VARTYPE type = value.vt & kTypeMask;
  if (SAFEARRAY* array = ArrayOf(value)) {
    if (array->pvData == nullptr || index >= TotalElements(array)) return false;
    const auto* datum = static_cast<const char*>(array->pvData) +
                        static_cast<std::size_t>(index) * array->cbElements;
    if (type == VT_VARIANT) {
      return ElementView(*reinterpret_cast<const VARIANT*>(datum), 0, out, depth + 1);
    }
    return ViewDatum(type, datum, array->cbElements, out);
  }
  if ((value.vt & VT_ARRAY) != 0) return false;  // an array without data
  if ((value.vt & VT_BYREF) != 0) {
    if (value.byref == nullptr) return false;
    if (type == VT_VARIANT) return ElementView(*value.pvarVal, index, out, depth + 1);
    return ViewDatum(type, value.byref, DatumSize(type), out);
  }
  if (type == VT_VARIANT) return false;
  out = value;  // shallow: the view borrows
  return true;
}

bool IsDirectArrayOf(const VARIANT& value, VARTYPE type) {
  return (value.vt & VT_ARRAY) != 0 && (value.vt & kTypeMask) == type;
}

ValueClass ClassOfType(VARTYPE type) {
  switch (type) {
    case VT_I2: case VT_I4: case VT_BOOL: case VT_I1: case VT_UI1: case VT_UI2: case VT_UI4:
    case VT_I8: case VT_UI8: case VT_INT: case VT_UINT:
      return ValueClass::Integer;
    case VT_R4: case VT_R8: case VT_CY: case VT_DECIMAL:
      return ValueClass::Floating;
    case VT_BSTR:
      return ValueClass::Text;
    default:
      return ValueClass::Other;
  }
}

// An integer element by its value; types outside the integer class give 0.
float IntegerValue(const VARIANT& v) {
  switch (v.vt) {
    case VT_I1: return static_cast<float>(v.cVal);
    case VT_I2: return static_cast<float>(v.iVal);
    case VT_I4: case VT_INT: return static_cast<float>(v.lVal);
    case VT_UI1: return static_cast<float>(v.bVal);
    case VT_UI2: return static_cast<float>(v.uiVal);
    case VT_UI4: case VT_UINT: return static_cast<float>(v.ulVal);
    case VT_I8: return static_cast<float>(v.llVal);
    case VT_UI8: return static_cast<float>(v.ullVal);
    case VT_BOOL: return v.boolVal != 0 ? 1.0f : 0.0f;
    default: return 0.0f;
  }
}

constexpr double kNoFloatingValue = -99.0;

double FloatingValue(const VARIANT& v, bool fromTypedArray) {
  switch (v.vt) {
    case VT_R4: return v.fltVal;
    case VT_R8: return v.dblVal;
    case VT_CY: return fromTypedArray ? kNoFloatingValue : static_cast<double>(v.cyVal.int64) / 10000.0;
    case VT_DECIMAL: {
      if (fromTypedArray) return kNoFloatingValue;
      double d = 0;
      DECIMAL copy = v.decVal;
      return SUCCEEDED(::VarR8FromDec(&copy, &d)) ? d : kNoFloatingValue;
    }
    default: return kNoFloatingValue;
  }
}

}  // namespace

ValueClass ClassOf(const VARIANT& value) {
  const VARTYPE type = value.vt & kTypeMask;
  if (type != VT_VARIANT) return ClassOfType(type);
  VARIANT view;
  if (!ElementView(value, 0, view)) return ValueClass::Other;
  return ClassOfType(view.vt);
}

std::uint32_t ElementCount(const VARIANT& value) {
  if ((value.vt & VT_ARRAY) == 0) return 1;
  const std::uint64_t total = TotalElements(ArrayOf(value));
  return total > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<std::uint32_t>(total);
}

CellValue ConvertElement(const VARIANT& value, ValueClass valueClass, std::uint32_t index) {
  CellValue cell;
  if (valueClass == ValueClass::Other) return cell;
  VARIANT element;
  const bool found = ElementView(value, index, element);
  switch (valueClass) {
    case ValueClass::Integer:
      cell.kind = SlotKind::Number;
      cell.number = found ? IntegerValue(element) : 0.0f;
      break;
    case ValueClass::Floating: {
      const bool typedArray = IsDirectArrayOf(value, VT_CY) || IsDirectArrayOf(value, VT_DECIMAL);
      const double d = found ? FloatingValue(element, typedArray) : kNoFloatingValue;
      if (std::isnan(d)) {
        cell.notANumber = true;
        return cell;
      }
      cell.kind = SlotKind::Number;
      cell.number = static_cast<float>(d);
      break;
    }
    case ValueClass::Text:
      cell.kind = SlotKind::Text;
      if (found && element.vt == VT_BSTR && element.bstrVal != nullptr) {
        cell.text = com::WideToAnsi(std::wstring(element.bstrVal, ::SysStringLen(element.bstrVal)));
      }
      break;
    case ValueClass::Other:
      break;
  }
  return cell;
}

void StoreCell(const CellValue& cell, ValueVector& row, std::uint32_t position) {
  switch (cell.kind) {
    case SlotKind::Number: row.SetNumber(position, cell.number); break;
    case SlotKind::Text: row.SetText(position, cell.text); break;
    case SlotKind::Null: row.SetNull(position); break;
  }
}

const char* QualityName(WORD quality) {
  switch (quality & 0xC0) {
    case 0x00: return "BAD";
    case 0x40: return "UNCERTAIN";
    case 0xC0: return "GOOD";
    default: return "UNKNOWN";
  }
}

std::string FormatFileTimeUtc(const FILETIME& time) {
  SYSTEMTIME st{};
  if (!::FileTimeToSystemTime(&time, &st)) st = SYSTEMTIME{};
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%d-%02d-%02d %02d:%02d:%02d.%03d UTC", st.wYear, st.wMonth,
                st.wDay, st.wHour, st.wMinute, st.wSecond, st.wMilliseconds);
  return buffer;
}

std::int64_t FileTimeToUnixSeconds(const FILETIME& time) {
  constexpr std::int64_t kEpochMicroseconds = 11644473600000000LL;  // 1601 to 1970
  const std::uint64_t ticks = (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
  const std::int64_t micro = static_cast<std::int64_t>(ticks / 10) - kEpochMicroseconds;
  return micro / 1000000;
}

void DumpVariant(std::ostream& out, const VARIANT& value) {
  out << "{ vt: " << value.vt << ", value: ";
  com::Variant text;
  const HRESULT hr = ::VariantChangeTypeEx(text.get(), const_cast<VARIANT*>(&value), 0x7F,
                                           VARIANT_NOUSEROVERRIDE, VT_BSTR);
  if (SUCCEEDED(hr) && text->vt == VT_BSTR && text->bstrVal != nullptr) {
    out << '"' << com::WideToUtf8(std::wstring(text->bstrVal, ::SysStringLen(text->bstrVal))) << '"';
  } else {
    out << "null";
  }
  out << " }";
}

void CellToVariant(const ValueVector& row, std::uint32_t position, VARIANT& out) {
  ::VariantInit(&out);
  if (const float* number = row.Number(position)) {
    out.vt = VT_R4;
    out.fltVal = *number;
  } else if (const std::string* text = row.Text(position)) {
    const std::wstring wide = com::Utf8ToWide(*text);
    out.bstrVal = ::SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
    if (out.bstrVal == nullptr) throw std::bad_alloc();
    out.vt = VT_BSTR;
  }
}

}  // namespace krelta
