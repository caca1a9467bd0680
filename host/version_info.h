// The version resource of a module file, as Explorer's properties show it.
#pragma once

#include <string>

namespace krelta::host {

struct VersionInfo {
  std::string productVersion;    // "1.2.3"
  std::string fileVersion;       // the fixed part: "1.2.3.0"
  std::string originalFilename;  // the name the file was built with
};

// False when the file is missing or carries no version resource.
bool ReadVersionInfo(const std::string& path, VersionInfo& info);

// The path of this program's own file.
std::string OwnPath();

}  // namespace krelta::host
