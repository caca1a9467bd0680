#include "api/update_configuration.h"

#include "platform/platform.h"

namespace krelta::api {

std::optional<std::string> BuildConfigurationCommand(const std::string& modulePath,
                                                     const std::string& connectionString) {
  std::string command = "rundll32.exe " + modulePath + ",UpdateOPCConfiguration " + connectionString;
  if (command.size() >= kCommandLineCapacity) return std::nullopt;
  return command;
}

LauncherServices PlatformLauncher() {
  return {platform::ModulePath, platform::ShortPath, platform::RunProcessAndWait};
}

bool RunConfigurationProgram(const std::string& connectionString, const LauncherServices& services) {
  const std::string longPath = services.modulePath();
  // Without our own path the command would name no library: rundll32 would fail silently.
  if (longPath.empty()) return false;
  std::string modulePath = services.shortPath(longPath);
  if (modulePath.empty()) modulePath = longPath;
  const std::optional<std::string> command = BuildConfigurationCommand(modulePath, connectionString);
  if (!command) return false;
  services.runAndWait(*command);
  return true;
}

}  // namespace krelta::api
