// The text form of a result code in every message of the OPC DA client: the system's message
// for the code, then " (0x%08x)".
#pragma once

#include <windows.h>

#include <string>

namespace krelta {

std::string FormatResult(HRESULT hr);

}  // namespace krelta
