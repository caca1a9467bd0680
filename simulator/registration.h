// COM registration of the simulator's classes and the server-list component (HKCR: CLSID,
// ProgIDs, OPC categories).
// Windows only.
#pragma once

#include <windows.h>

#include <string>

namespace krelta::sim {

// serverSwitches is appended to the EXE's path in LocalServer32 (e.g. L" --idle-seconds 5").
HRESULT RegisterServer(const std::wstring& serverSwitches);
HRESULT UnregisterServer();

}  // namespace krelta::sim
