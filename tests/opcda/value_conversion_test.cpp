// The read conversion of every value class, scalars, references and arrays of every shape, and
// the texts of the read trace. In-process: the values are built here.
#include "opcda/value_conversion.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <sstream>

#include "platform/com/com_owners.h"

namespace krelta {
namespace {

CellValue Convert(const VARIANT& v, std::uint32_t index = 0) {
  return ConvertElement(v, ClassOf(v), index);
}

float Number(const VARIANT& v, std::uint32_t index = 0) {
  const CellValue cell = Convert(v, index);
  EXPECT_EQ(cell.kind, SlotKind::Number);
  return cell.number;
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

// A scalar of an integer type holding value (cut to the type's width).
void SetInteger(VARIANT& v, VARTYPE vt, long long value) {
  v.vt = vt;
  switch (vt) {
    case VT_I1: v.cVal = static_cast<CHAR>(value); break;
    case VT_UI1: v.bVal = static_cast<BYTE>(value); break;
    case VT_I2: v.iVal = static_cast<SHORT>(value); break;
    case VT_UI2: v.uiVal = static_cast<USHORT>(value); break;
    case VT_BOOL: v.boolVal = value != 0 ? VARIANT_TRUE : VARIANT_FALSE; break;
    case VT_I4: case VT_INT: v.lVal = static_cast<LONG>(value); break;
    case VT_UI4: case VT_UINT: v.ulVal = static_cast<ULONG>(value); break;
    default: v.llVal = value;  // I8, UI8
  }
}

TEST(ValueConversion, IntegersConvertByTheirValue) {
  struct Row {
    VARTYPE vt;
    long long value;
    float expected;
  };
  const Row rows[] = {
      {VT_I1, -5, -5.0f},          {VT_UI1, 200, 200.0f},        {VT_I2, -32768, -32768.0f},
      {VT_UI2, 60000, 60000.0f},   {VT_I4, -7, -7.0f},           {VT_INT, 9, 9.0f},
      // Past 2^31 and 2^32 a counter keeps its value (the nearest float), never wraps.
      {VT_UI4, 0xFFFFFFFFLL, 4294967296.0f}, {VT_UINT, 0x80000000LL, 2147483648.0f},
      {VT_I8, 4294967296LL, 4294967296.0f},  {VT_I8, -9000000000LL, -9000000000.0f},
      {VT_UI8, -1 /* 2^64 - 1 */, 18446744073709551616.0f},
      {VT_BOOL, 1, 1.0f}, {VT_BOOL, 0, 0.0f},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.vt);
    com::Variant v;
    SetInteger(*v, row.vt, row.value);
    EXPECT_EQ(ClassOf(*v), ValueClass::Integer);
    EXPECT_EQ(Number(*v), row.expected);
  }
}

TEST(ValueConversion, FloatingTextAndOtherValues) {
  com::Variant v;
  v->vt = VT_R8;
  v->dblVal = 21.5;
  EXPECT_EQ(Number(*v), 21.5f);
  v->dblVal = -std::numeric_limits<double>::infinity();
  EXPECT_EQ(Number(*v), -std::numeric_limits<float>::infinity());
  v->dblVal = std::numeric_limits<double>::quiet_NaN();
  CellValue nan = Convert(*v);
  EXPECT_EQ(nan.kind, SlotKind::Null);
  EXPECT_TRUE(nan.notANumber);
  v->vt = VT_CY;
  v->cyVal.int64 = 125000;
  EXPECT_EQ(Number(*v), 12.5f);
  ASSERT_EQ(::VarDecFromR8(1.25, &v->decVal), S_OK);
  v->vt = VT_DECIMAL;
  EXPECT_EQ(Number(*v), 1.25f);

  v.reset();
  v->vt = VT_BSTR;
  v->bstrVal = ::SysAllocString(L"Pump \x00e4 1");  // ANSI code page out
  const CellValue text = Convert(*v);
  EXPECT_EQ(text.kind, SlotKind::Text);
  EXPECT_EQ(text.text, "Pump \xe4 1");
  v.reset();
  v->vt = VT_BSTR;
  v->bstrVal = ::SysAllocString(L"x\xd800y");  // an unpaired surrogate still gives a text
  EXPECT_EQ(Convert(*v).kind, SlotKind::Text);

  for (VARTYPE other : {VT_EMPTY, VT_NULL, VT_DATE, VT_ERROR}) {
    v.reset();
    v->vt = other;
    EXPECT_EQ(ClassOf(*v), ValueClass::Other);
    EXPECT_EQ(Convert(*v).kind, SlotKind::Null);
  }
}

TEST(ValueConversion, ReferencesAreReadThroughAndVariantsByTheirOwnType) {
  LONG i4 = 42;
  BSTR text = ::SysAllocString(L"abc");
  VARIANT inner;
  ::VariantInit(&inner);
  inner.vt = VT_R8;
  inner.dblVal = 2.5;
  VARIANT v;
  ::VariantInit(&v);
  v.vt = VT_I4 | VT_BYREF;
  v.plVal = &i4;
  EXPECT_EQ(Number(v), 42.0f);
  v.vt = VT_BSTR | VT_BYREF;
  v.pbstrVal = &text;
  EXPECT_EQ(Convert(v).text, "abc");
  v.vt = VT_VARIANT | VT_BYREF;
  v.pvarVal = &inner;
  EXPECT_EQ(ClassOf(v), ValueClass::Floating);
  EXPECT_EQ(Number(v), 2.5f);
  v.vt = VT_I4 | VT_BYREF;
  v.plVal = nullptr;  // a broken reference gives the class's fallback, never a crash
  EXPECT_EQ(Number(v), 0.0f);
  ::SysFreeString(text);

  // An array of variants takes its class from the first element; each element is converted
  // by its own type, and an element outside the class gives the class's fallback.
  com::Variant mixed;
  MakeArray(*mixed, VT_VARIANT, 0, 3, [](VARIANT& e, ULONG i) {
    if (i == 2) {
      e.vt = VT_BSTR;
      e.bstrVal = ::SysAllocString(L"x");
    } else {
      e.vt = VT_I4;
      e.lVal = static_cast<LONG>(i) + 10;
    }
  });
  EXPECT_EQ(ClassOf(*mixed), ValueClass::Integer);
  EXPECT_EQ(Number(*mixed, 1), 11.0f);
  EXPECT_EQ(Number(*mixed, 2), 0.0f);
}

TEST(ValueConversion, ArraysOfEveryShape) {
  com::Variant shifted;  // lower bound 5: element 0 is the first stored element
  MakeArray(*shifted, VT_R4, 5, 3, [](VARIANT& e, ULONG i) {
    e.vt = VT_R4;
    e.fltVal = 1.5f * static_cast<float>(i + 1);
  });
  EXPECT_EQ(ElementCount(*shifted), 3u);
  EXPECT_EQ(Number(*shifted, 0), 1.5f);
  EXPECT_EQ(Number(*shifted, 2), 4.5f);
  EXPECT_EQ(Number(*shifted, 3), -99.0f);  // past the end: the floating fallback

  // Two dimensions: every element counts, in storage order.
  SAFEARRAYBOUND bounds[2] = {{2, 0}, {3, 1}};
  com::Variant matrix;
  matrix->vt = VT_ARRAY | VT_I2;
  matrix->parray = ::SafeArrayCreate(VT_I2, 2, bounds);
  auto* cells = static_cast<SHORT*>(matrix->parray->pvData);
  for (SHORT i = 0; i < 6; ++i) cells[i] = static_cast<SHORT>(100 + i);
  EXPECT_EQ(ElementCount(*matrix), 6u);
  EXPECT_EQ(Number(*matrix, 5), 105.0f);

  com::Variant texts;
  MakeArray(*texts, VT_BSTR, 0, 2, [](VARIANT& e, ULONG i) {
    e.vt = VT_BSTR;
    e.bstrVal = ::SysAllocString(i == 0 ? L"Mix" : L"Heat");
  });
  EXPECT_EQ(Convert(*texts, 1).text, "Heat");

  com::Variant currency;  // arrays of CY and DECIMAL keep the fallback of the conversion table
  MakeArray(*currency, VT_CY, 0, 1, [](VARIANT& e, ULONG) {
    e.vt = VT_CY;
    e.cyVal.int64 = 10000;
  });
  EXPECT_EQ(Number(*currency), -99.0f);

  com::Variant unknowns;  // no class covers interfaces: null, and their pointers are not read
  unknowns->vt = VT_ARRAY | VT_UNKNOWN;
  unknowns->parray = ::SafeArrayCreateVector(VT_UNKNOWN, 0, 2);
  EXPECT_EQ(ElementCount(*unknowns), 2u);
  EXPECT_EQ(Convert(*unknowns, 1).kind, SlotKind::Null);

  com::Variant empty;
  empty->vt = VT_ARRAY | VT_VARIANT;
  empty->parray = ::SafeArrayCreateVector(VT_VARIANT, 0, 0);
  EXPECT_EQ(ElementCount(*empty), 0u);
  EXPECT_EQ(ClassOf(*empty), ValueClass::Other);
}

TEST(ValueConversion, TraceTexts) {
  EXPECT_STREQ(QualityName(0x00), "BAD");
  EXPECT_STREQ(QualityName(0x4B), "UNCERTAIN");
  EXPECT_STREQ(QualityName(0xD8), "GOOD");
  EXPECT_STREQ(QualityName(0x80), "UNKNOWN");
  EXPECT_TRUE(IsBadQuality(0x40));
  EXPECT_FALSE(IsBadQuality(0x80));

  SYSTEMTIME st{2024, 3, 5, 1, 12, 0, 0, 250};
  FILETIME ft{};
  ASSERT_TRUE(::SystemTimeToFileTime(&st, &ft));
  EXPECT_EQ(FormatFileTimeUtc(ft), "2024-03-01 12:00:00.250 UTC");
  EXPECT_EQ(FileTimeToUnixSeconds(ft), 1709294400);
  EXPECT_EQ(FormatFileTimeUtc(FILETIME{0xFFFFFFFF, 0xFFFFFFFF}), "0-00-00 00:00:00.000 UTC");

  std::ostringstream dump;
  com::Variant v;
  v->vt = VT_R8;
  v->dblVal = 21.5;
  DumpVariant(dump, *v);
  dump << " ";
  v.reset();
  DumpVariant(dump, *v);  // VT_EMPTY converts to an empty text
  dump << " ";
  com::Variant array;
  MakeArray(*array, VT_I4, 0, 1, [](VARIANT& e, ULONG) { e.vt = VT_I4; });
  DumpVariant(dump, *array);
  EXPECT_EQ(dump.str(), "{ vt: 5, value: \"21.5\" } { vt: 0, value: \"\" } { vt: 8195, value: null }");
}

TEST(ValueConversion, CellsBecomeServerValues) {
  ValueVector row(3);
  row.SetNumber(0, 2.5f);
  row.SetText(1, "\xe2\x82\xac 5\xff");  // UTF-8 in; the invalid byte is skipped
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
