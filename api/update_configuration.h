// Runs the configuration program of one data source in its own process and waits for it.
#pragma once

#include <optional>
#include <string>

#include "api/krelta2.h"

namespace krelta::api {

// Capacity of the command line, terminator included.
constexpr std::size_t kCommandLineCapacity = 1024;

// "\"<system folder>\\rundll32.exe\" \"<module>\",UpdateOPCConfiguration <connection string>", or
// nothing when it does not fit in the command-line buffer. The program goes by its full path: by
// name alone the system looks in the host's folder and the current folder first, where a planted
// rundll32.exe would run as the host's user. The module's path is quoted because without 8.3
// names it is the long one, often with blanks.
std::optional<std::string> BuildConfigurationCommand(const std::string& systemFolder,
                                                     const std::string& modulePath,
                                                     const std::string& connectionString);

// The operating-system services the launcher needs; tests replace them.
struct LauncherServices {
  std::string (*systemFolder)();                     // empty when it cannot be had
  std::string (*modulePath)();                       // empty when it cannot be had
  std::string (*shortPath)(const std::string&);      // empty when there is none
  bool (*runAndWait)(const std::string& commandLine);
};
LauncherServices PlatformLauncher();

enum class LaunchResult {
  kRan,         // started and waited for to its end
  kRefused,     // nothing started: no module or system path, or the command does not fit
  kNotStarted,  // rundll32.exe could not be started; an Error entry says so
};

// Builds the command from this module's short path (its long path if there is none) and runs
// it to the end.
LaunchResult RunConfigurationProgram(const std::string& connectionString,
                                     const LauncherServices& services = PlatformLauncher());

// A new string object holding text up to its NUL, as krelta2_stringCreate makes it. Throws
// std::bad_alloc: exports call it under GuardFrameless.
krelta2_status CreateString(const char* text, krelta2_string* out);

}  // namespace krelta::api
