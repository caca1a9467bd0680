// krelta-host never guesses a number: what `write` makes of its value, and how numbers print.
#include "host/values.h"

#include <gtest/gtest.h>

namespace krelta::host {
namespace {

TEST(WriteValue, OnlyAWholeFiniteDecimalIsANumberAndWhatLooksLikeOneIsRefused) {
  const struct {
    const char* text;
    WriteValue::Kind kind;
    float number;
  } cases[] = {
      {"1.5", WriteValue::kNumber, 1.5f}, {"-2", WriteValue::kNumber, -2}, {"+.5e1", WriteValue::kNumber, 5},
      {"3.", WriteValue::kNumber, 3},     {"1e38", WriteValue::kNumber, 1e38f},
      {"null", WriteValue::kNull, 0},     {"Pump 1", WriteValue::kText, 0}, {"on", WriteValue::kText, 0},
      {"1,5", WriteValue::kRefused, 0},   {"nan", WriteValue::kRefused, 0}, {"-Inf", WriteValue::kRefused, 0},
      {"0x20", WriteValue::kRefused, 0},  {"12abc", WriteValue::kRefused, 0}, {"", WriteValue::kRefused, 0},
      {"-", WriteValue::kRefused, 0},     {".", WriteValue::kRefused, 0},   {"1e39", WriteValue::kRefused, 0},
      {"1e-60", WriteValue::kRefused, 0}, {"1e999", WriteValue::kRefused, 0}, {" 2", WriteValue::kRefused, 0},
      {"2 ", WriteValue::kRefused, 0},    {"1e", WriteValue::kRefused, 0},
  };
  for (const auto& c : cases) {
    const WriteValue value = ParseWriteValue(c.text, false);
    EXPECT_EQ(c.kind, value.kind) << '"' << c.text << '"';
    EXPECT_EQ(c.number, value.number) << '"' << c.text << '"';
    EXPECT_EQ(c.kind == WriteValue::kRefused, value.refusal.find(std::string('"' + std::string(c.text) + '"')) == 0);
    EXPECT_EQ(WriteValue::kText, ParseWriteValue(c.text, true).kind) << "--text " << c.text;
  }
}

TEST(NumberText, EveryFloatPrintsApartFromItsNeighbours) {
  const std::pair<float, const char*> cases[] = {
      {123456789.0f, "123456792"}, {0.1f, "0.100000001"}, {42.5f, "42.5"}, {1200, "1200"}, {-0.0f, "-0"},
      {3.4028235e38f, "3.40282347e+38"}, {1e-45f, "1.40129846e-45"}};
  for (const auto& [value, text] : cases) EXPECT_EQ(text, NumberText(value));
}

}  // namespace
}  // namespace krelta::host
