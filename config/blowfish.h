// Blowfish: the 64-bit block cipher with 16 rounds and key-dependent S-boxes, in ECB mode.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace krelta {

class Blowfish {
 public:
  // Runs the key schedule for a key of 1 to 56 bytes (longer keys are used in full, as the
  // schedule cycles over the key bytes).
  Blowfish(const std::uint8_t* key, std::size_t keyLength);

  void EncryptBlock(std::uint32_t& left, std::uint32_t& right) const;
  void DecryptBlock(std::uint32_t& left, std::uint32_t& right) const;

  // Whole 8-byte blocks in place; each block's halves are big-endian. The length must be a
  // multiple of 8.
  void EncryptEcb(std::uint8_t* data, std::size_t length) const;
  void DecryptEcb(std::uint8_t* data, std::size_t length) const;

  // The initial P-array and S-boxes: the fraction digits of pi, 18 + 4 * 256 words.
  static const std::array<std::uint32_t, 18 + 1024>& PiTable();

 private:
  std::uint32_t F(std::uint32_t x) const;

  std::array<std::uint32_t, 18> p_;
  std::array<std::array<std::uint32_t, 256>, 4> s_;
};

}  // namespace krelta
