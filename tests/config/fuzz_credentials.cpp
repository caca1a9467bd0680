// Stored credential values from arbitrary bytes: never a crash or an out-of-bounds read, and
// whatever restores must encrypt back to a value that restores the same.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "config/credentials.h"
#include "log/log_file.h"
#include "platform/platform.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  krelta::platform::SetCommonAppDataFolderForTesting(std::string());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  std::string bytes;
  if (krelta::HexDecode(input, bytes) && bytes.size() * 2 != input.size()) std::abort();

  // The log is silenced: entries would go to the drive root.
  krelta::LogFile log("OPCDA_Fuzz", 0, -1);
  krelta::Credentials restored;
  krelta::DecryptCredentials(log, input, restored);
  if (!restored.user.empty()) {
    krelta::Credentials again;
    krelta::DecryptCredentials(
        log, krelta::EncryptCredentials(restored.user, restored.password, restored.domain), again);
    if (again.user != restored.user || again.password != restored.password ||
        again.domain != restored.domain) {
      std::abort();
    }
  }
  return 0;
}
