// Message boxes of the configuration program, behind one seam so tests can answer them. Texts
// are UTF-8. Windows only.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

namespace krelta::platform {

// MessageBoxW with the texts converted; returns the button pressed (IDOK, IDYES, ...).
int ShowMessageBox(HWND owner, const std::string& text, const std::string& caption, UINT type);

// Replaces what ShowMessageBox does (an empty function restores the real message box).
using MessageBoxFunction =
    std::function<int(HWND owner, const std::string& text, const std::string& caption, UINT type)>;
void SetMessageBoxForTesting(MessageBoxFunction function);

}  // namespace krelta::platform
