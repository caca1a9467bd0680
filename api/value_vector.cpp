#include "api/value_vector.h"

namespace krelta {

SlotKind ValueVector::Kind(std::uint32_t index) const {
  const boost::any& slot = slots_.at(index);
  if (slot.type() == typeid(std::string)) return SlotKind::Text;
  if (slot.type() == typeid(float)) return SlotKind::Number;
  return SlotKind::Null;
}

ValueMatrix::ValueMatrix(std::uint32_t rows, std::uint32_t columns) : columns_(columns) {
  rows_.reserve(rows);
  for (std::uint32_t i = 0; i < rows; ++i) rows_.push_back(std::make_unique<ValueVector>(columns));
}

}  // namespace krelta
