// The parts of the platform layer that are the same everywhere.
#include "platform/platform.h"

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

}  // namespace

// Implemented per platform: the shell's own answer.
std::string SystemCommonAppDataFolder();

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
