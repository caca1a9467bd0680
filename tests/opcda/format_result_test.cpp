#include "opcda/format_result.h"

#include <gtest/gtest.h>

namespace krelta {
namespace {

TEST(FormatResult, SystemTextsWithoutLineEndAndCodesWithoutOne) {
  // S_OK has a system text of its own; S_FALSE is always "Success".
  const std::string ok = FormatResult(S_OK);
  EXPECT_EQ(ok.rfind(" (0x00000000)"), ok.size() - 13);
  EXPECT_EQ(FormatResult(S_FALSE), "Success (0x00000001)");
  // Customer-defined codes have no system text: the sign decides.
  EXPECT_EQ(FormatResult(static_cast<HRESULT>(0xE000ABCDu)), "Error (0xe000abcd)");
  EXPECT_EQ(FormatResult(static_cast<HRESULT>(0x2000ABCD)), "Success (0x2000abcd)");
  // A system text loses its line end.
  const std::string text = FormatResult(E_INVALIDARG);
  EXPECT_EQ(text.substr(text.size() - 13), " (0x80070057)");
  const std::string message = text.substr(0, text.size() - 13);
  EXPECT_FALSE(message.empty());
  EXPECT_NE(message, "Error");
  EXPECT_EQ(message.find_first_of("\r\n"), std::string::npos) << message;
}

}  // namespace
}  // namespace krelta
