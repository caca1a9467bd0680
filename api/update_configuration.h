// Runs the configuration program of one data source in its own process and waits for it.
#pragma once

#include <optional>
#include <string>

#include "api/krelta2.h"

namespace krelta::api {

// Capacity of the command line, terminator included.
constexpr std::size_t kCommandLineCapacity = 1024;

// "rundll32.exe <module>,UpdateOPCConfiguration <connection string>", or nothing when it does
// not fit in the command-line buffer.
std::optional<std::string> BuildConfigurationCommand(const std::string& modulePath,
                                                     const std::string& connectionString);

// Builds the command from this module's short path (its long path if there is none) and runs
// it to the end. False only when the command does not fit; a process that cannot be started
// is ignored.
bool RunConfigurationProgram(const std::string& connectionString);

// A new string object holding text up to its NUL, as krelta2_stringCreate makes it.
krelta2_status CreateString(const char* text, krelta2_string* out);

}  // namespace krelta::api
