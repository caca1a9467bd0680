// The address-space text: every type parses to its canonical VARIANT, faults name their line
// and build nothing, the generator names and values its items predictably.
#include <gtest/gtest.h>

#include <string>

#include "opc_da_constants.h"
#include "simulator/address_space.h"

namespace krelta::sim {
namespace {

std::shared_ptr<AddressSpace> ParseOk(const std::wstring& text) {
  std::wstring error;
  auto space = AddressSpace::Parse(text, error);
  EXPECT_TRUE(space) << std::string(error.begin(), error.end());
  return space;
}

std::string ParseError(const std::wstring& text) {
  std::wstring error;
  auto space = AddressSpace::Parse(text, error);
  EXPECT_FALSE(space);
  return std::string(error.begin(), error.end());
}

TEST(AddressSpaceText, EveryTypeBecomesItsCanonicalVariant) {
  struct Row {
    const wchar_t* line;
    VARTYPE vt;
  };
  const Row rows[] = {
      {L"item A I1 -128", VT_I1},       {L"item A UI1 255", VT_UI1},
      {L"item A I2 -32768", VT_I2},     {L"item A UI2 65535", VT_UI2},
      {L"item A I4 0x7fffffff", VT_I4}, {L"item A UI4 4294967295", VT_UI4},
      {L"item A I8 -9223372036854775808", VT_I8}, {L"item A UI8 18446744073709551615", VT_UI8},
      {L"item A R4 1.5", VT_R4},        {L"item A R8 -2.25e10", VT_R8},
      {L"item A BOOL true", VT_BOOL},   {L"item A BSTR \"two words\"", VT_BSTR},
      {L"item A DATE 2024-01-31T12:30:00", VT_DATE}, {L"item A CY 12.3456", VT_CY},
      {L"item A EMPTY -", VT_EMPTY},    {L"item A R4[] 1;2;3", VT_ARRAY | VT_R4},
      {L"item A I4[] []", VT_ARRAY | VT_I4}, {L"item A BSTR[] \"a;b\";c", VT_ARRAY | VT_BSTR},
      {L"item A DECIMAL 1.25", VT_DECIMAL}, {L"item A VARIANT[] 1;true;x", VT_ARRAY | VT_VARIANT},
      {L"item A R8 nan", VT_R8},        {L"item A R4 -inf", VT_R4},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.line, row.line + wcslen(row.line)));
    auto space = ParseOk(row.line);
    if (!space) continue;
    Item* item = space->FindItem(L"A");
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(item->type, row.vt);
    EXPECT_EQ(item->value.get()->vt, row.vt);
  }
}

TEST(AddressSpaceText, ItemOptionsSetTimeErrorsRefusalsAndBounds) {
  auto space = ParseOk(
      L"item A R8 1 time=2024-03-01T12:00:00.250 readerror=0xC0040007 writeerror=0xC0040006\n"
      L"item B I4[] 7;8 lbound=5 novqt\n"
      L"item C I4 3 byref\n");
  ASSERT_TRUE(space);
  const Item* a = space->FindItem(L"A");
  SYSTEMTIME st{};
  ASSERT_TRUE(::FileTimeToSystemTime(&a->timestamp, &st));
  EXPECT_EQ(st.wYear * 10000 + st.wMonth * 100 + st.wDay, 20240301);
  EXPECT_EQ(st.wHour * 10000 + st.wMinute * 100 + st.wSecond, 120000);
  EXPECT_EQ(st.wMilliseconds, 250);
  EXPECT_EQ(a->readError, OPC_E_UNKNOWNITEMID);
  EXPECT_EQ(a->writeError, OPC_E_BADRIGHTS);
  const Item* b = space->FindItem(L"B");
  EXPECT_TRUE(b->refusesVqt);
  LONG low = 0;
  ::SafeArrayGetLBound(b->value.get()->parray, 1, &low);
  EXPECT_EQ(low, 5);
  EXPECT_TRUE(space->FindItem(L"C")->byref);
  EXPECT_EQ(ParseError(L"item A R8 1 colour=red\n"), "line 1: invalid option 'colour=red'");
  EXPECT_EQ(ParseError(L"item A R8 1 lbound=2\n"), "line 1: invalid option 'lbound=2'");
}

TEST(AddressSpaceText, ValuesQualityRightsAndArraysKeepTheirContent) {
  auto space = ParseOk(
      L"# comment line\n"
      L"branch Plant.Line1   # trailing comment\n"
      L"item Name BSTR \"say \\\"hi\\\"\" uncertain r\n"
      L"item Profile R4[] 1;2.5;3 0x1C w\n"
      L"item Tags BSTR[] \"a;b\";c\n"
      L"item Cost CY 12.3456\n"
      L"branch\n"
      L"item Top I4 7 bad\n");
  ASSERT_TRUE(space);
  const Item* name = space->FindItem(L"Plant.Line1.Name");
  ASSERT_NE(name, nullptr);
  EXPECT_STREQ(name->value.get()->bstrVal, L"say \"hi\"");
  EXPECT_EQ(name->quality, OPC_QUALITY_UNCERTAIN);
  EXPECT_EQ(name->rights, OPC_READABLE);

  const Item* profile = space->FindItem(L"Plant.Line1.Profile");
  ASSERT_NE(profile, nullptr);
  EXPECT_EQ(profile->quality, 0x1C);
  EXPECT_EQ(profile->rights, OPC_WRITEABLE);
  SAFEARRAY* array = profile->value.get()->parray;
  LONG upper = -1;
  SafeArrayGetUBound(array, 1, &upper);
  ASSERT_EQ(upper, 2);
  float second = 0;
  LONG index = 1;
  SafeArrayGetElement(array, &index, &second);
  EXPECT_FLOAT_EQ(second, 2.5f);

  const Item* tags = space->FindItem(L"Plant.Line1.Tags");
  ASSERT_NE(tags, nullptr);
  BSTR first = nullptr;
  index = 0;
  SafeArrayGetElement(tags->value.get()->parray, &index, &first);
  EXPECT_STREQ(first, L"a;b");  // a quoted ';' belongs to the element
  SysFreeString(first);

  EXPECT_EQ(space->FindItem(L"Plant.Line1.Cost")->value.get()->cyVal.int64, 123456);
  const Item* top = space->FindItem(L"Top");
  ASSERT_NE(top, nullptr);  // "branch" alone returned to the root
  EXPECT_EQ(top->quality, OPC_QUALITY_BAD);
  EXPECT_EQ(top->rights, OPC_READABLE | OPC_WRITEABLE);

  const Branch* line1 = space->FindBranch(L"Plant.Line1");
  ASSERT_NE(line1, nullptr);
  EXPECT_EQ(line1->items.size(), 4u);
  EXPECT_EQ(space->FindBranch(L"Plant")->branches.size(), 1u);
}

TEST(AddressSpaceText, FaultsNameTheLineAndTheProblem) {
  struct Row {
    const wchar_t* text;
    const char* expected;
  };
  const Row rows[] = {
      {L"item A R8 1\nitem B R16 1\n", "line 2: unknown type 'R16'"},
      {L"\n\nitem A I1 128\n", "line 3: value '128' is not a valid I1"},
      {L"item A UI1 -1\n", "line 1: value '-1' is not a valid UI1"},
      {L"item A R8 1 good good\n", "line 1: 'good' repeats"},
      {L"item A R8 1\nitem A R8 2\n", "line 2: item 'A' is defined twice"},
      {L"item A R8\n", "line 1: item needs a name, a type and a value"},
      {L"folder X\n", "line 1: unknown statement 'folder'"},
      {L"item A BSTR \"open\n", "line 1: unterminated quote"},
      {L"item A BSTR x ramp(0,1,1)\n", "line 1: behaviour 'ramp(0,1,1)' needs a numeric scalar type"},
      {L"item A R8 1 ramp(5,1,1)\n", "line 1: invalid behaviour"},
      {L"item A R8 1 fast\n", "line 1: 'fast' is neither"},
      {L"branch A..B\n", "line 1: invalid branch name ''"},
      {L"item A.B R8 1\n", "line 1: invalid item name 'A.B'"},
      {L"item A R8 1\nbranch A\n", "line 2: branch 'A' has the ID of an item"},
      {L"item A EMPTY[] -\n", "line 1: unknown type 'EMPTY[]'"},
      {L"item A DATE 2024-13-01\n", "line 1: value '2024-13-01' is not a valid DATE"},
  };
  for (const Row& row : rows) {
    const std::string error = ParseError(row.text);
    EXPECT_NE(error.find(row.expected), std::string::npos) << error;
  }
}

TEST(AddressSpaceBehaviour, RampWrapsAndRandomWalkStaysInItsRange) {
  auto space = ParseOk(L"item R I4 8 ramp(0,10,1)\nitem W R8 5 random(4,6,0.5)\n");
  ASSERT_TRUE(space);
  std::lock_guard<std::mutex> guard(space->lock());
  VARIANT v;
  VariantInit(&v);
  std::vector<LONG> ramp;
  for (int i = 0; i < 4; ++i) {
    space->ReadLocked(*space->FindItem(L"R"), &v, nullptr, nullptr);
    ramp.push_back(v.lVal);
    VariantClear(&v);
  }
  EXPECT_EQ(ramp, (std::vector<LONG>{9, 10, 0, 1}));
  for (int i = 0; i < 200; ++i) {
    space->ReadLocked(*space->FindItem(L"W"), &v, nullptr, nullptr);
    ASSERT_GE(v.dblVal, 4.0);
    ASSERT_LE(v.dblVal, 6.0);
    VariantClear(&v);
  }
}

TEST(VariantConversion, ArraysConvertElementByElementAndMismatchesFail) {
  auto space = ParseOk(L"item A I4[] 1;2;3\nitem S BSTR[] x;2\n");
  ASSERT_TRUE(space);
  VARIANT out;
  VariantInit(&out);
  ASSERT_EQ(ConvertVariant(&out, space->FindItem(L"A")->value.get(), VT_ARRAY | VT_R8), S_OK);
  double third = 0;
  LONG index = 2;
  SafeArrayGetElement(out.parray, &index, &third);
  EXPECT_DOUBLE_EQ(third, 3.0);
  VariantClear(&out);
  EXPECT_TRUE(FAILED(ConvertVariant(&out, space->FindItem(L"S")->value.get(), VT_ARRAY | VT_I4)));
  VARIANT scalar;
  VariantInit(&scalar);
  scalar.vt = VT_I4;
  scalar.lVal = 1;
  EXPECT_EQ(ConvertVariant(&out, &scalar, VT_ARRAY | VT_I4), DISP_E_TYPEMISMATCH);
}

TEST(Wildcard, StarsAndQuestionMarks) {
  EXPECT_TRUE(MatchesWildcard(L"", L"anything"));
  EXPECT_TRUE(MatchesWildcard(L"Temp*", L"Temperature"));
  EXPECT_TRUE(MatchesWildcard(L"*ure", L"Temperature"));
  EXPECT_TRUE(MatchesWildcard(L"T*p*e", L"Temperature"));
  EXPECT_TRUE(MatchesWildcard(L"I0000?", L"I00007"));
  EXPECT_FALSE(MatchesWildcard(L"I0000?", L"I000071"));
  EXPECT_FALSE(MatchesWildcard(L"Temp", L"Temperature"));
  EXPECT_FALSE(MatchesWildcard(L"*x*", L"Temperature"));
}

}  // namespace
}  // namespace krelta::sim
