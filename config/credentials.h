// Protection of the stored user, password and domain: hexadecimal fields joined by "|",
// zero-padded to whole blocks, Blowfish-encrypted under a fixed key, stored as hex text.
#pragma once

#include <string>

namespace krelta {

class LogFile;

struct Credentials {
  std::string user;
  std::string password;
  std::string domain;
};

// Two lower-case hexadecimal digits per byte.
std::string HexEncode(const std::string& bytes);
// Pairs of hexadecimal digits (either case) into bytes; false, with nothing decoded, for an odd
// length or a character that is not a hexadecimal digit.
bool HexDecode(const std::string& text, std::string& bytes);
// Returns the part before the first separator and leaves the part after it in text; without a
// separator returns the whole text and leaves text empty.
std::string SplitAtSeparator(std::string& text, char separator);

std::string EncryptCredentials(const std::string& user, const std::string& password,
                               const std::string& domain);
// Restores the credentials from a stored value. Raises nothing: a value that cannot be
// restored leaves credentials as they were and writes one "Decrypt error (%1%)" entry.
void DecryptCredentials(LogFile& log, const std::string& stored, Credentials& credentials);

}  // namespace krelta
