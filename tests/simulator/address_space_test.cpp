// The address-space text as `krelta-simulator --check` and LoadAddressSpace see it: a fault
// names its line and builds nothing. What a valid text builds is read back by the library's
// end-to-end tests (every type, option and quality in their spaces).
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "simulator/address_space.h"

namespace krelta::sim {
namespace {

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
      {L"item A R8 1 colour=red\n", "line 1: invalid option 'colour=red'"},
      {L"item A R8 1 lbound=2\n", "line 1: invalid option 'lbound=2'"},
  };
  for (const Row& row : rows) {
    std::wstring error;
    EXPECT_FALSE(AddressSpace::Parse(row.text, error));
    EXPECT_NE(std::string(error.begin(), error.end()).find(row.expected), std::string::npos) << row.expected;
  }
}

// The demo's changing values: a ramp wraps to its low end.
TEST(AddressSpaceBehaviour, RampWraps) {
  std::wstring error;
  auto space = AddressSpace::Parse(L"item R I4 8 ramp(0,10,1)\n", error);
  ASSERT_TRUE(space);
  std::lock_guard<std::mutex> guard(space->lock());
  std::vector<LONG> values;
  for (int i = 0; i < 4; ++i) {
    VARIANT v;
    VariantInit(&v);
    space->ReadLocked(*space->FindItem(L"R"), &v, nullptr, nullptr);
    values.push_back(v.lVal);
  }
  EXPECT_EQ(values, (std::vector<LONG>{9, 10, 0, 1}));
}

}  // namespace
}  // namespace krelta::sim
