#include "config/credentials.h"

#include <gtest/gtest.h>

#include <cstring>

#include "config/blowfish.h"
#include "log/log_file.h"
#include "support/log_entries.h"

namespace krelta {
namespace {

using testing::ReadLogEntries;
using testing::TestAppDataFolder;

std::uint64_t Encrypt(std::uint64_t key, std::uint64_t plain) {
  std::uint8_t k[8];
  for (int i = 0; i < 8; ++i) k[i] = static_cast<std::uint8_t>(key >> (56 - 8 * i));
  Blowfish cipher(k, 8);
  std::uint32_t l = static_cast<std::uint32_t>(plain >> 32), r = static_cast<std::uint32_t>(plain);
  cipher.EncryptBlock(l, r);
  std::uint32_t dl = l, dr = r;
  cipher.DecryptBlock(dl, dr);
  EXPECT_EQ(plain, (std::uint64_t{dl} << 32) | dr) << "decryption must invert encryption";
  return (std::uint64_t{l} << 32) | r;
}

TEST(Blowfish, PublishedVectors) {
  const struct {
    std::uint64_t key, plain, cipher;
  } rows[] = {{0x0000000000000000, 0x0000000000000000, 0x4EF997456198DD78},
              {0xFFFFFFFFFFFFFFFF, 0xFFFFFFFFFFFFFFFF, 0x51866FD5B85ECB8A},
              {0x3000000000000000, 0x1000000000000001, 0x7D856F9A613063F2},
              {0x1111111111111111, 0x1111111111111111, 0x2466DD878B963C9D},
              {0x0123456789ABCDEF, 0x1111111111111111, 0x61F9C3802281B096},
              {0xFEDCBA9876543210, 0x0123456789ABCDEF, 0x0ACEAB0FC6A0A28D}};
  for (const auto& row : rows) {
    SCOPED_TRACE(::testing::Message() << std::hex << row.key);
    EXPECT_EQ(row.cipher, Encrypt(row.key, row.plain));
  }
}

TEST(Blowfish, VariableLengthKeys) {
  const std::uint8_t key[] = {0xF0, 0xE1, 0xD2, 0xC3, 0xB4, 0xA5, 0x96, 0x87, 0x78, 0x69, 0x5A, 0x4B,
                              0x3C, 0x2D, 0x1E, 0x0F, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77};
  const struct {
    std::size_t length;
    std::uint64_t cipher;
  } rows[] = {{1, 0xF9AD597C49DB005E}, {8, 0xE87A244E2CC85E82}, {24, 0x05044B62FA52D080}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.length);
    Blowfish cipher(key, row.length);
    std::uint32_t l = 0xFEDCBA98, r = 0x76543210;
    cipher.EncryptBlock(l, r);
    EXPECT_EQ(row.cipher, (std::uint64_t{l} << 32) | r);
  }
}

class Decrypt : public ::testing::Test {
 protected:
  // Encrypts a hand-made plain text the way stored values are made.
  static std::string Store(const std::string& plain) {
    std::string buffer = plain;
    buffer.resize((plain.size() + 7) / 8 * 8, '\0');
    const char* key = "Pin/ForSecrets/Obfuscator/Vellaros(Blocks1);";
    Blowfish(reinterpret_cast<const std::uint8_t*>(key), std::strlen(key))
        .EncryptEcb(reinterpret_cast<std::uint8_t*>(&buffer[0]), buffer.size());
    return HexEncode(buffer);
  }
  Credentials Restore(const std::string& stored) {
    Credentials c;
    DecryptCredentials(log_, stored, c);
    return c;
  }
  std::vector<testing::LogEntry> Entries() { return ReadLogEntries(log_.Path()); }

  TestAppDataFolder folder_;
  LogFile log_{"OPCDA_Credentials"};
};

TEST_F(Decrypt, RoundTripsEveryCombinationOfFields) {
  const std::string values[] = {"", "u", "operator", "\xe4\xf6\xfc\xff\x01", std::string(13, 'x')};
  for (const auto& user : values) {
    for (const auto& password : values) {
      for (const auto& domain : {std::string(), std::string("PLANT"), std::string("d\x80")}) {
        SCOPED_TRACE("user '" + user + "' password '" + password + "' domain '" + domain + "'");
        const std::string stored = EncryptCredentials(user, password, domain);
        EXPECT_EQ(0u, stored.size() % 16);
        const Credentials c = Restore(stored);
        // An empty user name restores nothing; everything else comes back as it was.
        EXPECT_EQ(user, c.user);
        EXPECT_EQ(user.empty() ? "" : password, c.password);
        EXPECT_EQ(user.empty() ? "" : domain, c.domain);
      }
    }
  }
  EXPECT_TRUE(Entries().empty());
}

TEST_F(Decrypt, MalformedValuesGiveOneErrorAndNoCredentials) {
  const struct {
    std::string stored;
    std::string reason;
  } rows[] = {
      {Store(HexEncode("user")), "Could not parse string 1"},
      {Store(HexEncode("user") + "|"), "Could not parse string 1"},
      {Store(HexEncode("user") + "|" + HexEncode("pw")), "Could not parse string 2"},
      {Store(HexEncode("u") + "|" + HexEncode("p") + "|" + HexEncode("d") + "|x"),
       "Could not parse string 3"},
      {Store(HexEncode("u") + "|" + HexEncode("p") + "||" + HexEncode("x")), "Could not parse string 3"},
      {Store("zz|" + HexEncode("p") + "|" + HexEncode("d")), "Could not parse string 1"},
      {"abc", "Stored value is not whole blocks of hexadecimal digits"},
      {"0123456789abcdeg", "Stored value is not whole blocks of hexadecimal digits"},
      {"0123456789abcdef01", "Stored value is not whole blocks of hexadecimal digits"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.reason + " for " + row.stored);
    const Credentials c = Restore(row.stored);
    EXPECT_EQ("", c.user);
    EXPECT_EQ("", c.password);
    EXPECT_EQ("", c.domain);
    const auto entries = Entries();
    ASSERT_FALSE(entries.empty());
    EXPECT_EQ((testing::LogEntry{"Error", "Decrypt error (" + row.reason + ")"}), entries.back());
  }
  EXPECT_EQ(std::size(rows), Entries().size());
  // The decrypted texts never reach the log, plain or in digits.
  const std::string text = testing::ReadFileBytes(log_.Path());
  EXPECT_EQ(std::string::npos, text.find("user"));
  EXPECT_EQ(std::string::npos, text.find(HexEncode("user")));
}

// Upper-case digits are read; a separator after the domain is no fourth field.
TEST_F(Decrypt, UpperCaseDigitsAndATrailingSeparatorAreAccepted) {
  std::string upper = EncryptCredentials("secretuser", "secretpw", "PLANT");
  for (char& ch : upper) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
  EXPECT_EQ("secretpw", Restore(upper).password);
  EXPECT_EQ("d", Restore(Store(HexEncode("u") + "|" + HexEncode("p") + "|" + HexEncode("d") + "|")).domain);
  EXPECT_TRUE(Entries().empty());
}

}  // namespace
}  // namespace krelta
