#include "config/blowfish.h"

#include <vector>

namespace krelta {
namespace {

// Fixed-point numbers as big-endian 32-bit words: word 0 is the integer part.
using Fixed = std::vector<std::uint32_t>;

void divideInPlace(Fixed& x, std::uint32_t divisor) {
  std::uint64_t remainder = 0;
  for (std::uint32_t& word : x) {
    const std::uint64_t current = (remainder << 32) | word;
    word = static_cast<std::uint32_t>(current / divisor);
    remainder = current % divisor;
  }
}

void addInPlace(Fixed& sum, const Fixed& term) {
  std::uint64_t carry = 0;
  for (std::size_t i = sum.size(); i-- > 0;) {
    const std::uint64_t s = static_cast<std::uint64_t>(sum[i]) + term[i] + carry;
    sum[i] = static_cast<std::uint32_t>(s);
    carry = s >> 32;
  }
}

void subtractInPlace(Fixed& a, const Fixed& b) {
  std::int64_t borrow = 0;
  for (std::size_t i = a.size(); i-- > 0;) {
    std::int64_t d = static_cast<std::int64_t>(a[i]) - b[i] - borrow;
    borrow = d < 0 ? 1 : 0;
    if (d < 0) d += (std::int64_t{1} << 32);
    a[i] = static_cast<std::uint32_t>(d);
  }
}

void multiplyInPlace(Fixed& x, std::uint32_t factor) {
  std::uint64_t carry = 0;
  for (std::size_t i = x.size(); i-- > 0;) {
    const std::uint64_t p = static_cast<std::uint64_t>(x[i]) * factor + carry;
    x[i] = static_cast<std::uint32_t>(p);
    carry = p >> 32;
  }
}

bool isZero(const Fixed& x) {
  for (std::uint32_t w : x) {
    if (w != 0) return false;
  }
  return true;
}

// arctan(1 / x) = sum over k of (-1)^k / ((2k + 1) x^(2k + 1)).
Fixed arctanOfInverse(std::uint32_t x, std::size_t words) {
  Fixed positive(words, 0), negative(words, 0), power(words, 0);
  power[0] = 1;
  divideInPlace(power, x);
  for (std::uint32_t k = 0; !isZero(power); ++k) {
    Fixed term = power;
    divideInPlace(term, 2 * k + 1);
    addInPlace(k % 2 == 0 ? positive : negative, term);
    divideInPlace(power, x * x);
  }
  subtractInPlace(positive, negative);
  return positive;
}

}  // namespace

const std::array<std::uint32_t, 18 + 1024>& Blowfish::PiTable() {
  // pi = 16 arctan(1/5) - 4 arctan(1/239) (Machin), exact to the last guard word.
  static const std::array<std::uint32_t, 18 + 1024> table = [] {
    constexpr std::size_t kGuardWords = 4;
    const std::size_t words = 1 + 18 + 1024 + kGuardWords;
    Fixed pi = arctanOfInverse(5, words);
    multiplyInPlace(pi, 16);
    Fixed second = arctanOfInverse(239, words);
    multiplyInPlace(second, 4);
    subtractInPlace(pi, second);
    std::array<std::uint32_t, 18 + 1024> digits{};
    for (std::size_t i = 0; i < digits.size(); ++i) digits[i] = pi[i + 1];
    return digits;
  }();
  return table;
}

Blowfish::Blowfish(const std::uint8_t* key, std::size_t keyLength) {
  const auto& pi = PiTable();
  for (std::size_t i = 0; i < 18; ++i) p_[i] = pi[i];
  for (std::size_t box = 0; box < 4; ++box) {
    for (std::size_t i = 0; i < 256; ++i) s_[box][i] = pi[18 + box * 256 + i];
  }
  if (keyLength > 0) {
    std::size_t j = 0;
    for (std::uint32_t& word : p_) {
      std::uint32_t data = 0;
      for (int b = 0; b < 4; ++b) {
        data = (data << 8) | key[j];
        j = (j + 1) % keyLength;
      }
      word ^= data;
    }
  }
  std::uint32_t left = 0, right = 0;
  for (std::size_t i = 0; i < 18; i += 2) {
    EncryptBlock(left, right);
    p_[i] = left;
    p_[i + 1] = right;
  }
  for (auto& box : s_) {
    for (std::size_t i = 0; i < 256; i += 2) {
      EncryptBlock(left, right);
      box[i] = left;
      box[i + 1] = right;
    }
  }
}

std::uint32_t Blowfish::F(std::uint32_t x) const {
  return ((s_[0][x >> 24] + s_[1][(x >> 16) & 0xff]) ^ s_[2][(x >> 8) & 0xff]) + s_[3][x & 0xff];
}

void Blowfish::EncryptBlock(std::uint32_t& left, std::uint32_t& right) const {
  std::uint32_t l = left, r = right;
  for (int i = 0; i < 16; ++i) {
    l ^= p_[i];
    r ^= F(l);
    std::swap(l, r);
  }
  std::swap(l, r);
  r ^= p_[16];
  l ^= p_[17];
  left = l;
  right = r;
}

void Blowfish::DecryptBlock(std::uint32_t& left, std::uint32_t& right) const {
  std::uint32_t l = left, r = right;
  for (int i = 17; i > 1; --i) {
    l ^= p_[i];
    r ^= F(l);
    std::swap(l, r);
  }
  std::swap(l, r);
  r ^= p_[1];
  l ^= p_[0];
  left = l;
  right = r;
}

namespace {

std::uint32_t readBigEndian(const std::uint8_t* b) {
  return (std::uint32_t{b[0]} << 24) | (std::uint32_t{b[1]} << 16) | (std::uint32_t{b[2]} << 8) | b[3];
}

void writeBigEndian(std::uint32_t v, std::uint8_t* b) {
  b[0] = static_cast<std::uint8_t>(v >> 24);
  b[1] = static_cast<std::uint8_t>(v >> 16);
  b[2] = static_cast<std::uint8_t>(v >> 8);
  b[3] = static_cast<std::uint8_t>(v);
}

}  // namespace

void Blowfish::EncryptEcb(std::uint8_t* data, std::size_t length) const {
  for (std::size_t at = 0; at + 8 <= length; at += 8) {
    std::uint32_t l = readBigEndian(data + at), r = readBigEndian(data + at + 4);
    EncryptBlock(l, r);
    writeBigEndian(l, data + at);
    writeBigEndian(r, data + at + 4);
  }
}

void Blowfish::DecryptEcb(std::uint8_t* data, std::size_t length) const {
  for (std::size_t at = 0; at + 8 <= length; at += 8) {
    std::uint32_t l = readBigEndian(data + at), r = readBigEndian(data + at + 4);
    DecryptBlock(l, r);
    writeBigEndian(l, data + at);
    writeBigEndian(r, data + at + 4);
  }
}

}  // namespace krelta
