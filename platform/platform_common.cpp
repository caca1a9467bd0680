// The parts of the platform layer that are the same everywhere.
#include "platform/platform.h"

#include <atomic>
#include <mutex>

namespace krelta::platform {
namespace {

struct FolderOverride {
  std::mutex lock;
  std::optional<std::string> folder;
};

FolderOverride& folderOverride() {
  static FolderOverride instance;
  return instance;
}

std::atomic<FlushFileFunction> g_flushFile{nullptr};
std::atomic<unsigned> g_ansiCodePage{0};

}  // namespace

// Implemented per platform: the shell's own answer, and the flush itself.
std::string SystemCommonAppDataFolder();
bool SystemFlushFile(std::FILE* file);
unsigned SystemAnsiCodePage();

unsigned AnsiCodePage() {
  const unsigned replacement = g_ansiCodePage.load();
  return replacement != 0 ? replacement : SystemAnsiCodePage();
}

void SetAnsiCodePageForTesting(unsigned codePage) { g_ansiCodePage = codePage; }

bool FlushFile(std::FILE* file) {
  const FlushFileFunction replacement = g_flushFile.load();
  return replacement != nullptr ? replacement(file) : SystemFlushFile(file);
}

FlushFileFunction SetFlushFileForTesting(FlushFileFunction function) { return g_flushFile.exchange(function); }

std::string CommonAppDataFolder() {
  FolderOverride& o = folderOverride();
  {
    std::lock_guard<std::mutex> guard(o.lock);
    if (o.folder) return *o.folder;
  }
  return SystemCommonAppDataFolder();
}

void SetCommonAppDataFolderForTesting(std::optional<std::string> folder) {
  FolderOverride& o = folderOverride();
  std::lock_guard<std::mutex> guard(o.lock);
  o.folder = std::move(folder);
}

}  // namespace krelta::platform
