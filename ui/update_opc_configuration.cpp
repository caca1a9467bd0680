// The entry rundll32.exe runs: "rundll32.exe <dll>,UpdateOPCConfiguration <connection string>".
#include <windows.h>

#include <string>

#include "log/log_file.h"
#include "util/format.h"

extern "C" void CALLBACK UpdateOPCConfiguration(HWND window, HINSTANCE instance, LPSTR commandLine,
                                                int showCommand) {
  try {
    const std::string connectionString = commandLine != nullptr ? commandLine : "";
    char process[MAX_PATH] = {};
    ::GetModuleFileNameA(nullptr, process, MAX_PATH);
    // The configuration dialogs are not built yet: say so where the user's support will look.
    krelta::WriteStandaloneLog(
        krelta::kLogWarning,
        krelta::Format("UpdateOPCConfiguration: no configuration dialog is available yet "
                       "(connection string \"%1%\", process %2%).",
                       connectionString, process));
  } catch (...) {
    // Nothing may escape into rundll32.
  }
}
