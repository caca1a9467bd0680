// The entry rundll32.exe runs: "<system folder>\rundll32.exe" "<dll>",UpdateOPCConfiguration <connection string>.
#include <windows.h>

#include "ui/save_configuration.h"

extern "C" void CALLBACK UpdateOPCConfiguration(HWND window, HINSTANCE instance, LPSTR commandLine,
                                                int showCommand) {
  try {
    krelta::ui::ConfigureDataSource(commandLine != nullptr ? commandLine : "");
  } catch (...) {
    // Nothing may escape into rundll32.
  }
}
