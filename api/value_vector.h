// Value vectors (fixed-length rows of slots) and value matrices (rows of vectors), the
// library's containers for values read from and written to the server.
#pragma once

#include <boost/any.hpp>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace krelta {

// Slot kinds as the host sees them.
enum class SlotKind : std::uint32_t { Null = 0, Text = 1, Number = 2 };

class ValueVector {
 public:
  explicit ValueVector(std::uint32_t length) : slots_(length) {}

  std::uint32_t Length() const { return static_cast<std::uint32_t>(slots_.size()); }

  // The kind is decided by the exact type of the content: std::string or float.
  SlotKind Kind(std::uint32_t index) const;
  // Null when the slot does not hold that kind.
  const float* Number(std::uint32_t index) const { return boost::any_cast<float>(&slots_.at(index)); }
  const std::string* Text(std::uint32_t index) const {
    return boost::any_cast<std::string>(&slots_.at(index));
  }

  void SetNumber(std::uint32_t index, float value) { slots_.at(index) = value; }
  void SetText(std::uint32_t index, std::string text) { slots_.at(index) = std::move(text); }
  void SetNull(std::uint32_t index) { slots_.at(index) = boost::any(); }

 private:
  std::vector<boost::any> slots_;
};

// Rows of equal length, all slots null at first. A row handed out leaves the matrix.
class ValueMatrix {
 public:
  ValueMatrix(std::uint32_t rows, std::uint32_t columns);

  std::uint32_t Rows() const { return static_cast<std::uint32_t>(rows_.size()); }
  std::uint32_t Columns() const { return columns_; }
  // The row, or null once it has been handed out.
  ValueVector* Row(std::uint32_t row) { return rows_.at(row).get(); }
  std::unique_ptr<ValueVector> TakeRow(std::uint32_t row) { return std::move(rows_.at(row)); }

 private:
  std::uint32_t columns_;
  std::vector<std::unique_ptr<ValueVector>> rows_;
};

}  // namespace krelta
