#include "host/version_info.h"

#include <windows.h>

#include <cstdio>
#include <vector>

namespace krelta::host {
namespace {

// A string of the resource's first translation; empty when absent.
std::string StringValue(const std::vector<char>& block, const char* name) {
  struct Translation {
    WORD language, codePage;
  };
  Translation* translations = nullptr;
  UINT size = 0;
  if (!::VerQueryValueA(block.data(), "\\VarFileInfo\\Translation",
                        reinterpret_cast<void**>(&translations), &size) ||
      size < sizeof(Translation)) {
    return {};
  }
  char query[80];
  std::snprintf(query, sizeof query, "\\StringFileInfo\\%04x%04x\\%s", translations[0].language,
                translations[0].codePage, name);
  char* text = nullptr;
  if (!::VerQueryValueA(block.data(), query, reinterpret_cast<void**>(&text), &size) || size == 0) {
    return {};
  }
  return std::string(text);
}

}  // namespace

bool ReadVersionInfo(const std::string& path, VersionInfo& info) {
  DWORD ignored = 0;
  const DWORD size = ::GetFileVersionInfoSizeA(path.c_str(), &ignored);
  if (size == 0) return false;
  std::vector<char> block(size);
  if (!::GetFileVersionInfoA(path.c_str(), 0, size, block.data())) return false;
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  if (!::VerQueryValueA(block.data(), "\\", reinterpret_cast<void**>(&fixed), &length) ||
      length < sizeof(VS_FIXEDFILEINFO)) {
    return false;
  }
  info.fileVersion = std::to_string(HIWORD(fixed->dwFileVersionMS)) + "." +
                     std::to_string(LOWORD(fixed->dwFileVersionMS)) + "." +
                     std::to_string(HIWORD(fixed->dwFileVersionLS)) + "." +
                     std::to_string(LOWORD(fixed->dwFileVersionLS));
  info.productVersion = StringValue(block, "ProductVersion");
  info.originalFilename = StringValue(block, "OriginalFilename");
  return true;
}

std::string OwnPath() {
  char buffer[MAX_PATH] = {};
  const DWORD length = ::GetModuleFileNameA(nullptr, buffer, MAX_PATH);
  return std::string(buffer, length < MAX_PATH ? length : 0);
}

}  // namespace krelta::host
