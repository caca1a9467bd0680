// The whole configuration reader on arbitrary file contents (array nodes included). Whatever
// reads must survive a save and read back to the same values and the same bytes.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "config/connection_settings.h"
#include "platform/platform.h"
#include "support/test_folder.h"
#include "util/exception.h"

namespace {

// Names the first value that differs, or returns null.
const char* FirstDifference(const krelta::ConnectionSettings& a, const krelta::ConnectionSettings& b) {
  if (a.Url() != b.Url()) return "URL";
  if (a.Nodes() != b.Nodes()) return "nodes";
  if (a.BatchId() != b.BatchId()) return "BatchID";
  if (a.Delimiter() != b.Delimiter()) return "Delimiter";
  if (a.LogLevel() != b.LogLevel() || a.LogFileSize() != b.LogFileSize()) return "log settings";
  if (a.ArrayNodes().size() != b.ArrayNodes().size()) return "array node count";
  for (std::size_t i = 0; i < a.ArrayNodes().size(); ++i) {
    if (a.ArrayNodes()[i].names != b.ArrayNodes()[i].names) return "array node names";
  }
  return nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static krelta::testing::TestAppDataFolder* folder = new krelta::testing::TestAppDataFolder();
  // Saves reach the C runtime's buffer only: waiting for the disk twice a run would slow the
  // fuzzer several times over for nothing it checks.
  static const bool flushLess = (krelta::platform::SetFlushFileForTesting(+[](std::FILE* file) {
                                   return std::fflush(file) == 0;
                                 }),
                                 true);
  (void)flushLess;
  const std::string path = folder->File("OPCDA_FuzzConfiguration.xml");
  krelta::ApplicationDataFolder();
  krelta::platform::RemoveFile(folder->File("OPCDA_FuzzKreltaLog.log"));
  krelta::testing::WriteFileBytes(path, std::string(reinterpret_cast<const char*>(data), size));
  try {
    krelta::ConnectionSettings settings("Fuzz");
    settings.Log().SetThreshold(-1);
    if (krelta::testing::ReadFileBytes(path).size() != size) std::abort();  // reading changed the file
    // Every text is saved, whatever its bytes.
    if (!settings.WriteConfiguration()) std::abort();
    const std::string saved = krelta::testing::ReadFileBytes(path);
    krelta::ConnectionSettings reread("Fuzz");
    if (const char* difference = FirstDifference(settings, reread)) {
      std::fprintf(stderr, "after a save, %s read differently\n", difference);
      std::abort();
    }
    if (!reread.WriteConfiguration() || krelta::testing::ReadFileBytes(path) != saved) std::abort();
  } catch (const krelta::Exception&) {
    // An odd number of node values: the one failure the reader raises.
  }
  return 0;
}
