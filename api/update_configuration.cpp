#include "api/update_configuration.h"

#include "platform/platform.h"

namespace krelta::api {

std::optional<std::string> BuildConfigurationCommand(const std::string& modulePath,
                                                     const std::string& connectionString) {
  std::string command = "rundll32.exe " + modulePath + ",UpdateOPCConfiguration " + connectionString;
  if (command.size() >= kCommandLineCapacity) return std::nullopt;
  return command;
}

bool RunConfigurationProgram(const std::string& connectionString) {
  const std::string longPath = platform::ModulePath();
  std::string modulePath = platform::ShortPath(longPath);
  if (modulePath.empty()) modulePath = longPath;
  const std::optional<std::string> command = BuildConfigurationCommand(modulePath, connectionString);
  if (!command) return false;
  platform::RunProcessAndWait(*command);
  return true;
}

}  // namespace krelta::api
