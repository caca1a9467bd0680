// The read conversion of the values the end-to-end read cannot produce, the texts of the read
// trace and the write conversion. In-process: the values are built here.
#include "opcda/value_conversion.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <sstream>

#include "platform/com/com_owners.h"

namespace krelta {
namespace {

CellValue Convert(const VARIANT& v, std::uint32_t index = 0) {
  return ConvertElement(v, ClassOf(v), index);
}

// A one-dimensional array of `type` with the given lower bound, filled by fill(datum, i).
template <typename Fill>
void MakeArray(VARIANT& v, VARTYPE type, LONG lowerBound, ULONG count, Fill&& fill) {
  SAFEARRAY* array = ::SafeArrayCreateVector(type, lowerBound, count);
  ASSERT_NE(array, nullptr);
  for (ULONG i = 0; i < count; ++i) {
    LONG index = lowerBound + static_cast<LONG>(i);
    VARIANT element;
    ::VariantInit(&element);
    fill(element, i);
    void* datum = type == VT_VARIANT ? static_cast<void*>(&element)
                  : type == VT_BSTR  ? static_cast<void*>(element.bstrVal)
                                     : static_cast<void*>(&element.llVal);
    ASSERT_EQ(::SafeArrayPutElement(array, &index, datum), S_OK);
    ::VariantClear(&element);
  }
  v.vt = static_cast<VARTYPE>(VT_ARRAY | type);
  v.parray = array;
}

// One row per value the end-to-end read does not cover (it reads I1, UI4, I8, BOOL, CY,
// DECIMAL, NaN, R4 infinity, DATE, EMPTY, a referenced I4, a mixed array's first element, a
// shifted R4 array, and texts in the ANSI code page or with an unpaired surrogate): the value,
// the element read, and the number (or text) it gives; a kind of Null expects no value.
TEST(ValueConversion, Table) {
  using Make = std::function<void(VARIANT&)>;
  const auto integer = [](VARTYPE vt, long long value) {
    return Make([=](VARIANT& v) { v.vt = vt; v.llVal = value; });  // the narrower members alias its low bytes
  };
  static BSTR referencedText = ::SysAllocString(L"abc");
  static VARIANT referencedR8 = [] { VARIANT r; ::VariantInit(&r); r.vt = VT_R8; r.dblVal = 2.5; return r; }();
  const auto r4Array = [](LONG lowerBound) {
    return Make([=](VARIANT& v) {
      MakeArray(v, VT_R4, lowerBound, 3, [](VARIANT& e, ULONG i) { e.vt = VT_R4; e.fltVal = 1.5f * (i + 1); });
    });
  };
  const struct {
    const char* what;
    Make make;
    std::uint32_t index;
    SlotKind kind;
    float number;
    const char* text;
  } rows[] = {
      {"UI1", integer(VT_UI1, 200), 0, SlotKind::Number, 200, nullptr},
      {"I4", integer(VT_I4, -7), 0, SlotKind::Number, -7, nullptr},
      {"I2", integer(VT_I2, -32768), 0, SlotKind::Number, -32768, nullptr},
      {"UI2", integer(VT_UI2, 60000), 0, SlotKind::Number, 60000, nullptr},
      {"INT", integer(VT_INT, 9), 0, SlotKind::Number, 9, nullptr},
      // Past 2^31 and 2^64 a counter keeps its value (the nearest float), never wraps.
      {"UINT 2^31", integer(VT_UINT, 0x80000000LL), 0, SlotKind::Number, 2147483648.0f, nullptr},
      {"I8 negative", integer(VT_I8, -9000000000LL), 0, SlotKind::Number, -9000000000.0f, nullptr},
      {"UI8 2^64-1", integer(VT_UI8, -1), 0, SlotKind::Number, 18446744073709551616.0f, nullptr},
      {"BOOL false", [](VARIANT& v) { v.vt = VT_BOOL; v.boolVal = VARIANT_FALSE; }, 0, SlotKind::Number, 0, nullptr},
      {"R8 -infinity", [](VARIANT& v) { v.vt = VT_R8; v.dblVal = -HUGE_VAL; }, 0, SlotKind::Number, -HUGE_VALF, nullptr},
      {"VT_NULL", [](VARIANT& v) { v.vt = VT_NULL; }, 0, SlotKind::Null, 0, nullptr},
      {"VT_ERROR", [](VARIANT& v) { v.vt = VT_ERROR; }, 0, SlotKind::Null, 0, nullptr},
      {"referenced text", [](VARIANT& v) { v.vt = VT_BSTR | VT_BYREF; v.pbstrVal = &referencedText; }, 0,
       SlotKind::Text, 0, "abc"},
      {"referenced variant, by its own type",
       [](VARIANT& v) { v.vt = VT_VARIANT | VT_BYREF; v.pvarVal = &referencedR8; }, 0, SlotKind::Number, 2.5f, nullptr},
      {"broken reference: the fallback", [](VARIANT& v) { v.vt = VT_I4 | VT_BYREF; v.plVal = nullptr; }, 0,
       SlotKind::Number, 0, nullptr},
      {"mixed array, element outside the first's class",
       [](VARIANT& v) {
         MakeArray(v, VT_VARIANT, 0, 2, [](VARIANT& e, ULONG i) {
           if (i == 0) { e.vt = VT_I4; e.lVal = 10; } else { e.vt = VT_BSTR; e.bstrVal = ::SysAllocString(L"x"); }
         });
       },
       1, SlotKind::Number, 0, nullptr},
      {"array, past the end: the floating fallback", r4Array(5), 3, SlotKind::Number, -99, nullptr},
      {"two dimensions in storage order",
       [](VARIANT& v) {
         SAFEARRAYBOUND bounds[2] = {{2, 0}, {3, 1}};
         v.vt = VT_ARRAY | VT_I2;
         v.parray = ::SafeArrayCreate(VT_I2, 2, bounds);
         for (SHORT i = 0; i < 6; ++i) static_cast<SHORT*>(v.parray->pvData)[i] = static_cast<SHORT>(100 + i);
       },
       5, SlotKind::Number, 105, nullptr},
      {"text array",
       [](VARIANT& v) { MakeArray(v, VT_BSTR, 0, 2, [](VARIANT& e, ULONG i) { e.vt = VT_BSTR; e.bstrVal = ::SysAllocString(i ? L"Heat" : L"Mix"); }); },
       1, SlotKind::Text, 0, "Heat"},
      {"CY array: the conversion table's fallback",
       [](VARIANT& v) { MakeArray(v, VT_CY, 0, 1, [](VARIANT& e, ULONG) { e.vt = VT_CY; e.cyVal.int64 = 10000; }); }, 0,
       SlotKind::Number, -99, nullptr},
      {"interface array: null, pointers unread",
       [](VARIANT& v) { v.vt = VT_ARRAY | VT_UNKNOWN; v.parray = ::SafeArrayCreateVector(VT_UNKNOWN, 0, 2); }, 1,
       SlotKind::Null, 0, nullptr},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    com::Variant v;
    row.make(*v);
    const CellValue cell = Convert(*v, row.index);
    EXPECT_EQ(cell.kind, row.kind);
    if (row.kind == SlotKind::Number) {
      EXPECT_EQ(cell.number, row.number);
    }
    if (row.text != nullptr) {
      EXPECT_EQ(cell.text, row.text);
    }
  }
  com::Variant empty;
  empty->vt = VT_ARRAY | VT_VARIANT;
  empty->parray = ::SafeArrayCreateVector(VT_VARIANT, 0, 0);
  EXPECT_EQ(ElementCount(*empty), 0u);
  EXPECT_EQ(ClassOf(*empty), ValueClass::Other);
}

// What the end-to-end read's trace does not show: quality names beside limit and sub-status
// bits, a time that does not convert, an empty value and an array.
TEST(ValueConversion, TraceTexts) {
  EXPECT_STREQ(QualityName(0x4B), "UNCERTAIN");
  EXPECT_STREQ(QualityName(0xD8), "GOOD");
  EXPECT_EQ(FormatFileTimeUtc(FILETIME{0xFFFFFFFF, 0xFFFFFFFF}), "0-00-00 00:00:00.000 UTC");
  std::ostringstream dump;
  com::Variant empty, array;
  DumpVariant(dump, *empty);  // VT_EMPTY converts to an empty text
  MakeArray(*array, VT_I4, 0, 1, [](VARIANT& e, ULONG) { e.vt = VT_I4; });
  DumpVariant(dump, *array);
  EXPECT_EQ(dump.str(), "{ vt: 0, value: \"\" }{ vt: 8195, value: null }");
}

// A number goes to the server as VT_R4, a text as UTF-16 without invalid bytes, a null cell as
// VT_EMPTY.
TEST(ValueConversion, CellsBecomeServerValues) {
  ValueVector row(3);
  row.SetNumber(0, 2.5f);
  row.SetText(1, "\xe2\x82\xac 5\xff");
  com::Variant number, text, none;
  CellToVariant(row, 0, *number);
  CellToVariant(row, 1, *text);
  CellToVariant(row, 2, *none);
  EXPECT_EQ(number->vt, VT_R4);
  EXPECT_EQ(number->fltVal, 2.5f);
  ASSERT_EQ(text->vt, VT_BSTR);
  EXPECT_STREQ(text->bstrVal, L"\x20ac 5");
  EXPECT_EQ(none->vt, VT_EMPTY);
}

}  // namespace
}  // namespace krelta
