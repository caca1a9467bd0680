#include "api/update_configuration.h"

#include "api/frame.h"
#include "platform/platform.h"

namespace krelta::api {

std::optional<std::string> BuildConfigurationCommand(const std::string& systemFolder,
                                                     const std::string& modulePath,
                                                     const std::string& connectionString) {
  std::string command = "\"" + systemFolder + "\\rundll32.exe\" \"" + modulePath + "\",UpdateOPCConfiguration " +
                        connectionString;
  if (command.size() >= kCommandLineCapacity) return std::nullopt;
  return command;
}

LauncherServices PlatformLauncher() {
  return {platform::SystemFolder, platform::ModulePath, platform::ShortPath, platform::RunProcessAndWait};
}

LaunchResult RunConfigurationProgram(const std::string& connectionString, const LauncherServices& services) {
  const std::string longPath = services.modulePath();
  const std::string systemFolder = services.systemFolder();
  // Without our own path the command would name no library: rundll32 would fail silently.
  // Without the system's, only a search by name would be left, which we never do.
  if (longPath.empty() || systemFolder.empty()) return LaunchResult::kRefused;
  std::string modulePath = services.shortPath(longPath);
  if (modulePath.empty()) modulePath = longPath;
  const std::optional<std::string> command = BuildConfigurationCommand(systemFolder, modulePath, connectionString);
  if (!command) return LaunchResult::kRefused;
  if (services.runAndWait(*command)) return LaunchResult::kRan;
  // The host would take the dialog for done: it must learn that nothing ran.
  const std::string reason = "the configuration program could not be started: " + *command;
  LogOperationFailure("krelta2_updateConfiguration", &reason);
  return LaunchResult::kNotStarted;
}

}  // namespace krelta::api
