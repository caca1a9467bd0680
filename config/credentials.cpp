#include "config/credentials.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "config/blowfish.h"
#include "log/log_file.h"
#include "util/exception.h"
#include "util/format.h"

namespace krelta {
namespace {

constexpr char kPassPhrase[] = "Pin/ForSecrets/Obfuscator/Vellaros(Blocks1);";
constexpr std::size_t kPassPhraseLength = sizeof(kPassPhrase) - 1;
static_assert(kPassPhraseLength == 44, "the key is 44 bytes");

Blowfish cipher() {
  return Blowfish(reinterpret_cast<const std::uint8_t*>(kPassPhrase), kPassPhraseLength);
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string HexEncode(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  text.reserve(bytes.size() * 2);
  for (unsigned char b : bytes) {
    text += digits[b >> 4];
    text += digits[b & 0x0f];
  }
  return text;
}

bool HexDecode(const std::string& text, std::string& bytes) {
  if (text.size() % 2 != 0) return false;
  std::string decoded;
  decoded.reserve(text.size() / 2);
  for (std::size_t i = 0; i < text.size(); i += 2) {
    const int high = hexDigit(text[i]);
    const int low = hexDigit(text[i + 1]);
    if (high < 0 || low < 0) return false;
    decoded += static_cast<char>(high * 16 + low);
  }
  bytes = std::move(decoded);
  return true;
}

std::string SplitAtSeparator(std::string& text, char separator) {
  const std::size_t at = text.find(separator);
  if (at == std::string::npos) {
    std::string whole;
    whole.swap(text);
    return whole;
  }
  std::string before = text.substr(0, at);
  text.erase(0, at + 1);
  return before;
}

std::string EncryptCredentials(const std::string& user, const std::string& password,
                               const std::string& domain) {
  const std::string joined = HexEncode(user) + "|" + HexEncode(password) + "|" + HexEncode(domain);
  std::vector<std::uint8_t> buffer((joined.size() + 7) / 8 * 8, 0);
  std::memcpy(buffer.data(), joined.data(), joined.size());
  cipher().EncryptEcb(buffer.data(), buffer.size());
  return HexEncode(std::string(buffer.begin(), buffer.end()));
}

void DecryptCredentials(LogFile& log, const std::string& stored, Credentials& credentials) {
  try {
    std::string encrypted;
    if (!HexDecode(stored, encrypted) || encrypted.empty() || encrypted.size() % 8 != 0) {
      throw Exception("Stored value is not whole blocks of hexadecimal digits");
    }
    std::vector<std::uint8_t> buffer(encrypted.begin(), encrypted.end());
    cipher().DecryptEcb(buffer.data(), buffer.size());
    // The plain text ends at the first zero byte (the padding).
    const auto end = std::find(buffer.begin(), buffer.end(), std::uint8_t{0});

    std::string rest(buffer.begin(), end);

    const std::string first = SplitAtSeparator(rest, '|');
    // An empty user name restores nothing.
    if (first.empty()) return;
    if (rest.empty()) throw Exception("Could not parse string 1");
    const bool thirdFollows = rest.find('|') != std::string::npos;
    const std::string second = SplitAtSeparator(rest, '|');
    if (!thirdFollows) throw Exception("Could not parse string 2");
    const std::string third = SplitAtSeparator(rest, '|');
    if (!rest.empty()) throw Exception("Could not parse string 3");

    // Empty password or domain fields (the encryptor writes them) come back as empty texts.
    Credentials restored;
    if (!HexDecode(first, restored.user)) throw Exception("Could not parse string 1");
    if (!HexDecode(second, restored.password)) throw Exception("Could not parse string 2");
    if (!HexDecode(third, restored.domain)) throw Exception("Could not parse string 3");
    credentials = std::move(restored);
  } catch (const Exception& e) {
    log.Write(kLogError, Format("Decrypt error (%1%)", e.message()));
  }
}

}  // namespace krelta
